// Database interface internals: table and field descriptors, the four
// descriptors the tour service uses, and the building blocks of the lookups
// (open, close, find, field conversions). dbif.h is what callers need; these
// are public for the tests and for tools that read other tables the same way.
#ifndef DBIFLIB_H
#define DBIFLIB_H

#include "dbase.h"
#include "dbif.h"

// One table: its files while open and its record shape.
struct T_Database {
    T_DBGDAT* pdat;     // the dBASE layer's global data (module-owned)
    const char* pname;  // path without extension; lives as long as the descriptor
    T_boolean f_mdx;    // the table has a production index
    DBF h_dbf;          // open data file, or null
    MDX h_mdx;          // open index, or null
    int reclen;         // record length including the deletion flag
    long reccnt;        // records, as of the last open
};

// One field the interface reads.
struct T_field {
    T_error fld_err;    // 1 when the field was missing at initialisation
    const char* pname;  // field name (static text)
    int position;       // 1-based field number
    char type;          // 'C', 'N', ...
    int width;
    int decimal;
    unsigned offset;    // byte offset in the record; 0 is the deletion flag
};

// Table descriptors: ready flag, table, one field per name in order, record
// buffer (the module's shared buffer once ready).
enum { NUVAK_GRPTOUR, NUVAK_GRPPRESET, NUVAK_GRPDWELL, NUVAK_LGRPTOUR, NUVAK_NFIELDS };
enum { GROUP_GRPPRESET, GROUP_MON, GROUP_CAM, GROUP_CAMPRESET, GROUP_LGRPPRESET, GROUP_NFIELDS };
enum {
    CAM_CAM, CAM_LCAM, CAM_TITLE, CAM_CPORT, CAM_CSWID, CAM_CSWTYPE, CAM_COMP, CAM_CAMTYPE,
    CAM_MENU, CAM_VD2, CAM_CAMMODEL, CAM_OSDCNTL, CAM_VIDLEVEL, CAM_VPORT, CAM_VSWID,
    CAM_VSWTYPE, CAM_CAMLOC, CAM_CAMSERIAL, CAM_RS485CFG, CAM_CNTLDATA, CAM_BITRATE, CAM_NFIELDS
};
enum {
    MON_MON, MON_LMON, MON_SWID, MON_SWTYPE, MON_VPORT, MON_MONLOC, MON_MONMODEL, MON_MONSERIAL,
    MON_ALMTRIG, MON_NFIELDS
};

struct T_DB_nuvak {
    T_boolean f_init;
    T_Database db;
    T_field fld[NUVAK_NFIELDS];
    char* prec;
};
struct T_DB_group {
    T_boolean f_init;
    T_Database db;
    T_field fld[GROUP_NFIELDS];
    char* prec;
};
struct T_DB_cam {
    T_boolean f_init;
    T_Database db;
    T_field fld[CAM_NFIELDS];
    char* prec;
};
struct T_DB_mon {
    T_boolean f_init;
    T_Database db;
    T_field fld[MON_NFIELDS];
    char* prec;
};

extern T_DB_nuvak dbNUVAK;
extern T_DB_group dbGROUP;
extern T_DB_cam dbCAM;
extern T_DB_mon dbMON;

// Prepare a descriptor (done by the lookups on demand): 0, 2 when the table
// cannot be opened, 10 when a field is missing (the descriptor stays not
// ready and the next lookup tries again).
T_uint_16 DBIF_NUVAKInit();
T_uint_16 DBIF_GROUPInit();
T_uint_16 DBIF_CAMInit();
T_uint_16 DBIF_MONInit();

// Convert the table's current record (in its descriptor's buffer).
void DBIF_NUVAKFormat(T_NUVAK_step* step);
void DBIF_GROUPFormat(T_GROUP_element* element);
void DBIF_CAMFormat(T_CAM_config* rec);
void DBIF_MONFormat(T_MON_config* rec);

// Opens the table's data file (and index when f_mdx) for reading (mode 1):
// 0; 11 no data file; 2 other open failure; 6 record count failed or a
// record longer than the record buffer; 5 index cannot be opened (then
// nothing stays open).
T_uint_16 DBIF_OpenDB(T_Database* db, int mode);
// Closes whatever of the table is open.
void DBIF_CloseDB(T_Database* db);

// Reads into `rec` the first record (in index order) whose key field `key`
// equals `keytext`: 0; 5 no tag or key not convertible; 4 not found or a key
// field neither C nor N; 6 record read failed; 14 the index does not match
// the data file, or the record it leads to carries another key.
T_uint_16 DBIF_FindRec(T_field* key, char* rec, T_Database* db, const char* keytext);

// Field conversions over a record buffer (deletion flag at byte 0).
T_uint_16 DBIF_FldToU16(const T_field* field, const char* rec);
T_uint_32 DBIF_FldToU32(const T_field* field, const char* rec);
// Copies min(n, width) bytes of the field into dest (no terminator added);
// with trim non-zero the field's trailing blanks are left out.
void DBIF_FldToStrn(const T_field* field, const char* rec, char* dest, int n, int trim);
// Right-justifies `text` in `width` blanks into `out` (no terminator); -1
// when the text is longer than the width.
int DBIF_dUaton(const char* text, int width, char* out);

// The first four characters of a field read as hexadecimal digits ('A'..'F'
// count 10..15, any other character its low four bits).
T_uint_16 DBIF_FldToHex4(const T_field* field, const char* rec);

#endif
