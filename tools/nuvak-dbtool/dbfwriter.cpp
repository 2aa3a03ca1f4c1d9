// dBASE IV data and production index writer. See dbfwriter.h.
#include "dbfwriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <numeric>

#include "byteorder.h"

namespace nuvak::dbw {
namespace {

// Data file header, little-endian.   OFFSET SIZE FIELD
//                                         0    1  version (0x03: dBASE III/IV, no memo)
//                                         1    3  date of last update: year - 1900, month, day
//                                         4    4  number of records
//                                         8    2  header length (32 + 32 * fields + 1)
//                                        10    2  record length (deletion flag + fields)
//                                        14    1  incomplete transaction (0)
//                                        15    1  encryption (0)
//                                        28    1  production index present
//                                        29    1  language driver (0)
//                                        32   32  field descriptors, then 0x0D
namespace dbf {
constexpr size_t kVersion = 0, kDate = 1, kRecCount = 4, kHeaderLen = 8, kRecLen = 10,
                 kMdxFlag = 28, kFieldsAt = 32, kSize = 32;
// Field descriptor.                  OFFSET SIZE FIELD
//                                         0   11  name, NUL-padded
//                                        11    1  type letter
//                                        16    1  width
//                                        17    1  decimal places
//                                        31    1  field has a tag in the production index
constexpr size_t kFldName = 0, kFldType = 11, kFldWidth = 16, kFldDec = 17, kFldTagged = 31,
                 kFldSize = 32;
constexpr std::uint8_t kTerminator = 0x0D, kEof = 0x1A;
}  // namespace dbf

// Production index, little-endian. Blocks of 512 bytes; pages of 2 blocks.
// File header (block 0).             OFFSET SIZE FIELD
//                                         0    1  version (2)
//                                         1    3  creation date
//                                         4   16  data file name without extension
//                                        20    2  page size in blocks (2)
//                                        22    2  page size in bytes (1024)
//                                        24    1  production index (1)
//                                        25    1  tag slots (48)
//                                        26    1  tag slot length (32)
//                                        28    2  tags in use
//                                        32    4  blocks in the file
//                                        36    4  first free block (0: none)
//                                        40    4  free blocks (0)
//                                        44    3  date of last update
// Tag table at 512: slot n at 512 + 32 n; slot 0 names the root of the tree
// over the tag names in byte 17.
//   Tag slot.                        OFFSET SIZE FIELD
//                                         0    4  block of the tag header
//                                         4   11  tag name, NUL-terminated
//                                        15    1  key format (0x10: a field)
//                                        16    1  slot of the left subtree (lower names)
//                                        17    1  slot of the right subtree (higher names)
//                                        18    1  slot of the parent
//                                        19    1  2
//                                        20    1  key type letter
// Tag header (one page).             OFFSET SIZE FIELD
//                                         0    4  block of the root page
//                                         4    4  blocks used by the tag's pages
//                                         8    1  key format (0x10: a field; 0x08 descending)
//                                         9    1  key type letter ('C', 'N')
//                                        12    2  key length
//                                        14    2  most entries per page
//                                        18    2  entry length (key length + 4, rounded up to 4)
//                                        20    1  change counter
//                                        23    1  unique keys (0x40); 0 here
//                                        24  220  key expression (the field name)
// Page.                              OFFSET SIZE FIELD
//                                         0    4  number of entries n
//                                         8    E  n entries: 4-byte pointer, then the key
//                                   8 + n E    4  leaf: 0; interior: the last child's block
// An interior entry carries the highest key of its child.
namespace mdx {
constexpr size_t kBlock = 512, kPage = 1024, kBlocksPerPage = kPage / kBlock;
constexpr size_t kVersion = 0, kDate = 1, kName = 4, kPageBlocks = 20, kPageBytes = 22,
                 kProduction = 24, kSlots = 25, kSlotLen = 26, kTagCount = 28, kFileBlocks = 32,
                 kUpdated = 44;
constexpr size_t kTagTable = 512, kSlotSize = 32, kMaxSlots = 48;
constexpr size_t kTagTableBlocks = (kSlotSize * kMaxSlots + kTagTable) / kBlock;  // blocks 0..3
constexpr size_t kSlotHeader = 0, kSlotName = 4, kSlotFormat = 15, kSlotLeft = 16, kSlotRight = 17,
                 kSlotParent = 18, kSlotTwo = 19, kSlotKeyType = 20;
constexpr size_t kTagRoot = 0, kTagBlocks = 4, kTagFormat = 8, kTagKeyType = 9, kTagKeyLen = 12,
                 kTagMaxKeys = 14, kTagEntryLen = 18, kTagCounter = 20, kTagExpr = 24;
constexpr size_t kPageCount = 0, kPageEntries = 8;
constexpr std::uint8_t kFieldKey = 0x10;
constexpr int kMaxCharKey = 100;
static_assert(kTagTableBlocks == 4, "header and tag table fill blocks 0..3");
}  // namespace mdx

void Put16(std::vector<std::uint8_t>& b, size_t at, std::uint32_t v) {
    nuvak::StoreLE16(b.data() + at, static_cast<std::uint16_t>(v));
}
void Put32(std::vector<std::uint8_t>& b, size_t at, std::uint32_t v) { nuvak::StoreLE32(b.data() + at, v); }
void PutText(std::vector<std::uint8_t>& b, size_t at, std::string_view s, size_t max) {
    std::memcpy(b.data() + at, s.data(), std::min(s.size(), max));
}

void PutDate(std::vector<std::uint8_t>& b, size_t at) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    b[at] = static_cast<std::uint8_t>(tm.tm_year);
    b[at + 1] = static_cast<std::uint8_t>(tm.tm_mon + 1);
    b[at + 2] = static_cast<std::uint8_t>(tm.tm_mday);
}

bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > 10) return false;
    for (char c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
    return !(name[0] >= '0' && name[0] <= '9');
}

// A permutation of 0..n-1: row -> record index.
std::vector<std::uint32_t> RecordSlots(size_t n, RecordOrder order, std::uint32_t seed) {
    std::vector<std::uint32_t> slot(n);
    std::iota(slot.begin(), slot.end(), 0u);
    if (order == RecordOrder::kReversed) {
        std::reverse(slot.begin(), slot.end());
    } else if (order == RecordOrder::kShuffled) {
        // xorshift32, so the layout is the same on every platform.
        std::uint32_t x = seed ? seed : 0x9E3779B9u;
        for (size_t i = n; i > 1; --i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            std::swap(slot[i - 1], slot[x % i]);
        }
    }
    return slot;
}

struct Entry {
    std::vector<std::uint8_t> key;
    std::uint32_t recno;
};

struct Page {
    std::vector<std::uint8_t> bytes;
};

// Builds the B-tree pages of one tag bottom-up and returns them in file order
// with the root last. `firstBlock` is the block of the first page.
void BuildTree(const std::vector<Entry>& entries, size_t entryLen, size_t perPage,
               std::uint32_t firstBlock, std::vector<Page>* pages) {
    struct Child {
        std::uint32_t block;
        const std::vector<std::uint8_t>* high;
    };
    std::vector<Child> level;
    auto newPage = [&]() -> std::vector<std::uint8_t>& {
        pages->push_back(Page{std::vector<std::uint8_t>(mdx::kPage, 0)});
        return pages->back().bytes;
    };
    auto blockOf = [&](size_t pageIndex) {
        return firstBlock + static_cast<std::uint32_t>(pageIndex * mdx::kBlocksPerPage);
    };

    // Leaves, entries spread evenly so that no leaf is nearly empty.
    size_t n = entries.size();
    size_t leaves = std::max<size_t>(1, (n + perPage - 1) / perPage);
    static const std::vector<std::uint8_t> kNone;
    for (size_t j = 0; j < leaves; ++j) {
        size_t from = j * n / leaves, to = (j + 1) * n / leaves;
        auto& p = newPage();
        Put32(p, mdx::kPageCount, static_cast<std::uint32_t>(to - from));
        for (size_t i = from; i < to; ++i) {
            size_t at = mdx::kPageEntries + (i - from) * entryLen;
            Put32(p, at, entries[i].recno);
            std::memcpy(p.data() + at + 4, entries[i].key.data(), entries[i].key.size());
        }
        // The trailing pointer stays 0: this is a leaf.
        level.push_back({blockOf(pages->size() - 1), to > from ? &entries[to - 1].key : &kNone});
    }

    // Interior levels: a page of k children holds k - 1 entries (child, its
    // highest key) and names the last child in its trailing pointer.
    while (level.size() > 1) {
        size_t c = level.size();
        size_t fan = perPage + 1;
        size_t count = (c + fan - 1) / fan;
        std::vector<Child> up;
        for (size_t j = 0; j < count; ++j) {
            size_t from = j * c / count, to = (j + 1) * c / count;
            auto& p = newPage();
            size_t k = to - from;
            Put32(p, mdx::kPageCount, static_cast<std::uint32_t>(k - 1));
            for (size_t i = 0; i + 1 < k; ++i) {
                size_t at = mdx::kPageEntries + i * entryLen;
                Put32(p, at, level[from + i].block);
                const auto& key = *level[from + i].high;
                std::memcpy(p.data() + at + 4, key.data(), key.size());
            }
            Put32(p, mdx::kPageEntries + (k - 1) * entryLen, level[to - 1].block);
            up.push_back({blockOf(pages->size() - 1), level[to - 1].high});
        }
        level.swap(up);
    }
}

// A balanced tree over the tag names: fills left/right/parent of each slot
// (slots are 1-based, in listed order) and returns the root slot.
// With `underscoreFirst` the names are ordered as some writers order them,
// '_' before letters and digits, instead of in byte order.
int BuildNameTree(const std::vector<std::string>& names, bool underscoreFirst,
                  std::vector<std::array<int, 3>>* links) {
    std::vector<int> order(names.size());
    std::iota(order.begin(), order.end(), 1);
    auto rank = [underscoreFirst](unsigned char c) { return underscoreFirst && c == '_' ? 0 : c + 1; };
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        return std::lexicographical_compare(
            names[a - 1].begin(), names[a - 1].end(), names[b - 1].begin(), names[b - 1].end(),
            [&](char x, char y) { return rank(static_cast<unsigned char>(x)) < rank(static_cast<unsigned char>(y)); });
    });
    links->assign(names.size() + 1, {0, 0, 0});
    struct Builder {
        std::vector<int>& order;
        std::vector<std::array<int, 3>>& links;
        int Build(int lo, int hi, int parent) {
            if (lo >= hi) return 0;
            int mid = (lo + hi) / 2;
            int slot = order[mid];
            links[slot][2] = parent;
            links[slot][0] = Build(lo, mid, slot);
            links[slot][1] = Build(mid + 1, hi, slot);
            return slot;
        }
    } b{order, *links};
    return b.Build(0, static_cast<int>(order.size()), 0);
}

bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool Close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

std::string SysError(const char* call, const std::string& path) {
    return std::string(call) + " " + path + ": " + std::strerror(errno);
}

bool WriteFileInPlace(const std::string& path, const std::vector<std::uint8_t>& bytes,
                      std::string* error) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (fd.get() < 0) return *error = SysError("open", path), false;
    if (!WriteAll(fd.get(), bytes)) return *error = SysError("write", path), false;
    if (::ftruncate(fd.get(), static_cast<off_t>(bytes.size())) != 0)
        return *error = SysError("ftruncate", path), false;
    if (!fd.Close()) return *error = SysError("close", path), false;
    return true;
}

bool WriteFileReplace(const std::string& path, const std::vector<std::uint8_t>& bytes,
                      std::string* error) {
    std::string tmp = path + ".tmp" + std::to_string(::getpid());
    {
        Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (fd.get() < 0) return *error = SysError("open", tmp), false;
        if (!WriteAll(fd.get(), bytes) || !fd.Close()) {
            *error = SysError("write", tmp);
            ::unlink(tmp.c_str());
            return false;
        }
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        *error = SysError("rename", tmp);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

// The highest change counter of the tags of an existing index, or -1 when
// there is no readable index. Bounded by the file's size throughout.
int ExistingChangeCounter(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return -1;
    std::vector<std::uint8_t> head(mdx::kTagTableBlocks * mdx::kBlock);
    if (::pread(fd.get(), head.data(), head.size(), 0) != static_cast<ssize_t>(head.size()))
        return -1;
    size_t tags = std::min<size_t>(head[mdx::kTagCount] | (head[mdx::kTagCount + 1] << 8),
                                   mdx::kMaxSlots - 1);
    int best = -1;
    for (size_t t = 1; t <= tags; ++t) {
        size_t slot = mdx::kTagTable + t * mdx::kSlotSize;
        std::uint32_t block = head[slot] | (head[slot + 1] << 8) | (head[slot + 2] << 16) |
                              (static_cast<std::uint32_t>(head[slot + 3]) << 24);
        std::uint8_t counter;
        if (::pread(fd.get(), &counter, 1, static_cast<off_t>(block) * 512 + mdx::kTagCounter) == 1)
            best = std::max<int>(best, counter);
    }
    return best;
}

}  // namespace

NumKey NumericKey(std::string_view text) {
    NumKey key{};
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    std::string intDigits, fracDigits;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') intDigits += text[i++];
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') fracDigits += text[i++];
    }
    intDigits.erase(0, std::min(intDigits.find_first_not_of('0'), intDigits.size()));
    while (!fracDigits.empty() && fracDigits.back() == '0') fracDigits.pop_back();

    size_t in = intDigits.size(), fn = fracDigits.size();
    std::string digits;
    if (in > 0) {
        key[0] = static_cast<std::uint8_t>(0x34 + in);
        digits = intDigits + fracDigits;
        key[1] = fn > 0 ? static_cast<std::uint8_t>((std::min<size_t>(in + fn, 20) * 4) | 1) : 0x29;
    } else if (fn > 0) {
        size_t f1 = fracDigits.find_first_not_of('0') + 1;
        key[0] = static_cast<std::uint8_t>(0x35 - f1);
        digits = fracDigits.substr(f1 - 1);
        key[1] = static_cast<std::uint8_t>((std::min<size_t>(digits.size(), 20) * 4) | 1);
    } else {
        key[0] = 0x34;
        key[1] = 0x01;
        return key;  // zero carries no sign
    }
    if (negative) key[1] |= 0x80;
    digits.resize(std::min<size_t>(digits.size(), 20));
    for (size_t d = 0; d < digits.size(); ++d) {
        std::uint8_t v = static_cast<std::uint8_t>(digits[d] - '0');
        key[2 + d / 2] |= (d % 2 == 0) ? static_cast<std::uint8_t>(v << 4) : v;
    }
    return key;
}

int CompareNumericKeys(const NumKey& a, const NumKey& b) {
    bool na = a[1] & 0x80, nb = b[1] & 0x80;
    if (na != nb) return na ? -1 : 1;
    auto isZero = [](const NumKey& k) { return k[0] == 0x34 && (k[1] & 0x7F) == 0x01; };
    int r;
    if (isZero(a) || isZero(b)) {
        r = isZero(a) == isZero(b) ? 0 : (isZero(a) ? -1 : 1);
    } else if (a[0] != b[0]) {
        r = a[0] < b[0] ? -1 : 1;
    } else {
        r = std::memcmp(a.data() + 2, b.data() + 2, 10);
        r = r < 0 ? -1 : (r > 0 ? 1 : 0);
    }
    return na ? -r : r;
}

bool FormatField(const Field& field, std::string_view value, std::string* out) {
    size_t w = static_cast<size_t>(field.width);
    switch (field.type) {
        case 'C':
            *out = std::string(value.substr(0, w));
            out->resize(w, ' ');
            return true;
        case 'L': {
            char c = value.empty() ? ' ' : value[0];
            if (value.size() > 1 || !std::strchr("TFYNtfyn? ", c)) return false;
            *out = std::string(1, c);
            return true;
        }
        case 'N': {
            std::string v(value);
            v.erase(0, v.find_first_not_of(' '));
            v.erase(v.find_last_not_of(' ') + 1);
            if (v.empty()) {
                *out = std::string(w, ' ');
                return true;
            }
            char* end = nullptr;
            double d = std::strtod(v.c_str(), &end);
            if (end != v.c_str() + v.size()) return false;
            char buf[64];
            int n;
            if (field.decimals > 0) {
                n = std::snprintf(buf, sizeof buf, "%*.*f", field.width, field.decimals, d);
            } else {
                // Integers keep their exact digits (no trip through double).
                if (v.find_first_of(".eE") != std::string::npos) {
                    n = std::snprintf(buf, sizeof buf, "%*.0f", field.width, d);
                } else {
                    n = std::snprintf(buf, sizeof buf, "%*s", field.width, v.c_str());
                }
            }
            if (n < 0 || static_cast<size_t>(n) != w) return false;
            *out = buf;
            return true;
        }
        default:
            return false;
    }
}

bool BuildTable(const Table& table, const WriteOptions& options, std::uint8_t changeCounter,
                TableImage* image, std::string* error) {
    const auto& fields = table.fields;
    if (fields.empty() || fields.size() > 128) return *error = "a table needs 1..128 fields", false;
    size_t recLen = 1;
    for (const auto& f : fields) {
        if (!ValidName(f.name)) return *error = "bad field name '" + f.name + "'", false;
        bool ok = (f.type == 'C' && f.width >= 1 && f.width <= 0xFFFE && f.decimals == 0) ||
                  (f.type == 'L' && f.width == 1 && f.decimals == 0) ||
                  (f.type == 'N' && f.width >= 1 && f.width <= 20 && f.decimals >= 0 &&
                   (f.decimals == 0 || f.decimals < f.width - 1));
        if (!ok) return *error = "field " + f.name + ": bad type, width or decimals", false;
        recLen += static_cast<size_t>(f.width);
    }
    if (recLen > 0xFFFF) return *error = "record too long", false;
    size_t n = table.rows.size();
    if (n > 0x7FFFFFFF) return *error = "too many records", false;
    if (options.pageKeys == 1 || options.pageKeys < 0)
        return *error = "entries per page must be 2 or more", false;

    // Data file.
    size_t headerLen = dbf::kFieldsAt + dbf::kFldSize * fields.size() + 1;
    auto& d = image->dbf;
    d.assign(headerLen + n * recLen + 1, ' ');
    std::fill(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(headerLen), 0);
    d[dbf::kVersion] = 0x03;
    PutDate(d, dbf::kDate);
    Put32(d, dbf::kRecCount, static_cast<std::uint32_t>(n));
    Put16(d, dbf::kHeaderLen, static_cast<std::uint32_t>(headerLen));
    Put16(d, dbf::kRecLen, static_cast<std::uint32_t>(recLen));
    d[dbf::kMdxFlag] = table.tags.empty() ? 0 : 1;
    std::vector<size_t> offset(fields.size());
    size_t at = 1;
    for (size_t i = 0; i < fields.size(); ++i) {
        const auto& f = fields[i];
        size_t fd = dbf::kFieldsAt + i * dbf::kFldSize;
        PutText(d, fd + dbf::kFldName, f.name, 10);
        d[fd + dbf::kFldType] = static_cast<std::uint8_t>(f.type);
        d[fd + dbf::kFldWidth] = static_cast<std::uint8_t>(f.width);
        // A character field over 255 bytes keeps the high byte of its width
        // where a numeric field keeps its decimals, as common writers do.
        d[fd + dbf::kFldDec] = static_cast<std::uint8_t>(f.type == 'C' ? f.width >> 8 : f.decimals);
        d[fd + dbf::kFldTagged] =
            std::find(table.tags.begin(), table.tags.end(), f.name) != table.tags.end() ? 1 : 0;
        offset[i] = at;
        at += static_cast<size_t>(f.width);
    }
    d[headerLen - 1] = dbf::kTerminator;
    d.back() = dbf::kEof;

    std::vector<std::uint32_t> slot = RecordSlots(n, options.order, options.seed);
    std::vector<std::vector<std::string>> stored(n);  // formatted fields per row
    for (size_t r = 0; r < n; ++r) {
        const auto& row = table.rows[r];
        if (row.size() != fields.size())
            return *error = "row " + std::to_string(r + 1) + ": wrong number of values", false;
        size_t base = headerLen + slot[r] * recLen;
        d[base] = ' ';  // not deleted
        stored[r].resize(fields.size());
        for (size_t i = 0; i < fields.size(); ++i) {
            if (!FormatField(fields[i], row[i], &stored[r][i]))
                return *error = "row " + std::to_string(r + 1) + ", field " + fields[i].name +
                                ": value '" + row[i] + "' does not fit",
                       false;
            std::memcpy(d.data() + base + offset[i], stored[r][i].data(), stored[r][i].size());
        }
    }

    // Index.
    auto& m = image->mdx;
    m.clear();
    if (table.tags.empty()) return true;
    if (table.tags.size() > mdx::kMaxSlots - 1) return *error = "too many tags", false;
    std::vector<std::uint8_t> head(mdx::kTagTableBlocks * mdx::kBlock, 0);
    head[mdx::kVersion] = 2;
    PutDate(head, mdx::kDate);
    PutDate(head, mdx::kUpdated);
    Put16(head, mdx::kPageBlocks, mdx::kBlocksPerPage);
    Put16(head, mdx::kPageBytes, mdx::kPage);
    head[mdx::kProduction] = 1;
    head[mdx::kSlots] = mdx::kMaxSlots;
    head[mdx::kSlotLen] = mdx::kSlotSize;
    Put16(head, mdx::kTagCount, static_cast<std::uint32_t>(table.tags.size()));
    Put16(head, mdx::kTagCount + 2, options.tagCountTail);

    std::vector<std::array<int, 3>> links;
    head[mdx::kTagTable + 17] =
        static_cast<std::uint8_t>(BuildNameTree(table.tags, options.underscoreFirst, &links));

    std::vector<std::vector<std::uint8_t>> body;  // pages after the tag table, in block order
    std::uint32_t nextBlock = mdx::kTagTableBlocks;
    for (size_t t = 0; t < table.tags.size(); ++t) {
        const std::string& name = table.tags[t];
        auto fit = std::find_if(fields.begin(), fields.end(),
                                [&](const Field& f) { return f.name == name; });
        if (fit == fields.end()) return *error = "tag " + name + " names no field", false;
        size_t fi = static_cast<size_t>(fit - fields.begin());
        bool numeric = fit->type == 'N';
        if (!numeric && fit->type != 'C') return *error = "tag " + name + ": field not C or N", false;
        if (!numeric && fit->width > mdx::kMaxCharKey)
            return *error = "tag " + name + ": key too long", false;
        size_t keyLen = numeric ? 12 : static_cast<size_t>(fit->width);
        size_t entryLen = (keyLen + 4 + 3) / 4 * 4;
        size_t maxKeys = (mdx::kPage - mdx::kPageEntries - 4) / entryLen;
        size_t perPage = options.pageKeys > 0 ? std::min<size_t>(maxKeys, options.pageKeys) : maxKeys;

        std::vector<Entry> entries(n);
        for (size_t r = 0; r < n; ++r) {
            const std::string& text = stored[r][fi];
            if (numeric) {
                NumKey k = NumericKey(text);
                entries[r].key.assign(k.begin(), k.end());
            } else {
                entries[r].key.assign(text.begin(), text.end());
            }
            entries[r].recno = slot[r] + 1;
        }
        std::stable_sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
            if (numeric) {
                NumKey ka, kb;
                std::copy(a.key.begin(), a.key.end(), ka.begin());
                std::copy(b.key.begin(), b.key.end(), kb.begin());
                return CompareNumericKeys(ka, kb) < 0;
            }
            return a.key < b.key;
        });

        std::uint32_t headerBlock = nextBlock;
        std::vector<Page> pages;
        BuildTree(entries, entryLen, perPage,
                  headerBlock + static_cast<std::uint32_t>(mdx::kBlocksPerPage), &pages);
        std::vector<std::uint8_t> th(mdx::kPage, 0);
        std::uint32_t rootBlock =
            headerBlock + static_cast<std::uint32_t>(pages.size() * mdx::kBlocksPerPage);
        Put32(th, mdx::kTagRoot, rootBlock);
        Put32(th, mdx::kTagBlocks, static_cast<std::uint32_t>(pages.size() * mdx::kBlocksPerPage));
        th[mdx::kTagFormat] = mdx::kFieldKey;
        th[mdx::kTagKeyType] = numeric ? 'N' : 'C';
        Put16(th, mdx::kTagKeyLen, static_cast<std::uint32_t>(keyLen));
        Put16(th, mdx::kTagMaxKeys, static_cast<std::uint32_t>(maxKeys));
        Put16(th, mdx::kTagEntryLen, static_cast<std::uint32_t>(entryLen));
        th[mdx::kTagCounter] = changeCounter;
        PutText(th, mdx::kTagExpr, name, 10);
        body.push_back(std::move(th));
        for (auto& p : pages) body.push_back(std::move(p.bytes));
        nextBlock += static_cast<std::uint32_t>((pages.size() + 1) * mdx::kBlocksPerPage);

        size_t s = mdx::kTagTable + (t + 1) * mdx::kSlotSize;
        Put32(head, s + mdx::kSlotHeader, headerBlock);
        PutText(head, s + mdx::kSlotName, name, 10);
        head[s + mdx::kSlotFormat] = mdx::kFieldKey;
        head[s + mdx::kSlotLeft] = static_cast<std::uint8_t>(links[t + 1][0]);
        head[s + mdx::kSlotRight] = static_cast<std::uint8_t>(links[t + 1][1]);
        head[s + mdx::kSlotParent] = static_cast<std::uint8_t>(links[t + 1][2]);
        head[s + mdx::kSlotTwo] = 2;
        head[s + mdx::kSlotKeyType] = numeric ? 'N' : 'C';
    }
    Put32(head, mdx::kFileBlocks, nextBlock);
    m = std::move(head);
    for (auto& p : body) m.insert(m.end(), p.begin(), p.end());
    return true;
}

bool WriteTable(const std::string& path, const Table& table, const WriteOptions& options,
                std::string* error) {
    std::string dbfPath = path + ".dbf", mdxPath = path + ".mdx";
    int counter = options.inPlace ? ExistingChangeCounter(mdxPath) : -1;
    TableImage image;
    if (!BuildTable(table, options, static_cast<std::uint8_t>(counter + 1), &image, error))
        return false;
    // The base name goes into the index header (cut to 16 characters).
    if (!image.mdx.empty()) {
        std::string base = path.substr(path.find_last_of('/') + 1);
        std::fill(image.mdx.begin() + mdx::kName, image.mdx.begin() + mdx::kName + 16, 0);
        PutText(image.mdx, mdx::kName, base, 16);
    }
    auto write = options.inPlace ? WriteFileInPlace : WriteFileReplace;
    if (!write(dbfPath, image.dbf, error)) return false;
    if (image.mdx.empty()) {
        ::unlink(mdxPath.c_str());
        return true;
    }
    return write(mdxPath, image.mdx, error);
}

}  // namespace nuvak::dbw
