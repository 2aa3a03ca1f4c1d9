// dBASE data and index file layer, read path.
//
// Reads dBASE III/IV data files (".dbf") and dBASE IV production
// multiple-index files (".mdx"): open a data file, read its record count,
// look fields up by name, read a record by number; open the index, select a
// tag by name, seek a key to the first matching record, step to the next key,
// rewind; turn text into index keys.
//
// Plain functions over a caller-owned global data block and opaque handles.
// Every function returns 0 or a negative DBRET_* code and leaves a detailed
// report number in the global data block (d_report) and the return code in
// dretcode. Nothing is printed. Files are opened read-only and take no locks.
//
// Handles stay valid from their open call to their close call; a tag stays
// valid until its index file is closed. A handle that is not (or no longer)
// open is refused with DBRET_BADHANDLE, never dereferenced.
//
// Not thread-safe: the calls share module state (the table of live handles);
// call them from one thread.
#ifndef DBASE_H
#define DBASE_H

#include <cstddef>
#include <cstdint>

// Return codes. DBRET_CODE_LIST gives each its name (DBretname).
#define DBRET_CODE_LIST(X)                                                  \
    X(0, DBRET_OK)          /* success */                                   \
    X(-3, DBRET_BADFILE)    /* not a valid data or index file, or a corrupt \
                               structure inside one */                      \
    X(-4, DBRET_RANGE)      /* record number out of range; value cannot be  \
                               converted; tag slot out of range */          \
    X(-5, DBRET_NOTFOUND)   /* file, field, tag or key not found */         \
    X(-7, DBRET_EOF)        /* past the end of the tag */                   \
    X(-10, DBRET_BADHANDLE) /* invalid handle */                            \
    X(-12, DBRET_DBTYPE)    /* database type not accepted */                \
    X(-14, DBRET_MEMORY)    /* out of memory */                             \
    X(-15, DBRET_TRANSACT)  /* data file marked as in an incomplete         \
                               transaction */                               \
    X(-17, DBRET_IO)        /* read, seek or open error */                  \
    X(-18, DBRET_NFILES)    /* too many open files */                       \
    X(-19, DBRET_ACCESS)    /* access denied */                             \
    X(-20, DBRET_DISKFULL)  /* disk full */                                 \
    X(-21, DBRET_CHANGED)   /* a file changed while a load pass read it */ \
    X(-22, DBRET_STALE)     /* an index that does not match its data file  \
                               (older or newer than it: dXverify) */

enum {
#define DBRET_ENUM(code, name) name = code,
    DBRET_CODE_LIST(DBRET_ENUM)
#undef DBRET_ENUM
};

// Name of a return code ("DBRET_NOTFOUND"), or "DBRET_UNKNOWN".
const char* DBretname(int code);

// Global data block, byte-packed, 271 bytes. The caller owns it, sets it up
// with DBinit and passes it to dDopen; every handle opened through it reports
// into it, so it must outlive those handles.
//
// OFFSET SIZE FIELD
//      0    4 d_dbtype      database type
//      4    4 d_report      detailed report number of the last failure
//      8    4 dretcode      last return code
//     12    2 d_request     request flags (bit 0: records without the
//                           deletion-flag byte); 0 here
//     14    4 d_blksiz
//     18    4 F_blksiz
//     22    4 d_recno
//     26    4 dbf_buffs
//     30    4 index_buffs   index page buffers per open index (at least 4
//                           are kept)
//     34    4 set_century
//     38    4 set_date
//     42    4 set_mark
//     46    4 set_exact
//     50    4 set_language  1: national collating table for character keys;
//                           0: plain byte order (the only order this reader
//                           implements)
//     54    4 d_timeout     lock retries
//     58    4 dnetstyle     locking style
//     62    4 dneterror
//     66   85 _dtmpdir
//    151  120 _dminbuf
//    271      (size)
#pragma pack(push, 1)
struct T_DBGDAT {
    std::uint32_t d_dbtype;
    std::int32_t d_report;
    std::int32_t dretcode;
    std::uint16_t d_request;
    std::int32_t d_blksiz;
    std::int32_t F_blksiz;
    std::int32_t d_recno;
    std::int32_t dbf_buffs;
    std::int32_t index_buffs;
    std::int32_t set_century;
    std::int32_t set_date;
    std::int32_t set_mark;
    std::int32_t set_exact;
    std::int32_t set_language;
    std::uint32_t d_timeout;
    std::int32_t dnetstyle;
    std::int32_t dneterror;
    char _dtmpdir[85];
    unsigned char _dminbuf[120];
};
#pragma pack(pop)
static_assert(sizeof(T_DBGDAT) == 271, "global data block is 271 bytes");
static_assert(offsetof(T_DBGDAT, set_language) == 50, "global data layout");
static_assert(offsetof(T_DBGDAT, _dtmpdir) == 66, "global data layout");

// Opaque handles: an open data file, an open index file, an active tag.
typedef struct DbaseDbf* DBF;
typedef struct DbaseMdx* MDX;
typedef struct DbaseTag* TAG;

// Access mode of the open calls. Files are always opened read-only, whatever
// the mode says.
#define DB_MODE_READ 1

// Size of a numeric (N and F) index key in bytes.
#define DB_NUMKEY_LEN 12

// Room for the decimal text of a numeric key (dUnktoa).
#define DB_NUMTEXT_LEN 64

// Longest key of an index tag.
#define DB_MAXKEYLEN 100

// Initialises `gdat` for database type `type` (1, 2, 4, 7, 8, 16, 32776):
// zeroes it and sets the defaults. DBRET_DBTYPE for any other type.
int DBinit(T_DBGDAT* gdat, unsigned type);

// ---- Load passes -------------------------------------------------------
//
// A load pass reads each file once. Between DBpassbegin and DBpassend the
// first open of a path reads the whole file (open, fstat, one read, close)
// and every open of that path in the pass, its own and later ones, reads
// from that copy: a caller that opens a table for every lookup pays for the
// bytes once instead of system calls per lookup. Outside a pass (and for a
// file over 64 MiB) an open reads the file itself, as always. A handle
// opened in a pass keeps reading its copy until it is closed.
//
// Passes nest; only the outermost end ends the pass. It compares every
// file read in the pass with the file as it is now (same size and bytes; a
// file that could not be opened still cannot): DBRET_CHANGED when one
// differs, so that a table rewritten while the pass read it is never taken
// as good. The copies are then dropped; the next pass reads the files anew.
// Not thread-safe, like the rest of the layer.
int DBpassbegin(void);
int DBpassend(void);

// After DBpassend: 1 when the file `path` (as opened, with its extension)
// was read by the pass just ended and differs now from what it read, else
// 0. Forgotten when the next pass begins.
int DBpasschanged(const char* path);

// ---- Data files --------------------------------------------------------

// Opens the data file `name` (".dbf" appended when it has no extension)
// read-only and validates its header. Returns the handle, or null with the
// reason in gdat->dretcode: DBRET_NOTFOUND (no such file), DBRET_BADFILE
// (bad version, header too short or longer than the file, record length 0,
// fields that do not fit the record), DBRET_TRANSACT (incomplete-transaction
// byte set), DBRET_NFILES, DBRET_ACCESS, DBRET_IO, DBRET_MEMORY.
DBF dDopen(T_DBGDAT* gdat, const char* name, int mode, int buffers);

// Record length in bytes including the deletion flag, or DBRET_BADHANDLE.
int dDreclen(DBF dbf);

// Number of records as the header gives it.
int dDreccnt(DBF dbf, long* count);

// Copies record `recno` (1-based, dDreclen bytes, deletion flag first) into
// `buffer`. DBRET_RANGE for recno < 1 or > the record count; DBRET_IO when
// the record lies past the end of the file. Deleted records are returned like
// any other.
int dDgetrec(DBF dbf, long recno, char* buffer);

// Looks up field `name` (upper-cased in place). Sets the byte offset in the
// record (1 + lengths of earlier fields), 1-based position, type letter,
// width and decimal places. DBRET_NOTFOUND when there is no such field.
// Any out-pointer may be null.
int dDfldnm(DBF dbf, char* name, unsigned* offset, int* position, char* type,
            int* width, int* decimals);

// Number of fields.
int dDfldcnt(DBF dbf);

// Field `position` (1-based): its name (NUL-terminated, `name` holds at least
// 11 bytes), offset, type, width and decimals. DBRET_RANGE when out of range.
int dDfldinfo(DBF dbf, int position, char* name, unsigned* offset, char* type,
              int* width, int* decimals);

// Closes the data file; the handle is invalid afterwards.
int dDclose(DBF dbf);

// ---- Index files -------------------------------------------------------

// Opens the production index `name` (".mdx" appended when it has no
// extension) of the open data file `dbf` read-only and reads its file header.
// Null on failure with the reason in the data file's gdat->dretcode
// (DBRET_BADHANDLE, DBRET_NOTFOUND, DBRET_BADFILE for a header that is not a
// dBASE IV index, DBRET_IO, ...). It reports into the data file's global data
// block, which must outlive it. Keeps max(4, index_buffs, buffers) pages
// (at most 64) cached.
MDX dXopen(DBF dbf, const char* name, int mode, int buffers);

// Selects tag `tagname` (upper-cased, first 10 characters) through the tag
// name tree, reads its header and prepares its comparison. Null on failure,
// the reason in dretcode: DBRET_NOTFOUND (no such tag), DBRET_RANGE (a tree
// slot out of range), DBRET_BADFILE (a header that cannot be right: key
// longer than its entry, entries larger than a page, a cycle in the tree).
// Selecting the same tag twice gives the same handle, positioned as it was.
TAG dXactidx(MDX mdx, const char* tagname);

// Key length of the tag in bytes, or DBRET_BADHANDLE.
int dXkeylen(TAG tag);

// Key type letter of the tag ('C', 'N', 'F', 'D'), or 0 for a bad handle.
char dXkeytype(TAG tag);

// Key expression text of the tag ("CAM", "STR(IDA,11)") into `out`
// (`size` bytes, NUL-terminated, cut to fit).
int dXkeyexpr(TAG tag, char* out, int size);

// Seeks `key` (dXkeylen bytes). 0 and the record number of the leftmost entry
// whose key equals `key`; DBRET_NOTFOUND when there is none (positioned on
// the next greater key); DBRET_EOF when every key is smaller (positioned past
// the end). DBRET_BADFILE for a corrupt tree.
int dXgetrno(TAG tag, const char* key, long* recno);

// Steps to the next entry: 0 with its key (dXkeylen bytes into `keybuf`, may
// be null) and record number; DBRET_EOF at the end of the tag. A tag not yet
// positioned starts before its first entry. DBRET_BADFILE for a corrupt tree.
int dXnxtkey(TAG tag, char* keybuf, long* recno);

// Positions the tag before its first entry.
int dXrewind(TAG tag);

// Checks that the tag indexes the data file it was opened for, as that file
// was at dXopen: one entry per record (deleted ones included), every record
// number in 1..record count and none twice, and the data file long enough
// for every record its header counts. A writer that replaces a table's two
// files one after the other leaves, for a moment, an index of one version
// over the data of another; such an index is refused with DBRET_STALE
// (report 10515 for entries that do not match the records, 10516 for a data
// file shorter than its header says) rather than leading seeks to records
// of another key. For tags that index every record (the key tags of the
// tour service's tables; not a tag with a FOR condition). Walks the whole
// tag once per open index (the result is kept) and leaves it unpositioned.
int dXverify(TAG tag);

// Number of tags in the index's tag table.
int dXtagcnt(MDX mdx);

// Name of tag slot `n` (1..dXtagcnt) into `name` (at least 11 bytes).
// DBRET_RANGE when out of range.
int dXtagnm(MDX mdx, int n, char* name);

// Closes the index and every tag of it.
int dXclose(MDX mdx);

// ---- Conversions -------------------------------------------------------

// Copies min(strlen(text), width) bytes of `text` into `out` and pads with
// blanks to `width`; no terminator.
int dUatocf(const char* text, int width, char* out);

// Formats atof(text) right-justified in `width` characters with `decimals`
// places into `out` (width bytes, no terminator). DBRET_RANGE (report 4041)
// when decimals < 0, decimals > 0 with width <= decimals + 1, or the number
// does not fit the width.
int dUatonf(T_DBGDAT* gdat, const char* text, int width, int decimals,
            char* out);

// Kind 1: turns numeric field text (`width` bytes) into a 12-byte
// packed-decimal key in `key`. DBRET_RANGE (report 4081) for width >= 21, a
// negative width, another kind, or text that is not a number.
int dUnftonk(T_DBGDAT* gdat, int kind, const char* text, int width,
             char* key);

// Turns a 12-byte packed-decimal key back into decimal text ("-12.5", "0")
// in `out` (at least DB_NUMTEXT_LEN bytes, NUL-terminated). DBRET_RANGE for
// a key that is not packed decimal.
int dUnktoa(const char* key, char* out);

// Copies `name` (up to an optional ';') into `out` and appends '.' and
// `extension` when it has no '.' after its last '\' or ':' or '/'. `out`
// holds `outsize` bytes; DBRET_RANGE when the result does not fit.
int dUexpnm(const char* name, const char* extension, char* out,
            std::size_t outsize);

#endif
