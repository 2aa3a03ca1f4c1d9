// nuvak-tmgr against forked processes: the data module it fills, its health
// checks through queued signals, the answers and misses it reports. Runs in
// private namespaces (key 0x1001).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "proc.h"
#include "taskmanager.h"
#include "sharedmem.h"
#include "tmgrif.h"

namespace {

using namespace nuvak::tmgr;
using Child = nuvak::rig::Proc;
using namespace nuvak::tmgrtest;

// A process forked from the test that registers and then answers every
// health check (or none, when silent); killed at the end of the scope.
struct Registered {
    Registered(unsigned short process, const char* name, bool silent = false) {
        BlockHealthSignal();
        if ((pid = fork()) != 0) return;
        TMGRIF_register(process, name);
        for (siginfo_t info{}; !silent;) {
            if (NextHealthSignal(&info, 1000) && TMGRIF_checksig(static_cast<T_uint_32>(info.si_value.sival_int)) == TMGRIF_OK)
                TMGRIF_respond(PROC_STATE_OK);
        }
        pause();
        _exit(0);
    }
    ~Registered() {
        if (pid > 0) kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    std::string Pid() const { return std::to_string(pid); }
    pid_t pid;
};

TEST(HealthCheck, EveryRoundAnsweredEndsTheCountWithStatusZero) {
    Child tmgr({NUVAK_TMGR_BIN, "--interval", "0.5", "--count", "3", "--process", "2", "--unit", "4", "--lcfs"});
    std::string line;
    ASSERT_TRUE(tmgr.NextLine("ready", &line)) << "nuvak-tmgr did not start";
    EXPECT_NE(line.find("unit 4 lcfs"), std::string::npos) << line;

    // The data module is there and filled.
    ShmAttachment seg;
    ASSERT_EQ(seg.Link(KEY_TMGR, TMGR_DM_SIZE), 0);
    T_TMGRIF_cfg cfg{};
    DecodeConfig(seg.Data() + dm::kConfig, &cfg);
    EXPECT_EQ(cfg.unit_id, 4);
    EXPECT_EQ(cfg.user_operation, OPER_USER_LCFS);
    DataModuleView v(seg.Data());
    EXPECT_EQ(v.Get16(dm::kIfCount), 1);
    EXPECT_EQ(v.ProcId(2), static_cast<T_uint_32>(tmgr.Pid()));

    Registered nuvak(51, "NUVAK");
    ASSERT_TRUE(tmgr.NextLine("register NUVAK (51) pid " + nuvak.Pid(), &line));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(tmgr.NextLine("answer", &line)) << "round " << i;
        EXPECT_EQ(nuvak::rig::AfterStamp(line), "answer NUVAK (51) pid " + nuvak.Pid() + " value 0xEC33EC0E status 0x0E");
    }
    EXPECT_EQ(tmgr.Wait(), 0) << "three rounds, every check answered: no miss";
    EXPECT_EQ(v.Get32(DataModuleView::ProcOffset(51) + proc::kOkCount), 3u);
    EXPECT_EQ(v.ProcState(51), PROC_STATE_OK);
    seg.Reset();
    ShmAttachment gone;
    EXPECT_NE(gone.Link(KEY_TMGR, TMGR_DM_SIZE), 0) << "nuvak-tmgr removed the data module";
}

TEST(HealthCheck, SilentProcessIsReportedAsMissedUndersizedModuleRefused) {
    Child tmgr({NUVAK_TMGR_BIN, "--interval", "0.2", "--count", "1"});
    ASSERT_TRUE(tmgr.NextLine("ready"));
    Registered silent(60, "SILENT", true);  // the request waits blocked
    std::string line;
    ASSERT_TRUE(tmgr.NextLine("miss", &line));
    EXPECT_EQ(nuvak::rig::AfterStamp(line), "miss SILENT (60) pid " + silent.Pid() + " no answer");
    EXPECT_EQ(tmgr.Wait(), 3) << "a missed check ends --count with status 3";

    // A data module left too small for it is refused.
    ShmAttachment small;
    ASSERT_EQ(small.Create(KEY_TMGR, 512), 0);
    EXPECT_EQ(Child({NUVAK_TMGR_BIN, "--interval", "0"}).Wait(), 1);
    int id = small.Id();
    small.Reset();
    Shm_Remove(id);
}

}  // namespace
