// The reader's test tables, made by nuvak-dbtool's writer; tests patch their
// bytes for shapes it does not make (damage, descending or unique tags).
#ifndef DBASE_TESTFILES_H
#define DBASE_TESTFILES_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "byteorder.h"
#include "dbase.h"
#include "dbfwriter.h"

namespace dbtest {

using Bytes = std::vector<std::uint8_t>;
using nuvak::dbw::Table;
using nuvak::dbw::TableImage;
using nuvak::dbw::WriteOptions;

inline void Put16(Bytes& b, std::size_t at, unsigned v) { nuvak::StoreLE16(&b[at], static_cast<std::uint16_t>(v)); }
inline void Put32(Bytes& b, std::size_t at, unsigned v) { nuvak::StoreLE32(&b[at], v); }
inline unsigned Get32(const Bytes& b, std::size_t at) { return nuvak::LoadLE32(&b[at]); }

// Block of the header of tag `n` (0-based, in slot order), and of its root page.
inline unsigned TagHeaderBlock(const Bytes& mdx, int n = 0) { return Get32(mdx, 512 + 32 * (n + 1)); }
inline unsigned RootBlock(const Bytes& mdx, int n = 0) { return Get32(mdx, TagHeaderBlock(mdx, n) * 512); }

// GRPTOUR N(5) holding `values`, NAME C(10) "R<row number>", `tags` tagged.
inline Table TourTable(const std::vector<std::string>& values, std::vector<std::string> tags = {"GRPTOUR"}) {
    Table t;
    t.fields = {{"GRPTOUR", 'N', 5, 0}, {"NAME", 'C', 10, 0}};
    for (std::size_t i = 0; i < values.size(); ++i) t.rows.push_back({values[i], "R" + std::to_string(i + 1)});
    t.tags = std::move(tags);
    return t;
}

// "1" to "<n>".
inline std::vector<std::string> Counting(int n) {
    std::vector<std::string> v;
    for (int i = 1; i <= n; ++i) v.push_back(std::to_string(i));
    return v;
}

inline TableImage Image(const Table& t, const WriteOptions& o = {}, std::uint8_t counter = 1) {
    TableImage image;
    std::string error;
    EXPECT_TRUE(nuvak::dbw::BuildTable(t, o, counter, &image, &error)) << error;
    return image;
}

// The 12-byte numeric key of `text`, through the layer's own conversion.
inline std::string NumKey(const std::string& text) {
    char key[DB_NUMKEY_LEN];
    dUnftonk(nullptr, 1, text.c_str(), static_cast<int>(text.size()), key);
    return std::string(key, sizeof key);
}

inline bool WriteFile(const std::string& path, const Bytes& bytes) {
    FILE* fp = std::fopen(path.c_str(), "wb");
    if (!fp) return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
    return std::fclose(fp) == 0 && ok;
}

// A fresh temporary folder, removed with its files on destruction.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/dbase-test-XXXXXX";
        if (::mkdtemp(tmpl)) path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace dbtest

#endif
