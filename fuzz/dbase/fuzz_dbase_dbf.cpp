// Fuzz target: the data-file reader. The input is a ".dbf" file; it is opened,
// its fields looked up by name and position, records read (the first ones,
// the last, one past the end) and numeric fields turned into index keys and
// back. It is done twice, reading the file itself and inside a load pass
// (from its copy), and the two must read the same records.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dbase.h"
#include "fuzz_dbase_files.h"

namespace {

std::uint64_t Exercise(const std::string& path) {
    std::uint64_t h = 1469598103934665603ull;
    auto add = [&h](const char* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(p[i])) * 1099511628211ull;
    };
    T_DBGDAT gdat;
    DBinit(&gdat, 1);
    DBF dbf = dDopen(&gdat, path.c_str(), DB_MODE_READ, 1);
    if (!dbf) return 0;
    long count = 0;
    dDreccnt(dbf, &count);
    int reclen = dDreclen(dbf);
    std::vector<char> rec(static_cast<std::size_t>(reclen > 0 ? reclen : 1));
    int nfields = dDfldcnt(dbf);
    for (long n : {0L, 1L, 2L, 3L, count / 2, count - 1, count, count + 1}) {
        int rc = dDgetrec(dbf, n, rec.data());
        add(reinterpret_cast<const char*>(&rc), sizeof rc);
        if (rc != 0) continue;
        add(rec.data(), rec.size());
        for (int i = 1; i <= nfields; ++i) {
            char name[11];
            unsigned off = 0;
            char type = 0;
            int width = 0, dec = 0;
            if (dDfldinfo(dbf, i, name, &off, &type, &width, &dec) != 0) continue;
            int pos = 0;
            dDfldnm(dbf, name, &off, &pos, &type, &width, &dec);
            if (type != 'N' && type != 'F') continue;
            char key[DB_NUMKEY_LEN], text[DB_NUMTEXT_LEN], field[32];
            if (dUnftonk(&gdat, 1, rec.data() + off, width, key) == 0) dUnktoa(key, text);
            if (width < 21) {
                std::memcpy(field, rec.data() + off, static_cast<std::size_t>(width));
                field[width] = '\0';
                char out[32];
                dUatonf(&gdat, field, width, dec, out);
            }
        }
    }
    char missing[] = "no_such";
    dDfldnm(dbf, missing, nullptr, nullptr, nullptr, nullptr, nullptr);
    dDclose(dbf);
    return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string path = FuzzWriteFile("in.dbf", data, size);
    if (path.empty()) return 0;
    std::uint64_t direct = Exercise(path);
    DBpassbegin();
    std::uint64_t copied = Exercise(path);
    if (DBpassend() != 0 || copied != direct) std::abort();
    return 0;
}
