// nuvak-dbtool: writes, rewrites and inspects the tour service's database.
//
//   write DESCRIPTION DIR     the four tables from a text description
//   rewrite DESCRIPTION DIR   the same, in place, as the installation's writers do
//   dump [DIR]                the tables as the service loads them
//   example [--full]          an example description
//   walk FILE.dbf TAG         a table's records in the order of an index tag
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "database.h"
#include "dbase.h"
#include "dbif.h"
#include "gpresettable.h"
#include "installation.h"
#include "linestamp.h"
#include "nuvaktable.h"
#include "systune.h"
#include "tableload.h"
#include "walk.h"
#include "toolargs.h"

namespace {

using namespace nuvak::dbw;

const char kUsage[] =
    "usage: nuvak-dbtool COMMAND [OPTIONS] ARGS\n"
    "\n"
    "  write [OPTIONS] DESCRIPTION DIR\n"
    "      Writes the tables described in DESCRIPTION (a file, or - for standard\n"
    "      input) into DIR as dBASE IV files (.dbf with a production .mdx).\n"
    "      --table NAME      only this table (nuvak, grppre, cam, mon); repeatable\n"
    "      --in-place        update existing files in place (same inodes, index\n"
    "                        change counters advanced), as the installation's\n"
    "                        writers do while the service runs\n"
    "      --records ORDER   where rows land in the data file: listed, reversed\n"
    "                        or shuffled (default); index order is always the\n"
    "                        description's order within one key\n"
    "      --seed N          seed of the shuffled order (default 1)\n"
    "      --page-keys N     at most N entries per index page (N >= 2), to get\n"
    "                        deep index trees from small tables\n"
    "  rewrite [OPTIONS] DESCRIPTION DIR\n"
    "      write --in-place.\n"
    "  dump [--json] [DIR]\n"
    "      Prints the tours, group presets, cameras and monitors of DIR (default\n"
    "      " DBPATH ") exactly as the tour service loads them: as a\n"
    "      description (readable by write) or as JSON.\n"
    "  example [--full]\n"
    "      Prints an example description: a small one, or with --full a\n"
    "      full-size installation (256 tours, 256 presets of 128 elements,\n"
    "      2048 cameras, 1024 monitors).\n"
    "  walk [--json] FILE.dbf TAG\n"
    "      Prints any table's records in the order of TAG of its production index.\n"
    "\n"
    "With no arguments: dump " DBPATH ".\n";

int BadArgs(const std::string& why) {
    std::fprintf(stderr, "nuvak-dbtool: %s (try --help)\n", why.c_str());
    return 2;
}

bool ReadText(const std::string& path, std::string* text) {
    std::ostringstream ss;
    if (path == "-") {
        ss << std::cin.rdbuf();
    } else {
        std::ifstream in(path, std::ios::binary);
        if (!in) return false;
        ss << in.rdbuf();
    }
    *text = ss.str();
    return true;
}

int RunWrite(int argc, char** argv, bool inPlace) {
    WriteOptions options;
    options.order = RecordOrder::kShuffled;
    options.inPlace = inPlace;
    std::vector<TableId> tables;
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "--in-place") {
            options.inPlace = true;
        } else if (a == "--table") {
            const char* v = value();
            TableId t;
            if (!v || !TableByName(v, &t)) return BadArgs("--table needs nuvak, grppre, cam or mon");
            tables.push_back(t);
        } else if (a == "--records") {
            const char* v = value();
            std::string o = v ? v : "";
            if (o == "listed") options.order = RecordOrder::kListed;
            else if (o == "reversed") options.order = RecordOrder::kReversed;
            else if (o == "shuffled") options.order = RecordOrder::kShuffled;
            else return BadArgs("--records needs listed, reversed or shuffled");
        } else if (a == "--seed") {
            const char* v = value();
            unsigned long n;
            if (!v || !nuvak::toolargs::ParseNumber(v, 0xFFFFFFFFul, n)) return BadArgs("--seed needs a number");
            options.seed = static_cast<std::uint32_t>(n);
        } else if (a == "--page-keys") {
            const char* v = value();
            unsigned long n;
            if (!v || !nuvak::toolargs::ParseNumber(v, 1000, n) || n < 2)
                return BadArgs("--page-keys needs a number 2..1000");
            options.pageKeys = static_cast<int>(n);
        } else if (a.size() > 1 && a[0] == '-') {
            return BadArgs("unknown option " + a);
        } else {
            args.push_back(a);
        }
    }
    if (args.size() != 2) return BadArgs("write needs DESCRIPTION and DIR");
    if (tables.empty()) tables.assign(std::begin(kAllTables), std::end(kAllTables));
    std::string text, error;
    if (!ReadText(args[0], &text)) return BadArgs("cannot read " + args[0]);
    Installation inst;
    if (!ParseDescription(text, &inst, &error)) {
        std::fprintf(stderr, "nuvak-dbtool: %s: %s\n", args[0].c_str(), error.c_str());
        return 1;
    }
    if (!WriteInstallation(args[1], inst, tables, options, &error)) {
        std::fprintf(stderr, "nuvak-dbtool: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

// Opens each table with the dBASE layer to name what is wrong with it, since
// the tables themselves load what they can and report nothing.
bool CheckTables(const std::string& dir) {
    bool ok = true;
    T_DBGDAT gdat;
    DBinit(&gdat, DBIF_DBTYPE);
    for (TableId t : kAllTables) {
        std::string path = dir + "/" + TableFileName(t);
        DBF dbf = dDopen(&gdat, path.c_str(), DB_MODE_READ, 1);
        if (!dbf) {
            std::fprintf(stderr, "nuvak-dbtool: %s.dbf: %s\n", path.c_str(),
                         DBretname(gdat.dretcode));
            ok = false;
            continue;
        }
        MDX mdx = dXopen(dbf, path.c_str(), DB_MODE_READ, 4);
        if (!mdx) {
            std::fprintf(stderr, "nuvak-dbtool: %s.mdx: %s\n", path.c_str(),
                         DBretname(gdat.dretcode));
            ok = false;
        } else {
            dXclose(mdx);
        }
        dDclose(dbf);
    }
    return ok;
}

// Text put together in one string: pieces and unsigned numbers appended in
// place, without the temporaries of string concatenation.
struct Text {
    std::string s;
    Text& operator<<(const char* t) {
        s += t;
        return *this;
    }
    Text& operator<<(const std::string& t) {
        s += t;
        return *this;
    }
    Text& operator<<(unsigned long v) {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v);
        s.append(buf, r.ptr);
        return *this;
    }
    Text& operator<<(unsigned v) { return *this << static_cast<unsigned long>(v); }
    Text& operator<<(unsigned short v) { return *this << static_cast<unsigned long>(v); }
};

int RunDump(int argc, char** argv) {
    bool json = false;
    std::string dir = DBPATH;
    int positional = 0;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--json") json = true;
        else if (a.size() > 1 && a[0] == '-') return BadArgs("unknown option " + a);
        else if (positional++ == 0) dir = a;
        else return BadArgs("dump takes one DIR");
    }
    DBIF_SetPath(dir.c_str());
    // Loaded exactly as the service loads: all tables in one load pass, read
    // again while one changes under the read; a table is taken only when it
    // was read whole. A table that kept changing is not printed at all (a
    // dump never shows a writer's half-way state): nothing is printed.
    auto tourTable = std::make_unique<NuvakTable>();
    auto presetTable = std::make_unique<GpresetTable>();
    namespace tl = nuvak::tables;
    const tl::LoadOutcome loaded = tl::LoadTables(tourTable.get(), SYS_NNUVAKS, presetTable.get(), SYS_NGPRESET,
                                                  tl::kAllTables, nullptr);
    if (loaded.changing != 0) {
        for (unsigned t = tl::kTours; t <= tl::kMonitors; t <<= 1)
            if (loaded.changing & t)
                std::fprintf(stderr, "%s nuvak-dbtool: the %s table kept changing while it was read (%d reads); "
                                     "nothing printed, run dump again\n", UtcStamp().c_str(), tl::TableName(t),
                             tl::kLoadAttempts);
        return 1;
    }
    bool ok = CheckTables(dir);
    if (loaded.applied != tl::kAllTables && ok) {
        std::fprintf(stderr, "%s nuvak-dbtool: a table could not be read whole; it is left out\n", UtcStamp().c_str());
        ok = false;
    }
    NuvakTable& tours = *tourTable;
    GpresetTable& presets = *presetTable;

    // The text is put together piece by piece in one buffer (a full
    // installation is some 40,000 lines).
    Text out;
    out.s.reserve(1u << 20);
    if (json) {
        out << "{\"tours\": [";
        const char* sep = "";
        for (unsigned id = 1; id <= SYS_NNUVAKS; ++id) {
            Nuvak* t = tours.GetNuvak(static_cast<unsigned short>(id));
            if (!t) continue;
            out << sep << "{\"id\": " << id << ", \"logical\": " << t->GetLogicalTourId() << ", \"steps\": [";
            const char* s2 = "";
            for (unsigned short i = 0; i < t->GetNumStep(); ++i) {
                T_NUVAK_step* st = t->GetTourStep(i);
                if (!st) continue;
                out << s2 << "{\"preset\": " << st->grp_id << ", \"dwell\": " << st->dwell << "}";
                s2 = ", ";
            }
            out << "]}";
            sep = ", ";
        }
        out << "], \"presets\": [";
        sep = "";
        for (unsigned id = 1; id <= SYS_NGPRESET; ++id) {
            Gpreset* p = presets.GetGpreset(static_cast<unsigned short>(id));
            if (!p) continue;
            out << sep << "{\"id\": " << id << ", \"logical\": " << p->GetLogicalPresetId()
                << ", \"elements\": [";
            const char* s2 = "";
            for (unsigned short i = 0; i < p->GetNumElement(); ++i) {
                T_GROUP_element* e = p->GetPresetElement(i);
                if (!e) continue;
                out << s2 << "{\"monitor\": " << e->mon_id << ", \"camera\": " << e->cam_id
                    << ", \"preset\": " << e->preset << "}";
                s2 = ", ";
            }
            out << "]}";
            sep = ", ";
        }
        out << "], \"cameras\": [";
        sep = "";
        for (unsigned c = 1; c < SYS_NCAM; ++c) {
            unsigned long l = presets.GetLogCam(static_cast<unsigned short>(c));
            if (l == SYS_IDNULL_LONG) continue;
            out << sep << "{\"camera\": " << c << ", \"logical\": " << l << "}";
            sep = ", ";
        }
        out << "], \"monitors\": [";
        sep = "";
        for (unsigned m = 1; m <= SYS_NMON; ++m) {
            unsigned long l = presets.GetLogMon(static_cast<unsigned short>(m));
            if (l == SYS_IDNULL_LONG) continue;
            out << sep << "{\"monitor\": " << m << ", \"logical\": " << l << "}";
            sep = ", ";
        }
        out << "]}\n";
    } else {
        out << "# " << dir << " as the tour service loads it: " << tours.Size() << " tours, " << presets.Size()
            << " group presets\n";
        for (unsigned id = 1; id <= SYS_NNUVAKS; ++id) {
            Nuvak* t = tours.GetNuvak(static_cast<unsigned short>(id));
            if (!t) continue;
            out << "tour " << id << " logical " << t->GetLogicalTourId() << "\n";
            for (unsigned short i = 0; i < t->GetNumStep(); ++i)
                if (T_NUVAK_step* st = t->GetTourStep(i))
                    out << "  step preset " << st->grp_id << " dwell " << st->dwell << "\n";
        }
        for (unsigned id = 1; id <= SYS_NGPRESET; ++id) {
            Gpreset* p = presets.GetGpreset(static_cast<unsigned short>(id));
            if (!p) continue;
            out << "preset " << id << " logical " << p->GetLogicalPresetId() << "\n";
            for (unsigned short i = 0; i < p->GetNumElement(); ++i)
                if (T_GROUP_element* e = p->GetPresetElement(i))
                    out << "  element monitor " << e->mon_id << " camera " << e->cam_id << " preset " << e->preset
                        << "\n";
        }
        for (unsigned c = 1; c < SYS_NCAM; ++c) {
            unsigned long l = presets.GetLogCam(static_cast<unsigned short>(c));
            if (l != SYS_IDNULL_LONG) out << "camera " << c << " logical " << l << "\n";
        }
        for (unsigned m = 1; m <= SYS_NMON; ++m) {
            unsigned long l = presets.GetLogMon(static_cast<unsigned short>(m));
            if (l != SYS_IDNULL_LONG) out << "monitor " << m << " logical " << l << "\n";
        }
    }
    std::fwrite(out.s.data(), 1, out.s.size(), stdout);
    return ok ? 0 : 1;
}

int RunExample(int argc, char** argv) {
    bool full = false;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--full") == 0) full = true;
        else return BadArgs(std::string("example: unexpected ") + argv[i]);
    }
    std::string text = full ? "# A full-size installation: 256 tours, 256 group presets of 128\n"
                              "# elements, 2048 cameras, 1024 monitors.\n"
                            : "# A small installation.\n";
    text += FormatDescription(ExampleInstallation(full));
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return RunDump(0, argv);
    std::string cmd = argv[1];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    for (int i = 2; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    if (cmd == "write") return RunWrite(argc - 2, argv + 2, false);
    if (cmd == "rewrite") return RunWrite(argc - 2, argv + 2, true);
    if (cmd == "dump") return RunDump(argc - 2, argv + 2);
    if (cmd == "example") return RunExample(argc - 2, argv + 2);
    if (cmd == "walk") return RunWalk(argc - 1, argv + 1);
    return BadArgs("unknown command '" + cmd + "'");
}
