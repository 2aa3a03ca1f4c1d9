// Small builders of dBASE data and index files for the reader's tests. They
// lay files out the way dBASE IV does (tag headers from block 4, 1024-byte
// pages, leaves then interior levels), with knobs for the shapes the tests
// need: fan-out per page, descending tags, and raw bytes to corrupt.
#ifndef DBASE_TESTFILES_H
#define DBASE_TESTFILES_H

#include <string>
#include <utility>
#include <vector>

namespace dbtest {

using Bytes = std::vector<unsigned char>;

struct Field {
    std::string name;
    char type;
    int width;
    int decimals;
};

// A data file: header, descriptors, records (each value left-justified for
// C, right-justified for N), 0x1A at the end.
Bytes MakeDbf(const std::vector<Field>& fields, const std::vector<std::vector<std::string>>& records,
              unsigned char version = 0x03);

struct Tag {
    std::string name;
    char type = 'C';
    int keylen = 10;
    bool descending = false;
    bool unique = false;
    std::vector<std::pair<std::string, long>> entries;  // in index order, keys keylen bytes
    int per_leaf = 0;   // entries per leaf; 0 = as many as fit
    int per_node = 0;   // children per interior page; 0 = as many as fit
    unsigned char counter = 1;
};

// A production index holding `tags`, tag-name tree balanced by name.
Bytes MakeMdx(const std::vector<Tag>& tags);

// Block of the tag header of tag `n` (0-based, in the order given) in a file
// made by MakeMdx, and of its root page.
unsigned TagHeaderBlock(const Bytes& mdx, int n);
unsigned RootBlock(const Bytes& mdx, int n);

// The 12-byte numeric key of `text`, through the layer's own conversion.
std::string NumKey(const std::string& text);

// Writes bytes to a file; returns false on failure.
bool WriteFile(const std::string& path, const Bytes& bytes);

// A fresh temporary folder, removed with its files on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void Put32(Bytes& b, std::size_t at, unsigned v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void Put16(Bytes& b, std::size_t at, unsigned v) {
    b[at] = static_cast<unsigned char>(v);
    b[at + 1] = static_cast<unsigned char>(v >> 8);
}
inline unsigned Get32(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<unsigned>(b[at + 3]) << 24);
}

}  // namespace dbtest

#endif
