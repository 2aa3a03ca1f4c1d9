// nuvak-dbupdate: stands in for the installation's database-update process.
// It tells the tour service that a table changed by sending it the framework
// signal (SIGRTMAX - 25) queued with the table's update value. The service is
// found in the task manager's data module (the process registered as number
// 51) unless --pid names it.
#include <signal.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "framework.h"
#include "linestamp.h"
#include "sharedmem.h"
#include "sysdefs.h"
#include "tmgrdm.h"
#include "toolargs.h"

namespace {

const char kUsage[] =
    "usage: nuvak-dbupdate [--pid PID] [--process N] [TABLE]\n"
    "Sends the tour service the database-update signal for TABLE (queued\n"
    "SIGRTMAX-25 with the table's value), as the installation's database-update\n"
    "process does after a writer changed the database.\n"
    "  TABLE        tours (0x1063, default), presets (0x1064), monitors (0xA002),\n"
    "               cameras (0xA004), or any number (decimal or 0x hex)\n"
    "  --pid PID    the process to signal (default: the one registered in the\n"
    "               task manager's data module as process --process)\n"
    "  --process N  process number in the data module (default 51, the service)\n"
    "Prints one line 'sent VALUE to PID'. Exit status 0 sent, 1 bad arguments,\n"
    "2 no such process.\n";

int Fail(const std::string& why) {
    std::fprintf(stderr, "nuvak-dbupdate: %s (try --help)\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long value = NUVAK_UPDATE_SIG;
    unsigned long pid = 0;
    unsigned long process = 51;
    bool tableGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--pid" || a == "--process") {
            if (i + 1 >= argc) return Fail(a + " needs a value");
            unsigned long* target = a == "--pid" ? &pid : &process;
            if (!nuvak::toolargs::ParseNumber(argv[++i], a == "--pid" ? 0x7FFFFFFFul : TMGR_MAX_PROC, *target) || *target == 0)
                return Fail("bad " + a + " '" + argv[i] + "'");
            continue;
        }
        if (!a.empty() && a[0] == '-') return Fail("unknown option " + a);
        if (tableGiven) return Fail("more than one TABLE");
        tableGiven = true;
        if (a == "tours") value = NUVAK_UPDATE_SIG;
        else if (a == "presets") value = GRPPRE_UPDATE_SIG;
        else if (a == "monitors") value = MON_DBUPDATE_SIG;
        else if (a == "cameras") value = CAM_DBUPDATE_SIG;
        else if (!nuvak::toolargs::ParseNumber(a, 0xFFFFFFFFul, value)) return Fail("bad TABLE '" + a + "'");
    }
    if (pid == 0) {
        int id = 0;
        void* base = nullptr;
        if (Shm_Link(KEY_TMGR, TMGR_DM_SIZE, &id, &base) != 0) {
            std::fprintf(stderr, "nuvak-dbupdate: no task manager data module (key 0x%x); give --pid\n", KEY_TMGR);
            return 2;
        }
        nuvak::tmgr::DataModuleView dm(static_cast<unsigned char*>(base));
        pid = dm.ProcId(static_cast<unsigned>(process));
        Shm_Unlink(base);
        if (pid == 0) {
            std::fprintf(stderr, "nuvak-dbupdate: process %lu is not registered\n", process);
            return 2;
        }
    }
    sigval v{};
    v.sival_int = static_cast<int>(static_cast<unsigned int>(value));
    if (sigqueue(static_cast<pid_t>(pid), FrameWorkSignal(), v) != 0) {
        std::fprintf(stderr, "nuvak-dbupdate: sigqueue(%lu): %s\n", pid, std::strerror(errno));
        return 2;
    }
    StampStandardOutput();
    std::printf("sent 0x%lX to %lu\n", value, pid);
    return 0;
}
