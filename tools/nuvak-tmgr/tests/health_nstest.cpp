// Health checks between real processes through the task manager's data
// module and queued signals: first a forked process answering with the TMGRIF
// calls, then the real nuvak-tmgr against a process with an ITMGR on the
// framework loop. Runs in private namespaces (key 0x1001).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "proc.h"
#include "healthsignal.h"
#include "sharedmem.h"
#include "tmgrif.h"

namespace {

using namespace nuvak::tmgr;
using Child = nuvak::rig::Proc;
using namespace nuvak::tmgrtest;

void Queue(pid_t pid, unsigned value) {
    union sigval v {};
    v.sival_int = static_cast<int>(value);
    ASSERT_EQ(sigqueue(pid, HealthSignal(), v), 0);
}

// The forked process: registers as 51, answers the first request twice (0
// then 4) and the second once (6 expected: its source slot is free). Results
// go back through the pipe.
[[noreturn]] void AnsweringProcess(int resultFd, int readyFd) {
    T_uint_16 results[4] = {};
    results[0] = TMGRIF_register(PROC_NUVAK, "NUVAK");
    char ready = 'r';
    if (write(readyFd, &ready, 1) != 1) _exit(2);
    for (int request = 0; request < 2; ++request) {
        siginfo_t info{};
        if (!NextHealthSignal(&info, 5000)) _exit(3);
        TMGRIF_checksig(static_cast<T_uint_32>(info.si_value.sival_int));
        results[1 + request * 2] = TMGRIF_respond(PROC_STATE_OK);
        if (request == 0) results[2] = TMGRIF_respond(PROC_STATE_OK);
    }
    TMGRIF_unregister();
    if (write(resultFd, results, sizeof results) != sizeof results) _exit(4);
    _exit(0);
}

TEST(HealthCheck, RoundTripBetweenTwoProcesses) {
    TestDataModule module;
    ASSERT_TRUE(module.Ok());
    BlockHealthSignal();  // inherited by the child: its requests wait for sigtimedwait
    const unsigned requester = 2;
    module.View().SetProcId(requester, static_cast<T_uint_32>(getpid()));

    int results[2], ready[2];
    ASSERT_EQ(pipe(results), 0);
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) AnsweringProcess(results[1], ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(module.View().ProcId(PROC_NUVAK), static_cast<T_uint_32>(child));

    // Request from process 2: the answer comes from the child's pid.
    Queue(child, HCHK_REQ_SIG | (requester << 16));
    siginfo_t info{};
    ASSERT_TRUE(NextHealthSignal(&info, 5000));
    EXPECT_EQ(static_cast<unsigned>(info.si_value.sival_int), 0xEC33EC0Eu);
    EXPECT_EQ(info.si_pid, child);
    EXPECT_EQ(info.si_code, SI_QUEUE);

    // Request naming a free slot (9): answered 6, nothing sent.
    Queue(child, HCHK_REQ_SIG | (9u << 16));
    T_uint_16 codes[4] = {};
    ASSERT_EQ(read(results[0], codes, sizeof codes), static_cast<ssize_t>(sizeof codes));
    EXPECT_EQ(codes[0], TMGRIF_OK) << "register";
    EXPECT_EQ(codes[1], TMGRIF_OK) << "first answer";
    EXPECT_EQ(codes[2], TMGRIF_ERR_NOREQ) << "second answer to the same request";
    EXPECT_EQ(codes[3], TMGRIF_ERR_INVPROC) << "request from a free slot";
    EXPECT_FALSE(NextHealthSignal(&info, 200)) << "nothing sent for the free slot";

    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(module.View().ProcId(PROC_NUVAK), 0u) << "unregistered";
    EXPECT_EQ(module.View().ProcState(PROC_NUVAK), PROC_STATE_TERMINATED);
}

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
    EXPECT_EQ(TMGRIF_link(), TMGRIF_ERR_ATTACH);
    EXPECT_EQ(TMGRIF_register(PROC_NUVAK, "NUVAK"), TMGRIF_ERR_ATTACH);

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
