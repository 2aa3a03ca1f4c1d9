// Data files (".dbf"): open and validate the header, field descriptors,
// records read through the node buffer. Also the global data block, return
// code names, file access and the table of live handles.
//
// Data file header, little-endian (the parts read):
//   OFFSET SIZE FIELD
//        0    1 version; low two bits 3 for dBASE III/IV
//        1    3 date of last update (year - 1900, month, day)
//        4    4 number of records
//        8    2 header length = offset of record 1; at least 65
//       10    2 record length including the deletion flag; not 0
//       15    1 incomplete-transaction flag; must be 0
//       28    1 production index present
//       32   32 field descriptors, (header length - 32) / 32 of them, ended
//               early by a 0x0D byte
// Field descriptor: 0-10 name (NUL-padded), 11 type, 16 length, 17 decimals.
// A character field has no decimals; writers of character fields longer
// than 255 bytes keep the length's high byte in byte 17, so a character
// field's length is bytes 16-17 (the fields must then fill no more than the
// record, or the table is refused).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>

#include "dbase_internal.h"

using namespace nuvak::dbase;

namespace {

namespace dbfhdr {
constexpr std::size_t kVersion = 0, kRecCount = 4, kHeaderLen = 8, kRecordLen = 10,
                      kTransaction = 15, kFields = 32, kFixedSize = 32;
constexpr std::size_t kDescSize = 32, kDescType = 11, kDescLen = 16, kDescDec = 17;
constexpr unsigned kMinHeaderLen = 65;
}  // namespace dbfhdr

constexpr std::size_t kReadPiece = 16384;
// First read of a data file: the fixed header and up to 30 field
// descriptors with their terminator (wider headers take a second read).
constexpr std::size_t kHeadRead = 1024;

// Live handles. A handful are open at a time (a lookup holds a data file,
// its index and a tag), so a plain vector searched from its newest end keeps
// the check that precedes every call cheap, and allocates only to grow.
std::vector<const void*>& LiveHandles() {
    static std::vector<const void*> live;
    return live;
}

DbaseDbf* CheckDbf(DBF dbf) {
    if (!IsLiveHandle(dbf) || dbf->magic != kMagic) return nullptr;
    return dbf;
}

}  // namespace

namespace nuvak {
namespace dbase {

File::~File() {
    if (fd_ >= 0) ::close(fd_);
}

int File::Open(const char* path, int* rep) {
    fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd_ >= 0) return 0;
    switch (errno) {
        case ENOENT:
        case ENOTDIR:
            *rep = report::kNoFile;
            return DBRET_NOTFOUND;
        case EMFILE:
        case ENFILE:
            *rep = report::kOpenError;
            return DBRET_NFILES;
        case EACCES:
        case EPERM:
        case EROFS:
            *rep = report::kOpenError;
            return DBRET_ACCESS;
        case ENOSPC:
            *rep = report::kOpenError;
            return DBRET_DISKFULL;
        default:
            *rep = report::kOpenError;
            return DBRET_IO;
    }
}

long File::ReadAt(std::uint64_t offset, unsigned char* buf, std::size_t len) const {
    std::size_t done = 0;
    while (done < len) {
        std::size_t piece = std::min(len - done, kReadPiece);
        ssize_t got = ::pread(fd_, buf + done, piece, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<long>(done);
}

std::uint64_t File::Size() const {
    struct stat st;
    if (::fstat(fd_, &st) != 0 || st.st_size < 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

void RegisterHandle(const void* h) {
    if (!IsLiveHandle(h)) LiveHandles().push_back(h);
}
void UnregisterHandle(const void* h) {
    std::vector<const void*>& live = LiveHandles();
    for (std::size_t i = live.size(); i-- > 0;)
        if (live[i] == h) {
            live[i] = live.back();
            live.pop_back();
            return;
        }
}
bool IsLiveHandle(const void* h) {
    if (!h) return false;
    const std::vector<const void*>& live = LiveHandles();
    for (std::size_t i = live.size(); i-- > 0;)
        if (live[i] == h) return true;
    return false;
}

}  // namespace dbase
}  // namespace nuvak

const char* DBretname(int code) {
    switch (code) {
#define DBRET_NAME(c, name) \
    case c:                 \
        return #name;
        DBRET_CODE_LIST(DBRET_NAME)
#undef DBRET_NAME
        default:
            return "DBRET_UNKNOWN";
    }
}

int DBinit(T_DBGDAT* gdat, unsigned type) {
    if (!gdat) return DBRET_BADHANDLE;
    switch (type) {
        case 1: case 2: case 4: case 7: case 8: case 16: case 32776:
            break;
        default:
            return Fail(gdat, DBRET_DBTYPE, report::kDbType);
    }
    std::memset(gdat, 0, sizeof *gdat);
    gdat->d_dbtype = type;
    gdat->d_blksiz = 1;
    gdat->F_blksiz = 64;
    gdat->dbf_buffs = 1;
    gdat->index_buffs = 10;
    gdat->set_date = 1;
    gdat->d_timeout = 20;
    if (type == 1)
        gdat->dnetstyle = 1;
    else if (type == 8 || type == 32776)
        gdat->dnetstyle = 4;
    else if (type == 16)
        gdat->dnetstyle = 6;
    return 0;
}

DBF dDopen(T_DBGDAT* gdat, const char* name, int /*mode*/, int /*buffers*/) {
    if (!gdat || !name) {
        Fail(gdat, DBRET_NOTFOUND, report::kNoFile);
        return nullptr;
    }
    std::vector<char> path(std::strlen(name) + 8);
    if (dUexpnm(name, "dbf", path.data(), path.size()) != 0) {
        Fail(gdat, DBRET_NOTFOUND, report::kNameLength);
        return nullptr;
    }
    std::unique_ptr<DbaseDbf> dbf(new (std::nothrow) DbaseDbf);
    if (!dbf) {
        Fail(gdat, DBRET_MEMORY, report::kMemory);
        return nullptr;
    }
    dbf->gdat = gdat;
    int rep = 0;
    int rc = dbf->file.Open(path.data(), &rep);
    if (rc != 0) {
        Fail(gdat, rc, rep);
        return nullptr;
    }

    // One read takes the fixed header and, for all but the widest tables,
    // every field descriptor; a longer header is completed by a second read.
    unsigned char head[kHeadRead];
    long got = dbf->file.ReadAt(0, head, sizeof head);
    if (got < 0) {
        Fail(gdat, DBRET_IO, report::kReadError);
        return nullptr;
    }
    if (got < static_cast<long>(dbfhdr::kFixedSize)) {
        Fail(gdat, DBRET_BADFILE, report::kShortHeader);
        return nullptr;
    }
    dbf->reccnt = LoadLe32(head + dbfhdr::kRecCount);
    dbf->hdrlen = LoadLe16(head + dbfhdr::kHeaderLen);
    dbf->reclen = LoadLe16(head + dbfhdr::kRecordLen);
    if (dbf->hdrlen < dbfhdr::kMinHeaderLen) {
        Fail(gdat, DBRET_BADFILE, report::kHeaderLength);
        return nullptr;
    }
    if (dbf->reclen == 0) {
        Fail(gdat, DBRET_BADFILE, report::kRecordLength);
        return nullptr;
    }
    std::size_t nfields = (dbf->hdrlen - dbfhdr::kFields) / dbfhdr::kDescSize;
    const unsigned char* hdr = head;
    std::vector<unsigned char> longhdr;
    std::size_t have = static_cast<std::size_t>(got);
    if (have < dbf->hdrlen && have == sizeof head) {
        longhdr.resize(dbf->hdrlen);
        std::memcpy(longhdr.data(), head, have);
        long more = dbf->file.ReadAt(have, longhdr.data() + have, dbf->hdrlen - have);
        if (more < 0) {
            Fail(gdat, DBRET_IO, report::kReadError);
            return nullptr;
        }
        have += static_cast<std::size_t>(more);
        hdr = longhdr.data();
    }
    // A header that claims more bytes than the file holds is cut short.
    if (have < dbf->hdrlen) {
        Fail(gdat, DBRET_BADFILE, report::kShortHeader);
        return nullptr;
    }
    if (hdr[dbfhdr::kTransaction] != 0) {
        Fail(gdat, DBRET_TRANSACT, report::kTransaction);
        return nullptr;
    }
    if ((hdr[dbfhdr::kVersion] & 3) != 3) {
        Fail(gdat, DBRET_BADFILE, report::kVersion);
        return nullptr;
    }

    std::size_t used = 0;  // descriptors before the terminator
    while (used < nfields && hdr[dbfhdr::kFields + used * dbfhdr::kDescSize] != 0x0D) ++used;
    dbf->fields.reserve(used);
    unsigned offset = 1;  // byte 0 of a record is the deletion flag
    for (std::size_t i = 0; i < used; ++i) {
        const unsigned char* d = hdr + dbfhdr::kFields + i * dbfhdr::kDescSize;
        DbaseField f;
        std::memcpy(f.name, d, 10);
        f.name[10] = '\0';
        f.type = static_cast<char>(d[dbfhdr::kDescType]);
        if (f.type == 'C') {
            f.width = LoadLe16(d + dbfhdr::kDescLen);
            f.decimals = 0;
        } else {
            f.width = d[dbfhdr::kDescLen];
            f.decimals = d[dbfhdr::kDescDec];
        }
        f.offset = offset;
        offset += static_cast<unsigned>(f.width);
        dbf->fields.push_back(f);
    }
    // Fields reaching past the record would make field reads run off it.
    if (offset > dbf->reclen) {
        Fail(gdat, DBRET_BADFILE, report::kFieldsTooWide);
        return nullptr;
    }

    // Node: about (L / 256 + 1) KiB of whole records, or one record when
    // records are 8 KiB or longer.
    unsigned k = dbf->reclen / 256;
    if (k < 32) {
        dbf->node_size = ((k + 1) * 1024u / dbf->reclen) * dbf->reclen;
    } else {
        dbf->node_size = dbf->reclen;
    }
    dbf->recs_per_node = static_cast<std::uint32_t>(dbf->node_size / dbf->reclen);
    try {
        dbf->node.resize(dbf->node_size);
    } catch (const std::bad_alloc&) {
        Fail(gdat, DBRET_MEMORY, report::kMemory);
        return nullptr;
    }
    dbf->magic = kMagic;
    RegisterHandle(dbf.get());
    Ok(gdat);
    return dbf.release();
}

int dDreclen(DBF h) {
    DbaseDbf* dbf = CheckDbf(h);
    if (!dbf) return DBRET_BADHANDLE;
    return static_cast<int>(dbf->reclen);
}

int dDreccnt(DBF h, long* count) {
    DbaseDbf* dbf = CheckDbf(h);
    if (!dbf) return DBRET_BADHANDLE;
    if (count) *count = static_cast<long>(dbf->reccnt);
    return Ok(dbf->gdat);
}

int dDgetrec(DBF h, long recno, char* buffer) {
    DbaseDbf* dbf = CheckDbf(h);
    if (!dbf) return DBRET_BADHANDLE;
    if (!buffer || recno < 1 || static_cast<unsigned long>(recno) > dbf->reccnt)
        return Fail(dbf->gdat, DBRET_RANGE, report::kRecnoRange);
    std::uint64_t index = static_cast<std::uint64_t>(recno - 1);
    long node_no = static_cast<long>(index / dbf->recs_per_node);
    std::size_t in_node = static_cast<std::size_t>(index % dbf->recs_per_node) * dbf->reclen;
    // The last node of a file is usually short; a record that does not lie
    // wholly inside what was read is past the end of the file.
    if (node_no != dbf->node_no || in_node + dbf->reclen > dbf->node_valid) {
        std::uint64_t pos = dbf->hdrlen + static_cast<std::uint64_t>(node_no) * dbf->node_size;
        dbf->node_no = -1;
        long got = dbf->file.ReadAt(pos, dbf->node.data(), dbf->node_size);
        if (got < 0) return Fail(dbf->gdat, DBRET_IO, report::kReadError);
        dbf->node_no = node_no;
        dbf->node_valid = static_cast<std::size_t>(got);
        if (in_node + dbf->reclen > dbf->node_valid)
            return Fail(dbf->gdat, DBRET_IO, report::kRecordPastEnd);
    }
    const unsigned char* rec = dbf->node.data() + in_node;
    dbf->gdat->d_recno = static_cast<std::int32_t>(recno);
    if (dbf->gdat->d_request & 1)
        std::memcpy(buffer, rec + 1, dbf->reclen - 1);
    else
        std::memcpy(buffer, rec, dbf->reclen);
    return Ok(dbf->gdat);
}

int dDfldnm(DBF h, char* name, unsigned* offset, int* position, char* type, int* width,
            int* decimals) {
    DbaseDbf* dbf = CheckDbf(h);
    if (!dbf) return DBRET_BADHANDLE;
    if (!name) return Fail(dbf->gdat, DBRET_NOTFOUND, report::kNoField);
    for (char* p = name; *p; ++p) *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    for (std::size_t i = 0; i < dbf->fields.size(); ++i) {
        const DbaseField& f = dbf->fields[i];
        if (std::strncmp(f.name, name, 11) != 0) continue;
        if (offset) *offset = f.offset;
        if (position) *position = static_cast<int>(i + 1);
        if (type) *type = f.type;
        if (width) *width = f.width;
        if (decimals) *decimals = f.decimals;
        return Ok(dbf->gdat);
    }
    return Fail(dbf->gdat, DBRET_NOTFOUND, report::kNoField);
}

int dDfldcnt(DBF h) {
    DbaseDbf* dbf = CheckDbf(h);
    if (!dbf) return DBRET_BADHANDLE;
    return static_cast<int>(dbf->fields.size());
}

int dDfldinfo(DBF h, int position, char* name, unsigned* offset, char* type, int* width,
              int* decimals) {
    DbaseDbf* dbf = CheckDbf(h);
    if (!dbf) return DBRET_BADHANDLE;
    if (position < 1 || static_cast<std::size_t>(position) > dbf->fields.size())
        return Fail(dbf->gdat, DBRET_RANGE, report::kFieldRange);
    const DbaseField& f = dbf->fields[static_cast<std::size_t>(position - 1)];
    if (name) std::memcpy(name, f.name, sizeof f.name);
    if (offset) *offset = f.offset;
    if (type) *type = f.type;
    if (width) *width = f.width;
    if (decimals) *decimals = f.decimals;
    return Ok(dbf->gdat);
}

int dDclose(DBF h) {
    DbaseDbf* dbf = CheckDbf(h);
    if (!dbf) return DBRET_BADHANDLE;
    UnregisterHandle(dbf);
    dbf->magic = 0;
    delete dbf;
    return 0;
}
