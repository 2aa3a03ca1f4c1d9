// Files written by other programs (shared data, dbase/), walked tag by tag.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dbase.h"

namespace fs = std::filesystem;

namespace {

fs::path DataDir() { return fs::path(NUVAK_SHARED_DATA) / "dbase"; }

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<fs::path> DataFiles() {
    std::vector<fs::path> out;
    if (!fs::is_directory(DataDir())) return out;
    for (const auto& e : fs::recursive_directory_iterator(DataDir()))
        if (e.is_regular_file() && Lower(e.path().extension().string()) == ".dbf") out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

fs::path IndexBeside(const fs::path& dbf) {
    for (const char* ext : {".mdx", ".MDX"}) {
        fs::path p = dbf;
        p.replace_extension(ext);
        if (fs::exists(p)) return p;
    }
    return {};
}

unsigned char FileByte(const fs::path& p, std::size_t at) {
    std::ifstream in(p, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(at));
    return static_cast<unsigned char>(in.get());
}

// Value of a numeric key for ordering checks.
double KeyValue(const char* key) {
    char text[DB_NUMTEXT_LEN];
    EXPECT_EQ(dUnktoa(key, text), 0);
    return std::atof(text);
}

// The data field a key expression names when it is a bare field name
// ("CAM", "test3->LName"); type 0 for any other expression.
struct FieldAt {
    unsigned off = 0;
    char type = 0;
    int width = 0;
};
FieldAt BareField(DBF dbf, std::string expr) {
    FieldAt f;
    std::size_t arrow = expr.find("->");
    if (arrow != std::string::npos) expr = expr.substr(arrow + 2);
    expr.erase(expr.find_last_not_of(' ') + 1);
    char name[11];
    if (expr.empty() || expr.size() > 10) return f;
    std::strcpy(name, expr.c_str());
    if (dDfldnm(dbf, name, &f.off, nullptr, &f.type, &f.width, nullptr) != 0) f.type = 0;
    return f;
}

struct Entry {
    std::string key;
    long recno;
};

// Walks one tag: keys in order, each record once, keys of bare fields equal
// to the record's, every key sought again. Without `records` (a refused
// table's index) `reccnt` bounds the record numbers.
void CheckTag(DBF dbf, MDX mdx, const char* tagname, bool records, long reccnt) {
    SCOPED_TRACE(std::string("tag ") + tagname);
    TAG tag = dXactidx(mdx, tagname);
    ASSERT_NE(tag, nullptr);
    int keylen = dXkeylen(tag);
    char type = dXkeytype(tag);
    char expr[256];
    ASSERT_EQ(dXkeyexpr(tag, expr, sizeof expr), 0);
    if (records) dDreccnt(dbf, &reccnt);
    std::vector<char> rec(static_cast<std::size_t>(dDreclen(dbf)));
    std::vector<char> key(static_cast<std::size_t>(keylen));

    std::vector<Entry> walk;
    long recno = 0;
    int rc;
    while ((rc = dXnxtkey(tag, key.data(), &recno)) == 0) {
        ASSERT_LE(static_cast<long>(walk.size()), reccnt) << "more entries than records";
        ASSERT_GE(recno, 1);
        ASSERT_LE(recno, reccnt);
        walk.push_back({std::string(key.data(), key.size()), recno});
    }
    ASSERT_EQ(rc, DBRET_EOF);
    // A real index that lists every record of its table passes the check of
    // index against data; one that does not (a filtered tag) fails it.
    if (records) {
        EXPECT_EQ(dXverify(tag) == 0, static_cast<long>(walk.size()) == reccnt);
    }
    if (walk.empty()) return;

    bool numeric = type == 'N' || type == 'F';
    FieldAt field = records ? BareField(dbf, expr) : FieldAt{};
    bool compare = (field.type == 'C' || field.type == 'N') && numeric == (field.type == 'N');
    // Ascending or descending: the tag's order shows at its ends.
    bool ascending = !numeric || KeyValue(walk.front().key.data()) <= KeyValue(walk.back().key.data());
    std::vector<long> seen(static_cast<std::size_t>(reccnt) + 1, 0);
    for (std::size_t i = 0; i < walk.size(); ++i) {
        const Entry& e = walk[i];
        EXPECT_EQ(seen[static_cast<std::size_t>(e.recno)]++, 0) << "record twice: " << e.recno;
        if (records) {
            ASSERT_EQ(dDgetrec(dbf, e.recno, rec.data()), 0);
        }
        if (compare && numeric) {
            char k[DB_NUMKEY_LEN];
            ASSERT_EQ(dUnftonk(nullptr, 1, rec.data() + field.off, field.width, k), 0);
            EXPECT_EQ(KeyValue(k), KeyValue(e.key.data())) << "record " << e.recno;
        } else if (compare) {
            std::string want(rec.data() + field.off, static_cast<std::size_t>(std::min(field.width, keylen)));
            want.resize(static_cast<std::size_t>(keylen), ' ');
            EXPECT_EQ(want, e.key) << "record " << e.recno;
        }
        if (i == 0) continue;
        const std::string& prev = walk[i - 1].key;
        if (numeric) {
            double a = KeyValue(prev.data()), b = KeyValue(e.key.data());
            EXPECT_TRUE(ascending ? a <= b : a >= b) << "entry " << i;
        } else if (type == 'C') {
            EXPECT_LE(std::memcmp(prev.data(), e.key.data(), prev.size()), 0) << "entry " << i;
        }
    }

    // Every key seeks to the first entry of its run and steps on like the walk.
    for (std::size_t i = 0; i < walk.size(); ++i) {
        if (i > 0 && walk[i - 1].key == walk[i].key) continue;
        ASSERT_EQ(dXgetrno(tag, walk[i].key.data(), &recno), 0) << "seek entry " << i;
        EXPECT_EQ(recno, walk[i].recno) << "seek entry " << i;
        if (i + 1 < walk.size()) {
            ASSERT_EQ(dXnxtkey(tag, nullptr, &recno), 0);
            EXPECT_EQ(recno, walk[i + 1].recno);
        }
    }
    dXrewind(tag);
}

// Walks every tag of the index at `ip`, opened against `dbf`.
int CheckIndex(DBF dbf, const fs::path& ip, bool records, long reccnt = 0) {
    MDX mdx = dXopen(dbf, ip.c_str(), DB_MODE_READ, 4);
    EXPECT_NE(mdx, nullptr) << ip;
    int tags = mdx ? dXtagcnt(mdx) : 0;
    for (int n = 1; n <= tags; ++n) {
        char name[11];
        EXPECT_EQ(dXtagnm(mdx, n, name), 0);
        CheckTag(dbf, mdx, name, records, reccnt);
    }
    if (mdx) dXclose(mdx);
    return tags;
}

}  // namespace

// Level-7 tables and their indexes are refused, timestamped tables too.
TEST(DbaseRealFiles, EveryTagWalksInOrder) {
    std::vector<fs::path> files = DataFiles();
    if (files.empty()) GTEST_SKIP() << "no shared data at " << DataDir();
    T_DBGDAT gdat;
    DBinit(&gdat, 1);
    // A good table to open refused tables' indexes against.
    DBF good = dDopen(&gdat, (DataDir() / "bde-jet" / "industry.dbf").c_str(), DB_MODE_READ, 1);
    ASSERT_NE(good, nullptr);
    int tags = 0, level7 = 0;
    for (const fs::path& p : files) {
        SCOPED_TRACE(p.string());
        DBF dbf = dDopen(&gdat, p.c_str(), DB_MODE_READ, 1);
        fs::path ip = IndexBeside(p);
        if (p.parent_path().filename() == "level7") {
            EXPECT_EQ(dbf, nullptr);
            EXPECT_EQ(+gdat.dretcode, DBRET_BADFILE);
            MDX mdx = ip.empty() ? nullptr : dXopen(good, ip.c_str(), DB_MODE_READ, 4);
            EXPECT_EQ(mdx, nullptr);
            EXPECT_EQ(+gdat.dretcode, DBRET_BADFILE);
            if (mdx) dXclose(mdx);
            level7 += !ip.empty();
        } else if (!dbf) {
            // A set transaction byte refuses the table; its index still walks.
            EXPECT_EQ(+gdat.dretcode, DBRET_TRANSACT);
            EXPECT_NE(FileByte(p, 15), 0);
            long count = static_cast<long>(FileByte(p, 4) | (FileByte(p, 5) << 8) | (FileByte(p, 6) << 16));
            if (!ip.empty()) tags += CheckIndex(good, ip, false, count);
        } else if (!ip.empty()) {
            tags += CheckIndex(dbf, ip, true);
        }
        if (dbf) dDclose(dbf);
    }
    dDclose(good);
    EXPECT_GT(tags, 0);
    EXPECT_GT(level7, 0);
}
