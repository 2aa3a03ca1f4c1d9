// The group-tour service. Takes no arguments: its unit comes from the task
// manager's data module, its definitions from the database, and its ports
// and addresses are fixed. Runs until SIGINT.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "database.h"
#include "framework.h"
#include "itmgr.h"
#include "linestamp.h"
#include "nuvakserver.h"
#include "nuvakversion.h"
#include "tmgrif.h"

namespace {
constexpr unsigned short kProcessNumber = 51;
constexpr unsigned short kMaxTours = 256;
constexpr unsigned short kMaxPresets = 256;

// The host addresses the task manager lists, "a, b" ("none" when it lists
// none or is not there).
std::string HostAddresses() {
    std::string list;
    for (unsigned short i = 0; i < 3; ++i) {
        T_TMGRIF_HostInfo info;
        if (TMGRIF_gethost(i, &info) != TMGRIF_OK) continue;
        in_addr a{};
        a.s_addr = htonl(static_cast<in_addr_t>(info.if_ipa));  // held in host order
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &a, text, sizeof text);
        list += (list.empty() ? "" : ", ") + std::string(text);
    }
    return list.empty() ? "none" : list;
}
}  // namespace

int main() {
    StampStandardOutput();
    // Without the data module the service still runs (unit 0, no health
    // checks, no comm endpoints); the reason is said once.
    if (TMGRIF_link() != TMGRIF_OK) ReportSetupFailure(ITMGR::LinkFailure());
    T_TMGRIF_cfg cfg;
    std::memset(&cfg, 0, sizeof cfg);
    TMGRIF_getsize(&cfg);
    std::printf("nuvak %s starting: unit %u, host addresses %s, database %s, pid %d\n", NUVAK_VERSION,
                static_cast<unsigned>(cfg.unit_id), HostAddresses().c_str(), DBPATH, static_cast<int>(getpid()));
    std::fflush(stdout);
    if (IFrameWork* fw = CreateFrameWork()) {
        // Destroyed in reverse order of construction: the server, then the
        // task manager link, before the framework.
        ITMGR tmgr(*fw, kProcessNumber, "NUVAK");
        NuvakServer server(kMaxTours, kMaxPresets, cfg.unit_id, *fw, tmgr);
        fw->Run();
    } else {
        ReportSetupFailure("CreateFrameWork: no framework; the service does nothing");
    }
    DestroyFrameWork();
    return 0;
}
