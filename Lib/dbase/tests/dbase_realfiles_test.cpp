// Files written by other programs (shared data, dbase/): every tag of every
// dBASE IV production index is walked in order and checked against the
// records; level-7 files and timestamped tables are refused by rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
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

bool IsLevel7(const fs::path& p) { return p.parent_path().filename() == "level7"; }

// Value of a numeric key for ordering checks.
double KeyValue(const char* key) {
    char text[DB_NUMTEXT_LEN];
    EXPECT_EQ(dUnktoa(key, text), 0);
    return std::atof(text);
}

// The data field a key expression names when it is a bare field name
// ("CAM", "test3->LName"), else "".
std::string BareField(DBF dbf, std::string expr) {
    std::size_t arrow = expr.find("->");
    if (arrow != std::string::npos) expr = expr.substr(arrow + 2);
    while (!expr.empty() && expr.back() == ' ') expr.pop_back();
    std::vector<char> name(expr.begin(), expr.end());
    name.push_back('\0');
    if (expr.empty() || expr.size() > 10 ||
        dDfldnm(dbf, name.data(), nullptr, nullptr, nullptr, nullptr, nullptr) != 0)
        return "";
    return name.data();
}

struct Entry {
    std::string key;
    long recno;
};

struct Totals {
    int tables = 0, indexes = 0, tags = 0, entries = 0, checked_keys = 0, refused_stamp = 0,
        refused_level7 = 0;
};

// Walks one tag: entries in key order, record numbers in range and each
// record once, keys of bare-field expressions equal to the record's field,
// every key found again by a seek at the first entry of its run. With
// `records` false the data file stands in only to open the index (a refused
// table's index): the record checks are skipped and `reccnt` bounds them.
void CheckTag(DBF dbf, MDX mdx, const std::string& file, const char* tagname, Totals* tot,
              bool records = true, long table_reccnt = 0) {
    SCOPED_TRACE(file + " tag " + tagname);
    TAG tag = dXactidx(mdx, tagname);
    ASSERT_NE(tag, nullptr);
    ++tot->tags;
    int keylen = dXkeylen(tag);
    char type = dXkeytype(tag);
    char expr[256];
    ASSERT_EQ(dXkeyexpr(tag, expr, sizeof expr), 0);
    long reccnt = table_reccnt;
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
    tot->entries += static_cast<int>(walk.size());

    // The key each entry holds is computed from its record where the
    // expression is a bare field.
    std::string field = records ? BareField(dbf, expr) : "";
    unsigned off = 0;
    char ftype = 0;
    int width = 0;
    if (!field.empty()) {
        std::vector<char> fname(field.begin(), field.end());
        fname.push_back('\0');
        dDfldnm(dbf, fname.data(), &off, nullptr, &ftype, &width, nullptr);
    }
    bool numeric = type == 'N' || type == 'F';
    std::vector<long> seen(static_cast<std::size_t>(reccnt) + 1, 0);
    for (std::size_t i = 0; i < walk.size(); ++i) {
        const Entry& e = walk[i];
        EXPECT_EQ(seen[static_cast<std::size_t>(e.recno)]++, 0) << "record twice: " << e.recno;
        if (records) {
            ASSERT_EQ(dDgetrec(dbf, e.recno, rec.data()), 0);
        }
        if (!field.empty() && (ftype == 'C' || ftype == 'N') && (numeric == (ftype == 'N'))) {
            std::string want;
            if (numeric) {
                char k[DB_NUMKEY_LEN];
                ASSERT_EQ(dUnftonk(nullptr, 1, rec.data() + off, width, k), 0);
                EXPECT_EQ(KeyValue(k), KeyValue(e.key.data())) << "record " << e.recno;
            } else {
                want.assign(rec.data() + off, static_cast<std::size_t>(std::min(width, keylen)));
                want.resize(static_cast<std::size_t>(keylen), ' ');
                EXPECT_EQ(want, e.key) << "record " << e.recno;
            }
            ++tot->checked_keys;
        }
        if (i == 0) continue;
        const std::string& prev = walk[i - 1].key;
        if (numeric) {
            double a = KeyValue(prev.data()), b = KeyValue(e.key.data());
            // Ascending or descending: the tag's order shows at its ends.
            double first = KeyValue(walk.front().key.data()), last = KeyValue(walk.back().key.data());
            if (first <= last)
                EXPECT_LE(a, b) << "entry " << i;
            else
                EXPECT_GE(a, b) << "entry " << i;
        } else if (type == 'C') {
            EXPECT_LE(std::memcmp(prev.data(), e.key.data(), prev.size()), 0) << "entry " << i;
        }
    }

    // Every key seeks to the first entry of its run.
    for (std::size_t i = 0; i < walk.size(); ++i) {
        if (i > 0 && walk[i - 1].key == walk[i].key) continue;
        rc = dXgetrno(tag, walk[i].key.data(), &recno);
        ASSERT_EQ(rc, 0) << "seek entry " << i;
        EXPECT_EQ(recno, walk[i].recno) << "seek entry " << i;
        // And steps on from there like the walk.
        if (i + 1 < walk.size()) {
            ASSERT_EQ(dXnxtkey(tag, nullptr, &recno), 0);
            EXPECT_EQ(recno, walk[i + 1].recno);
        }
    }
    dXrewind(tag);
}

}  // namespace

TEST(DbaseRealFiles, EveryTagWalksInOrder) {
    std::vector<fs::path> files = DataFiles();
    if (files.empty()) GTEST_SKIP() << "no shared data at " << DataDir();
    Totals tot;
    for (const fs::path& p : files) {
        SCOPED_TRACE(p.string());
        T_DBGDAT gdat;
        DBinit(&gdat, 1);
        DBF dbf = dDopen(&gdat, p.c_str(), DB_MODE_READ, 1);
        if (IsLevel7(p)) {
            EXPECT_EQ(dbf, nullptr);
            EXPECT_EQ(+gdat.dretcode, DBRET_BADFILE);
            ++tot.refused_level7;
            if (dbf) dDclose(dbf);
            continue;
        }
        if (!dbf) {
            // The documented rule: a set transaction byte refuses the table.
            EXPECT_EQ(+gdat.dretcode, DBRET_TRANSACT);
            EXPECT_NE(FileByte(p, 15), 0);
            ++tot.refused_stamp;
            // Its index is still walked, opened beside a good table.
            fs::path ip = IndexBeside(p);
            fs::path stand_in = DataDir() / "bde-jet" / "industry.dbf";
            DBF other = dDopen(&gdat, stand_in.c_str(), DB_MODE_READ, 1);
            if (ip.empty() || !other) {
                if (other) dDclose(other);
                continue;
            }
            long count = static_cast<long>(FileByte(p, 4) | (FileByte(p, 5) << 8) | (FileByte(p, 6) << 16));
            MDX mdx = dXopen(other, ip.c_str(), DB_MODE_READ, 4);
            EXPECT_NE(mdx, nullptr);
            for (int n = 1; mdx && n <= dXtagcnt(mdx); ++n) {
                char name[11];
                ASSERT_EQ(dXtagnm(mdx, n, name), 0);
                CheckTag(other, mdx, p.filename().string(), name, &tot, false, count);
            }
            if (mdx) dXclose(mdx);
            dDclose(other);
            continue;
        }
        ++tot.tables;
        fs::path ip = IndexBeside(p);
        if (ip.empty()) {
            dDclose(dbf);
            continue;
        }
        MDX mdx = dXopen(dbf, ip.c_str(), DB_MODE_READ, 4);
        ASSERT_NE(mdx, nullptr) << +gdat.dretcode;
        ++tot.indexes;
        for (int n = 1; n <= dXtagcnt(mdx); ++n) {
            char name[11];
            ASSERT_EQ(dXtagnm(mdx, n, name), 0);
            CheckTag(dbf, mdx, p.filename().string(), name, &tot);
        }
        dXclose(mdx);
        dDclose(dbf);
    }
    std::printf("real files: %d tables, %d indexes, %d tags, %d entries, %d keys checked against records, "
                "%d timestamped tables refused, %d level-7 tables refused\n",
                tot.tables, tot.indexes, tot.tags, tot.entries, tot.checked_keys, tot.refused_stamp,
                tot.refused_level7);
    EXPECT_GT(tot.tags, 0);
    EXPECT_GT(tot.refused_level7, 0);
}

// A level-7 index opened against a good data file is refused, not misread.
TEST(DbaseRealFiles, Level7IndexRefused) {
    fs::path good = DataDir() / "bde-jet" / "industry.dbf";
    if (!fs::exists(good)) GTEST_SKIP() << "no shared data at " << DataDir();
    T_DBGDAT gdat;
    DBinit(&gdat, 1);
    DBF dbf = dDopen(&gdat, good.c_str(), DB_MODE_READ, 1);
    ASSERT_NE(dbf, nullptr);
    int level7 = 0;
    for (const auto& e : fs::directory_iterator(DataDir() / "level7")) {
        if (Lower(e.path().extension().string()) != ".mdx") continue;
        ++level7;
        MDX mdx = dXopen(dbf, e.path().c_str(), DB_MODE_READ, 4);
        EXPECT_EQ(mdx, nullptr) << e.path();
        EXPECT_EQ(+gdat.dretcode, DBRET_BADFILE);
        if (mdx) dXclose(mdx);
    }
    EXPECT_GT(level7, 0);
    dDclose(dbf);
}
