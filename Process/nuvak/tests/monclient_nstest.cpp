// Monitor client: every row of the transition table, checked on the bytes that reach the
// monitor control process's mailbox (UDP port of IPC address 1). Takes IPC address 13.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <vector>

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

// What a client is told to do, and what it sends.
// Refused and Switched: the control confirmation with result 0 and 1.
enum class Do { Select, Seize, Release, Camera, Pause, Stop, SeizeConfirm, SuspendConfirm, Refused, Switched, Idle };
enum class Sent { Seize, Release, Camera, Preset, Stop, Pause };
// One row of a scenario: the call, the messages it sends in order, the state after it.
struct Step { Do call; std::vector<Sent> sent; unsigned short state; };

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
    void SetUp() override {
        while (Next(0)) {
        }
    }

    static std::optional<Block> Next(int ms = 1000) {
        pollfd p{sock_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return std::nullopt;
        Block b{};
        EXPECT_EQ(recv(sock_, b.data(), b.size(), 0), 256) << "every IPC message is 256 bytes";
        return b;
    }
    static void ExpectNothing() { EXPECT_FALSE(Next(100).has_value()) << "no message expected"; }

    // A client as the tour control fills it for a running tour; `group`: one
    // acting for the group device (a monitor the service took for the tour).
    std::unique_ptr<MonClient> Make(unsigned short tourId = 5, unsigned short tourState = TOURSTATE_RUNNING,
                                    bool group = false) {
        auto c = std::make_unique<MonClient>(7, tourId, server_);
        c->SetCameraId(100012);
        c->SetCamPresetId(4);
        c->SetGlobalTourId(10000042);
        c->SetUserData(group ? 7 : 21, group ? 0x0203 : 0x0103, group ? 10 : 9, 7);
        c->SetTourState(tourState);
        return c;
    }

    static unsigned U16(const Block& b, size_t off) { return mm::LoadLE16(b.data() + off); }
    static unsigned long U32(const Block& b, size_t off) { return mm::LoadLE32(b.data() + off); }
    // The next message is `kind`, with the client's header fields.
    static void Expect(const MonClient& c, Sent kind) {
        auto b = Next();
        ASSERT_TRUE(b) << "message " << static_cast<int>(kind) << " expected";
        const unsigned command = kind == Sent::Seize ? 32 : kind == Sent::Release ? 33 : 8;
        const unsigned short header[] = {13, 13, 1, 0, 104};  // sender twice, dest, class, length
        for (size_t i = 0; i < 5; ++i) EXPECT_EQ(U16(*b, 2 * i), header[i]) << "offset " << 2 * i;
        EXPECT_EQ(U16(*b, 12), command);
        EXPECT_EQ(U32(*b, 16), c.GetPriority());
        EXPECT_EQ(U16(*b, 20), c.GetMonitorId());
        EXPECT_EQ(U16(*b, 22), c.GetDeviceId());
        EXPECT_EQ(U16(*b, 24), c.GetUserId());
        EXPECT_EQ(U16(*b, 26), c.GetNuvakId());
        switch (kind) {
            case Sent::Camera:
                EXPECT_EQ(U16(*b, 90), 1u);
                EXPECT_EQ(U16(*b, 92), 0u);
                EXPECT_EQ(U32(*b, 96), c.GetCameraId());
                return;
            case Sent::Preset:
                EXPECT_EQ(U16(*b, 90), 2u);
                EXPECT_EQ(U16(*b, 92), c.GetPresetId());
                EXPECT_EQ(U32(*b, 94), 0u);
                return;
            case Sent::Stop: return ExpectTour(*b, c, 0x102, MON_TOUR_ACT_DEL);
            case Sent::Pause: return ExpectTour(*b, c, 0x100, MON_TOUR_ACT_PAUSE);
            default: return ExpectTour(*b, c, 0x100u + c.GetTourState(), 0xFFFF);  // seize, release
        }
    }
    static void ExpectTour(const Block& b, const MonClient& c, unsigned word, unsigned action) {
        EXPECT_EQ(U16(b, 90), word);
        EXPECT_EQ(U16(b, 92), 1u);
        EXPECT_EQ(U32(b, 96), c.GetGlobalTourId());
        EXPECT_EQ(U16(b, 100), action);
    }
    // Runs the steps on `c`; nothing further is sent.
    static void Run(MonClient& c, const std::vector<Step>& steps) {
        for (size_t i = 0; i < steps.size(); ++i) {
            SCOPED_TRACE("step " + std::to_string(i));
            switch (steps[i].call) {
                case Do::Select: c.MonitorSelect(); break;
                case Do::Seize: c.MonitorSeize(); break;
                case Do::Release: c.MonitorRelease(); break;
                case Do::Camera: c.CameraSelect(); break;
                case Do::Pause: c.TourPause(); break;
                case Do::Stop: c.TourStop(); break;
                case Do::SeizeConfirm: c.CsiSeizeConfirm(); break;
                case Do::SuspendConfirm: c.CsiSuspendConfirm(); break;
                case Do::Refused: c.CsiControlConfirm(0); break;
                case Do::Switched: c.CsiControlConfirm(1); break;
                case Do::Idle: c.ChangeState(IDLESTATE); break;
            }
            for (Sent s : steps[i].sent) Expect(c, s);
            EXPECT_EQ(c.GetCurrentState(), steps[i].state);
        }
        ExpectNothing();
    }

    inline static IFrameWork* fw_ = nullptr;
    inline static IFrameWorkServer* server_ = nullptr;
    inline static Client client_;
    inline static int sock_ = -1;
};

TEST_F(MonClientTest, FirstShowingOfARunningTourAndLaterSteps) {
    auto c = Make();
    Run(*c, {{Do::Select, {Sent::Seize}, MONSELECTSTATE},
             {Do::SeizeConfirm, {Sent::Camera}, CAMSTATE},
             {Do::Switched, {Sent::Preset}, PRESETSTATE},
             {Do::Switched, {}, IDLESTATE}});
    EXPECT_EQ(c->GetMonState(), CONNST_SEIZED);
    EXPECT_EQ(c->GetCamState(), 1);
    // A later step: camera select only; not switched, no preset.
    Run(*Make(), {{Do::Camera, {Sent::Camera}, CAMSTATE}, {Do::Refused, {}, IDLESTATE}});
}

// A one-shot preset's clients carry tour state END and end with a tour stop,
// also when they have no preset to send.
TEST_F(MonClientTest, OneShotPresetEndsWithTourStop) {
    Run(*Make(300, TOURSTATE_END), {{Do::Select, {Sent::Seize}, MONSELECTSTATE},
                                    {Do::SeizeConfirm, {Sent::Camera}, CAMSTATE},
                                    {Do::Switched, {Sent::Preset, Sent::Stop}, IDLESTATE}});
    auto o = Make(300, TOURSTATE_END);
    o->SetCamPresetId(0);
    Run(*o, {{Do::Camera, {Sent::Camera}, CAMSTATE}, {Do::Switched, {Sent::Stop}, IDLESTATE}});
}

TEST_F(MonClientTest, CameraRequestsWithoutCameraOrPresetSendNothing) {
    auto c = Make();
    c->SetCameraId(0xFFFFFFFFul);
    EXPECT_EQ(c->CameraSelect(), NUVAKERR_INVALID);
    Run(*c, {{Do::Camera, {}, IDLESTATE}});
    for (unsigned short preset : {0, 0xFFFF}) {
        auto r = Make();
        r->SetCamPresetId(preset);
        Run(*r, {{Do::Camera, {Sent::Camera}, CAMSTATE}, {Do::Switched, {}, IDLESTATE}});
    }
}

// A select during an exchange waits for idle; a seize abandons the exchange.
TEST_F(MonClientTest, SelectOrSeizeDuringAnExchange) {
    auto c = Make();
    Run(*c, {{Do::Camera, {Sent::Camera}, CAMSTATE}, {Do::Select, {}, CAMSTATE}});
    EXPECT_EQ(c->GetCallMonSelect(), 0xFFFF);
    Run(*c, {{Do::Switched, {Sent::Preset}, PRESETSTATE}, {Do::Switched, {Sent::Seize}, MONSELECTSTATE}});
    EXPECT_EQ(c->GetCallMonSelect(), 0);
    Run(*Make(), {{Do::Camera, {Sent::Camera}, CAMSTATE},
                  {Do::Seize, {Sent::Seize}, IDLESTATE},
                  {Do::Seize, {Sent::Seize}, IDLESTATE}});
}

// Only monitors taken for the group device are released: on request, on a
// suspend confirmation, and on every idle of a one-shot preset's client.
TEST_F(MonClientTest, ReleaseOnlyForTheGroupDevice) {
    Run(*Make(), {{Do::Release, {}, IDLESTATE}});
    Run(*Make(5, TOURSTATE_RUNNING, true), {{Do::Release, {Sent::Release}, IDLESTATE},
                                            {Do::Camera, {Sent::Camera}, CAMSTATE},
                                            {Do::Release, {Sent::Release}, IDLESTATE}});
    auto g = Make(5, TOURSTATE_RUNNING, true);
    Run(*g, {{Do::Select, {Sent::Seize}, MONSELECTSTATE}, {Do::SuspendConfirm, {Sent::Release}, IDLESTATE}});
    EXPECT_EQ(g->GetMonState(), CONNST_SUSPENDED);
    Run(*Make(), {{Do::Select, {Sent::Seize}, MONSELECTSTATE}, {Do::SuspendConfirm, {}, IDLESTATE}});
    Run(*Make(300, TOURSTATE_END, true), {{Do::Idle, {Sent::Release}, IDLESTATE}});
    Run(*Make(300, TOURSTATE_RUNNING, true), {{Do::Idle, {}, IDLESTATE}});
}

TEST_F(MonClientTest, PauseInAnyStateKeepsTheState) {
    Run(*Make(), {{Do::Pause, {Sent::Pause}, IDLESTATE},
                  {Do::Camera, {Sent::Camera}, CAMSTATE},
                  {Do::Pause, {Sent::Pause}, CAMSTATE},
                  {Do::Stop, {Sent::Stop}, IDLESTATE}});
}

// A monitor message answers the client only under the block id and the
// global tour id it sent: a camera request keeps the tour message's global
// id; a renumbered tour's id is taken as well until its next tour message.
TEST_F(MonClientTest, AnswersOnlyWhatItSent) {
    auto c = Make();
    EXPECT_FALSE(c->Answers(5, 10000042)) << "nothing sent yet";
    Run(*c, {{Do::Select, {Sent::Seize}, MONSELECTSTATE}, {Do::SeizeConfirm, {Sent::Camera}, CAMSTATE}});
    EXPECT_TRUE(c->Answers(5, 10000042));
    EXPECT_FALSE(c->Answers(6, 10000042));
    EXPECT_FALSE(c->Answers(5, 10000043));
    EXPECT_FALSE(c->Answers(5, 0xFFFFFFFFul));
    c->SetGlobalTourId(10000077);
    EXPECT_TRUE(c->Answers(5, 10000077));
    EXPECT_TRUE(c->Answers(5, 10000042));
    Run(*c, {{Do::Stop, {Sent::Stop}, IDLESTATE}});
    EXPECT_FALSE(c->Answers(5, 10000042));
    c->SetTourId(6);  // filled for another block, nothing sent for it yet
    EXPECT_FALSE(c->Answers(6, 10000077));
    EXPECT_TRUE(c->Answers(5, 10000077));
}

TEST_F(MonClientTest, IndicationsAndUnexpectedConfirmations) {
    auto c = Make();
    c->CsiSeizeInd();
    EXPECT_EQ(c->GetMonState(), CONNST_SEIZED);
    c->CsiSuspendInd();
    EXPECT_EQ(c->GetMonState(), CONNST_SUSPENDED);
    c->CsiControlConfirm(6);
    EXPECT_EQ(c->GetCamState(), 6);
    c->CsiReleaseConfirm();
    c->CsiControlInd();
    EXPECT_EQ(c->CameraPreset(), 0);  // only the camera state sends a preset
    // Confirmations end a seize exchange and are ignored in idle; the preset
    // state does not take the camera result.
    for (auto [from, confirm] : {std::pair{IDLESTATE, Do::SeizeConfirm}, {IDLESTATE, Do::SuspendConfirm},
                                 {MONSEIZESTATE, Do::SeizeConfirm}, {MONSEIZESTATE, Do::SuspendConfirm},
                                 {PRESETSTATE, Do::Switched}}) {
        c->ChangeState(from);
        Run(*c, {{confirm, {}, IDLESTATE}});
    }
    EXPECT_EQ(c->GetCamState(), 6);
    c->ChangeState(9);
    EXPECT_EQ(c->GetCurrentState(), IDLESTATE);
}

TEST_F(MonClientTest, WatchdogForcesIdleOnTheTwentiethTick) {
    auto c = Make();
    c->ChangeState(CAMSTATE);
    EXPECT_NE(c->GetWatchdogFlag(), 0);
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
    Run(c, {{Do::Select, {}, IDLESTATE}});
}

}  // namespace
