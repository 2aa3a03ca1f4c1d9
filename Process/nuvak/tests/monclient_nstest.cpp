// Monitor client: every row of the transition table, checked on the bytes that
// reach the monitor control process's mailbox (a UDP socket on the port of
// IPC address 1). Runs in private namespaces: it takes IPC address 13.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <optional>

#include <gtest/gtest.h>

#include "framework.h"
#include "monclient.h"
#include "monmsg.h"
#include "sysdefs.h"

namespace mm = nuvak::monmsg;

namespace {

using Block = std::array<unsigned char, 256>;

struct Client : IFrameWorkClient, IFrameWorkObserver {
    bool OnEvent(EVENTTYPE, unsigned int) override { return true; }
};

// Owns the framework, a worker with mailbox 13, and the socket standing in
// for the monitor control process at IPC address 1.
class MonClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        fw_ = CreateFrameWork();
        ASSERT_NE(fw_, nullptr);
        ASSERT_TRUE(fw_->Register(client_, &server_));
        IIPC* mailbox = nullptr;
        ASSERT_EQ(server_->CreateMailbox(client_, 13, PRIORITY_HIGH, &mailbox), 0);
        sock_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(12001);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(sock_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    static void TearDownTestSuite() {
        close(sock_);
        server_->DestroyMailbox();
        fw_->UnRegister(server_);
        DestroyFrameWork();
    }
    void SetUp() override { Drain(); }

    static std::optional<Block> Next(int ms = 1000) {
        pollfd p{sock_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return std::nullopt;
        Block b{};
        ssize_t n = recv(sock_, b.data(), b.size(), 0);
        EXPECT_EQ(n, 256) << "every IPC message is 256 bytes";
        return b;
    }
    static void Drain() {
        while (Next(0)) {
        }
    }
    static void ExpectNothing() { EXPECT_FALSE(Next(100).has_value()) << "no message expected"; }

    // A client as the tour control fills it for a running tour.
    std::unique_ptr<MonClient> Make(unsigned short tourId = 5, unsigned short tourState = TOURSTATE_RUNNING) {
        auto c = std::make_unique<MonClient>(7, tourId, server_);
        c->SetCameraId(100012);
        c->SetCamPresetId(4);
        c->SetGlobalTourId(10000042);
        c->SetUserData(21, 0x0103, 9, 7);
        c->SetTourState(tourState);
        return c;
    }

    static unsigned U16(const Block& b, size_t off) { return mm::LoadLE16(b.data() + off); }
    static unsigned long U32(const Block& b, size_t off) { return mm::LoadLE32(b.data() + off); }
    static void ExpectHeader(const Block& b, unsigned command, const MonClient& c) {
        EXPECT_EQ(U16(b, 0), 13u);
        EXPECT_EQ(U16(b, 2), 13u);
        EXPECT_EQ(U16(b, 4), 1u);
        EXPECT_EQ(U16(b, 6), 0u);
        EXPECT_EQ(U16(b, 8), 104u);
        EXPECT_EQ(U16(b, 12), command);
        EXPECT_EQ(U32(b, 16), c.GetPriority());
        EXPECT_EQ(U16(b, 20), c.GetMonitorId());
        EXPECT_EQ(U16(b, 22), c.GetDeviceId());
        EXPECT_EQ(U16(b, 24), c.GetUserId());
        EXPECT_EQ(U16(b, 26), c.GetNuvakId());
    }
    static void ExpectSeize(const MonClient& c, unsigned command = 32) {
        auto b = Next();
        ASSERT_TRUE(b) << "seize/release expected";
        ExpectHeader(*b, command, c);
        EXPECT_EQ(U16(*b, 90), 0x100u + c.GetTourState());
        EXPECT_EQ(U16(*b, 92), 1u);
        EXPECT_EQ(U32(*b, 96), c.GetGlobalTourId());
        EXPECT_EQ(U16(*b, 100), 0xFFFFu);
    }
    static void ExpectCamera(const MonClient& c) {
        auto b = Next();
        ASSERT_TRUE(b) << "camera select expected";
        ExpectHeader(*b, 8, c);
        EXPECT_EQ(U16(*b, 90), 1u);
        EXPECT_EQ(U16(*b, 92), 0u);
        EXPECT_EQ(U32(*b, 96), c.GetCameraId());
    }
    static void ExpectPreset(const MonClient& c) {
        auto b = Next();
        ASSERT_TRUE(b) << "camera preset expected";
        ExpectHeader(*b, 8, c);
        EXPECT_EQ(U16(*b, 90), 2u);
        EXPECT_EQ(U16(*b, 92), c.GetPresetId());
        EXPECT_EQ(U16(*b, 94), 0u);
        EXPECT_EQ(U16(*b, 96), 0u);
    }
    static void ExpectTour(const MonClient& c, unsigned word, unsigned action) {
        auto b = Next();
        ASSERT_TRUE(b) << "tour stop/pause expected";
        ExpectHeader(*b, 8, c);
        EXPECT_EQ(U16(*b, 90), word);
        EXPECT_EQ(U16(*b, 92), 1u);
        EXPECT_EQ(U32(*b, 96), c.GetGlobalTourId());
        EXPECT_EQ(U16(*b, 100), action);
    }

    static IFrameWork* fw_;
    static IFrameWorkServer* server_;
    static Client client_;
    static int sock_;
};
IFrameWork* MonClientTest::fw_ = nullptr;
IFrameWorkServer* MonClientTest::server_ = nullptr;
Client MonClientTest::client_;
int MonClientTest::sock_ = -1;

TEST_F(MonClientTest, FirstShowingOfARunningTour) {
    auto c = Make();
    EXPECT_EQ(c->GetCurrentState(), IDLESTATE);
    c->MonitorSelect();
    ExpectSeize(*c);
    EXPECT_EQ(c->GetCurrentState(), MONSELECTSTATE);
    EXPECT_NE(c->GetWatchdogFlag(), 0);
    c->CsiSeizeConfirm();
    ExpectCamera(*c);
    EXPECT_EQ(c->GetMonState(), CONNST_SEIZED);
    EXPECT_EQ(c->GetCurrentState(), CAMSTATE);
    c->CsiControlConfirm(1);
    ExpectPreset(*c);
    EXPECT_EQ(c->GetCamState(), 1);
    EXPECT_EQ(c->GetCurrentState(), PRESETSTATE);
    c->CsiControlConfirm(1);
    EXPECT_EQ(c->GetCurrentState(), IDLESTATE);
    EXPECT_EQ(c->GetWatchdogFlag(), 0);
    ExpectNothing();
}

TEST_F(MonClientTest, LaterStepAndOneShotPresetEndWithTourStop) {
    auto c = Make();
    EXPECT_EQ(c->CameraSelect(), 0);
    ExpectCamera(*c);
    EXPECT_EQ(c->GetCurrentState(), CAMSTATE);
    c->CsiControlConfirm(0);  // camera not switched: no preset, back to idle
    EXPECT_EQ(c->GetCurrentState(), IDLESTATE);
    ExpectNothing();

    auto p = Make(300, TOURSTATE_END);
    p->MonitorSelect();
    ExpectSeize(*p);
    p->CsiSeizeConfirm();
    ExpectCamera(*p);
    p->CsiControlConfirm(1);
    ExpectPreset(*p);
    ExpectTour(*p, 0x102, MON_TOUR_ACT_DEL);
    EXPECT_EQ(p->GetCurrentState(), IDLESTATE);
}

TEST_F(MonClientTest, CameraRequestsWithoutCameraOrPresetSendNothing) {
    auto c = Make();
    c->SetCameraId(0xFFFFFFFFul);
    EXPECT_EQ(c->CameraSelect(), NUVAKERR_INVALID);
    EXPECT_EQ(c->GetCurrentState(), IDLESTATE);
    ExpectNothing();

    // Preset 0: a running tour's client goes idle, a one-shot's sends a tour stop.
    for (unsigned short preset : {0, 0xFFFF}) {
        auto r = Make();
        r->SetCamPresetId(preset);
        r->CameraSelect();
        ExpectCamera(*r);
        r->CsiControlConfirm(1);
        EXPECT_EQ(r->GetCurrentState(), IDLESTATE);
        ExpectNothing();
    }
    auto o = Make(300, TOURSTATE_END);
    o->SetCamPresetId(0);
    o->CameraSelect();
    ExpectCamera(*o);
    o->CsiControlConfirm(1);
    ExpectTour(*o, 0x102, MON_TOUR_ACT_DEL);
    EXPECT_EQ(o->GetCurrentState(), IDLESTATE);
}

TEST_F(MonClientTest, SelectDuringAnExchangeWaitsForIdle) {
    auto c = Make();
    c->CameraSelect();
    ExpectCamera(*c);
    c->MonitorSelect();
    ExpectNothing();
    EXPECT_EQ(c->GetCallMonSelect(), 0xFFFF);
    c->CsiControlConfirm(1);
    ExpectPreset(*c);
    c->CsiControlConfirm(1);  // preset confirmed: idle runs the pending select
    ExpectSeize(*c);
    EXPECT_EQ(c->GetCurrentState(), MONSELECTSTATE);
    EXPECT_EQ(c->GetCallMonSelect(), 0);
}

TEST_F(MonClientTest, SeizeDuringAnExchangeAbandonsIt) {
    auto c = Make();
    c->CameraSelect();
    ExpectCamera(*c);
    c->MonitorSeize();
    ExpectSeize(*c);
    EXPECT_EQ(c->GetCurrentState(), IDLESTATE);
    EXPECT_EQ(c->GetCallMonSeize(), 0);
    c->MonitorSeize();  // from idle: sent, stays idle
    ExpectSeize(*c);
    EXPECT_EQ(c->GetCurrentState(), IDLESTATE);
}

TEST_F(MonClientTest, ReleaseOnlyForTheGroupDevice) {
    auto c = Make();
    c->MonitorRelease();
    ExpectNothing();
    c->SetUserData(7, 0x0203, 10, 7);
    c->MonitorRelease();
    ExpectSeize(*c, 33);
    c->CameraSelect();
    ExpectCamera(*c);
    c->MonitorRelease();  // from a waiting state: sent, then idle
    ExpectSeize(*c, 33);
    EXPECT_EQ(c->GetCurrentState(), IDLESTATE);
}

TEST_F(MonClientTest, SuspendConfirmReleasesAndGoesIdle) {
    auto c = Make();
    c->SetUserData(7, 0x0203, 10, 7);
    c->MonitorSelect();
    ExpectSeize(*c);
    c->CsiSuspendConfirm();
    ExpectSeize(*c, 33);
    EXPECT_EQ(c->GetMonState(), CONNST_SUSPENDED);
    EXPECT_EQ(c->GetCurrentState(), IDLESTATE);

    auto u = Make();  // a user's device: nothing to release
    u->MonitorSelect();
    ExpectSeize(*u);
    u->CsiSuspendConfirm();
    ExpectNothing();
    EXPECT_EQ(u->GetCurrentState(), IDLESTATE);
}

TEST_F(MonClientTest, PresetClientOfTheGroupDeviceReleasesOnEveryIdle) {
    auto c = Make(300, TOURSTATE_END);
    c->SetUserData(7, 0x0203, 10, 7);
    c->ChangeState(IDLESTATE);
    ExpectSeize(*c, 33);
    ExpectNothing();
    auto t = Make(300, TOURSTATE_RUNNING);  // not a one-shot: nothing
    t->SetUserData(7, 0x0203, 10, 7);
    t->ChangeState(IDLESTATE);
    ExpectNothing();
}

TEST_F(MonClientTest, PauseInAnyStateKeepsTheState) {
    auto c = Make();
    c->TourPause();
    ExpectTour(*c, 0x100, MON_TOUR_ACT_PAUSE);
    EXPECT_EQ(c->GetCurrentState(), IDLESTATE);
    c->CameraSelect();
    ExpectCamera(*c);
    c->TourPause();
    ExpectTour(*c, 0x100, MON_TOUR_ACT_PAUSE);
    EXPECT_EQ(c->GetCurrentState(), CAMSTATE);
    c->TourStop();
    ExpectTour(*c, 0x102, MON_TOUR_ACT_DEL);
    EXPECT_EQ(c->GetCurrentState(), IDLESTATE);
}

TEST_F(MonClientTest, IndicationsAndUnexpectedConfirmations) {
    auto c = Make();
    c->CsiSeizeInd();
    EXPECT_EQ(c->GetMonState(), CONNST_SEIZED);
    c->CsiSuspendInd();
    EXPECT_EQ(c->GetMonState(), CONNST_SUSPENDED);
    c->CsiControlConfirm(6);
    EXPECT_EQ(c->GetCamState(), 6);
    c->CsiSeizeConfirm();
    c->CsiSuspendConfirm();
    c->CsiReleaseConfirm();
    c->CsiControlInd();
    EXPECT_EQ(c->GetCurrentState(), IDLESTATE);
    ExpectNothing();
    EXPECT_EQ(c->CameraPreset(), 0);  // only the camera state sends a preset
    ExpectNothing();

    c->ChangeState(MONSEIZESTATE);
    c->CsiSeizeConfirm();
    EXPECT_EQ(c->GetCurrentState(), IDLESTATE);
    c->ChangeState(MONSEIZESTATE);
    c->CsiSuspendConfirm();
    EXPECT_EQ(c->GetCurrentState(), IDLESTATE);
    c->ChangeState(PRESETSTATE);
    c->CsiControlConfirm(3);
    EXPECT_EQ(c->GetCamState(), 6);  // not updated by the preset state
    EXPECT_EQ(c->GetCurrentState(), IDLESTATE);
    c->ChangeState(9);
    EXPECT_EQ(c->GetCurrentState(), IDLESTATE);
    ExpectNothing();
}

TEST_F(MonClientTest, WatchdogForcesIdleOnTheTwentiethTick) {
    auto c = Make();
    c->ChangeState(CAMSTATE);
    for (int i = 0; i < 19; ++i) c->MonClientTimer();
    EXPECT_EQ(c->GetCurrentState(), CAMSTATE);
    c->MonClientTimer();
    EXPECT_EQ(c->GetCurrentState(), IDLESTATE);
    EXPECT_EQ(c->GetWatchdogFlag(), 0);
    EXPECT_EQ(c->GetWatchdogCount(), 0u);
}

TEST_F(MonClientTest, NoServerMeansNothingIsSent) {
    MonClient c;
    EXPECT_EQ(c.GetMonitorId(), 0xFFFF);
    EXPECT_EQ(c.GetTourState(), TOURSTATE_END);
    bool built = true;
    EXPECT_EQ(c.SendMonitorSelect(&built), NUVAKERR_INVALPTR);
    EXPECT_FALSE(built);
    c.MonitorSelect();
    EXPECT_EQ(c.GetCurrentState(), IDLESTATE);
    ExpectNothing();
}

}  // namespace
