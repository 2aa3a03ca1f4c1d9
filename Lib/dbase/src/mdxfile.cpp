// Production multiple-index files (".mdx", dBASE IV): file header, tag table
// and its name tree, tag headers, B-tree pages, seek, step and rewind.
//
// Index file header, little-endian (the parts read):
//   OFFSET SIZE FIELD
//       20    1 page size in 512-byte blocks (2 when smaller, 32 when larger)
//       26    1 tag slot length: 32 in dBASE IV (0 from some writers); the
//               43 of level-7 files is refused
//       28    2 number of tags (at most 47) when the slot length is 32;
//               bytes 30-31 then hold other data in files of some writers
//               (02 1B, 03 1B seen). With slot length 0 the count is read
//               as 4 bytes.
// Pages and headers are addressed by block number x 512.
//
// Tag table at offset 512, slot n at 512 + 32 n; slot 0 is not a tag, its
// byte 17 is the slot of the root of the tag-name tree.
//   OFFSET SIZE FIELD (tag slot)
//        0    4 block of the tag header
//        4   11 tag name, NUL-terminated
//       16    1 slot of the left subtree (lower names), 0 none
//       17    1 slot of the right subtree (higher names), 0 none
//
// Tag header:
//   OFFSET SIZE FIELD
//        0    4 block of the root page
//        8    1 key flags; 0x08 descending
//        9    1 key type letter (C, N, F, D)
//       12    2 key length
//       18    2 entry length (key length + 4, rounded up)
//       20    1 change counter, moved by every writer
//       23    1 0x40: unique keys (not trusted: real files break it)
//
// Index page (page size bytes):
//   OFFSET SIZE FIELD
//        0    4 number of entries n (low 16 bits)
//        8    n entries of entry length: 4-byte pointer, then the key
//   8+n*len   4 trailing pointer: the rightmost child in an interior page,
//               0 in a leaf (which is how a leaf is told apart)
// Leaf pointers are record numbers; interior pointers are child page blocks,
// and an interior key is the highest key of its child's subtree.
//
// Everything taken from the file is bounded before use: tag counts by the
// format's limit and the file's length, slots by the tag count, key and entry
// lengths by the page, entry counts by the page; a page or header must lie
// wholly inside the file (a read that comes back short is refused). Descents
// are bounded in depth and refuse a page that is its own ancestor; a walk
// that visits more leaves than the file has pages stops, so a corrupt tree
// can neither hang nor read outside a buffer.
//
// Reads per open: one for the head (header, tag table, first tag header),
// one per page not cached; in a load pass none (pages are used in place in
// the pass's copy of the file). The change counter costs a read at each seek and
// at each step that leaves the leaf the tag holds (see CheckCounter).
#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>

#include "dbase_internal.h"

using namespace nuvak::dbase;

namespace {

constexpr std::uint64_t kBlock = 512;

namespace mdxhdr {
constexpr std::size_t kPageBlocks = 20, kSlotLen = 26, kTagCount = 28, kSize = 48;
constexpr unsigned kMaxTags = 47;
}  // namespace mdxhdr

namespace tagslot {
constexpr std::size_t kTableOffset = 512, kSize = 32, kHeaderBlock = 0, kName = 4,
                      kNameSize = 11, kLeft = 16, kRight = 17;
}  // namespace tagslot

namespace taghdr {
constexpr std::size_t kRoot = 0, kFlags = 8, kKeyType = 9, kKeyLen = 12, kEntryLen = 18,
                      kCounter = 20, kUnique = 23, kSize = 24;
constexpr unsigned char kDescending = 0x08, kUniqueBit = 0x40;
}  // namespace taghdr

namespace page {
constexpr std::size_t kCount = 0, kEntries = 8, kPointer = 4;
}  // namespace page

// Deepest B-tree accepted: far beyond any real file (a two-way tree of 2^32
// records), small enough to bound a descent.
constexpr std::size_t kMaxDepth = 32;

struct PathStep {
    std::uint32_t block;
    unsigned index;  // entry (leaf) or child (interior) at this level
};

// What one page holds, checked against the page size.
struct CachedPage;
struct PageView {
    const unsigned char* data = nullptr;
    const CachedPage* slot = nullptr;  // the cache slot holding it
    unsigned n = 0;
    std::uint32_t trailing = 0;
    bool leaf() const { return trailing == 0; }
};

// The kept path of a tag, root first, leaf last; never deeper than
// kMaxDepth (PushPage refuses more).
class Path {
public:
    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }
    void clear() { size_ = 0; }
    void push_back(PathStep s) { steps_[size_++] = s; }
    void pop_back() { --size_; }
    PathStep& back() { return steps_[size_ - 1]; }
    const PathStep& back() const { return steps_[size_ - 1]; }
    const PathStep* begin() const { return steps_; }
    const PathStep* end() const { return steps_ + size_; }

private:
    PathStep steps_[kMaxDepth];
    std::size_t size_ = 0;
};

// A page slot of the index file's cache; its bytes are slot n of the
// file's page buffer.
struct CachedPage {
    const unsigned char* bytes = nullptr;  // the slot's buffer, or the page
                                           // in a load pass's copy of the file
    std::uint32_t block = 0;
    std::uint64_t stamp = 0;
    std::uint64_t fill = 0;  // which reading of the file put the bytes here
    bool used = false;
};

// Pages an index file keeps at most (the page buffers asked for are cut to
// this), and the first bytes of the file read at open: the header block, the
// tag table of up to 47 tags (512 + 48 x 32 = 2048) and the fixed part of a
// tag header at block 4, where writers put the first tag's header.
constexpr std::size_t kMaxPages = 64;
constexpr std::size_t kHeadSize = 2048 + taghdr::kSize;
static_assert(tagslot::kTableOffset + tagslot::kSize * (mdxhdr::kMaxTags + 1) <= kHeadSize,
              "the head read holds the largest tag table");

// Leaves a walk may visit before it is bounded by the file's size (taken
// then); no lookup comes near it, so the file size is rarely needed.
constexpr std::uint64_t kFreeLeaves = 16;

enum class Pos {
    kNone,     // not positioned: the next step gives the first entry
    kOn,       // on an entry already returned
    kBefore,   // on an entry the next step gives (after a re-seek)
    kPastEnd,  // past the last entry
};

}  // namespace

struct DbaseMdx;

// Control block of an active tag.
struct DbaseTag {
    std::uint32_t magic = 0;
    DbaseMdx* mdx = nullptr;  // owner; the tag lives as long as it
    std::uint32_t header_block = 0;
    std::uint32_t root = 0;
    char keytype = 'C';
    bool descending = false;
    bool unique = false;
    unsigned keylen = 0;
    unsigned entlen = 0;
    unsigned char counter = 0;
    // The header was read by the activation and no seek or step has used
    // that reading yet: it stands for the first change-counter check.
    bool header_fresh = false;
    Pos pos = Pos::kNone;
    Path path;
    // The leaf the tag is on: its entry count and where it is cached.
    unsigned leaf_n = 0;
    std::size_t leaf_slot = 0;
    std::uint64_t leaf_fill = 0;
    unsigned char curkey[DB_MAXKEYLEN] = {};
    long currec = 0;
    std::uint64_t leaf_visits = 0;
    bool verified = false;  // dXverify found it matching its data file
};

// Control block of an open index file.
struct DbaseMdx {
    std::uint32_t magic = 0;
    T_DBGDAT* gdat = nullptr;  // borrowed from the data file's open
    File file;
    std::uint64_t filesize = 0;  // valid while size_known
    bool size_known = false;
    unsigned page_size = 1024;
    unsigned ntags = 0;
    std::vector<std::unique_ptr<DbaseTag>> tags;
    // The file's first kHeadSize bytes as read at open (head_len of them;
    // 0 once a writer has been seen), so that the header, the tag table and
    // the first tag header cost one read.
    unsigned char head[kHeadSize];
    std::size_t head_len = 0;
    // Page cache: cache_cap slots of page_size bytes in `pages`; slots from
    // nslots on have not been used since the last drop.
    std::unique_ptr<unsigned char[]> pages;
    CachedPage cache[kMaxPages];
    std::size_t nslots = 0;
    std::uint64_t fills = 0;
    std::size_t cache_cap = 4;
    std::uint64_t clock = 0;
    // The data file as dXopen found it: its record count, and whether it
    // holds every record that count promises (dXverify).
    std::uint32_t data_reccnt = 0;
    bool data_complete = false;
};

namespace {

DbaseMdx* CheckMdx(MDX mdx) {
    if (!IsLiveHandle(mdx) || mdx->magic != kMagic) return nullptr;
    return mdx;
}

// A live tag's index file is open: dXclose takes the tags out of the table
// of live handles with it, so the owner needs no lookup of its own.
DbaseTag* CheckTag(TAG tag) {
    if (!IsLiveHandle(tag) || tag->magic != kMagic || tag->mdx->magic != kMagic) return nullptr;
    return tag;
}

int TagFail(DbaseTag* t, int code, int rep) { return Fail(t->mdx->gdat, code, rep); }

// The file's current size (one fstat per writer generation).
std::uint64_t FileSize(DbaseMdx* m) {
    if (!m->size_known) {
        m->filesize = m->file.Size();
        m->size_known = true;
    }
    return m->filesize;
}

// Reads `len` bytes at `offset`, which must lie wholly inside the file (a
// range reaching past its end is refused). Ranges inside the head come from
// the open's reading of it, unless `fresh` asks for the file's bytes now.
int ReadExact(DbaseMdx* m, std::uint64_t offset, unsigned char* buf, std::size_t len, int rep,
              bool fresh = false) {
    if (!fresh && offset <= m->head_len && len <= m->head_len - offset) {
        std::memcpy(buf, m->head + offset, len);
        return 0;
    }
    long got = m->file.ReadAt(offset, buf, len);
    if (got < 0) return Fail(m->gdat, DBRET_IO, report::kReadError);
    if (static_cast<std::size_t>(got) != len) return Fail(m->gdat, DBRET_BADFILE, rep);
    return 0;
}

// Forgets everything read from the file: after a writer has been seen.
void DropFileState(DbaseMdx* m) {
    m->size_known = false;
    m->head_len = 0;
    m->nslots = 0;
}

unsigned char* SlotBuffer(DbaseMdx* m, const CachedPage* slot) {
    return m->pages.get() + static_cast<std::size_t>(slot - m->cache) * m->page_size;
}
const unsigned char* PageBytes(const CachedPage* slot) { return slot->bytes; }

// Whether the leaf the tag landed on is still in its cache slot, with the
// bytes of the same reading.
bool LeafHeld(const DbaseTag* t) {
    const DbaseMdx* m = t->mdx;
    if (t->leaf_slot >= m->nslots) return false;
    const CachedPage& c = m->cache[t->leaf_slot];
    return c.used && c.fill == t->leaf_fill;
}

// Gives page `block` through the cache (least recently used replaced). The
// view stays valid until the next page is read.
int ReadPage(DbaseTag* t, std::uint32_t block, PageView* view) {
    DbaseMdx* m = t->mdx;
    CachedPage* slot = nullptr;
    for (std::size_t i = 0; i < m->nslots; ++i)
        if (m->cache[i].used && m->cache[i].block == block) {
            slot = &m->cache[i];
            break;
        }
    if (!slot) {
        if (block == 0) return TagFail(t, DBRET_BADFILE, report::kPageRange);
        if (m->nslots < m->cache_cap) {
            slot = &m->cache[m->nslots++];
        } else {
            // An empty slot (a failed read's), else the least recently used.
            slot = std::min_element(m->cache, m->cache + m->nslots, [](const CachedPage& a, const CachedPage& b) {
                return a.used != b.used ? !a.used : a.stamp < b.stamp;
            });
        }
        slot->used = false;
        // A load pass's copy is read in place; a page reaching past its end
        // is refused as a short read would be.
        const unsigned char* bytes = m->file.CopyAt(block * kBlock, m->page_size);
        if (!bytes) {
            if (m->file.IsCopy()) return Fail(m->gdat, DBRET_BADFILE, report::kPageRange);
            unsigned char* buf = SlotBuffer(m, slot);
            int rc = ReadExact(m, block * kBlock, buf, m->page_size, report::kPageRange);
            if (rc != 0) return rc;
            bytes = buf;
        }
        slot->bytes = bytes;
        slot->block = block;
        slot->fill = ++m->fills;
        slot->used = true;
    }
    slot->stamp = ++m->clock;
    const unsigned char* p = PageBytes(slot);
    unsigned n = LoadLE16(p + page::kCount);
    std::size_t end = page::kEntries + static_cast<std::size_t>(n) * t->entlen;
    if (end > m->page_size) return TagFail(t, DBRET_BADFILE, report::kEntryCount);
    view->data = p;
    view->slot = slot;
    view->n = n;
    // A leaf filled to the last byte has no room for the trailing pointer.
    view->trailing = end + page::kPointer <= m->page_size ? LoadLE32(p + end) : 0;
    return 0;
}

const unsigned char* EntryKey(const DbaseTag* t, const PageView& v, unsigned i) {
    return v.data + page::kEntries + static_cast<std::size_t>(i) * t->entlen + page::kPointer;
}
std::uint32_t EntryPointer(const DbaseTag* t, const PageView& v, unsigned i) {
    if (i == v.n) return v.trailing;
    return LoadLE32(v.data + page::kEntries + static_cast<std::size_t>(i) * t->entlen);
}

// Order of two keys in the tag's own order.
int CompareKeys(const DbaseTag* t, const unsigned char* a, const unsigned char* b) {
    int c;
    if (t->keytype == 'N' || t->keytype == 'F') {
        c = CompareNumKeys(a, b);
    } else if (t->keytype == 'D') {
        double da, db;
        std::uint64_t ua = 0, ub = 0;
        for (int i = 7; i >= 0; --i) {
            ua = (ua << 8) | a[i];
            ub = (ub << 8) | b[i];
        }
        std::memcpy(&da, &ua, sizeof da);
        std::memcpy(&db, &ub, sizeof db);
        c = da < db ? -1 : (da > db ? 1 : (da == db ? 0 : std::memcmp(a, b, 8)));
    } else {
        c = std::memcmp(a, b, t->keylen);
    }
    c = c < 0 ? -1 : (c > 0 ? 1 : 0);
    return t->descending ? -c : c;
}

bool InPath(const DbaseTag* t, std::uint32_t block) {
    for (const PathStep& s : t->path)
        if (s.block == block) return true;
    return false;
}

// Pushes `block` onto the path, refusing cycles and excessive depth.
int PushPage(DbaseTag* t, std::uint32_t block, unsigned index) {
    if (t->path.size() >= kMaxDepth) return TagFail(t, DBRET_BADFILE, report::kTreeDepth);
    if (InPath(t, block)) return TagFail(t, DBRET_BADFILE, report::kTreeCycle);
    t->path.push_back({block, index});
    return 0;
}

// Goes into page `block` from above: pushed onto the path at its first entry
// and read into `view`.
int EnterPage(DbaseTag* t, std::uint32_t block, PageView* view) {
    const int rc = PushPage(t, block, 0);
    return rc != 0 ? rc : ReadPage(t, block, view);
}

// Counts a leaf visit of the current walk: a walk may visit kFreeLeaves
// leaves, or as many as the file has pages (and two) if that is more.
int CountLeaf(DbaseTag* t) {
    if (++t->leaf_visits <= kFreeLeaves) return 0;
    std::uint64_t pages = FileSize(t->mdx) / t->mdx->page_size + 2;
    if (t->leaf_visits > pages) return TagFail(t, DBRET_BADFILE, report::kWalkBound);
    return 0;
}

// Goes down from `block` to the first entry of its leftmost leaf.
int DescendLeftmost(DbaseTag* t, std::uint32_t block) {
    for (;;) {
        PageView v;
        int rc = EnterPage(t, block, &v);
        if (rc != 0) return rc;
        if (v.leaf()) return CountLeaf(t);
        block = EntryPointer(t, v, 0);
    }
}

// Makes the path's leaf entry a real entry: while the leaf index is past its
// leaf's last entry, climbs to the next subtree and descends into it. Takes
// the entry's key and record. DBRET_EOF when the tag has no further entry.
int Settle(DbaseTag* t) {
    while (!t->path.empty()) {
        PageView v;
        int rc = ReadPage(t, t->path.back().block, &v);
        if (rc != 0) return rc;
        unsigned idx = t->path.back().index;
        if (idx < v.n) {
            const unsigned char* k = EntryKey(t, v, idx);
            std::memcpy(t->curkey, k, t->keylen);
            t->currec = static_cast<long>(EntryPointer(t, v, idx));
            t->leaf_n = v.n;
            t->leaf_slot = static_cast<std::size_t>(v.slot - t->mdx->cache);
            t->leaf_fill = v.slot->fill;
            return 0;
        }
        t->path.pop_back();
        for (;;) {
            if (t->path.empty()) return DBRET_EOF;
            PathStep& up = t->path.back();
            rc = ReadPage(t, up.block, &v);
            if (rc != 0) return rc;
            if (!v.leaf() && up.index < v.n) {
                ++up.index;
                rc = DescendLeftmost(t, EntryPointer(t, v, up.index));
                if (rc != 0) return rc;
                break;
            }
            t->path.pop_back();
        }
    }
    return DBRET_EOF;
}

void Unposition(DbaseTag* t, Pos p) {
    t->pos = p;
    if (p != Pos::kOn && p != Pos::kBefore) t->path.clear();
}

// The outcome of a seek or a step: past the end of the tag, no position after
// a failure, or on the key the path now leads to (0).
int Land(DbaseTag* t, int rc) {
    if (rc == DBRET_EOF) {
        Unposition(t, Pos::kPastEnd);
        return TagFail(t, DBRET_EOF, report::kEndOfTag);
    }
    if (rc != 0) {
        Unposition(t, Pos::kNone);
        return rc;
    }
    t->pos = Pos::kOn;
    return 0;
}

// Reads and checks the tag header; fills the tag's fields.
int LoadTagHeader(DbaseTag* t) {
    DbaseMdx* m = t->mdx;
    unsigned char h[taghdr::kSize];
    int rc = ReadExact(m, t->header_block * kBlock, h, sizeof h, report::kTagHeader);
    if (rc != 0) return rc;
    unsigned keylen = LoadLE16(h + taghdr::kKeyLen);
    unsigned entlen = LoadLE16(h + taghdr::kEntryLen);
    char type = static_cast<char>(h[taghdr::kKeyType]);
    bool bad = keylen == 0 || keylen > DB_MAXKEYLEN || entlen < keylen + page::kPointer ||
               page::kEntries + entlen + page::kPointer > m->page_size ||
               ((type == 'N' || type == 'F') && keylen != DB_NUMKEY_LEN) || (type == 'D' && keylen != 8);
    if (bad) return Fail(m->gdat, DBRET_BADFILE, report::kTagHeader);
    t->root = LoadLE32(h + taghdr::kRoot);
    t->keytype = type;
    t->descending = (h[taghdr::kFlags] & taghdr::kDescending) != 0;
    t->unique = (h[taghdr::kUnique] & taghdr::kUniqueBit) != 0;
    t->keylen = keylen;
    t->entlen = entlen;
    t->counter = h[taghdr::kCounter];
    return 0;
}

// Seeks the leftmost entry whose key is >= `key` in tag order. The unique
// flag is not trusted (writers break it), so equal keys are always passed
// over to the leftmost one.
int SeekInternal(DbaseTag* t, const unsigned char* key) {
    t->path.clear();
    t->leaf_visits = 0;
    std::uint32_t block = t->root;
    for (;;) {
        PageView v;
        int rc = EnterPage(t, block, &v);
        if (rc != 0) return rc;
        // The position is the leftmost entry whose key is not below the
        // search key; a page's entries are in tag order, so it is found by
        // halving. (A page out of order gives some position in it, never
        // one outside it.)
        unsigned lo = 0, hi = v.n;
        while (lo < hi) {
            unsigned mid = lo + (hi - lo) / 2;
            if (CompareKeys(t, key, EntryKey(t, v, mid)) <= 0)
                hi = mid;
            else
                lo = mid + 1;
        }
        unsigned i = lo;
        t->path.back().index = i;
        if (v.leaf()) {
            rc = CountLeaf(t);
            if (rc != 0) return rc;
            break;
        }
        block = EntryPointer(t, v, i);
    }
    // Position n in a leaf means the next greater key starts the next leaf.
    return Settle(t);
}

// Re-reads the header when a writer has moved the change counter. Drops the
// cached pages and, for a tag on an entry, finds that entry again.
int Revalidate(DbaseTag* t) {
    DbaseMdx* m = t->mdx;
    t->header_fresh = false;
    unsigned char h[taghdr::kSize];
    int rc = ReadExact(m, t->header_block * kBlock, h, sizeof h, report::kTagHeader, true);
    if (rc != 0) return rc;
    if (h[taghdr::kCounter] == t->counter) return 0;
    // A writer has been here: the file may have changed size and anything
    // read from it may be stale.
    DropFileState(m);
    t->verified = false;
    rc = LoadTagHeader(t);
    if (rc != 0) return rc;
    if (t->pos != Pos::kOn) {
        if (t->pos == Pos::kBefore) Unposition(t, Pos::kNone);
        return 0;
    }
    unsigned char key[DB_MAXKEYLEN];
    std::memcpy(key, t->curkey, sizeof key);
    long rec = t->currec;
    rc = SeekInternal(t, key);
    while (rc == 0 && CompareKeys(t, key, t->curkey) == 0 && t->currec != rec) {
        ++t->path.back().index;
        rc = Settle(t);
    }
    if (rc == DBRET_EOF) {
        Unposition(t, Pos::kPastEnd);
        return 0;
    }
    if (rc != 0) return rc;
    // The same entry again, or (if it went away) the first one after it.
    bool same = CompareKeys(t, key, t->curkey) == 0 && t->currec == rec;
    t->pos = same ? Pos::kOn : Pos::kBefore;
    return 0;
}

// The change-counter check before a seek or a step. The header read by the
// tag's activation stands for the first check. A step to the next entry of
// the leaf the tag is on, while that leaf is still cached, takes the entry
// from the page without going to the file: the leaf was read as one piece,
// and the counter is checked whenever the tag goes back to the file (every
// seek, every step that leaves the leaf).
int CheckCounter(DbaseTag* t, bool next_in_leaf) {
    if (t->header_fresh) {
        t->header_fresh = false;
        return 0;
    }
    return next_in_leaf ? 0 : Revalidate(t);
}

// Whether the tag is on an entry that is not its leaf's last, with that
// leaf still cached: the next step is then taken by StepInLeaf.
bool NextInLeaf(const DbaseTag* t) {
    return t->pos == Pos::kOn && !t->path.empty() && t->path.back().index + 1 < t->leaf_n && LeafHeld(t);
}

// The step to the next entry of the held leaf (whose entry count was checked
// against the page when the tag landed on it).
void StepInLeaf(DbaseTag* t) {
    DbaseMdx* m = t->mdx;
    CachedPage& c = m->cache[t->leaf_slot];
    c.stamp = ++m->clock;
    unsigned idx = ++t->path.back().index;
    const unsigned char* e = PageBytes(&c) + page::kEntries + static_cast<std::size_t>(idx) * t->entlen;
    std::memcpy(t->curkey, e + page::kPointer, t->keylen);
    t->currec = static_cast<long>(LoadLE32(e));
}

// The name in tag slot `slot` of a tag table, NUL-terminated.
struct SlotText {
    char name[tagslot::kNameSize];
};
SlotText SlotName(const unsigned char* table, unsigned slot) {
    SlotText t;
    std::memcpy(t.name, table + tagslot::kSize * slot + tagslot::kName, sizeof t.name);
    t.name[tagslot::kNameSize - 1] = '\0';
    return t;
}

// The first of slots 1..ntags named `want`, or 0.
unsigned FindTagSlot(const unsigned char* table, unsigned ntags, const char* want) {
    for (unsigned slot = 1; slot <= ntags; ++slot)
        if (std::strncmp(want, SlotName(table, slot).name, tagslot::kNameSize) == 0) return slot;
    return 0;
}

}  // namespace

MDX dXopen(DBF dbf, const char* name, int /*mode*/, int buffers) {
    if (!IsLiveHandle(dbf) || dbf->magic != kMagic) return nullptr;
    T_DBGDAT* gdat = dbf->gdat;
    if (!name) {
        Fail(gdat, DBRET_NOTFOUND, report::kNoFile);
        return nullptr;
    }
    std::vector<char> path(std::strlen(name) + 8);
    if (dUexpnm(name, "mdx", path.data(), path.size()) != 0) {
        Fail(gdat, DBRET_NOTFOUND, report::kNameLength);
        return nullptr;
    }
    std::unique_ptr<DbaseMdx> m(new (std::nothrow) DbaseMdx);
    if (!m) {
        Fail(gdat, DBRET_MEMORY, report::kMemory);
        return nullptr;
    }
    m->gdat = gdat;
    m->data_reccnt = dbf->reccnt;
    m->data_complete = dbf->file.Size() >= dbf->hdrlen + static_cast<std::uint64_t>(dbf->reccnt) * dbf->reclen;
    int rep = 0;
    int rc = m->file.Open(path.data(), &rep);
    if (rc != 0) {
        Fail(gdat, rc, rep);
        return nullptr;
    }
    long got = m->file.ReadAt(0, m->head, sizeof m->head);
    if (got < 0) {
        Fail(gdat, DBRET_IO, report::kReadError);
        return nullptr;
    }
    m->head_len = static_cast<std::size_t>(got);
    unsigned char h[mdxhdr::kSize];
    if (ReadExact(m.get(), 0, h, sizeof h, report::kIndexHeader) != 0) return nullptr;
    unsigned units = h[mdxhdr::kPageBlocks];
    units = std::min(32u, std::max(2u, units));
    m->page_size = units * static_cast<unsigned>(kBlock);
    unsigned slotlen = h[mdxhdr::kSlotLen];
    // Level-7 files are told apart by their 43-byte slots. In a file with
    // 32-byte slots the count is 16 bits: some writers keep other data in
    // bytes 30-31.
    std::uint32_t ntags =
        slotlen == tagslot::kSize ? LoadLE16(h + mdxhdr::kTagCount) : LoadLE32(h + mdxhdr::kTagCount);
    if ((slotlen != 0 && slotlen != tagslot::kSize) || ntags > mdxhdr::kMaxTags) {
        Fail(gdat, DBRET_BADFILE, report::kIndexHeader);
        return nullptr;
    }
    m->ntags = ntags;
    if (tagslot::kTableOffset + tagslot::kSize * (ntags + 1) > m->head_len) {
        Fail(gdat, DBRET_BADFILE, report::kTagTable);
        return nullptr;
    }
    int want = gdat ? gdat->index_buffs : 0;
    m->cache_cap = static_cast<std::size_t>(
        std::max(4, std::min(static_cast<int>(kMaxPages), std::max(want, buffers))));
    m->pages.reset(new (std::nothrow) unsigned char[m->cache_cap * m->page_size]);
    if (!m->pages) {
        Fail(gdat, DBRET_MEMORY, report::kMemory);
        return nullptr;
    }
    m->magic = kMagic;
    RegisterHandle(m.get());
    Ok(gdat);
    return m.release();
}

TAG dXactidx(MDX h, const char* tagname) {
    DbaseMdx* m = CheckMdx(h);
    if (!m) return nullptr;
    if (!tagname) {
        Fail(m->gdat, DBRET_NOTFOUND, report::kNoTag);
        return nullptr;
    }
    char want[tagslot::kNameSize] = {0};
    for (std::size_t i = 0; i < 10 && tagname[i]; ++i)
        want[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(tagname[i])));

    // The tag count is at most 47 (checked at open).
    unsigned char table[tagslot::kSize * (mdxhdr::kMaxTags + 1)];
    if (ReadExact(m, tagslot::kTableOffset, table, tagslot::kSize * (m->ntags + 1), report::kTagTable) != 0)
        return nullptr;
    unsigned slot = table[tagslot::kRight];
    // Each step goes one level down; more steps than slots is a cycle.
    for (unsigned steps = 0;; ++steps) {
        if (slot == 0) {
            // The tree missed. Writers differ in the order of their name
            // trees (one sorts '_' before letters), so the slots are
            // searched in file order before the tag is called absent.
            slot = FindTagSlot(table, m->ntags, want);
            if (slot == 0) {
                Fail(m->gdat, DBRET_NOTFOUND, report::kNoTag);
                return nullptr;
            }
            break;
        }
        if (slot > m->ntags) {
            Fail(m->gdat, DBRET_RANGE, report::kTagSlot);
            return nullptr;
        }
        if (steps > m->ntags) {
            Fail(m->gdat, DBRET_BADFILE, report::kTagTree);
            return nullptr;
        }
        int c = std::strncmp(want, SlotName(table, slot).name, tagslot::kNameSize);
        if (c == 0) break;
        const unsigned char* s = table + tagslot::kSize * slot;
        slot = c < 0 ? s[tagslot::kLeft] : s[tagslot::kRight];
    }
    std::uint32_t header_block = LoadLE32(table + tagslot::kSize * slot + tagslot::kHeaderBlock);
    for (auto& t : m->tags)
        if (t->header_block == header_block) {
            Ok(m->gdat);
            return t.get();
        }
    std::unique_ptr<DbaseTag> t(new (std::nothrow) DbaseTag);
    if (!t) {
        Fail(m->gdat, DBRET_MEMORY, report::kMemory);
        return nullptr;
    }
    t->mdx = m;
    t->header_block = header_block;
    if (LoadTagHeader(t.get()) != 0) return nullptr;
    t->header_fresh = true;
    t->magic = kMagic;
    RegisterHandle(t.get());
    m->tags.push_back(std::move(t));
    Ok(m->gdat);
    return m->tags.back().get();
}

int dXkeylen(TAG h) {
    DbaseTag* t = CheckTag(h);
    if (!t) return DBRET_BADHANDLE;
    return static_cast<int>(t->keylen);
}

char dXkeytype(TAG h) {
    DbaseTag* t = CheckTag(h);
    return t ? t->keytype : '\0';
}

int dXkeyexpr(TAG h, char* out, int size) {
    DbaseTag* t = CheckTag(h);
    if (!t) return DBRET_BADHANDLE;
    if (!out || size < 1) return TagFail(t, DBRET_RANGE, report::kTagHeader);
    DbaseMdx* m = t->mdx;
    // The expression follows the fixed fields, NUL-terminated, within the
    // header's first block.
    unsigned char text[kBlock - taghdr::kSize + 1] = {0};
    std::uint64_t at = t->header_block * kBlock + taghdr::kSize;
    if (m->file.ReadAt(at, text, kBlock - taghdr::kSize) < 0) return TagFail(t, DBRET_IO, report::kReadError);
    std::size_t n = std::min(std::strlen(reinterpret_cast<char*>(text)), static_cast<std::size_t>(size - 1));
    std::memcpy(out, text, n);
    out[n] = '\0';
    return Ok(m->gdat);
}

int dXgetrno(TAG h, const char* key, long* recno) {
    DbaseTag* t = CheckTag(h);
    if (!t) return DBRET_BADHANDLE;
    if (!key) return TagFail(t, DBRET_RANGE, report::kKeyNotFound);
    int rc = CheckCounter(t, false);
    if (rc != 0) {
        Unposition(t, Pos::kNone);
        return rc;
    }
    const unsigned char* k = reinterpret_cast<const unsigned char*>(key);
    rc = Land(t, SeekInternal(t, k));
    if (rc != 0) return rc;
    if (CompareKeys(t, k, t->curkey) != 0) return TagFail(t, DBRET_NOTFOUND, report::kKeyNotFound);
    if (recno) *recno = t->currec;
    return Ok(t->mdx->gdat);
}

int dXnxtkey(TAG h, char* keybuf, long* recno) {
    DbaseTag* t = CheckTag(h);
    if (!t) return DBRET_BADHANDLE;
    bool in_leaf = NextInLeaf(t);
    int rc = CheckCounter(t, in_leaf);
    if (rc != 0) {
        Unposition(t, Pos::kNone);
        return rc;
    }
    switch (t->pos) {
        case Pos::kPastEnd:
            return TagFail(t, DBRET_EOF, report::kEndOfTag);
        case Pos::kNone:
            t->path.clear();
            t->leaf_visits = 0;
            rc = DescendLeftmost(t, t->root);
            if (rc == 0) rc = Settle(t);
            break;
        case Pos::kBefore:
            rc = 0;
            break;
        case Pos::kOn:
            if (in_leaf) {
                StepInLeaf(t);
                rc = 0;
                break;
            }
            ++t->path.back().index;
            rc = Settle(t);
            break;
    }
    rc = Land(t, rc);
    if (rc != 0) return rc;
    if (keybuf) std::memcpy(keybuf, t->curkey, t->keylen);
    if (recno) *recno = t->currec;
    return Ok(t->mdx->gdat);
}

int dXrewind(TAG h) {
    DbaseTag* t = CheckTag(h);
    if (!t) return DBRET_BADHANDLE;
    Unposition(t, Pos::kNone);
    return Ok(t->mdx->gdat);
}

int dXverify(TAG h) {
    DbaseTag* t = CheckTag(h);
    if (!t) return DBRET_BADHANDLE;
    DbaseMdx* m = t->mdx;
    if (t->verified) return Ok(m->gdat);
    if (!m->data_complete) return TagFail(t, DBRET_STALE, report::kDataShort);
    const std::uint32_t count = m->data_reccnt;
    std::vector<bool> seen;
    try {
        seen.assign(static_cast<std::size_t>(count) + 1, false);
    } catch (const std::bad_alloc&) {
        return TagFail(t, DBRET_MEMORY, report::kMemory);
    }
    std::uint64_t entries = 0;
    // Leaf by leaf, each leaf's record numbers read in place (the walk is
    // bounded like any other: depth, cycles, leaves visited).
    Unposition(t, Pos::kNone);
    t->path.clear();
    t->leaf_visits = 0;
    int rc = DescendLeftmost(t, t->root);
    if (rc == 0) rc = Settle(t);
    while (rc == 0) {
        PageView v;
        rc = ReadPage(t, t->path.back().block, &v);
        if (rc != 0) break;
        for (unsigned i = t->path.back().index; i < v.n; ++i) {
            const std::uint32_t recno = EntryPointer(t, v, i);
            if (recno < 1 || recno > count || seen[recno]) {
                rc = DBRET_STALE;
                break;
            }
            seen[recno] = true;
            ++entries;
        }
        if (rc != 0) break;
        t->path.back().index = v.n;
        rc = Settle(t);
    }
    Unposition(t, Pos::kNone);
    if (rc == DBRET_STALE || (rc == DBRET_EOF && entries != count))
        return TagFail(t, DBRET_STALE, report::kIndexStale);
    if (rc != DBRET_EOF) return rc;
    t->verified = true;
    return Ok(m->gdat);
}

int dXtagcnt(MDX h) {
    DbaseMdx* m = CheckMdx(h);
    if (!m) return DBRET_BADHANDLE;
    return static_cast<int>(m->ntags);
}

int dXtagnm(MDX h, int n, char* name) {
    DbaseMdx* m = CheckMdx(h);
    if (!m) return DBRET_BADHANDLE;
    if (n < 1 || static_cast<unsigned>(n) > m->ntags || !name)
        return Fail(m->gdat, DBRET_RANGE, report::kTagRange);
    unsigned char s[tagslot::kSize];
    int rc = ReadExact(m, tagslot::kTableOffset + tagslot::kSize * static_cast<unsigned>(n), s, sizeof s,
                       report::kTagTable);
    if (rc != 0) return rc;
    std::memcpy(name, s + tagslot::kName, tagslot::kNameSize);
    name[tagslot::kNameSize - 1] = '\0';
    return Ok(m->gdat);
}

int dXclose(MDX h) {
    DbaseMdx* m = CheckMdx(h);
    if (!m) return DBRET_BADHANDLE;
    for (auto& t : m->tags) {
        UnregisterHandle(t.get());
        t->magic = 0;
    }
    UnregisterHandle(m);
    m->magic = 0;
    delete m;
    return 0;
}
