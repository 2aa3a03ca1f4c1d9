// Database interface: tours, group presets, cameras and monitors.
//
// Each lookup opens the table, finds its record(s) through the production
// index tag named like the key field, converts, and closes again. The
// descriptors are module-static and become ready once (at the first lookup
// that finds the table with all its fields). Two things are checked at every
// open beyond that, because the tables are rewritten by other processes while
// the service runs:
//  - the fields are looked up again, so a table whose structure changed is
//    read at its new positions (or refused with DBIFERR_MISC when a field has
//    gone) instead of being read at stale offsets;
//  - a record longer than the shared record buffer is refused.
// Two things are checked at every read through an index, because a writer
// that replaces a table's two files one after the other leaves for a moment
// the index of one version over the data of another:
//  - the index must match the data file (dXverify: one entry per record);
//  - every record read must carry the key that was sought.
// Either failure answers DBIFERR_CHANGED and, in a load pass, marks the
// table as changed (DBIF_PassTableStatus), so that a loader reads it again
// instead of taking records of another key for this one.
// Inside a load pass (DBIF_BeginPass) the dBASE layer serves every open from
// its one copy of each file, and a table opened by a lookup stays open until
// the pass ends: its structure cannot change within the pass, so the checks
// are made once per pass.
#include "dbiflib.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <new>
#include <string>
#include <vector>

#include "database.h"

T_DB_nuvak dbNUVAK;
T_DB_group dbGROUP;
T_DB_cam dbCAM;
T_DB_mon dbMON;

namespace nuvak::dbif {
namespace {

// Module state.
T_boolean f_init = 0;           // the dBASE layer's global data is set up
T_DBGDAT gbg;                   // that global data
T_DBGDAT* gbgPtr = &gbg;
char tempbuffer1[257];          // scratch for field conversions
char tempbuffer2[DBIF_MAXRECLEN + 1];  // the one record buffer of all tables
std::string dbDir = DBPATH;
int passDepth = 0;               // load passes begun and not ended
// Per table (DBIF_Table): a read of the pass in progress found it changed;
// and the outcome of the last pass ended.
bool passDirty[DBIF_NTABLES] = {};
T_uint_16 passStatus[DBIF_NTABLES] = {};
// In a pass, the first record of the last block read (its table and key):
// the loaders ask for a block and then for its logical number, which is a
// field of that same record in the same files.
struct FirstRecord {
    const T_Database* db = nullptr;
    T_uint_16 id = 0;
    std::vector<char> rec;
} lastFirst;

const char* const kFiles[DBIF_NTABLES] = {DBFILE_NUVAK, DBFILE_GROUP, DBFILE_CAM, DBFILE_MON};
const char* const kNuvakFields[NUVAK_NFIELDS] = {"GRPTOUR", "GRPPRESET", "GRPDWELL", "LGRPTOUR"};
const char* const kGroupFields[GROUP_NFIELDS] = {"GRPPRESET", "MON", "CAM", "CAMPRESET",
                                                 "LGRPPRESET"};
const char* const kCamFields[CAM_NFIELDS] = {
    "CAM",      "LCAM",    "TITLE",   "CPORT",     "CSWID",    "CSWTYPE",  "COMP",
    "CAMTYPE",  "MENU",    "VD2",     "CAMMODEL",  "OSDCNTL",  "VIDLEVEL", "VPORT",
    "VSWID",    "VSWTYPE", "CAMLOC",  "CAMSERIAL", "RS485CFG", "CNTLDATA", "BITRATE"};
const char* const kMonFields[MON_NFIELDS] = {"MON",    "LMON",     "SWID",
                                             "SWTYPE", "VPORT",    "MONLOC",
                                             "MONMODEL", "MONSERIAL", "ALMTRIG"};

// A descriptor seen generically.
struct TableRef {
    int index;  // DBIF_Table
    T_boolean* ready;
    T_Database* db;
    T_field* fld;
    int nfields;
    char** prec;
    const char* file;
    const char* const* names;
    std::string* path;
};

std::string paths[4];
TableRef Nuvak() {
    return {DBIF_TABLE_NUVAK, &dbNUVAK.f_init, &dbNUVAK.db, dbNUVAK.fld, NUVAK_NFIELDS, &dbNUVAK.prec,
            DBFILE_NUVAK,    kNuvakFields, &paths[0]};
}
TableRef Group() {
    return {DBIF_TABLE_GROUP, &dbGROUP.f_init, &dbGROUP.db, dbGROUP.fld, GROUP_NFIELDS, &dbGROUP.prec,
            DBFILE_GROUP,    kGroupFields, &paths[1]};
}
TableRef Cam() {
    return {DBIF_TABLE_CAM, &dbCAM.f_init, &dbCAM.db, dbCAM.fld, CAM_NFIELDS, &dbCAM.prec,
            DBFILE_CAM,    kCamFields, &paths[2]};
}
TableRef Mon() {
    return {DBIF_TABLE_MON, &dbMON.f_init, &dbMON.db, dbMON.fld, MON_NFIELDS, &dbMON.prec,
            DBFILE_MON,    kMonFields, &paths[3]};
}

// Ends a lookup: the table is closed, unless a load pass keeps it open.
void Release(T_Database* db) {
    if (passDepth == 0) DBIF_CloseDB(db);
}

T_Database* const kTables[DBIF_NTABLES] = {&dbNUVAK.db, &dbGROUP.db, &dbCAM.db, &dbMON.db};

// Answers DBIFERR_CHANGED for table `db`, marking it in a load pass.
T_uint_16 Changed(const T_Database* db) {
    for (int i = 0; i < DBIF_NTABLES; ++i)
        if (kTables[i] == db && passDepth > 0) passDirty[i] = true;
    return DBIFERR_CHANGED;
}

void CloseAll() {
    for (T_Database* db : {&dbNUVAK.db, &dbGROUP.db, &dbCAM.db, &dbMON.db}) DBIF_CloseDB(db);
    lastFirst.db = nullptr;
}

// Looks every field of the open table up by name. 0, or DBIFERR_MISC with
// fld_err set on each missing field (or one that cannot be converted through
// the scratch buffer).
T_uint_16 LookupFields(const TableRef& t) {
    T_uint_16 result = DBIFERR_NOERROR;
    for (int i = 0; i < t.nfields; ++i) {
        T_field& f = t.fld[i];
        char name[16];
        std::strncpy(name, f.pname, sizeof name - 1);
        name[sizeof name - 1] = '\0';
        unsigned offset = 0;
        int position = 0, width = 0, decimals = 0;
        char type = 0;
        f.fld_err = 0;
        if (dDfldnm(t.db->h_dbf, name, &offset, &position, &type, &width, &decimals) != 0 ||
            width <= 0 || width >= static_cast<int>(sizeof tempbuffer1) ||
            offset + static_cast<unsigned>(width) > static_cast<unsigned>(t.db->reclen)) {
            f.fld_err = 1;
            result = DBIFERR_MISC;
            continue;
        }
        f.position = position;
        f.type = type;
        f.width = width;
        f.decimal = decimals;
        f.offset = offset;
    }
    return result;
}

// Whether every field still sits where the descriptor has it (the usual
// case: a table keeps its structure). Cheaper than looking each up by name.
bool FieldsUnchanged(const TableRef& t) {
    for (int i = 0; i < t.nfields; ++i) {
        const T_field& f = t.fld[i];
        char name[16] = {};
        unsigned offset = 0;
        int width = 0, decimals = 0;
        char type = 0;
        if (dDfldinfo(t.db->h_dbf, f.position, name, &offset, &type, &width, &decimals) != 0 ||
            (std::strcmp(name, f.pname) != 0 && strcasecmp(name, f.pname) != 0) ||
            offset != f.offset || type != f.type || width != f.width || decimals != f.decimal ||
            offset + static_cast<unsigned>(width) > static_cast<unsigned>(t.db->reclen))
            return false;
    }
    return true;
}

T_uint_16 Init(const TableRef& t) {
    if (!f_init) {
        DBinit(gbgPtr, DBIF_DBTYPE);
        f_init = 1;
    }
    if (*t.ready) return DBIFERR_NOERROR;
    *t.path = dbDir + "/" + t.file;
    T_Database& db = *t.db;
    db.pdat = gbgPtr;
    db.pname = t.path->c_str();
    db.f_mdx = 1;
    db.h_dbf = nullptr;
    db.h_mdx = nullptr;
    for (int i = 0; i < t.nfields; ++i) t.fld[i] = T_field{0, t.names[i], 0, 0, 0, 0, 0};
    if (DBIF_OpenDB(&db, DB_MODE_READ) != DBIFERR_NOERROR) return DBIFERR_NOACCESS;
    T_uint_16 result = LookupFields(t);
    DBIF_CloseDB(&db);
    if (result == DBIFERR_NOERROR) {
        *t.prec = tempbuffer2;
        *t.ready = 1;
    }
    return result;
}

// The search key of `keytext` for the tag of field `key`: the tag, its key
// bytes in `keybuf` (DB_MAXKEYLEN + 1 bytes) and their length, and in
// `text` (sizeof tempbuffer1 bytes) the field's text as a record holds it.
T_uint_16 BuildKey(const T_field* key, T_Database* db, const char* keytext, TAG* tagOut,
                   char* keybuf, int* keylen, char* text) {
    TAG tag = dXactidx(db->h_mdx, key->pname);
    if (!tag) return DBIFERR_INDEXFILE;
    int v = dXverify(tag);
    if (v == DBRET_STALE) return Changed(db);
    if (v != 0) return DBIFERR_INDEXFILE;
    int kl = dXkeylen(tag);
    if (kl <= 0 || kl > DB_MAXKEYLEN) return DBIFERR_INDEXFILE;
    if (key->type == 'C') {
        dUatocf(keytext, key->width, text);
        std::memset(keybuf, ' ', static_cast<size_t>(kl));
        std::memcpy(keybuf, text, static_cast<size_t>(std::min(kl, key->width)));
    } else if (key->type == 'N') {
        int rc = key->decimal > 0
                     ? dUatonf(db->pdat, keytext, key->width, key->decimal, text)
                     : DBIF_dUaton(keytext, key->width, text);
        char kt = dXkeytype(tag);
        if (rc != 0 || kl != DB_NUMKEY_LEN || (kt != 'N' && kt != 'F') ||
            dUnftonk(db->pdat, 1, text, key->width, keybuf) != 0)
            return DBIFERR_INDEXFILE;
    } else {
        return DBIFERR_NOTFOUND;
    }
    *tagOut = tag;
    *keylen = kl;
    return DBIFERR_NOERROR;
}

// Whether the entry key `k` equals the search key. Numeric keys are compared
// by the number they encode: writers differ in the digit-count byte of equal
// numbers, so their bytes need not match.
bool SameKey(TAG tag, const char* search, const char* k, int kl) {
    if (std::memcmp(search, k, static_cast<size_t>(kl)) == 0) return true;
    char kt = dXkeytype(tag);
    if (kt != 'N' && kt != 'F') return false;
    char a[DB_NUMTEXT_LEN], b[DB_NUMTEXT_LEN];
    return dUnktoa(search, a) == 0 && dUnktoa(k, b) == 0 && std::strcmp(a, b) == 0;
}

// Whether record `rec`, read through `tag`, carries the search key: its key
// field holds the text sought (the usual case, one comparison), or text that
// makes the same key as the index would hold it.
bool CarriesKey(const T_field* key, const char* rec, T_Database* db, TAG tag, const char* search,
                int kl, const char* text) {
    const char* field = rec + key->offset;
    if (std::memcmp(field, text, static_cast<size_t>(key->width)) == 0) return true;
    char k[DB_MAXKEYLEN + 1];
    if (key->type == 'N') {
        if (dUnftonk(db->pdat, 1, field, key->width, k) != 0) return false;
    } else {
        std::memset(k, ' ', static_cast<size_t>(kl));
        std::memcpy(k, field, static_cast<size_t>(std::min(kl, key->width)));
    }
    return SameKey(tag, search, k, kl);
}

// "%u" of an id, without the cost of printf on every lookup.
void IdText(T_uint_16 id, char* out) {
    char rev[8];
    int n = 0;
    unsigned v = id;
    do {
        rev[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    for (int i = 0; i < n; ++i) out[i] = rev[n - 1 - i];
    out[n] = '\0';
}

T_uint_16 SeekFailure(int rc) {
    return rc == DBRET_NOTFOUND || rc == DBRET_EOF ? DBIFERR_NOTFOUND : DBIFERR_INDEXFILE;
}

// A table this load pass has found changed: its read is void already, so
// its later lookups in the pass answer at once (a stale index is not walked
// again at every lookup).
bool Rejected(const TableRef& t) { return passDepth > 0 && passDirty[t.index]; }

// Opens a ready table and re-checks its fields (see the file comment). A
// table a load pass holds open was checked when the pass opened it.
T_uint_16 OpenChecked(const TableRef& t) {
    if (passDepth > 0 && t.db->h_dbf && (!t.db->f_mdx || t.db->h_mdx)) return DBIFERR_NOERROR;
    T_uint_16 r = DBIF_OpenDB(t.db, DB_MODE_READ);
    if (r != DBIFERR_NOERROR) return r;
    if (FieldsUnchanged(t)) return DBIFERR_NOERROR;
    r = LookupFields(t);
    if (r != DBIFERR_NOERROR) DBIF_CloseDB(t.db);
    return r;
}

// Every record of key `id` as a block: Config header, then Item per record.
template <typename Config, typename Item>
T_uint_16 ReadBlock(const TableRef& t, T_uint_16 (*init)(), void (*format)(Item*), T_uint_16 id,
                    Config** out) {
    if (!out) return DBIFERR_NOACCESS;
    *out = nullptr;
    if (Rejected(t)) return DBIFERR_CHANGED;
    if (!*t.ready) init();
    if (!*t.ready) return DBIFERR_NOINIT;
    T_uint_16 r = OpenChecked(t);
    if (r == DBIFERR_MISC) return r;
    if (r != DBIFERR_NOERROR) return DBIFERR_NOACCESS;

    T_Database* db = t.db;
    T_field* key = &t.fld[0];
    char keytext[16];
    IdText(id, keytext);
    TAG tag = nullptr;
    char search[DB_MAXKEYLEN + 1], entry[DB_MAXKEYLEN + 1];
    int kl = 0;
    char text[sizeof tempbuffer1];
    r = BuildKey(key, db, keytext, &tag, search, &kl, text);
    if (r != DBIFERR_NOERROR) {
        DBIF_CloseDB(db);
        return r;
    }
    long recno = 0;
    int rc = dXgetrno(tag, search, &recno);
    if (rc != 0) {
        Release(db);
        return SeekFailure(rc);
    }
    // One pass over the entries of this key: read and convert each record,
    // then step (the count field is 16 bits). Counting first and reading in a
    // second pass after a rewind gives the same result at twice the index
    // steps, and each step re-checks the index's change counter on disk.
    // Kept from call to call (the interface is not reentrant), so that a
    // load does not grow a fresh vector for every key.
    static std::vector<Item> items;
    items.clear();
    for (;;) {
        if (dDgetrec(db->h_dbf, recno, *t.prec) != 0) {
            DBIF_CloseDB(db);
            return DBIFERR_DBFFILE;
        }
        if (!CarriesKey(key, *t.prec, db, tag, search, kl, text)) {
            DBIF_CloseDB(db);
            return Changed(db);
        }
        if (items.empty() && passDepth > 0) {
            lastFirst.db = db;
            lastFirst.id = id;
            lastFirst.rec.assign(*t.prec, *t.prec + db->reclen);
        }
        Item item{};
        format(&item);
        try {
            items.push_back(item);
        } catch (const std::bad_alloc&) {
            DBIF_CloseDB(db);
            return DBIFERR_MEMORY;
        }
        if (items.size() == 0xFFFF) break;
        if (dXnxtkey(tag, entry, &recno) != 0 || !SameKey(tag, search, entry, kl)) break;
    }
    size_t n = items.size();
    auto* block = static_cast<Config*>(std::calloc(1, sizeof(Config) + n * sizeof(Item)));
    if (!block) {
        DBIF_CloseDB(db);
        return DBIFERR_MEMORY;
    }
    std::memcpy(reinterpret_cast<char*>(block) + sizeof(Config), items.data(), n * sizeof(Item));
    reinterpret_cast<T_uint_16*>(block)[0] = id;
    reinterpret_cast<T_uint_16*>(block)[1] = static_cast<T_uint_16>(n);
    Release(db);
    *out = block;
    return DBIFERR_NOERROR;
}

// The single-record lookup shared by cameras and monitors.
template <typename Rec>
T_uint_16 ReadOne(const TableRef& t, T_uint_16 (*init)(), void (*format)(Rec*), T_uint_16 id,
                  Rec* rec) {
    if (!rec) return DBIFERR_NOACCESS;
    if (Rejected(t)) return DBIFERR_NOACCESS;
    if (!*t.ready) init();
    if (!*t.ready) return DBIFERR_NOINIT;
    if (OpenChecked(t) != DBIFERR_NOERROR) return DBIFERR_NOACCESS;
    char keytext[16];
    IdText(id, keytext);
    T_uint_16 r = DBIF_FindRec(&t.fld[0], *t.prec, t.db, keytext);
    Release(t.db);
    if (r == DBIFERR_NOERROR) {
        format(rec);
        return DBIFERR_NOERROR;
    }
    return r == DBIFERR_NOTFOUND ? DBIFERR_SEARCHVAL : DBIFERR_NOACCESS;
}

// The logical number (field `logField`) of the first record of key `id`.
T_uint_32 IdToLog(const TableRef& t, T_uint_16 (*init)(), int logField, T_uint_16 id) {
    if (Rejected(t)) return 0;
    if (!*t.ready) init();
    if (!*t.ready) return 0;
    if (passDepth > 0 && lastFirst.db == t.db && lastFirst.id == id &&
        lastFirst.rec.size() == static_cast<size_t>(t.db->reclen))
        return DBIF_FldToU32(&t.fld[logField], lastFirst.rec.data());
    if (OpenChecked(t) != DBIFERR_NOERROR) return 0;
    char keytext[16];
    IdText(id, keytext);
    T_uint_16 r = DBIF_FindRec(&t.fld[0], *t.prec, t.db, keytext);
    Release(t.db);
    return r == DBIFERR_NOERROR ? DBIF_FldToU32(&t.fld[logField], *t.prec) : 0;
}

// First character of a field is Y or y.
T_boolean YesField(const T_field* f, const char* rec) {
    char c = rec[f->offset];
    return (c == 'Y' || c == 'y') ? 1 : 0;
}

}  // namespace
}  // namespace nuvak::dbif

using namespace nuvak::dbif;

const char* DBIF_ErrorName(T_uint_16 code) {
    switch (code) {
#define DBIF_ERROR_CASE(c, name) \
    case c:                      \
        return #name;
        DBIF_ERROR_LIST(DBIF_ERROR_CASE)
#undef DBIF_ERROR_CASE
        default:
            return "DBIFERR_UNKNOWN";
    }
}

T_uint_16 DBIF_BeginPass() {
    if (passDepth++ == 0) {
        DBpassbegin();
        for (bool& d : passDirty) d = false;
    }
    return DBIFERR_NOERROR;
}

T_uint_16 DBIF_EndPass() {
    if (passDepth == 0) return DBIFERR_NOERROR;
    if (--passDepth > 0) return DBIFERR_NOERROR;
    CloseAll();
    lastFirst.db = nullptr;
    DBpassend();
    T_uint_16 result = DBIFERR_NOERROR;
    for (int i = 0; i < DBIF_NTABLES; ++i) {
        const std::string base = dbDir + "/" + kFiles[i];
        const bool changed = passDirty[i] || DBpasschanged((base + ".dbf").c_str()) ||
                             DBpasschanged((base + ".mdx").c_str());
        passStatus[i] = changed ? DBIFERR_CHANGED : DBIFERR_NOERROR;
        if (changed) result = DBIFERR_CHANGED;
    }
    return result;
}

T_uint_16 DBIF_PassTableStatus(int table) {
    return table >= 0 && table < DBIF_NTABLES ? passStatus[table] : DBIFERR_NOERROR;
}

void DBIF_SetPath(const char* dir) {
    CloseAll();  // tables a load pass holds open belong to the old directory
    dbDir = (dir && *dir) ? dir : DBPATH;
    dbNUVAK.f_init = dbGROUP.f_init = dbCAM.f_init = dbMON.f_init = 0;
}

const char* DBIF_GetPath() { return dbDir.c_str(); }

T_uint_16 DBIF_NUVAKInit() { return Init(Nuvak()); }
T_uint_16 DBIF_GROUPInit() { return Init(Group()); }
T_uint_16 DBIF_CAMInit() { return Init(Cam()); }
T_uint_16 DBIF_MONInit() { return Init(Mon()); }

T_uint_16 DBIF_OpenDB(T_Database* db, int mode) {
    if (!db->h_dbf) {
        db->h_dbf = dDopen(db->pdat, db->pname, mode, 1);
        if (!db->h_dbf)
            return db->pdat->dretcode == DBRET_NOTFOUND ? DBIFERR_NOFILE : DBIFERR_NOACCESS;
        db->reclen = dDreclen(db->h_dbf);
        long count = 0;
        if (dDreccnt(db->h_dbf, &count) != 0 || db->reclen <= 0 ||
            db->reclen > DBIF_MAXRECLEN) {
            DBIF_CloseDB(db);
            return DBIFERR_DBFFILE;
        }
        db->reccnt = count;
    }
    if (db->f_mdx && !db->h_mdx) {
        db->h_mdx = dXopen(db->h_dbf, db->pname, mode, 4);
        if (!db->h_mdx) {
            DBIF_CloseDB(db);
            return DBIFERR_INDEXFILE;
        }
    }
    return DBIFERR_NOERROR;
}

void DBIF_CloseDB(T_Database* db) {
    // The index goes first: it belongs to its data file.
    if (db->f_mdx && db->h_mdx) dXclose(db->h_mdx);
    db->h_mdx = nullptr;
    if (db->h_dbf) dDclose(db->h_dbf);
    db->h_dbf = nullptr;
}

T_uint_16 DBIF_FindRec(T_field* key, char* rec, T_Database* db, const char* keytext) {
    TAG tag = nullptr;
    char search[DB_MAXKEYLEN + 1];
    int kl = 0;
    char text[sizeof tempbuffer1];
    T_uint_16 r = BuildKey(key, db, keytext, &tag, search, &kl, text);
    if (r != DBIFERR_NOERROR) return r;
    long recno = 0;
    int rc = dXgetrno(tag, search, &recno);
    if (rc != 0) return SeekFailure(rc);
    if (dDgetrec(db->h_dbf, recno, rec) != 0) return DBIFERR_DBFFILE;
    return CarriesKey(key, rec, db, tag, search, kl, text) ? DBIFERR_NOERROR : Changed(db);
}

T_uint_16 DBIF_NUVAKbyID(T_uint_16 id, T_NUVAK_config** block) {
    return ReadBlock<T_NUVAK_config, T_NUVAK_step>(Nuvak(), DBIF_NUVAKInit, DBIF_NUVAKFormat, id,
                                                   block);
}

T_uint_16 DBIF_GROUPbyID(T_uint_16 id, T_GROUP_config** block) {
    return ReadBlock<T_GROUP_config, T_GROUP_element>(Group(), DBIF_GROUPInit, DBIF_GROUPFormat,
                                                      id, block);
}

T_uint_32 DBIF_NUVAKIDtoLog(T_uint_16 id) {
    return IdToLog(Nuvak(), DBIF_NUVAKInit, NUVAK_LGRPTOUR, id);
}

T_uint_32 DBIF_GROUPIDtoLog(T_uint_16 id) {
    return IdToLog(Group(), DBIF_GROUPInit, GROUP_LGRPPRESET, id);
}

T_uint_16 DBIF_CAMbyID(T_uint_16 id, T_CAM_config* rec) {
    return ReadOne(Cam(), DBIF_CAMInit, DBIF_CAMFormat, id, rec);
}

T_uint_16 DBIF_MONbyID(T_uint_16 id, T_MON_config* rec) {
    return ReadOne(Mon(), DBIF_MONInit, DBIF_MONFormat, id, rec);
}

// ---- Conversions -----------------------------------------------------------

namespace nuvak::dbif {
namespace {
// atoi/atol over the field's bytes: leading white space, an optional sign,
// then digits up to the first other character (or the field's end); blanks
// give 0. Read in place: the scan never leaves the field. The value is kept
// modulo 2^32 (no undefined overflow), then cut by the caller.
T_uint_32 FieldNumber(const T_field* field, const char* rec) {
    const char* p = rec + field->offset;
    const char* end = p + std::max(field->width, 0);
    while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    T_uint_32 v = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) v = v * 10u + static_cast<T_uint_32>(*p - '0');
    return negative ? 0u - v : v;
}
}  // namespace
}  // namespace nuvak::dbif

T_uint_16 DBIF_FldToU16(const T_field* field, const char* rec) {
    return static_cast<T_uint_16>(FieldNumber(field, rec));
}

T_uint_32 DBIF_FldToU32(const T_field* field, const char* rec) {
    return FieldNumber(field, rec);
}

void DBIF_FldToStrn(const T_field* field, const char* rec, char* dest, int n, int trim) {
    int len = std::min(n, field->width);
    const char* src = rec + field->offset;
    if (trim)
        while (len > 0 && src[len - 1] == ' ') --len;
    if (len > 0) std::memcpy(dest, src, static_cast<size_t>(len));
}

int DBIF_dUaton(const char* text, int width, char* out) {
    size_t len = std::strlen(text);
    if (width < 0 || len > static_cast<size_t>(width)) return -1;
    std::memset(out, ' ', static_cast<size_t>(width));
    std::memcpy(out + width - static_cast<int>(len), text, len);
    return 0;
}

T_uint_16 DBIF_FldToHex4(const T_field* field, const char* rec) {
    T_uint_16 v = 0;
    const char* s = rec + field->offset;
    for (int i = 0; i < 4 && i < field->width; ++i) {
        char c = s[i];
        unsigned d = (c >= 'A' && c <= 'F') ? static_cast<unsigned>(c - 'A' + 10)
                                             : static_cast<unsigned>(c) & 0x0F;
        v = static_cast<T_uint_16>((v << 4) | d);
    }
    return v;
}

// ---- Format ------------------------------------------------------------------

void DBIF_NUVAKFormat(T_NUVAK_step* step) {
    const char* rec = dbNUVAK.prec;
    step->grp_id = DBIF_FldToU16(&dbNUVAK.fld[NUVAK_GRPPRESET], rec);
    step->dwell = DBIF_FldToU16(&dbNUVAK.fld[NUVAK_GRPDWELL], rec);
}

void DBIF_GROUPFormat(T_GROUP_element* element) {
    const char* rec = dbGROUP.prec;
    element->mon_id = DBIF_FldToU16(&dbGROUP.fld[GROUP_MON], rec);
    element->cam_id = DBIF_FldToU16(&dbGROUP.fld[GROUP_CAM], rec);
    element->preset = DBIF_FldToU16(&dbGROUP.fld[GROUP_CAMPRESET], rec);
}

void DBIF_MONFormat(T_MON_config* rec) {
    const char* r = dbMON.prec;
    const T_field* f = dbMON.fld;
    rec->phys_no = DBIF_FldToU16(&f[MON_MON], r);
    rec->log_no = DBIF_FldToU32(&f[MON_LMON], r);
    rec->swid = DBIF_FldToU16(&f[MON_SWID], r);
    rec->swtype = DBIF_FldToU16(&f[MON_SWTYPE], r);
    rec->alarm_trig = DBIF_FldToU16(&f[MON_ALMTRIG], r);
    DBIF_FldToStrn(&f[MON_MONLOC], r, rec->location, sizeof rec->location, 0);
    std::memset(rec->model, 0, sizeof rec->model);
    DBIF_FldToStrn(&f[MON_MONMODEL], r, rec->model, sizeof rec->model - 1, 0);
    DBIF_FldToStrn(&f[MON_MONSERIAL], r, rec->serial, sizeof rec->serial, 0);
    rec->vport = DBIF_FldToU32(&f[MON_VPORT], r);
}

void DBIF_CAMFormat(T_CAM_config* rec) {
    const char* r = dbCAM.prec;
    const T_field* f = dbCAM.fld;
    rec->phys_no = DBIF_FldToU16(&f[CAM_CAM], r);
    rec->log_no = DBIF_FldToU32(&f[CAM_LCAM], r);
    rec->cport = DBIF_FldToU32(&f[CAM_CPORT], r);
    rec->vport = DBIF_FldToU32(&f[CAM_VPORT], r);
    rec->type_bits = DBIF_FldToHex4(&f[CAM_CAMTYPE], r);
    rec->type = (rec->type_bits & 7) ? 1 : 0;
    rec->f_preset = (rec->type_bits & 8) ? 1 : 0;
    rec->f_vd2 = YesField(&f[CAM_VD2], r);
    rec->cntl_data = YesField(&f[CAM_CNTLDATA], r);
    rec->f_menu = YesField(&f[CAM_MENU], r);
    rec->rs485_cfg = DBIF_FldToHex4(&f[CAM_RS485CFG], r);
    if (rec->type_bits & 16) rec->rs485_cfg |= 0x8000;
    char comp = r[f[CAM_COMP].offset];
    rec->comp = comp == 'L' ? 3 : (comp == 'M' ? 1 : 0);
    rec->osd_ctrl = DBIF_FldToU16(&f[CAM_OSDCNTL], r);
    rec->video_level = DBIF_FldToU16(&f[CAM_VIDLEVEL], r);
    rec->cswid = DBIF_FldToU16(&f[CAM_CSWID], r);
    rec->cswtype = DBIF_FldToU16(&f[CAM_CSWTYPE], r);
    rec->vswid = DBIF_FldToU16(&f[CAM_VSWID], r);
    rec->vswtype = DBIF_FldToU16(&f[CAM_VSWTYPE], r);
    rec->bit_rate = DBIF_FldToU16(&f[CAM_BITRATE], r);
    DBIF_FldToStrn(&f[CAM_TITLE], r, rec->title, sizeof rec->title, 0);
    std::memset(rec->model, 0, sizeof rec->model);
    DBIF_FldToStrn(&f[CAM_CAMMODEL], r, rec->model, sizeof rec->model - 1, 0);
    DBIF_FldToStrn(&f[CAM_CAMLOC], r, rec->location, sizeof rec->location, 0);
    DBIF_FldToStrn(&f[CAM_CAMSERIAL], r, rec->serial, sizeof rec->serial, 0);
}
