// walk: a data file's records in the order of a tag of its production index.
//
// Text form, one line per index entry:
//   KEY  #RECNO  [*]  NAME=text  NAME=text ...
// JSON form: [{"recno": N, "key": K, "fields": {"NAME": "text", ...}}, ...]
// in index order; numeric and date keys are numbers (a date key is the
// Julian day number the index stores), character keys strings. Field texts
// lose their trailing blanks, numeric fields their leading blanks too. Bytes
// above 0x7F are taken as Latin-1.
#include "walk.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dbase.h"

namespace {

const char kUsage[] =
    "usage: nuvak-dbtool walk FILE.dbf TAG [--json]\n"
    "  Prints the records of FILE.dbf in the order of index tag TAG of its\n"
    "  production index (FILE.mdx): key, record number, fields. --json gives\n"
    "  [{\"recno\", \"key\", \"fields\": {NAME: text}}] in index order.\n";

struct FieldDesc {
    std::string name;
    char type;
    unsigned offset;
    int width;
};

bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// The production index beside the data file: same name, extension ".mdx",
// in the case the data file's extension uses.
std::string IndexPath(const std::string& dbf) {
    std::size_t slash = dbf.find_last_of('/');
    std::size_t dot = dbf.find_last_of('.');
    std::string stem = (dot != std::string::npos && (slash == std::string::npos || dot > slash))
                           ? dbf.substr(0, dot)
                           : dbf;
    bool upper = dot != std::string::npos && dot + 1 < dbf.size() && dbf[dot + 1] == 'D';
    std::string first = stem + (upper ? ".MDX" : ".mdx");
    std::string second = stem + (upper ? ".mdx" : ".MDX");
    if (!Exists(first) && Exists(second)) return second;
    return first;
}

std::string Trim(const char* p, int width, bool leading) {
    int b = 0, e = width;
    while (e > b && (p[e - 1] == ' ' || p[e - 1] == '\0')) --e;
    if (leading)
        while (b < e && p[b] == ' ') ++b;
    return std::string(p + b, p + e);
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    char buf[8];
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// A character key for the text form: trailing blanks cut, odd bytes escaped.
std::string PrintableKey(const std::string& s) {
    std::string out;
    char buf[8];
    for (unsigned char c : s) {
        if (c < 0x20 || c >= 0x7F) {
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The key as text, and whether it is a number.
bool KeyText(char type, const char* key, int len, std::string* text) {
    if (type == 'N' || type == 'F') {
        char num[DB_NUMTEXT_LEN];
        if (dUnktoa(key, num) == 0) {
            *text = num;
            return true;
        }
    } else if (type == 'D' && len == 8) {
        std::uint64_t u = 0;
        for (int i = 7; i >= 0; --i) u = (u << 8) | static_cast<unsigned char>(key[i]);
        double d;
        std::memcpy(&d, &u, sizeof d);
        if (d == d && d > -1e15 && d < 1e15) {
            char num[64];
            std::snprintf(num, sizeof num, "%.15g", d);
            *text = num;
            return true;
        }
    }
    *text = Trim(key, len, false);
    return false;
}

int Failed(const char* call, const std::string& what, int code) {
    std::fprintf(stderr, "walk: %s %s: %s (%d)\n", call, what.c_str(), DBretname(code), code);
    return 1;
}

}  // namespace

namespace {
int WalkTag(const std::string& dbfpath, const std::string& tagname, bool json);
}  // namespace

int RunWalk(int argc, char** argv) {
    std::vector<std::string> pos;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--json") {
            json = true;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "walk: unknown option '%s' (try walk --help)\n", a.c_str());
            return 2;
        } else {
            pos.push_back(a);
        }
    }
    if (pos.size() != 2) {
        std::fprintf(stderr, "walk: expected FILE.dbf and TAG, got %zu argument(s) (try walk --help)\n",
                     pos.size());
        return 2;
    }
    // One load pass: the two files are read whole once, and a rewrite while
    // they were read is reported instead of passing for a good walk.
    DBpassbegin();
    int result = WalkTag(pos[0], pos[1], json);
    if (DBpassend() == DBRET_CHANGED) {
        std::fprintf(stderr, "walk: %s changed while it was read (run walk again)\n", pos[0].c_str());
        result = 1;
    }
    return result;
}

namespace {

int WalkTag(const std::string& dbfpath, const std::string& tagname, bool json) {
    T_DBGDAT gdat;
    DBinit(&gdat, 1);
    DBF dbf = dDopen(&gdat, dbfpath.c_str(), DB_MODE_READ, 1);
    if (!dbf) return Failed("dDopen", dbfpath, gdat.dretcode);
    std::string mdxpath = IndexPath(dbfpath);
    MDX mdx = dXopen(dbf, mdxpath.c_str(), DB_MODE_READ, 4);
    if (!mdx) {
        int rc = gdat.dretcode;
        dDclose(dbf);
        return Failed("dXopen", mdxpath, rc);
    }
    int result = 0;
    TAG tag = dXactidx(mdx, tagname.c_str());
    if (!tag) {
        result = Failed("dXactidx", tagname, gdat.dretcode);
    } else {
        std::vector<FieldDesc> fields;
        for (int i = 1; i <= dDfldcnt(dbf); ++i) {
            char name[11];
            FieldDesc f{};
            dDfldinfo(dbf, i, name, &f.offset, &f.type, &f.width, nullptr);
            f.name = name;
            fields.push_back(f);
        }
        int keylen = dXkeylen(tag);
        char type = dXkeytype(tag);
        std::vector<char> key(static_cast<std::size_t>(keylen));
        std::vector<char> rec(static_cast<std::size_t>(dDreclen(dbf)));
        long recno = 0;
        bool first = true;
        if (json) std::fputs("[", stdout);
        dXrewind(tag);
        for (;;) {
            int rc = dXnxtkey(tag, key.data(), &recno);
            if (rc == DBRET_EOF) break;
            if (rc != 0) {
                result = Failed("dXnxtkey", tagname, rc);
                break;
            }
            rc = dDgetrec(dbf, recno, rec.data());
            if (rc != 0) {
                result = Failed("dDgetrec", "record " + std::to_string(recno), rc);
                break;
            }
            std::string ktext;
            bool numeric = KeyText(type, key.data(), keylen, &ktext);
            if (json) {
                std::printf("%s\n{\"recno\": %ld, \"key\": %s, \"fields\": {", first ? "" : ",", recno,
                            numeric ? ktext.c_str() : JsonString(ktext).c_str());
                for (std::size_t i = 0; i < fields.size(); ++i) {
                    const FieldDesc& f = fields[i];
                    bool num = f.type == 'N' || f.type == 'F';
                    std::printf("%s%s: %s", i ? ", " : "", JsonString(f.name).c_str(),
                                JsonString(Trim(rec.data() + f.offset, f.width, num)).c_str());
                }
                std::fputs("}}", stdout);
            } else {
                std::printf("%s\t#%ld\t%s", numeric ? ktext.c_str() : PrintableKey(ktext).c_str(), recno,
                            rec[0] == '*' ? "*" : "");
                for (const FieldDesc& f : fields) {
                    bool num = f.type == 'N' || f.type == 'F';
                    std::printf("\t%s=%s", f.name.c_str(),
                                PrintableKey(Trim(rec.data() + f.offset, f.width, num)).c_str());
                }
                std::fputs("\n", stdout);
            }
            first = false;
        }
        if (json) std::fputs(first ? "]\n" : "\n]\n", stdout);
    }
    dXclose(mdx);
    dDclose(dbf);
    return result;
}

}  // namespace
