// Writer of dBASE IV tables: a ".dbf" data file with its production ".mdx"
// index. It stands in for the installation's database writers, so that the
// tour service, its tests and its benchmarks read files of the real format.
//
// The writer is deliberately independent of the reader (Lib/dbase): it has its
// own key encoding and its own B-tree layout, so that a test which reads our
// files through the reader checks one implementation against the other, and
// the peer tests (tests/dbase-peer) check both against programs we did not
// write.
#ifndef NUVAK_DBFWRITER_H
#define NUVAK_DBFWRITER_H

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nuvak::dbw {

// One field of the data file. Types: 'C' character, 'N' numeric, 'L' logical.
struct Field {
    std::string name;  // at most 10 characters, upper case
    char type = 'C';
    int width = 1;     // bytes in the record; 'C' 1..65534 (over 255: the
                       // high byte goes where 'N' keeps its decimals),
                       // 'N' 1..20, 'L' 1
    int decimals = 0;  // 'N' only; 0 or less than width - 1
};

// Where each listed row lands in the data file.
enum class RecordOrder {
    kListed,    // row i is record i + 1
    kReversed,  // row i is record n - i
    kShuffled,  // a fixed pseudo-random permutation (seeded)
};

struct Table {
    std::vector<Field> fields;
    // One text per field and row. 'N' values are numbers in text and are
    // formatted to the field's width and decimals; 'C' values are cut or
    // blank-padded; 'L' values are one of T F Y N ? (blank allowed).
    std::vector<std::vector<std::string>> rows;
    // Fields that get a tag of the same name in the production index. Rows of
    // equal key are indexed in the order they are listed here, whatever
    // record numbers they get.
    std::vector<std::string> tags;
};

struct WriteOptions {
    RecordOrder order = RecordOrder::kListed;
    std::uint32_t seed = 1;  // for kShuffled
    // Entries per index page, 0 = as many as fit. A small value forces deep
    // trees out of small tables (tests of multi-level walks).
    int pageKeys = 0;
    // In place: keep the files' inodes (open without replacing, write over,
    // truncate) and advance every tag's change counter past the one found in
    // the existing index, the way the installation's writers update a table
    // under a running reader. Otherwise the files are replaced atomically
    // (written under a temporary name and renamed).
    bool inPlace = false;
    // Shapes of indexes from other writers, for tests of readers: what goes
    // into index header bytes 30-31 after the 16-bit tag count (one widely
    // used engine writes 0x1B02 and the like there), and a tag-name tree
    // ordered with '_' before letters instead of in byte order.
    std::uint16_t tagCountTail = 0;
    bool underscoreFirst = false;
};

// Writes PATH.dbf and PATH.mdx (PATH without extension). Returns true, or
// false with a one-line reason in *error.
bool WriteTable(const std::string& path, const Table& table, const WriteOptions& options,
                std::string* error);

// Builds the bytes of both files without touching the disk (tests, benches).
struct TableImage {
    std::vector<std::uint8_t> dbf;
    std::vector<std::uint8_t> mdx;
};
bool BuildTable(const Table& table, const WriteOptions& options, std::uint8_t changeCounter,
                TableImage* image, std::string* error);

// The dBASE IV numeric index key (12 bytes, packed decimal) of a numeric
// text such as "5", "   5", "5.0", "-12.25". Text that is not a number gives
// the key of the number formed by its leading numeric part (blank = zero).
using NumKey = std::array<std::uint8_t, 12>;
NumKey NumericKey(std::string_view text);

// Orders two numeric keys by the values they encode (<0, 0, >0).
int CompareNumericKeys(const NumKey& a, const NumKey& b);

// Formats a value for a field the way it is stored in a record (exactly
// `width` bytes). False when it does not fit (a number too wide, a bad
// logical value).
bool FormatField(const Field& field, std::string_view value, std::string* out);

}  // namespace nuvak::dbw

#endif
