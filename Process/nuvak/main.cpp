// The group-tour service. Takes no arguments: its unit comes from the task
// manager's data module, its definitions from the database, and its ports
// and addresses are fixed. Runs until SIGINT.
#include <cstring>

#include "framework.h"
#include "itmgr.h"
#include "nuvakserver.h"
#include "tmgrif.h"

namespace {
constexpr unsigned short kProcessNumber = 51;
constexpr unsigned short kMaxTours = 256;
constexpr unsigned short kMaxPresets = 256;
}  // namespace

int main() {
    // Without the data module the service still runs (unit 0, no health
    // checks, no comm endpoints); the reason is said once.
    if (TMGRIF_link() != TMGRIF_OK) ReportSetupFailure(ITMGR::LinkFailure());
    T_TMGRIF_cfg cfg;
    std::memset(&cfg, 0, sizeof cfg);
    TMGRIF_getsize(&cfg);
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
