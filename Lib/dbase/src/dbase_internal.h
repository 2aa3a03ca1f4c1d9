// Private parts of the dBASE read layer: control blocks, byte helpers, file
// access, report numbers and the table of live handles.
#ifndef DBASE_INTERNAL_H
#define DBASE_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "byteorder.h"
#include "dbase.h"

namespace nuvak {
namespace dbase {

// Every control block carries this value while it is valid.
constexpr std::uint32_t kMagic = 0x263A;

// Detailed report numbers left in d_report. The open-error and tag-tree
// numbers are the ones the installation's tools know; the rest are ours,
// grouped by area (104xx data/index files, 40xx conversions, 105xx corrupt
// index structure).
namespace report {
constexpr int kNoFile = 10421;         // data or index file does not exist
constexpr int kOpenError = 10422;      // any other open failure
constexpr int kTagSlot = 10403;        // tag-tree slot out of range
constexpr int kNoTag = 10404;          // tag name not in the tree
constexpr int kDecimals = 4041;        // dUatonf: width/decimals unusable
constexpr int kNumWidth = 4081;        // dUnftonk: width 21 or more
constexpr int kNotNumber = 4082;       // dUnftonk: text is not a number
constexpr int kBadNumKey = 4083;       // dUnktoa: not a packed-decimal key
constexpr int kDbType = 10001;         // DBinit: type not accepted
constexpr int kBadHandle = 10002;      // handle not open
constexpr int kMemory = 10003;         // allocation failed
constexpr int kShortHeader = 10430;    // data header shorter than 32 bytes
                                       // or than its header length
constexpr int kHeaderLength = 10431;   // header length under 65
constexpr int kRecordLength = 10432;   // record length 0
constexpr int kVersion = 10433;        // version byte's low bits not 3
constexpr int kTransaction = 10434;    // incomplete-transaction flag set
constexpr int kFieldsTooWide = 10435;  // fields do not fit the record
constexpr int kRecnoRange = 10436;     // record number out of range
constexpr int kRecordPastEnd = 10437;  // record lies past the end of file
constexpr int kReadError = 10438;      // read or seek failed
constexpr int kNoField = 10439;        // field name not found
constexpr int kFieldRange = 10440;     // field position out of range
constexpr int kIndexHeader = 10501;    // index file header unusable
constexpr int kTagTable = 10502;       // tag table past end of file
constexpr int kTagTree = 10503;        // tag-name tree forms a cycle
constexpr int kTagHeader = 10504;      // tag header unusable (key/entry)
constexpr int kPageRange = 10505;      // page pointer outside the file
constexpr int kEntryCount = 10506;     // entries overrun their page
constexpr int kTreeDepth = 10507;      // tree deeper than the bound
constexpr int kTreeCycle = 10508;      // a page is its own ancestor
constexpr int kWalkBound = 10509;      // a walk visited more leaves than
                                       // the file has pages
constexpr int kEndOfTag = 10510;       // past the end of the tag
constexpr int kKeyNotFound = 10511;    // key not in the tag
constexpr int kTagRange = 10512;       // tag number out of range
constexpr int kNameLength = 10513;     // file name too long
constexpr int kPassChanged = 10514;    // a file changed while a load pass
                                       // read it
constexpr int kIndexStale = 10515;     // index entries do not match the
                                       // data file's records
constexpr int kDataShort = 10516;      // data file shorter than its header
                                       // says
}  // namespace report

// Little-endian loads from a byte buffer (byteorder.h); the caller has
// checked the range.
using nuvak::LoadLE16;
using nuvak::LoadLE32;

// The bytes of a whole file as a load pass read it (see DBpassbegin).
struct FileCopy {
    std::unique_ptr<unsigned char[]> data;
    std::size_t size = 0;      // bytes of the file
    std::size_t capacity = 0;  // bytes of `data`
};

// One open file: a read-only descriptor it owns, or, inside a load pass,
// the pass's copy of the file (shared with every other open of the same
// path in the pass; kept alive by this open after the pass has ended).
class File {
public:
    File() = default;
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens `path` read-only; on failure returns the layer's code and report.
    int Open(const char* path, int* report);
    // Reads up to `len` bytes at `offset` (from the file in pieces of at most
    // 16384 bytes, or from the copy); returns the bytes read (short at end of
    // file) or -1 on a read error.
    long ReadAt(std::uint64_t offset, unsigned char* buf, std::size_t len) const;
    // Current size of the file (of the copy), or 0 when it cannot be taken.
    std::uint64_t Size() const;
    // For a file read from a load pass's copy: the copy's bytes at
    // [offset, offset + len), or null when they are not all in the file.
    // Always null for a file read from its descriptor.
    const unsigned char* CopyAt(std::uint64_t offset, std::size_t len) const {
        if (!copy_ || offset > copy_->size || len > copy_->size - offset) return nullptr;
        return copy_->data.get() + offset;
    }
    bool IsCopy() const { return copy_ != nullptr; }

private:
    int fd_ = -1;
    std::shared_ptr<const FileCopy> copy_;
};

// Records the outcome of a call in the global data block and returns `code`.
inline int Fail(T_DBGDAT* gdat, int code, int rep) {
    if (gdat) {
        gdat->dretcode = code;
        gdat->d_report = rep;
    }
    return code;
}
inline int Ok(T_DBGDAT* gdat) {
    if (gdat) gdat->dretcode = 0;
    return 0;
}

// Order of two 12-byte packed-decimal keys by the numbers they encode:
// negative, zero, positive; -1, 0 or 1.
int CompareNumKeys(const unsigned char* a, const unsigned char* b);

// Table of live handles: a handle is looked up here before it is touched, so
// a stale or foreign pointer is refused instead of dereferenced.
void RegisterHandle(const void* h);
void UnregisterHandle(const void* h);
bool IsLiveHandle(const void* h);

}  // namespace dbase
}  // namespace nuvak

// One field as the data file describes it.
struct DbaseField {
    char name[11];
    char type;
    int width;
    int decimals;
    unsigned offset;
};

// Control block of an open data file.
struct DbaseDbf {
    std::uint32_t magic = 0;
    T_DBGDAT* gdat = nullptr;  // borrowed; the caller keeps it alive
    nuvak::dbase::File file;
    std::uint32_t reccnt = 0;
    unsigned hdrlen = 0;
    unsigned reclen = 0;
    std::vector<DbaseField> fields;
    // Node buffer: whole groups of records read at once.
    std::vector<unsigned char> node;
    std::size_t node_size = 0;
    std::uint32_t recs_per_node = 0;
    long node_no = -1;           // node held in `node`, -1 for none
    std::size_t node_valid = 0;  // bytes of `node` actually read
};

#endif
