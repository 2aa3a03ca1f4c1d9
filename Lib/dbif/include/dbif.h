// Database interface: the lookups the tour service makes in the installation
// database (group tours, group presets, cameras, monitors).
//
// Plain functions over module-static table descriptors. Every lookup is self-
// contained: it opens the table's data file and production index, finds the
// record or records through the index tag named like the key field, converts
// them and closes both files again, so a table rewritten by another process is
// seen at the next call (inside a load pass, at the next pass: see
// DBIF_BeginPass). Not thread-safe and not reentrant: the descriptors
// and the one record buffer are shared by all tables (call from the run loop).
#ifndef DBIF_H
#define DBIF_H

#include "systypes.h"

typedef T_uint_16 T_boolean;  // 1 true, 0 false
typedef T_uint_16 T_error;

// Error codes, one list: code, name, when it is raised.
#define DBIF_ERROR_LIST(X)                                                                  \
    X(0, DBIFERR_NOERROR)     /* success */                                                 \
    X(1, DBIFERR_SEARCHVAL)   /* camera or monitor: no record with that number */           \
    X(2, DBIFERR_NOACCESS)    /* table cannot be opened; other single-record failures */    \
    X(3, DBIFERR_MEM)         /* not raised by these calls */                               \
    X(4, DBIFERR_NOTFOUND)    /* key not in the index; key field neither C nor N */         \
    X(5, DBIFERR_INDEXFILE)   /* index cannot be opened, no tag, key text not convertible */ \
    X(6, DBIFERR_DBFFILE)     /* record count or record read failed */                      \
    X(7, DBIFERR_NOINIT)      /* the table descriptor cannot be initialised */              \
    X(8, DBIFERR_MEMORY)      /* the result block cannot be allocated */                    \
    X(9, DBIFERR_INDEXREWIND) /* the index cannot be rewound (the one-pass read never rewinds) */ \
    X(10, DBIFERR_MISC)       /* a field of the descriptor is missing from the data file */ \
    X(11, DBIFERR_NOFILE)     /* the data file does not exist */                            \
    X(12, DBIFERR_NOFIELD)    /* not raised by these calls */                               \
    X(13, DBIFERR_WRITEVAL)   /* not raised by these calls */                              \
    X(14, DBIFERR_CHANGED)    /* a table changed while it was read: its index does not match */ \
                              /* its data, a record read does not carry the key sought, or */ \
                              /* its files changed while a load pass read them (DBIF_EndPass) */

#define DBIF_DEFINE_ERROR(code, name) constexpr T_uint_16 name = code;
DBIF_ERROR_LIST(DBIF_DEFINE_ERROR)
#undef DBIF_DEFINE_ERROR

// Name of a code ("DBIFERR_NOTFOUND"), or "DBIFERR_UNKNOWN".
const char* DBIF_ErrorName(T_uint_16 code);

// Result records.
//
// A tour or preset comes back as one malloc'd block: the 12-byte header
// followed at once by its steps (4 bytes each) or elements (6 bytes each), in
// the order the index lists the records of the key. Only the first two header
// fields are filled (the logical number comes from the IDtoLog calls). The
// caller releases the block with free().
struct T_NUVAK_config {
    T_uint_16 tour_id;
    T_uint_16 nsteps;
    T_uint_32 log_no;
    T_uint_16 area;
};
struct T_NUVAK_step {
    T_uint_16 grp_id;  // group preset shown in the step
    T_uint_16 dwell;   // seconds
};
struct T_GROUP_config {
    T_uint_16 grp_id;
    T_uint_16 nelements;
    T_uint_32 log_no;
    T_uint_16 area;
};
struct T_GROUP_element {
    T_uint_16 mon_id;
    T_uint_16 cam_id;
    T_uint_16 preset;
};
static_assert(sizeof(T_NUVAK_config) == 12 && sizeof(T_GROUP_config) == 12, "block headers");
static_assert(sizeof(T_NUVAK_step) == 4 && sizeof(T_GROUP_element) == 6, "block items");

// The steps / elements of a block.
inline T_NUVAK_step* DBIF_NUVAKSteps(T_NUVAK_config* block) {
    return reinterpret_cast<T_NUVAK_step*>(reinterpret_cast<char*>(block) + sizeof(T_NUVAK_config));
}
inline T_GROUP_element* DBIF_GROUPElements(T_GROUP_config* block) {
    return reinterpret_cast<T_GROUP_element*>(reinterpret_cast<char*>(block) +
                                              sizeof(T_GROUP_config));
}

struct T_CAM_config {
    T_uint_16 phys_no;
    T_uint_32 log_no;
    T_uint_32 cport;
    T_uint_32 vport;
    T_uint_16 type;
    T_uint_16 type_bits;
    T_boolean f_vd2;
    T_uint_16 comp;
    T_boolean f_menu;
    T_boolean f_preset;
    T_uint_16 cswid;
    T_uint_16 cswtype;
    T_uint_16 vswid;
    T_uint_16 vswtype;
    T_uint_16 osd_ctrl;
    T_uint_16 video_level;
    T_uint_16 rs485_cfg;
    T_boolean cntl_data;
    T_uint_16 bit_rate;
    char title[30];     // field bytes, blank-padded, not terminated
    char model[33];     // terminated
    char location[16];  // not terminated
    char serial[16];    // not terminated
};

struct T_MON_config {
    T_uint_16 phys_no;
    T_uint_32 log_no;
    T_uint_16 swid;
    T_uint_16 swtype;
    T_uint_32 vport;
    T_uint_16 alarm_trig;
    char location[16];  // not terminated
    char model[33];     // terminated
    char serial[16];    // not terminated
};

// Every step of tour `id` (the number in the "GRPTOUR" key field). 0 and
// *block set, or an error and *block null: 7 descriptor not ready, 2 open
// failed, 5 no tag / key not convertible, 4 no record of that number (or key
// field neither C nor N), 8 no memory, 6 record read failed,
// 10 a field has gone from the data file, 14 the index does not match the
// data file or a record read through it carries another key (the table is
// being rewritten: read it again).
T_uint_16 DBIF_NUVAKbyID(T_uint_16 id, T_NUVAK_config** block);
// "LGRPTOUR" of the tour's first record; 0 when not found or on any failure.
T_uint_32 DBIF_NUVAKIDtoLog(T_uint_16 id);

// Every element of group preset `id` ("GRPPRESET"); codes as DBIF_NUVAKbyID.
T_uint_16 DBIF_GROUPbyID(T_uint_16 id, T_GROUP_config** block);
// "LGRPPRESET" of the preset's first record; 0 when not found or on failure.
T_uint_32 DBIF_GROUPIDtoLog(T_uint_16 id);

// Camera / monitor `id` into *rec. 0, 1 when there is no record of that
// number, 7 when the descriptor is not ready, 2 on any other failure
// (including an index that does not match its data). *rec is written only
// on success.
T_uint_16 DBIF_CAMbyID(T_uint_16 id, T_CAM_config* rec);
T_uint_16 DBIF_MONbyID(T_uint_16 id, T_MON_config* rec);

// Load passes: a run of lookups that reads each table's two files once.
// Between DBIF_BeginPass and DBIF_EndPass, a table's data file and index are
// read whole at its first lookup, and every lookup of the pass is served
// from those bytes (the tables stay open between the pass's lookups), so a
// full load costs a few system calls per table instead of several per
// lookup. Each lookup answers exactly as it would outside a pass over the
// files as the pass found them. DBIF_EndPass closes the tables and compares
// every file read with the file now: DBIFERR_CHANGED when one was rewritten
// while the pass read it (what the pass gave may then mix old and new
// records: load again), else 0. The next pass reads the files anew, so a
// rewrite is seen at the next pass. Passes nest (the outermost end counts).
// Outside a pass every lookup opens and closes the files as described above.
T_uint_16 DBIF_BeginPass();
T_uint_16 DBIF_EndPass();

// The four tables, for DBIF_PassTableStatus.
enum DBIF_Table { DBIF_TABLE_NUVAK, DBIF_TABLE_GROUP, DBIF_TABLE_CAM, DBIF_TABLE_MON, DBIF_NTABLES };
// After DBIF_EndPass: DBIFERR_CHANGED when the last pass cannot vouch for
// table `table` (its files differ now from what the pass read, its index did
// not match its data, or a record read did not carry the key sought), else
// 0. A table the pass did not read is 0.
T_uint_16 DBIF_PassTableStatus(int table);

// A load pass for a scope: ended by End() (its result) or the destructor.
class DBIF_LoadPass {
public:
    DBIF_LoadPass() { DBIF_BeginPass(); }
    ~DBIF_LoadPass() {
        if (open_) DBIF_EndPass();
    }
    DBIF_LoadPass(const DBIF_LoadPass&) = delete;
    DBIF_LoadPass& operator=(const DBIF_LoadPass&) = delete;
    T_uint_16 End() {
        if (!open_) return 0;
        open_ = false;
        return DBIF_EndPass();
    }

private:
    bool open_ = true;
};

// Points the interface at another database directory (tests, tools); null or
// "" restores DBPATH. Every descriptor becomes not ready, so field positions
// are taken again from the tables found there. The service never calls it.
void DBIF_SetPath(const char* dir);
// The directory the lookups read.
const char* DBIF_GetPath();

#endif
