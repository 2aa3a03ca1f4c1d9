// The writer's own rules; its files are read by the dbase and dbif tests and
// by independent readers (tests/dbase-peer).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "dbase.h"

#include "dbfwriter.h"
#include "installation.h"

using namespace nuvak::dbw;

TEST(NumericKey, OrdersByValue) {
    const char* ascending[] = {"-100", "-12.5", "-1", "0", "0.05", "0.5", "1", "9", "10", "12.25", "99999"};
    for (size_t i = 0; i + 1 < std::size(ascending); ++i) {
        EXPECT_LT(CompareNumericKeys(NumericKey(ascending[i]), NumericKey(ascending[i + 1])), 0)
            << ascending[i] << " < " << ascending[i + 1];
        EXPECT_GT(CompareNumericKeys(NumericKey(ascending[i + 1]), NumericKey(ascending[i])), 0);
    }
}

TEST(FormatField, FitsOrRefuses) {
    std::string out;
    EXPECT_TRUE(FormatField({"N", 'N', 5, 0}, "42", &out));
    EXPECT_EQ(out, "   42");
    EXPECT_TRUE(FormatField({"N", 'N', 5, 1}, "5", &out));
    EXPECT_EQ(out, "  5.0");
    EXPECT_FALSE(FormatField({"N", 'N', 3, 0}, "1000", &out));
    EXPECT_FALSE(FormatField({"N", 'N', 5, 0}, "12x", &out));
    EXPECT_TRUE(FormatField({"C", 'C', 4, 0}, "ab", &out));
    EXPECT_EQ(out, "ab  ");
    EXPECT_FALSE(FormatField({"L", 'L', 1, 0}, "X", &out));
}

TEST(Description, ParsesAndFormatsBack) {
    const char* text =
        "# comment\n"
        "tour 3 logical 10003   # trailing comment\n"
        "  step preset 2 dwell 10\n"
        "  step dwell 5 preset 1\n"
        "preset 2 logical 20002\n"
        "  element monitor 1 camera 7\n"
        "camera 7 logical 107 title \"North \\\"gate\\\"\" camtype 001A\n"
        "monitor 1 logical 201 monloc Hall\n";
    Installation inst;
    std::string error;
    ASSERT_TRUE(ParseDescription(text, &inst, &error)) << error;
    ASSERT_EQ(inst.tours.size(), 1u);
    EXPECT_EQ(inst.tours[0].steps.size(), 2u);
    EXPECT_EQ(inst.tours[0].steps[1].preset, 1u);
    EXPECT_EQ(inst.presets[0].elements[0].preset, 0u);
    EXPECT_EQ(inst.cameras[0].fields["TITLE"], "North \"gate\"");
    Installation again;
    ASSERT_TRUE(ParseDescription(FormatDescription(inst), &again, &error)) << error;
    EXPECT_EQ(FormatDescription(again), FormatDescription(inst));
}

TEST(Description, NamesTheBadLine) {
    struct Case {
        const char* text;
        const char* expect;
    } cases[] = {
        {"step preset 1 dwell 1\n", "line 1: step outside a tour"},
        {"tour 1 logical 1\n  step preset 1 dwell 1000\n", "line 2: dwell"},
        {"tour 1 logical 1\ntour 1 logical 2\n", "line 2: tour 1 already defined on line 1"},
        {"camera 1 logical 1 colour red\n", "line 1: 'colour' is not a field"},
        {"camera 1 logical 1 title \"open\n", "line 1: unterminated"},
        {"tour 0 logical 1\n", "line 1: tour needs a number"},
        {"bogus\n", "line 1: unknown keyword"},
    };
    for (const auto& c : cases) {
        Installation inst;
        std::string error;
        EXPECT_FALSE(ParseDescription(c.text, &inst, &error)) << c.text;
        EXPECT_EQ(error.rfind(c.expect, 0), 0u) << error;
    }
}

// Other writers' shapes through the reader: data in index header bytes 30-31,
// '_' before letters in the tag-name tree, a character field over 255 bytes.
TEST(ForeignShapes, ReaderFindsTagsAndFields) {
    Table t;
    t.fields = {{"NOTE", 'C', 300, 0}, {"A_B", 'N', 5, 0}, {"AB", 'N', 5, 0}, {"ZZ", 'N', 5, 0},
                {"NAME", 'C', 8, 0}};
    for (int i = 1; i <= 5; ++i)
        t.rows.push_back({std::string(299, 'x') + "y", std::to_string(6 - i), std::to_string(i * 10),
                          std::to_string(i), "n" + std::to_string(i)});
    t.tags = {"ZZ", "A_B", "AB"};
    WriteOptions o;
    o.tagCountTail = 0x1B02;
    o.underscoreFirst = true;
    char dir[] = "/tmp/dbwriter_test.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/foreign", error;
    ASSERT_TRUE(WriteTable(path, t, o, &error)) << error;

    T_DBGDAT gdat;
    DBinit(&gdat, 1);
    DBF dbf = dDopen(&gdat, path.c_str(), DB_MODE_READ, 1);
    ASSERT_NE(dbf, nullptr) << DBretname(gdat.dretcode);
    char name[11];
    unsigned off = 0;
    char type = 0;
    int width = 0, dec = 0;
    ASSERT_EQ(dDfldinfo(dbf, 1, name, &off, &type, &width, &dec), 0);
    EXPECT_EQ(width, 300);
    EXPECT_EQ(dec, 0);
    ASSERT_EQ(dDfldinfo(dbf, 5, name, &off, &type, &width, &dec), 0);
    EXPECT_EQ(off, 1u + 300 + 15);
    std::vector<char> rec(static_cast<size_t>(dDreclen(dbf)));
    ASSERT_EQ(dDgetrec(dbf, 2, rec.data()), 0);
    EXPECT_EQ(std::string(rec.data() + off, 8), "n2      ");

    MDX mdx = dXopen(dbf, path.c_str(), DB_MODE_READ, 4);
    ASSERT_NE(mdx, nullptr) << DBretname(gdat.dretcode);
    EXPECT_EQ(dXtagcnt(mdx), 3);
    for (const char* tag : {"ZZ", "A_B", "AB"}) {
        TAG h = dXactidx(mdx, tag);
        ASSERT_NE(h, nullptr) << tag << ": " << DBretname(gdat.dretcode);
        long recno = 0, last = 0;
        int n = 0;
        while (dXnxtkey(h, nullptr, &recno) == 0) ++n, last = recno;
        EXPECT_EQ(n, 5) << tag;
        EXPECT_EQ(last, std::string(tag) == "A_B" ? 1 : 5) << tag;
    }
    EXPECT_EQ(dXactidx(mdx, "NOTE"), nullptr);
    EXPECT_EQ(gdat.dretcode, DBRET_NOTFOUND);
    dXclose(mdx);
    dDclose(dbf);
    std::filesystem::remove_all(dir);
}
