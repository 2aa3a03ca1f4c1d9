// Corrupt index files: each fault gives a clear code, never a crash, a hang
// or a read outside a buffer (the sanitizer build checks the last).
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "dbase.h"
#include "dbase_testfiles.h"

using namespace dbtest;

namespace {

class CorruptIndex : public ::testing::Test {
protected:
    void SetUp() override {
        DBinit(&gdat, 1);
        WriteOptions o;
        o.pageKeys = 10;  // 12 leaves, 2 interior pages and the root: three levels
        TableImage image = Image(TourTable(Counting(120)), o);
        ASSERT_TRUE(WriteFile(dir.File("t.dbf"), image.dbf));
        dbf = dDopen(&gdat, dir.File("t.dbf").c_str(), DB_MODE_READ, 1);
        ASSERT_NE(dbf, nullptr);
        good = image.mdx;
    }
    void TearDown() override { dDclose(dbf); }

    // Opens `bytes` as the index; selects the tag, seeks 60 and walks the
    // whole tag. Returns the first failure code, or 0 if all went well.
    int Exercise(const Bytes& bytes, int* stage = nullptr) {
        int unused;
        int& at = stage ? *stage : unused;  // 1 open, 2 tag, 3 seek, 4 walk
        WriteFile(dir.File("t.mdx"), bytes);
        at = 1;
        MDX mdx = dXopen(dbf, dir.File("t.mdx").c_str(), DB_MODE_READ, 4);
        if (!mdx) return gdat.dretcode;
        at = 2;
        TAG tag = dXactidx(mdx, "GRPTOUR");
        int rc = tag ? 0 : gdat.dretcode;
        long recno = 0;
        if (tag) at = 3, rc = dXgetrno(tag, NumKey("60").data(), &recno);
        if (tag && (rc == 0 || rc == DBRET_NOTFOUND || rc == DBRET_EOF)) {
            at = 4;
            dXrewind(tag);
            while ((rc = dXnxtkey(tag, nullptr, &recno)) == 0) {
            }
            if (rc == DBRET_EOF) rc = 0;
        }
        dXclose(mdx);
        return rc;
    }

    // `good` with the `width`-byte value `v` at `at`.
    Bytes Patched(std::size_t at, unsigned v, int width) const {
        Bytes b = good;
        for (int i = 0; i < width; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
        return b;
    }
    struct Fault {
        const char* what;
        Bytes bytes;
        int code, stage;  // stage 0: any
    };
    void ExpectFaults(const std::vector<Fault>& faults) {
        for (const Fault& f : faults) {
            int stage = 0;
            EXPECT_EQ(Exercise(f.bytes, &stage), f.code) << f.what;
            EXPECT_TRUE(f.stage == 0 || stage == f.stage) << f.what << ": stage " << stage;
        }
    }

    T_DBGDAT gdat;
    TempDir dir;
    DBF dbf = nullptr;
    Bytes good;
};

}  // namespace

TEST_F(CorruptIndex, HeaderAndTagTableFaults) {
    EXPECT_EQ(Exercise(good), 0);
    unsigned h = TagHeaderBlock(good) * 512;
    ExpectFaults({{"level-7 slot length", Patched(26, 43, 1), DBRET_BADFILE, 1},
                  {"truncated header", Bytes(good.begin(), good.begin() + 40), DBRET_BADFILE, 1},
                  {"tag header past the end of the file", Patched(512 + 32, 5000, 4), DBRET_BADFILE, 2},
                  {"key longer than its entry", Patched(h + 12, 40, 2), DBRET_BADFILE, 2},
                  {"entries larger than a page", Patched(h + 18, 2000, 2), DBRET_BADFILE, 2}});

    int stage = 0;
    EXPECT_EQ(Exercise(Patched(512 + 17, 9, 1), &stage), DBRET_RANGE);  // root slot beyond the one tag
    EXPECT_EQ(stage, 2);
    EXPECT_EQ(+gdat.d_report, 10403);
    Bytes b = Patched(28, 2, 4);  // slot 2 is empty and points back at slot 1
    b[512 + 32 * 1 + 4] = 'Z';
    b[512 + 32 * 1 + 16] = 2;
    b[512 + 32 * 2 + 4] = 'A';
    b[512 + 32 * 2 + 17] = 1;
    EXPECT_EQ(Exercise(b, &stage), DBRET_BADFILE);  // the name tree loops
    EXPECT_EQ(stage, 2);
}

TEST_F(CorruptIndex, PageFaults) {
    unsigned root = RootBlock(good);
    ExpectFaults({{"entry count overruns the page", Patched(root * 512, 500, 4), DBRET_BADFILE, 3},
                  {"child outside the file", Patched(root * 512 + 8, 900000, 4), DBRET_BADFILE, 0},
                  {"a page that is its own child", Patched(root * 512 + 8, root, 4), DBRET_BADFILE, 0},
                  {"root pointer at the file header", Patched(TagHeaderBlock(good) * 512, 0, 4), DBRET_BADFILE, 0}});

    // Every child of the root the same subtree: the walk still ends.
    Bytes b = good;
    unsigned n = Get32(b, root * 512) & 0xFFFF;
    unsigned first = Get32(b, root * 512 + 8);
    for (unsigned i = 0; i <= n; ++i) Put32(b, root * 512 + 8 + i * 16, first);
    int rc = Exercise(b);
    EXPECT_TRUE(rc == 0 || rc == DBRET_BADFILE) << rc;

    // Truncated anywhere: never a crash.
    for (std::size_t len = 0; len < good.size(); len += 97) {
        rc = Exercise(Bytes(good.begin(), good.begin() + static_cast<long>(len)));
        EXPECT_NE(rc, 0) << len;
    }
}

// Random byte damage: every call returns 0 or a layer code.
TEST_F(CorruptIndex, RandomDamageTerminates) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 1500; ++round) {
        Bytes b = good;
        int hits = 1 + static_cast<int>(rng() % 6);
        for (int k = 0; k < hits; ++k) {
            std::size_t at = rng() % b.size();
            b[at] = static_cast<unsigned char>(rng() % 3 == 0 ? 0xFF : rng());
        }
        int rc = Exercise(b);
        EXPECT_TRUE(rc <= 0 && rc >= DBRET_DISKFULL) << rc;
    }
}
