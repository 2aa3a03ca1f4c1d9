// TMGRIF calls and Shm_* helpers against a real data module. Runs in private
// IPC namespaces (key 0x1001 is the installation's).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sharedmem.h"
#include "tmgrif.h"
#include "taskmanager.h"

namespace {

using namespace nuvak::tmgr;
using namespace nuvak::tmgrtest;

// A data module as a task manager would publish it (unit 5, last come first
// served, 60 process slots, the second host on loopback), removed after each test.
T_TMGRIF_cfg Config() {
    T_TMGRIF_cfg cfg{};
    cfg.unit_id = 5;
    cfg.user_operation = OPER_USER_LCFS;
    return cfg;
}
std::vector<T_TMGRIF_HostInfo> Hosts() { return {T_TMGRIF_HostInfo{}, T_TMGRIF_HostInfo{0x0100007F, 0, 0, "lo"}}; }

class TmgrifTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tm_.Ok()); }
    void TearDown() override { TMGRIF_unregister(); }
    DataModuleView View() { return tm_.View(); }
    // A health request from process `source`, and the status of its answer.
    T_uint_16 AskFrom(unsigned source, T_uint_16 status = PROC_STATE_OK) {
        EXPECT_EQ(TMGRIF_checksig(HCHK_REQ_SIG | (source << 16)), TMGRIF_OK);
        return TMGRIF_respond(status);
    }
    // The answer queued to this process within `ms`, 0 for none.
    unsigned Answer(int ms = 1000) {
        unsigned value = 0;
        pid_t from = 0;
        return answers_.Next(&value, &from, ms) ? value : 0;
    }

    TestDataModule tm_{Config(), Hosts(), 60};
    BlockedHealthSignal answers_;
};

TEST(SharedMem, ReportsMissingArgumentsAbsentAndUndersizedSegments) {
    int id = 0, id2 = 0;
    void* at = nullptr;
    void* at2 = nullptr;
    EXPECT_EQ(Shm_Link(0x7E57, 64, nullptr, &at), -1);
    EXPECT_EQ(Shm_Link(0x7E57, 64, &id, nullptr), -1);
    EXPECT_EQ(Shm_Link(0x7E57, 64, &id, &at), ENOENT);
    EXPECT_EQ(Shm_Unlink(nullptr), -1);

    ASSERT_EQ(Shm_Create(0x7E57, 64, &id, &at), 0);
    static_cast<unsigned char*>(at)[63] = 9;
    EXPECT_EQ(Shm_Link(0x7E57, 65, &id2, &at2), -1) << "an undersized segment is refused";
    EXPECT_EQ(Shm_Create(0x7E57, 4096, &id2, &at2), -1) << "also when creating";
    ASSERT_EQ(Shm_Link(0x7E57, 32, &id2, &at2), 0) << "a larger segment serves a smaller request";
    EXPECT_EQ(id2, id);
    EXPECT_EQ(static_cast<unsigned char*>(at2)[63], 9);
    EXPECT_EQ(Shm_Unlink(at2), 0);
    EXPECT_EQ(Shm_Unlink(at), 0);
    EXPECT_EQ(Shm_Remove(id), 0);
    EXPECT_EQ(Shm_Link(0x7E57, 64, &id2, &at2), ENOENT);
}

TEST(TmgrifNoModule, MissingModuleCannotBeLinked) {
    EXPECT_EQ(TMGRIF_link(), TMGRIF_ERR_ATTACH);
    EXPECT_EQ(TMGRIF_register(PROC_NUVAK, "NUVAK"), TMGRIF_ERR_ATTACH);
    EXPECT_FALSE(TMGRIF_islinked());

    T_TMGRIF_cfg cfg{};
    cfg.unit_id = 0x5A5A;
    EXPECT_EQ(TMGRIF_getsize(&cfg), TMGRIF_ERR_NOTLINKED);
    EXPECT_EQ(cfg.unit_id, 0x5A5A) << "the caller's block stays unchanged";
    T_TMGRIF_HostInfo h{};
    EXPECT_EQ(TMGRIF_gethost(0, &h), TMGRIF_ERR_NOTLINKED);
    EXPECT_EQ(TMGRIF_respond(PROC_STATE_OK), TMGRIF_ERR_NOTLINKED);
    EXPECT_EQ(TMGRIF_unregister(), TMGRIF_ERR_NOTLINKED);
}

TEST_F(TmgrifTest, LinkReadsConfigurationAndHosts) {
    ASSERT_EQ(TMGRIF_link(), TMGRIF_OK);
    EXPECT_EQ(TMGRIF_link(), TMGRIF_OK) << "a second link changes nothing";
    T_TMGRIF_cfg cfg{};
    ASSERT_EQ(TMGRIF_getsize(&cfg), TMGRIF_OK);
    EXPECT_EQ(cfg.unit_id, 5);
    EXPECT_EQ(cfg.user_operation, OPER_USER_LCFS);
    EXPECT_EQ(TMGRIF_getsize(nullptr), TMGRIF_ERR_ARG);

    T_TMGRIF_HostInfo h{};
    ASSERT_EQ(TMGRIF_gethost(1, &h), TMGRIF_OK);
    EXPECT_EQ(h.if_ipa, 0x0100007Fu);
    EXPECT_STREQ(h.if_name, "lo");
    EXPECT_EQ(TMGRIF_gethost(2, &h), TMGRIF_ERR_RANGE) << "index = if_count";
    View().Set16(dm::kIfCount, 200);
    EXPECT_EQ(TMGRIF_gethost(3, &h), TMGRIF_ERR_RANGE) << "never beyond the 3 entries, whatever if_count says";
    EXPECT_EQ(TMGRIF_gethost(0, nullptr), TMGRIF_ERR_ARG);

    // Link-only: unregister detaches without touching any slot.
    View().SetProcId(PROC_NUVAK, 77);
    EXPECT_EQ(TMGRIF_unregister(), TMGRIF_OK);
    EXPECT_FALSE(TMGRIF_islinked());
    EXPECT_EQ(View().ProcId(PROC_NUVAK), 77u);
}

TEST_F(TmgrifTest, RegisterAndUnregisterWriteTheProcessSlot) {
    EXPECT_EQ(TMGRIF_register(0, "X"), TMGRIF_ERR_ARG);
    EXPECT_EQ(TMGRIF_register(145, "X"), TMGRIF_ERR_ARG);
    EXPECT_FALSE(TMGRIF_islinked());

    std::memset(tm_.Data() + DataModuleView::ProcOffset(PROC_NUVAK) + proc::kModuleName, 'm', 8);
    ASSERT_EQ(TMGRIF_register(PROC_NUVAK, "NUVAK-WITH-A-VERY-LONG-NAME"), TMGRIF_OK);
    EXPECT_EQ(TMGRIF_ownprocess(), PROC_NUVAK);
    EXPECT_EQ(View().ProcId(PROC_NUVAK), static_cast<T_uint_32>(getpid()));
    EXPECT_EQ(View().ProcState(PROC_NUVAK), PROC_STATE_UNKNOWN);
    char name[80];
    View().ProcName(PROC_NUVAK, name, sizeof name);
    EXPECT_STREQ(name, "NUVAK-WITH-A-VER") << "first 16 characters";

    ASSERT_EQ(TMGRIF_unregister(), TMGRIF_OK);
    EXPECT_EQ(View().ProcId(PROC_NUVAK), 0u);
    EXPECT_EQ(View().ProcState(PROC_NUVAK), PROC_STATE_TERMINATED);
    EXPECT_EQ(tm_.Data()[DataModuleView::ProcOffset(PROC_NUVAK) + proc::kModuleName], 0);
    EXPECT_EQ(TMGRIF_ownprocess(), 0);
    EXPECT_FALSE(TMGRIF_islinked());

    ASSERT_EQ(TMGRIF_register(7, nullptr), TMGRIF_OK);
    View().ProcName(7, name, sizeof name);
    EXPECT_STREQ(name, "Process 7");
}

TEST_F(TmgrifTest, CheckSigTakesOnlyHealthRequests) {
    EXPECT_EQ(TMGRIF_checksig(0xEC33EC0Eu), TMGRIF_ERR_NOREQ) << "an acknowledgement is no request";
    EXPECT_EQ(TMGRIF_checksig(0xE9000000u), TMGRIF_ERR_NOREQ);
    EXPECT_EQ(TMGRIF_checksig(0x00001063u), TMGRIF_ERR_NOREQ);
    EXPECT_EQ(TMGRIF_checksig(0xE805E800u), TMGRIF_OK);
    EXPECT_EQ(TMGRIF_checksig(0xEBFFEBFFu), TMGRIF_OK) << "low bits outside the mask are free";
}

TEST_F(TmgrifTest, RespondAnswersTheRequesterOnce) {
    ASSERT_EQ(TMGRIF_register(PROC_NUVAK, "NUVAK"), TMGRIF_OK);
    View().SetProcId(5, static_cast<T_uint_32>(getpid()));  // the requester is this process
    EXPECT_EQ(TMGRIF_respond(PROC_STATE_OK), TMGRIF_ERR_NOREQ) << "nothing pending yet";
    ASSERT_EQ(AskFrom(5), TMGRIF_OK);
    EXPECT_EQ(TMGRIF_respond(PROC_STATE_OK), TMGRIF_ERR_NOREQ) << "a second answer to one request";
    EXPECT_EQ(Answer(), 0xEC33EC0Eu);
    EXPECT_EQ(Answer(50), 0u) << "exactly one answer";
    // Only the low 4 bits of the status travel.
    ASSERT_EQ(AskFrom(5, 0x00F3), TMGRIF_OK);
    EXPECT_EQ(Answer(), 0xEC33EC03u);
}

TEST_F(TmgrifTest, InvalidRequestersAreAnsweredSixAndSentNothing) {
    ASSERT_EQ(TMGRIF_register(PROC_NUVAK, "NUVAK"), TMGRIF_OK);
    EXPECT_EQ(AskFrom(9), TMGRIF_ERR_INVPROC) << "slot 9 is free";
    EXPECT_EQ(AskFrom(0), TMGRIF_ERR_INVPROC);
    View().SetProcId(61, static_cast<T_uint_32>(getpid()));
    EXPECT_EQ(AskFrom(61), TMGRIF_ERR_INVPROC) << "above process_count (60)";
    View().Set16(dm::kProcessCount, 0xFFFF);
    EXPECT_EQ(AskFrom(200), TMGRIF_ERR_INVPROC) << "a corrupt process_count never lets a source past the table";
    View().SetProcId(10, 0xFFFFFFFFu);
    EXPECT_EQ(AskFrom(10), TMGRIF_ERR_INVPROC) << "a pid that would address a process group or every process";
    EXPECT_EQ(Answer(50), 0u);
    // The request stays pending: once the slot names a process, it is answered.
    View().SetProcId(10, static_cast<T_uint_32>(getpid()));
    EXPECT_EQ(TMGRIF_respond(PROC_STATE_OK), TMGRIF_OK);
    EXPECT_EQ(Answer(), 0xEC33EC0Eu);
}

}  // namespace
