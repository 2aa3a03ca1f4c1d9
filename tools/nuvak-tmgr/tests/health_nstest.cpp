// Health checks between real processes through the task manager's data
// module and queued signals: the real nuvak-tmgr against a process with an
// ITMGR on the framework loop, and against one that never answers. Runs in
// private namespaces (key 0x1001). The calls of each side alone are the
// library's tests (Lib/tmgr/tests).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "proc.h"
#include "taskmanager.h"
#include "sharedmem.h"
#include "tmgrif.h"

namespace {

using namespace nuvak::tmgr;
using Child = nuvak::rig::Proc;
using namespace nuvak::tmgrtest;

TEST(HealthCheck, TaskManagerStandInChecksAFrameworkProcess) {
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

    Child responder({TMGR_RESPONDER_BIN, "51", "NUVAK"});
    ASSERT_TRUE(responder.NextLine("ready registered 51"));
    const std::string pid = std::to_string(responder.Pid());
    ASSERT_TRUE(tmgr.NextLine("register NUVAK (51) pid " + pid, &line));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(tmgr.NextLine("answer", &line)) << "round " << i;
        EXPECT_EQ(line, "answer NUVAK (51) pid " + pid + " value 0xEC33EC0E status 0x0E");
    }
    EXPECT_EQ(tmgr.Wait(), 0) << "three rounds, every check answered";
    for (const std::string& l : tmgr.Lines()) EXPECT_EQ(l.find("miss"), std::string::npos) << l;
    EXPECT_EQ(v.Get32(DataModuleView::ProcOffset(51) + proc::kOkCount), 3u);
    EXPECT_EQ(v.ProcState(51), PROC_STATE_OK);

    responder.Signal(SIGINT);
    EXPECT_EQ(responder.Wait(), 0);
    EXPECT_EQ(v.ProcId(51), 0u) << "the link freed its slot";
    seg.Reset();
    ShmAttachment gone;
    EXPECT_NE(gone.Link(KEY_TMGR, TMGR_DM_SIZE), 0) << "nuvak-tmgr removed the data module";
}

TEST(HealthCheck, SilentProcessIsReportedAsMissed) {
    Child tmgr({NUVAK_TMGR_BIN, "--interval", "0.2", "--count", "1"});
    ASSERT_TRUE(tmgr.NextLine("ready"));
    // A process that registers but never answers: the request waits blocked.
    BlockHealthSignal();
    pid_t silent = fork();
    ASSERT_GE(silent, 0);
    if (silent == 0) {
        TMGRIF_register(60, "SILENT");
        pause();
        _exit(0);
    }
    std::string line;
    ASSERT_TRUE(tmgr.NextLine("miss", &line));
    EXPECT_EQ(line, "miss SILENT (60) pid " + std::to_string(silent) + " no answer");
    EXPECT_EQ(tmgr.Wait(), 3) << "a missed check ends --count with status 3";
    kill(silent, SIGKILL);
    waitpid(silent, nullptr, 0);
}

TEST(HealthCheck, UndersizedDataModuleIsRefused) {
    ShmAttachment small;
    ASSERT_EQ(small.Create(KEY_TMGR, 512), 0);
    Child tmgr({NUVAK_TMGR_BIN, "--interval", "0"});
    EXPECT_EQ(tmgr.Wait(), 1);

    // A process whose task manager is missing still runs; its link only fails.
    Child responder({TMGR_RESPONDER_BIN, "51"});
    std::string line;
    ASSERT_TRUE(responder.NextLine("ready", &line));
    EXPECT_EQ(line, "ready registered 0");
    responder.Signal(SIGINT);
    EXPECT_EQ(responder.Wait(), 0);
    int id = small.Id();
    small.Reset();
    Shm_Remove(id);
}

}  // namespace
