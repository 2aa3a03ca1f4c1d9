// Data files, index seeks and steps, conversions, on the writer's tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "dbase_testfiles.h"

using namespace dbtest;

namespace {

class DbaseTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(DBinit(&gdat, 1), 0); }
    void TearDown() override { Close(); }
    // Writes NAME.dbf / NAME.mdx and opens them.
    void Open(const std::string& name, const TableImage& image) {
        ASSERT_TRUE(WriteFile(dir.File(name + ".dbf"), image.dbf));
        ASSERT_TRUE(WriteFile(dir.File(name + ".mdx"), image.mdx));
        dbf = dDopen(&gdat, dir.File(name).c_str(), DB_MODE_READ, 1);
        ASSERT_NE(dbf, nullptr) << +gdat.dretcode;
        mdx = dXopen(dbf, dir.File(name).c_str(), DB_MODE_READ, 4);
        ASSERT_NE(mdx, nullptr) << +gdat.dretcode;
    }
    void Close() {
        if (mdx) dXclose(mdx);
        if (dbf) dDclose(dbf);
        mdx = nullptr, dbf = nullptr;
    }
    // In place, as the installation's writers do: the change counter moves.
    void Rewrite(const std::string& name, const Table& t, WriteOptions o) {
        o.inPlace = true;
        std::string error;
        ASSERT_TRUE(nuvak::dbw::WriteTable(dir.File(name), t, o, &error)) << error;
    }
    T_DBGDAT gdat;
    TempDir dir;
    DBF dbf = nullptr;
    MDX mdx = nullptr;
};

}  // namespace

TEST(DbaseInit, TypesAndNames) {
    T_DBGDAT g;
    EXPECT_EQ(DBinit(&g, 3), DBRET_DBTYPE);
    ASSERT_EQ(DBinit(&g, 1), 0);
    EXPECT_EQ(+g.dnetstyle, 1);  // + copies out of the packed block
    EXPECT_EQ(+g.index_buffs, 10);
    EXPECT_EQ(+g.d_timeout, 20u);
    ASSERT_EQ(DBinit(&g, 32776), 0);
    EXPECT_EQ(+g.dnetstyle, 4);
    EXPECT_STREQ(DBretname(DBRET_TRANSACT), "DBRET_TRANSACT");
    EXPECT_STREQ(DBretname(-99), "DBRET_UNKNOWN");
}

TEST_F(DbaseTest, DataFileFieldsAndRecords) {
    // 300 records over several 1024-byte nodes; record 7 (after 97 header bytes) deleted.
    Bytes bytes = Image(TourTable(Counting(300))).dbf;
    bytes[97 + 6 * 16] = '*';
    ASSERT_TRUE(WriteFile(dir.File("t.dbf"), bytes));
    dbf = dDopen(&gdat, dir.File("t").c_str(), DB_MODE_READ, 1);
    ASSERT_NE(dbf, nullptr);
    long count = 0;
    EXPECT_EQ(dDreccnt(dbf, &count), 0);
    EXPECT_EQ(count, 300);
    EXPECT_EQ(dDreclen(dbf), 16);

    char name[] = "name";
    unsigned off = 0;
    int pos = 0, width = 0, dec = -1;
    char type = 0;
    ASSERT_EQ(dDfldnm(dbf, name, &off, &pos, &type, &width, &dec), 0);
    EXPECT_STREQ(name, "NAME");  // upper-cased in place
    EXPECT_EQ(std::make_tuple(off, pos, type, width, dec), std::make_tuple(6u, 2, 'C', 10, 0));
    char missing[] = "LGRPTOUR";
    EXPECT_EQ(dDfldnm(dbf, missing, &off, &pos, &type, &width, &dec), DBRET_NOTFOUND);

    char rec[16];
    EXPECT_EQ(dDgetrec(dbf, 0, rec), DBRET_RANGE);
    EXPECT_EQ(dDgetrec(dbf, 301, rec), DBRET_RANGE);
    for (long n : {300L, 1L, 129L, 7L, 64L, 65L}) {
        ASSERT_EQ(dDgetrec(dbf, n, rec), 0) << n;
        std::string want = std::string(n == 7 ? "*" : " ") + std::string(5 - std::to_string(n).size(), ' ') +
                           std::to_string(n) + "R" + std::to_string(n);
        EXPECT_EQ(std::string(rec, 16).substr(0, want.size()), want);  // deleted records come back too
    }
    EXPECT_EQ(dDclose(dbf), 0);
    EXPECT_EQ(dDreclen(dbf), DBRET_BADHANDLE);  // a closed handle is refused, not touched
    dbf = nullptr;
}

TEST_F(DbaseTest, DataFileRefusals) {
    EXPECT_EQ(dDopen(&gdat, dir.File("none").c_str(), DB_MODE_READ, 1), nullptr);
    EXPECT_EQ(+gdat.dretcode, DBRET_NOTFOUND);
    EXPECT_EQ(+gdat.d_report, 10421);

    Bytes good = Image(TourTable({"1"})).dbf;
    auto patched = [&](std::size_t at, std::uint8_t v) {
        Bytes b = good;
        b[at] = v;
        return b;
    };
    struct Case {
        const char* name;
        Bytes bytes;
        int code;
    } cases[] = {{"h64", patched(8, 64), DBRET_BADFILE},  // no field descriptor at all
                 {"level7", patched(0, 0x04), DBRET_BADFILE},
                 {"stamp", patched(15, 0x3A), DBRET_TRANSACT},  // timestamp writers set the transaction byte
                 {"reclen0", patched(10, 0), DBRET_BADFILE},
                 {"wide", patched(32 + 16, 200), DBRET_BADFILE},  // a field reaching past the record
                 {"cut", Bytes(good.begin(), good.begin() + 50), DBRET_BADFILE},
                 {"tiny", Bytes(good.begin(), good.begin() + 10), DBRET_BADFILE}};
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteFile(dir.File(std::string(c.name) + ".dbf"), c.bytes));
        EXPECT_EQ(dDopen(&gdat, dir.File(c.name).c_str(), DB_MODE_READ, 1), nullptr) << c.name;
        EXPECT_EQ(+gdat.dretcode, c.code) << c.name;
    }

    // A record count past the end: missing records fail, present ones read.
    Bytes longcount = Image(TourTable({"1", "2"})).dbf;
    Put32(longcount, 4, 1000);
    ASSERT_TRUE(WriteFile(dir.File("long.dbf"), longcount));
    dbf = dDopen(&gdat, dir.File("long.dbf").c_str(), DB_MODE_READ, 1);
    ASSERT_NE(dbf, nullptr);
    char rec[16];
    EXPECT_EQ(dDgetrec(dbf, 2, rec), 0);
    EXPECT_EQ(dDgetrec(dbf, 3, rec), DBRET_IO);
    EXPECT_EQ(dDgetrec(dbf, 1000, rec), DBRET_IO);
    EXPECT_EQ(dDgetrec(dbf, 1, rec), 0);
}

// A header longer than the first read (40 fields), whole and cut.
TEST_F(DbaseTest, WideHeader) {
    Table t;
    t.rows.emplace_back();
    for (int i = 1; i <= 40; ++i) {
        t.fields.push_back({"F" + std::to_string(i), 'N', 3, 0});
        t.rows[0].push_back(std::to_string(i));
    }
    Bytes bytes = Image(t).dbf;
    ASSERT_TRUE(WriteFile(dir.File("w.dbf"), bytes));
    dbf = dDopen(&gdat, dir.File("w").c_str(), DB_MODE_READ, 1);
    ASSERT_NE(dbf, nullptr) << +gdat.dretcode;
    EXPECT_EQ(dDfldcnt(dbf), 40);
    char name[] = "f40";
    unsigned offset = 0;
    int position = 0;
    ASSERT_EQ(dDfldnm(dbf, name, &offset, &position, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(position, 40);
    char rec[128];
    ASSERT_EQ(dDgetrec(dbf, 1, rec), 0);
    EXPECT_EQ(std::string(rec + offset, 3), " 40");

    ASSERT_TRUE(WriteFile(dir.File("wcut.dbf"), Bytes(bytes.begin(), bytes.begin() + 1200)));
    EXPECT_EQ(dDopen(&gdat, dir.File("wcut").c_str(), DB_MODE_READ, 1), nullptr);
    EXPECT_EQ(+gdat.dretcode, DBRET_BADFILE);
    EXPECT_EQ(+gdat.d_report, 10430);
}

TEST(DbaseConv, NumericKeys) {
    EXPECT_EQ(NumKey("5"), NumKey("   5"));
    EXPECT_EQ(NumKey("5"), NumKey("5.0"));
    EXPECT_EQ(NumKey("5"), NumKey(" 5.000 "));
    EXPECT_EQ(NumKey("5"), std::string("\x35\x29\x50\0\0\0\0\0\0\0\0\0", 12));
    EXPECT_EQ(NumKey("12"), std::string("\x36\x29\x12\0\0\0\0\0\0\0\0\0", 12));
    EXPECT_EQ(NumKey("100"), std::string("\x37\x29\x10\0\0\0\0\0\0\0\0\0", 12));
    EXPECT_EQ(NumKey("0"), std::string("\x34\x01\0\0\0\0\0\0\0\0\0\0", 12));
    EXPECT_EQ(NumKey("12.5"), std::string("\x36\x0d\x12\x50\0\0\0\0\0\0\0\0", 12));
    EXPECT_EQ(NumKey("0.05"), std::string("\x33\x05\x50\0\0\0\0\0\0\0\0\0", 12));
    EXPECT_EQ(NumKey("-5"), std::string("\x35\xa9\x50\0\0\0\0\0\0\0\0\0", 12));

    char key[12], text[DB_NUMTEXT_LEN];
    T_DBGDAT g;
    DBinit(&g, 1);
    EXPECT_EQ(dUnftonk(&g, 1, "123456789012345678901", 21, key), DBRET_RANGE);
    EXPECT_EQ(+g.d_report, 4081);
    EXPECT_EQ(dUnftonk(&g, 1, "  12x", 5, key), DBRET_RANGE);
    for (const char* s : {"0", "5", "-12.5", "0.05", "100", "123456789.125", "-0.001"}) {
        std::string k = NumKey(s);
        ASSERT_EQ(dUnktoa(k.data(), text), 0);
        EXPECT_STREQ(text, s);
    }
}

TEST(DbaseConv, TextConversions) {
    char out[16];
    T_DBGDAT g;
    DBinit(&g, 1);
    ASSERT_EQ(dUatonf(&g, "12.5", 8, 2, out), 0);
    EXPECT_EQ(std::string(out, 8), "   12.50");
    EXPECT_EQ(dUatonf(&g, "1", 3, 2, out), DBRET_RANGE);  // width <= decimals + 1
    EXPECT_EQ(+g.d_report, 4041);
    EXPECT_EQ(dUatonf(&g, "1", 5, -1, out), DBRET_RANGE);
    EXPECT_EQ(dUatonf(&g, "123456", 5, 1, out), DBRET_RANGE);  // does not fit
    ASSERT_EQ(dUatocf("AB", 5, out), 0);
    EXPECT_EQ(std::string(out, 5), "AB   ");
    ASSERT_EQ(dUatocf("ABCDEFG", 3, out), 0);
    EXPECT_EQ(std::string(out, 3), "ABC");

    char name[64];
    ASSERT_EQ(dUexpnm("/opt/cctv/database/cam", "dbf", name, sizeof name), 0);
    EXPECT_STREQ(name, "/opt/cctv/database/cam.dbf");
    ASSERT_EQ(dUexpnm("./data/cam.DBF;1", "dbf", name, sizeof name), 0);
    EXPECT_STREQ(name, "./data/cam.DBF");
    ASSERT_EQ(dUexpnm("./dir.d/cam", "mdx", name, sizeof name), 0);
    EXPECT_STREQ(name, "./dir.d/cam.mdx");
    EXPECT_EQ(dUexpnm("/opt/cctv/database/cam", "dbf", name, 10), DBRET_RANGE);
}

// Six levels of three entries a page, keys -500 to 1490 by 10 with three
// records each: runs straddle leaves and interior pages.
TEST_F(DbaseTest, MultiLevelTreeSeeksEveryKey) {
    std::vector<std::string> values;
    for (int v = 0; v < 200; ++v) values.insert(values.end(), 3, std::to_string(v * 10 - 500));
    Table t = TourTable(values, {"GRPTOUR", "NAME"});
    for (int i = 0; i < 600; ++i) t.rows[i][1] = "R" + std::to_string(600 - i);  // its record number
    WriteOptions o;
    o.pageKeys = 3;
    // Records of one key in descending record order, as some writers do.
    o.order = nuvak::dbw::RecordOrder::kReversed;
    Open("grp", Image(t, o));
    TAG tag = dXactidx(mdx, "grptour");
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(dXactidx(mdx, "GRPTOUR"), tag);
    EXPECT_EQ(dXactidx(mdx, "NOSUCH"), nullptr);
    EXPECT_EQ(+gdat.dretcode, DBRET_NOTFOUND);
    EXPECT_EQ(dXkeylen(tag), 12);
    char key[12];
    for (int v = 0; v < 200; ++v) {
        std::string k = NumKey(std::to_string(v * 10 - 500));
        long recno = 0;
        ASSERT_EQ(dXgetrno(tag, k.data(), &recno), 0) << v;
        EXPECT_EQ(recno, 600 - v * 3) << v;
        for (int d = 1; d < 3; ++d) {
            ASSERT_EQ(dXnxtkey(tag, key, &recno), 0);
            EXPECT_EQ(recno, 600 - v * 3 - d);
            EXPECT_EQ(std::string(key, 12), k);
        }
        // Between keys: not found, on the first record of the next key.
        int rc = dXgetrno(tag, NumKey(std::to_string(v * 10 - 495)).data(), &recno);
        EXPECT_EQ(rc, v == 199 ? DBRET_EOF : DBRET_NOTFOUND);
        if (v < 199) {
            ASSERT_EQ(dXnxtkey(tag, nullptr, &recno), 0);
            EXPECT_EQ(recno, 600 - v * 3 - 4);
        }
    }
    long recno = 0;
    EXPECT_EQ(dXnxtkey(tag, key, &recno), DBRET_EOF);
    EXPECT_EQ(dXnxtkey(tag, key, &recno), DBRET_EOF);
    EXPECT_EQ(dXgetrno(tag, NumKey("-501").data(), &recno), DBRET_NOTFOUND);
    // The whole walk: keys ascending, so records from 600 down to 1.
    std::vector<long> walk, want;
    dXrewind(tag);
    while (dXnxtkey(tag, nullptr, &recno) == 0) walk.push_back(recno);
    for (long r = 600; r >= 1; --r) want.push_back(r);
    EXPECT_EQ(walk, want);

    TAG name = dXactidx(mdx, "NAME");
    ASSERT_NE(name, nullptr);
    char ckey[11];
    dUatocf("R599", 10, ckey);
    ASSERT_EQ(dXgetrno(name, ckey, &recno), 0);
    EXPECT_EQ(recno, 599);
    // The two tags keep their own positions.
    ASSERT_EQ(dXnxtkey(name, nullptr, &recno), 0);
    EXPECT_EQ(recno, 6);  // "R6" follows "R599"
}

// A descending tag (the writer's leaf turned round) with a 10-character name.
TEST_F(DbaseTest, DescendingTagAndLongTagName) {
    Table t = TourTable({"20", "-1", "30", "20"});
    t.fields[0].name = t.tags[0] = "GROWTHDESC";
    TableImage image = Image(t);
    Bytes& x = image.mdx;
    std::size_t leaf = RootBlock(x) * 512u + 8;  // one page: the root is the leaf
    for (std::size_t i = 0; i < 2; ++i)
        std::swap_ranges(&x[leaf + i * 16], &x[leaf + i * 16 + 16], &x[leaf + (3 - i) * 16]);
    x[TagHeaderBlock(x) * 512u + 8] |= 0x08;
    Open("m", image);  // entries now 30 (record 3), 20 (4), 20 (1), -1 (2)
    TAG tag = dXactidx(mdx, "growthdescxyz");  // matched on its first 10
    ASSERT_NE(tag, nullptr);
    long recno = 0;
    ASSERT_EQ(dXgetrno(tag, NumKey("20").data(), &recno), 0);
    EXPECT_EQ(recno, 4);
    ASSERT_EQ(dXgetrno(tag, NumKey("25").data(), &recno), DBRET_NOTFOUND);
    ASSERT_EQ(dXnxtkey(tag, nullptr, &recno), 0);  // on 20 (record 4), next is record 1
    EXPECT_EQ(recno, 1);
    EXPECT_EQ(dXgetrno(tag, NumKey("-5").data(), &recno), DBRET_EOF);
    EXPECT_EQ(dXgetrno(tag, NumKey("99").data(), &recno), DBRET_NOTFOUND);
    EXPECT_EQ(recno, 1);  // unchanged on a miss
}

// An index rewritten between two steps: the walk goes on after its entry.
TEST_F(DbaseTest, ChangeCounterRepositions) {
    WriteOptions o;
    o.pageKeys = 2;
    Open("c", Image(TourTable({"1", "2", "4", "5"}), o));
    TAG tag = dXactidx(mdx, "GRPTOUR");
    ASSERT_NE(tag, nullptr);
    long recno = 0;
    ASSERT_EQ(dXgetrno(tag, NumKey("2").data(), &recno), 0);
    // New layout: an extra leading entry (0, record 5) and a new key after 2.
    Rewrite("c", TourTable({"1", "2", "3", "4", "0"}), o);
    ASSERT_EQ(dXnxtkey(tag, nullptr, &recno), 0);
    EXPECT_EQ(recno, 3);
    ASSERT_EQ(dXnxtkey(tag, nullptr, &recno), 0);
    EXPECT_EQ(recno, 4);
    // Its entry removed, the walk resumes at the next greater key.
    Rewrite("c", TourTable({"1", "5"}), o);
    ASSERT_EQ(dXnxtkey(tag, nullptr, &recno), 0);
    EXPECT_EQ(recno, 2);
    EXPECT_EQ(dXnxtkey(tag, nullptr, &recno), DBRET_EOF);
}

// Steps inside the held leaf take its entries; the step that leaves it checks
// the change counter.
TEST_F(DbaseTest, ChangeCounterCheckedWhenLeavingTheLeaf) {
    WriteOptions o;
    o.pageKeys = 4;  // keys 1-4 in the first leaf
    Open("l", Image(TourTable(Counting(8)), o));
    TAG tag = dXactidx(mdx, "GRPTOUR");
    ASSERT_NE(tag, nullptr);
    long recno = 0;
    ASSERT_EQ(dXgetrno(tag, NumKey("1").data(), &recno), 0);
    // Every key now names the next record; 8 the first.
    Rewrite("l", TourTable({"8", "1", "2", "3", "4", "5", "6", "7"}), o);
    std::vector<long> seen;
    while (dXnxtkey(tag, nullptr, &recno) == 0) seen.push_back(recno);
    // 2..4 from the held leaf; (4, record 4) gone, so on at key 5 of the new index.
    EXPECT_EQ(seen, (std::vector<long>{2, 3, 4, 6, 7, 8, 1}));
}

// An empty tag; a character tag flagged unique holding a repeated key.
TEST_F(DbaseTest, EmptyTagAndCharacterKeys) {
    Open("none", Image(TourTable({})));
    TAG t0 = dXactidx(mdx, "GRPTOUR");
    ASSERT_NE(t0, nullptr);
    long recno = 0;
    EXPECT_EQ(dXnxtkey(t0, nullptr, &recno), DBRET_EOF);
    EXPECT_EQ(dXgetrno(t0, NumKey("1").data(), &recno), DBRET_EOF);
    Close();

    Table t = TourTable({"1", "2", "3"}, {"GRPTOUR", "NAME"});
    t.fields[1].width = 4;
    t.rows[0][1] = t.rows[1][1] = "ABC", t.rows[2][1] = "ABD";
    TableImage image = Image(t);
    image.mdx[TagHeaderBlock(image.mdx, 1) * 512u + 23] = 0x40;
    Open("e", image);
    TAG t1 = dXactidx(mdx, "NAME");
    ASSERT_NE(t1, nullptr);
    ASSERT_EQ(dXgetrno(t1, "ABC ", &recno), 0);
    EXPECT_EQ(recno, 1);  // the leftmost of the repeated key
    EXPECT_EQ(dXgetrno(t1, "AB  ", &recno), DBRET_NOTFOUND);
    char key[5] = {0};
    ASSERT_EQ(dXnxtkey(t1, key, &recno), 0);
    EXPECT_STREQ(key, "ABC ");
    EXPECT_EQ(recno, 2);
    char name[11];
    EXPECT_EQ(dXtagnm(mdx, 3, name), DBRET_RANGE);
}

// A load pass reads each file once and its end compares the files with that
// reading; outside a pass every open reads the file again.
TEST_F(DbaseTest, LoadPassReadsOnceAndNoticesRewrites) {
    TableImage image = Image(TourTable({"1", "2", "3"}));
    const Bytes &d = image.dbf, &x = image.mdx;
    auto put = [&] { ASSERT_TRUE(WriteFile(dir.File("p.dbf"), d) && WriteFile(dir.File("p.mdx"), x)); };
    put();
    std::string path = dir.File("p");
    auto lookup = [&](const char* key) -> long {
        DBF f = dDopen(&gdat, path.c_str(), DB_MODE_READ, 1);
        if (!f) return gdat.dretcode;
        MDX m = dXopen(f, path.c_str(), DB_MODE_READ, 4);
        long recno = gdat.dretcode;
        TAG t = m ? dXactidx(m, "GRPTOUR") : nullptr;
        char rec[32];
        if (t && dXgetrno(t, NumKey(key).data(), &recno) == 0 && dDgetrec(f, recno, rec) == 0)
            recno = std::atol(rec + 1);
        if (m) dXclose(m);
        dDclose(f);
        return recno;
    };
    ASSERT_EQ(DBpassbegin(), 0);
    EXPECT_EQ(lookup("2"), 2);
    std::remove(dir.File("p.dbf").c_str());
    std::remove(dir.File("p.mdx").c_str());
    EXPECT_EQ(lookup("3"), 3) << "served from the pass's reading";
    EXPECT_EQ(DBpassend(), DBRET_CHANGED);
    EXPECT_EQ(lookup("3"), DBRET_NOTFOUND) << "outside a pass the files are read again";

    put();
    DBpassbegin();
    DBpassbegin();  // nested: only the outer end ends the pass
    EXPECT_EQ(lookup("1"), 1);
    EXPECT_EQ(DBpassend(), 0);
    Bytes x2 = x;
    x2.back() ^= 1;
    ASSERT_TRUE(WriteFile(dir.File("p.mdx"), x2));
    EXPECT_EQ(lookup("1"), 1);
    EXPECT_EQ(DBpassend(), DBRET_CHANGED) << "one byte rewritten while the pass read";
    EXPECT_EQ(DBpasschanged(dir.File("p.mdx").c_str()), 1);
    EXPECT_EQ(DBpasschanged(dir.File("p.dbf").c_str()), 0) << "the caller learns which file changed";
    DBpassbegin();
    EXPECT_EQ(lookup("1"), 1);
    EXPECT_EQ(DBpassend(), 0);
    EXPECT_EQ(DBpassend(), 0) << "an end without a pass";
}

// A writer replacing a table's two files one after the other leaves, for a
// moment, an index of one version over the data of another. dXverify tells
// such a pair from a matching one (entries against records, record numbers
// in range and each once, data file as long as its header says), in a pass
// and outside one; seeks through it would have reached records of other keys.
TEST_F(DbaseTest, AnIndexOfAnotherVersionOfItsDataIsRefused) {
    const TableImage a = Image(TourTable({"1", "1", "2", "3"}));
    const TableImage fewer = Image(TourTable({"2", "3", "8"}));
    bool pass = false;
    // A pass keeps its first reading of a path: each pair gets a pass of its own.
    auto verify = [&](const Bytes& d, const Bytes& x) {
        Close();
        if (pass) DBpassend(), DBpassbegin();
        EXPECT_TRUE(WriteFile(dir.File("v.dbf"), d) && WriteFile(dir.File("v.mdx"), x));
        dbf = dDopen(&gdat, dir.File("v").c_str(), DB_MODE_READ, 1);
        mdx = dbf ? dXopen(dbf, dir.File("v").c_str(), DB_MODE_READ, 4) : nullptr;
        TAG t = mdx ? dXactidx(mdx, "GRPTOUR") : nullptr;
        return t ? dXverify(t) : 99;
    };
    for (bool inPass : {false, true}) {
        pass = inPass;
        SCOPED_TRACE(pass ? "in a pass" : "outside a pass");
        if (pass) DBpassbegin();
        EXPECT_EQ(verify(a.dbf, a.mdx), 0);
        EXPECT_EQ(verify(a.dbf, fewer.mdx), DBRET_STALE) << "an index with fewer entries than records";
        EXPECT_EQ(+gdat.d_report, 10515);
        EXPECT_EQ(verify(fewer.dbf, a.mdx), DBRET_STALE) << "record 4 is not in the data";
        Bytes cut(a.dbf.begin(), a.dbf.end() - 12);  // the last record half-written
        EXPECT_EQ(verify(cut, a.mdx), DBRET_STALE);
        EXPECT_EQ(+gdat.d_report, 10516);
        // The tag is left unpositioned and the check is kept: a step starts
        // at the first entry, and a second check answers at once.
        ASSERT_EQ(verify(a.dbf, a.mdx), 0);
        TAG t = dXactidx(mdx, "GRPTOUR");
        long recno = 0;
        EXPECT_EQ(dXnxtkey(t, nullptr, &recno), 0);
        EXPECT_EQ(recno, 1);
        EXPECT_EQ(dXverify(t), 0);
        Close();
        if (pass) DBpassend();
    }
}
