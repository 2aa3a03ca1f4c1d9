// Fuzz target: the index reader. The input is a production index (".mdx")
// for a small fixed data file. Every tag in its table is selected, walked to
// the end, and sought by the keys the walk met and by a few made-up keys,
// stepping on after each seek. It is done twice, reading the files
// themselves and inside a load pass (from its copies), and the two must
// give the same results.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dbase.h"
#include "fuzz_dbase_files.h"

namespace {

// A valid data file of two records: GRPTOUR N(5), NAME C(10).
std::vector<std::uint8_t> SmallDbf() {
    std::vector<std::uint8_t> b(32 + 2 * 32 + 1, 0);
    b[0] = 0x03;
    b[4] = 2;
    b[8] = static_cast<std::uint8_t>(b.size());
    b[10] = 16;
    std::memcpy(&b[32], "GRPTOUR", 7);
    b[32 + 11] = 'N';
    b[32 + 16] = 5;
    std::memcpy(&b[64], "NAME", 4);
    b[64 + 11] = 'C';
    b[64 + 16] = 10;
    b.back() = 0x0D;
    const char recs[] = "     7ALPHA          9BETA      ";
    b.insert(b.end(), recs, recs + 32);
    b.push_back(0x1A);
    return b;
}

// A digest of every result of the exercise (codes, record numbers).
struct Digest {
    std::uint64_t h = 1469598103934665603ull;
    void Add(long v) { h = (h ^ static_cast<std::uint64_t>(v)) * 1099511628211ull; }
};

void SeekAndStep(TAG tag, const char* key, Digest& dg) {
    long recno = 0;
    int rc = dXgetrno(tag, key, &recno);
    dg.Add(rc);
    if (rc == 0 || rc == DBRET_NOTFOUND) {
        dg.Add(dXnxtkey(tag, nullptr, &recno));
        dg.Add(recno);
        dg.Add(dXnxtkey(tag, nullptr, &recno));
        dg.Add(recno);
    }
}

std::uint64_t Exercise(const std::string& dbfpath, const std::string& mdxpath) {
    Digest dg;
    T_DBGDAT gdat;
    DBinit(&gdat, 1);
    DBF dbf = dDopen(&gdat, dbfpath.c_str(), DB_MODE_READ, 1);
    if (!dbf) return 0;
    MDX mdx = dXopen(dbf, mdxpath.c_str(), DB_MODE_READ, 4);
    dg.Add(gdat.dretcode);
    if (mdx) {
        int ntags = dXtagcnt(mdx);
        for (int n = 0; n <= ntags + 1; ++n) {
            char name[11] = "GRPTOUR";
            if (n > 0 && dXtagnm(mdx, n, name) != 0) continue;
            TAG tag = dXactidx(mdx, name);
            dg.Add(gdat.dretcode);
            if (!tag) continue;
            char expr[64];
            dXkeyexpr(tag, expr, sizeof expr);
            dg.Add(dXverify(tag));
            dg.Add(dXverify(tag));  // the second answers from what the first found
            int keylen = dXkeylen(tag);
            std::vector<char> key(static_cast<std::size_t>(keylen));
            std::vector<std::string> keys;
            long recno = 0;
            while (dXnxtkey(tag, key.data(), &recno) == 0) {
                dg.Add(recno);
                if (keys.size() < 64 && (keys.empty() || keys.back() != std::string(key.data(), key.size())))
                    keys.emplace_back(key.data(), key.size());
                if (dXkeytype(tag) == 'N') {
                    char text[DB_NUMTEXT_LEN];
                    dUnktoa(key.data(), text);
                }
            }
            dg.Add(gdat.dretcode);
            for (const std::string& k : keys) SeekAndStep(tag, k.data(), dg);
            std::string low(static_cast<std::size_t>(keylen), '\0'), high(static_cast<std::size_t>(keylen), '\xff');
            SeekAndStep(tag, low.data(), dg);
            SeekAndStep(tag, high.data(), dg);
            dXrewind(tag);
            dg.Add(dXnxtkey(tag, nullptr, &recno));
        }
        dXclose(mdx);
    }
    dDclose(dbf);
    return dg.h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string dbfpath = [] {
        std::vector<std::uint8_t> d = SmallDbf();
        return FuzzWriteFile("in.dbf", d.data(), d.size());
    }();
    std::string mdxpath = FuzzWriteFile("in.mdx", data, size);
    if (dbfpath.empty() || mdxpath.empty()) return 0;
    std::uint64_t direct = Exercise(dbfpath, mdxpath);
    DBpassbegin();
    std::uint64_t copied = Exercise(dbfpath, mdxpath);
    if (DBpassend() != 0 || copied != direct) std::abort();
    return 0;
}
