// nuvak-units: creates and fills the installation's unit table (shared
// memory key 0x1006) from a short description and prints it. It stands in
// for the installation's unit discovery, which writes this table in a real
// installation; the tour service only reads it.
//
// The segment it creates stays in the system after it ends (as the real
// table does); --remove marks it for removal.
#include <arpa/inet.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "dmunitmgr.h"
#include "linestamp.h"
#include "toolargs.h"

namespace {

const char kUsage[] =
    "usage: nuvak-units [--clear] [--local N=ADDRESS[,STATUS[,NAME]]] [--file FILE]\n"
    "                   [--count N] [--quiet] [--remove] [ENTRY ...]\n"
    "\n"
    "Writes the unit table (shared memory key 0x1006, created when missing) and\n"
    "prints it. With no arguments it only prints the table.\n"
    "\n"
    "  ENTRY            N=ADDRESS[,STATUS[,NAME]]: unit N (1..64) at the IPv4\n"
    "                   ADDRESS; STATUS is a number or INIT, HEALTH, DATABASE,\n"
    "                   DISCOVER, IDLE (default INIT); a unit with status IDLE\n"
    "                   or address 0.0.0.0 counts as offline\n"
    "  --local ENTRY    the local unit (record 0); STATUS ACTIVE (default) or\n"
    "                   STANDBY\n"
    "  --file FILE      more entries, one per line ('#' starts a comment; a line\n"
    "                   'local ENTRY' sets the local unit)\n"
    "  --clear          empty the table first\n"
    "  --count N        print units 1..N (default 64)\n"
    "  --quiet          do not print the table\n"
    "  --remove         mark the table for removal (after the other steps)\n"
    "  --help           this text\n";

using nuvak::toolargs::ParseNumber;

[[noreturn]] void Fail(const std::string& reason) { nuvak::toolargs::Fail("nuvak-units", reason); }

struct Entry {
    unsigned short unit = 0;
    unsigned long ipa = 0;
    unsigned short status = 1;
    std::string name;
};

bool ParseStatus(const std::string& s, bool local, unsigned short& out) {
    static const char* const kUnit[] = {"", "INIT", "HEALTH", "DATABASE", "DISCOVER", "IDLE"};
    unsigned long v = 0;
    if (ParseNumber(s, 0xFFFF, v)) {
        out = static_cast<unsigned short>(v);
        return true;
    }
    if (local) {
        if (s == "STANDBY") return out = 0, true;
        if (s == "ACTIVE") return out = 1, true;
        return false;
    }
    for (unsigned short i = 1; i <= 5; ++i)
        if (s == kUnit[i]) return out = i, true;
    return false;
}

// N=ADDRESS[,STATUS[,NAME]]; the name may contain commas.
Entry ParseEntry(const std::string& text, bool local) {
    Entry e;
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos) Fail("entry '" + text + "' is not N=ADDRESS[,STATUS[,NAME]]");
    unsigned long unit = 0;
    if (!ParseNumber(text.substr(0, eq), 64, unit) || unit == 0)
        Fail("unit number in '" + text + "' is not 1..64");
    e.unit = static_cast<unsigned short>(unit);
    std::string rest = text.substr(eq + 1);
    std::string addr = rest, status;
    const std::size_t c1 = rest.find(',');
    if (c1 != std::string::npos) {
        addr = rest.substr(0, c1);
        const std::string tail = rest.substr(c1 + 1);
        const std::size_t c2 = tail.find(',');
        status = tail.substr(0, c2);
        if (c2 != std::string::npos) e.name = tail.substr(c2 + 1);
    }
    struct in_addr a;
    if (inet_pton(AF_INET, addr.c_str(), &a) != 1) Fail("address '" + addr + "' is not a dotted IPv4 address");
    e.ipa = ntohl(a.s_addr);
    if (!status.empty() && !ParseStatus(status, local, e.status)) Fail("status '" + status + "' is not known");
    return e;
}

// --file: one entry per line, '#' starts a comment, 'local ENTRY' sets the local unit.
void ReadFile(const std::string& path, std::vector<Entry>& units, Entry& local, bool& haveLocal) {
    std::ifstream in(path);
    if (!in) Fail("cannot read " + path);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) line.pop_back();
        std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos) continue;
        line = line.substr(start);
        if (line.rfind("local ", 0) == 0) {
            local = ParseEntry(line.substr(6), true);
            haveLocal = true;
        } else {
            units.push_back(ParseEntry(line, false));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Entry> units;
    bool haveLocal = false, clear = false, quiet = false, remove = false;
    Entry local;
    unsigned long count = 64;
    nuvak::toolargs::ReadAll(argc, argv, 1, kUsage, Fail, [&](nuvak::toolargs::Reader& r, const std::string& a) {
        if (a == "--local") {
            local = ParseEntry(r.Value(), true);
            haveLocal = true;
        } else if (a == "--file") {
            ReadFile(r.Value(), units, local, haveLocal);
        } else if (a == "--clear") {
            clear = true;
        } else if (a == "--count") {
            count = r.Number(0, 64);
        } else if (a == "--quiet") {
            quiet = true;
        } else if (a == "--remove") {
            remove = true;
        } else if (!a.empty() && a[0] == '-') {
            Fail("unknown option " + a + " (try --help)");
        } else {
            units.push_back(ParseEntry(a, false));
        }
    });

    DMUnitMgr* mgr = DMUnitMgr::Instance();
    const bool writing = clear || haveLocal || !units.empty();
    if (writing) {
        if (!mgr->Create()) Fail("cannot create or attach the unit table (key 0x1006)");
        if (clear) mgr->Init();
        if (haveLocal) mgr->SetLocal(local.unit, local.ipa, local.status, local.name);
        for (const Entry& e : units) mgr->SetUnit(e.unit, e.ipa, e.status, e.name);
    } else if (!mgr->Link()) {
        if (remove) return 0;
        std::printf("%s nuvak-units: no unit table (key 0x1006) on this machine\n", UtcStamp().c_str());
        return 0;
    }
    if (!quiet) mgr->Print(static_cast<unsigned short>(count));
    mgr->Unlink();
    if (remove) {
        const int id = shmget(dmunit::kKey, 0, 0);
        if (id >= 0 && shmctl(id, IPC_RMID, nullptr) != 0) Fail("cannot remove the unit table");
    }
    return 0;
}
