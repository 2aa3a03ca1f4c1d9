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

namespace {

// Files a pass copies whole; a larger one is read as it would be outside
// a pass.
constexpr std::uint64_t kMaxCopy = 64u << 20;
// Piece in which the end of a pass compares a file with its copy.
constexpr std::size_t kComparePiece = 256u << 10;

// What a pass found at a path: its copy, or the open failure (then `copy`
// is null and `rc` the layer's code), or a file too large to copy.
struct PassEntry {
    std::string path;
    std::shared_ptr<FileCopy> copy;
    int rc = 0;
    int rep = 0;
    bool too_large = false;
};

struct Pass {
    int depth = 0;
    std::vector<PassEntry> files;
    // Paths the last pass found changed at its end (DBpasschanged).
    std::vector<std::string> changed;
    // Buffers of earlier passes' copies that nothing holds any more, reused
    // so that a pass does not fault fresh memory in for every file.
    std::vector<std::unique_ptr<unsigned char[]>> spare;
    std::vector<std::size_t> spare_size;
};

Pass& CurrentPass() {
    static Pass pass;
    return pass;
}

// Keeps at most this many bytes of spare buffers between passes.
constexpr std::size_t kMaxSpare = 32u << 20;

// A buffer of at least `want` bytes: the smallest spare one that fits, or a
// new one (null when none can be had).
std::unique_ptr<unsigned char[]> TakeBuffer(std::size_t want, std::size_t* capacity) {
    Pass& pass = CurrentPass();
    std::size_t best = pass.spare.size();
    for (std::size_t i = 0; i < pass.spare.size(); ++i)
        if (pass.spare_size[i] >= want && (best == pass.spare.size() || pass.spare_size[i] < pass.spare_size[best]))
            best = i;
    if (best < pass.spare.size()) {
        std::unique_ptr<unsigned char[]> b = std::move(pass.spare[best]);
        *capacity = pass.spare_size[best];
        pass.spare.erase(pass.spare.begin() + static_cast<std::ptrdiff_t>(best));
        pass.spare_size.erase(pass.spare_size.begin() + static_cast<std::ptrdiff_t>(best));
        return b;
    }
    *capacity = want;
    return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[want]);
}

// Keeps the buffer of a copy nothing holds any more for a later pass.
void KeepBuffer(const std::shared_ptr<FileCopy>& copy) {
    Pass& pass = CurrentPass();
    if (!copy || copy.use_count() != 1) return;
    std::size_t kept = 0;
    for (std::size_t n : pass.spare_size) kept += n;
    FileCopy& c = *copy;
    if (kept + c.capacity > kMaxSpare) return;
    pass.spare.push_back(std::move(c.data));
    pass.spare_size.push_back(c.capacity);
}

int OpenFd(const char* path, int* fd, int* rep) {
    *fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (*fd >= 0) return 0;
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

// Reads the whole of the open file `fd` (whose size fstat gave as `size`)
// into `out`: one read when the size holds, more when the file grows
// meanwhile. False on a read error or beyond kMaxCopy.
bool ReadWhole(int fd, std::uint64_t size, FileCopy* out) {
    // One byte more than the size, so that a file of that size ends the read.
    std::size_t cap = 0;
    std::unique_ptr<unsigned char[]> buf = TakeBuffer(static_cast<std::size_t>(size) + 1, &cap);
    if (!buf) return false;
    std::size_t done = 0;
    for (;;) {
        std::size_t want = cap - done;
        ssize_t got = ::pread(fd, buf.get() + done, want, static_cast<off_t>(done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(got);
        // A regular file reads short only at its end.
        if (static_cast<std::size_t>(got) < want) break;
        if (done == cap) {
            if (cap > kMaxCopy) return false;
            std::unique_ptr<unsigned char[]> more(new (std::nothrow) unsigned char[cap * 2]);
            if (!more) return false;
            std::memcpy(more.get(), buf.get(), done);
            buf = std::move(more);
            cap *= 2;
        }
    }
    out->data = std::move(buf);
    out->size = done;
    out->capacity = cap;
    return true;
}

// The pass's entry for `path`, reading the file at its first open.
const PassEntry& PassFile(const char* path) {
    Pass& pass = CurrentPass();
    for (const PassEntry& e : pass.files)
        if (e.path == path) return e;
    PassEntry e;
    e.path = path;
    int fd = -1;
    e.rc = OpenFd(path, &fd, &e.rep);
    if (e.rc == 0) {
        struct stat st;
        auto copy = std::make_shared<FileCopy>();
        if (::fstat(fd, &st) != 0 || st.st_size < 0 ||
            static_cast<std::uint64_t>(st.st_size) > kMaxCopy ||
            !ReadWhole(fd, static_cast<std::uint64_t>(st.st_size), copy.get()))
            e.too_large = true;  // read as outside a pass
        else
            e.copy = std::move(copy);
        ::close(fd);
    }
    pass.files.push_back(std::move(e));
    return pass.files.back();
}

// Whether the file at `e.path` is still what the pass found there.
bool Unchanged(const PassEntry& e) {
    int fd = -1, rep = 0;
    int rc = OpenFd(e.path.c_str(), &fd, &rep);
    if (!e.copy) {
        if (rc == 0) ::close(fd);
        return e.too_large || rc == e.rc;
    }
    if (rc != 0) return false;
    struct stat st;
    const FileCopy& was = *e.copy;
    bool same = ::fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) == was.size;
    // Compared piece by piece through one buffer kept for the purpose
    // (a few reads per file, no fresh memory to fault in at every pass).
    static std::unique_ptr<unsigned char[]> piece(new unsigned char[kComparePiece]);
    std::size_t done = 0;
    while (same) {
        std::size_t want = std::min(kComparePiece, was.size + 1 - done);
        ssize_t got = ::pread(fd, piece.get(), want, static_cast<off_t>(done));
        if (got < 0) {
            if (errno == EINTR) continue;
            same = false;
            break;
        }
        std::size_t n = static_cast<std::size_t>(got);
        if (done + n > was.size || std::memcmp(piece.get(), was.data.get() + done, n) != 0) same = false;
        done += n;
        if (n < want) break;  // the end of the file
    }
    same = same && done == was.size;
    ::close(fd);
    return same;
}

}  // namespace

File::~File() {
    if (fd_ >= 0) ::close(fd_);
}

int File::Open(const char* path, int* rep) {
    if (CurrentPass().depth > 0) {
        const PassEntry& e = PassFile(path);
        if (e.copy) {
            copy_ = e.copy;
            return 0;
        }
        if (!e.too_large) {
            *rep = e.rep;
            return e.rc;
        }
    }
    return OpenFd(path, &fd_, rep);
}

long File::ReadAt(std::uint64_t offset, unsigned char* buf, std::size_t len) const {
    if (copy_) {
        if (offset >= copy_->size) return 0;
        std::size_t n = std::min(len, static_cast<std::size_t>(copy_->size - offset));
        std::memcpy(buf, copy_->data.get() + offset, n);
        return static_cast<long>(n);
    }
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
    if (copy_) return copy_->size;
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

int DBpassbegin(void) {
    Pass& pass = CurrentPass();
    if (pass.depth++ == 0) pass.changed.clear();
    return 0;
}

int DBpassend(void) {
    Pass& pass = CurrentPass();
    if (pass.depth == 0) return 0;
    if (--pass.depth > 0) return 0;
    // Every file is compared (not only up to the first that changed), so
    // that the caller learns which tables changed.
    pass.changed.clear();
    for (const PassEntry& e : pass.files)
        if (!Unchanged(e)) pass.changed.push_back(e.path);
    for (PassEntry& e : pass.files) KeepBuffer(e.copy);
    pass.files.clear();
    return pass.changed.empty() ? 0 : DBRET_CHANGED;
}

int DBpasschanged(const char* path) {
    if (!path) return 0;
    for (const std::string& p : CurrentPass().changed)
        if (p == path) return 1;
    return 0;
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
    dbf->reccnt = LoadLE32(head + dbfhdr::kRecCount);
    dbf->hdrlen = LoadLE16(head + dbfhdr::kHeaderLen);
    dbf->reclen = LoadLE16(head + dbfhdr::kRecordLen);
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
            f.width = LoadLE16(d + dbfhdr::kDescLen);
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

namespace {
const unsigned char* ReadNode(DbaseDbf* dbf, std::uint64_t index);
}  // namespace

int dDgetrec(DBF h, long recno, char* buffer) {
    DbaseDbf* dbf = CheckDbf(h);
    if (!dbf) return DBRET_BADHANDLE;
    if (!buffer || recno < 1 || static_cast<unsigned long>(recno) > dbf->reccnt)
        return Fail(dbf->gdat, DBRET_RANGE, report::kRecnoRange);
    std::uint64_t index = static_cast<std::uint64_t>(recno - 1);
    const unsigned char* rec = nullptr;
    if (dbf->file.IsCopy()) {
        // A load pass's copy: the record straight from it.
        rec = dbf->file.CopyAt(dbf->hdrlen + index * dbf->reclen, dbf->reclen);
        if (!rec) return Fail(dbf->gdat, DBRET_IO, report::kRecordPastEnd);
    } else {
        rec = ReadNode(dbf, index);
        if (!rec) return dbf->gdat->dretcode;
    }
    dbf->gdat->d_recno = static_cast<std::int32_t>(recno);
    if (dbf->gdat->d_request & 1)
        std::memcpy(buffer, rec + 1, dbf->reclen - 1);
    else
        std::memcpy(buffer, rec, dbf->reclen);
    return Ok(dbf->gdat);
}

namespace {
// Record `index` (0-based) through the node buffer, or null with the failure
// recorded.
const unsigned char* ReadNode(DbaseDbf* dbf, std::uint64_t index) {
    long node_no = static_cast<long>(index / dbf->recs_per_node);
    std::size_t in_node = static_cast<std::size_t>(index % dbf->recs_per_node) * dbf->reclen;
    // The last node of a file is usually short; a record that does not lie
    // wholly inside what was read is past the end of the file.
    if (node_no != dbf->node_no || in_node + dbf->reclen > dbf->node_valid) {
        std::uint64_t pos = dbf->hdrlen + static_cast<std::uint64_t>(node_no) * dbf->node_size;
        dbf->node_no = -1;
        long got = dbf->file.ReadAt(pos, dbf->node.data(), dbf->node_size);
        if (got < 0) {
            Fail(dbf->gdat, DBRET_IO, report::kReadError);
            return nullptr;
        }
        dbf->node_no = node_no;
        dbf->node_valid = static_cast<std::size_t>(got);
        if (in_node + dbf->reclen > dbf->node_valid) {
            Fail(dbf->gdat, DBRET_IO, report::kRecordPastEnd);
            return nullptr;
        }
    }
    return dbf->node.data() + in_node;
}
}  // namespace

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
