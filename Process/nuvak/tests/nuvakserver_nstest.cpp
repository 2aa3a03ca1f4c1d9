// The server object driven directly inside private namespaces: its timer pass
// (five steps at most, the resume key), request routing and manager map, the
// timer id check and the user operation mode without a task manager.
#include <gtest/gtest.h>

#include <memory>

#include "cameramessage.h"
#include "framework.h"
#include "gpresettable.h"
#include "itmgr.h"
#include "nuvakcntltable.h"
#include "nuvakserver.h"
#include "nuvaktable.h"
#include "sysdefs.h"

namespace {

constexpr unsigned long kBase = 10000000ul;

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fw_ = CreateFrameWork();
        tmgr_ = std::make_unique<ITMGR>(*fw_);
        server_ = std::make_unique<NuvakServer>(256, 256, 1, *fw_, *tmgr_);
        // Six one-monitor tours of dwell 1 (due at every tick), tour i on monitor i.
        for (unsigned short i = 1; i <= 6; ++i) {
            auto* p = new Gpreset(i, 1, 20000 + i, 2);
            p->AddPresetElement(0, new T_GROUP_element{i, i, 1});
            server_->GetPresetTable()->AddGpreset(i, p);
            server_->GetPresetTable()->SetLogCam(i, 100u + i);
            server_->GetPresetTable()->AddLogGpreset(20000 + i, i);
            auto* t = new Nuvak(i, 1, 10000 + i, 1);
            t->AddTourStep(0, new T_NUVAK_step{i, 1});
            server_->GetTourTable()->AddNuvak(i, t);
            server_->GetTourTable()->AddLogNuvak(10000 + i, i);
        }
    }
    void TearDown() override {
        server_->OnTerm();
        server_.reset();
        tmgr_.reset();
        DestroyFrameWork();
    }
    void Request(unsigned long logical, unsigned short type, unsigned short action, unsigned short monitor) {
        CameraMessage m("SET", 1, 1, 0, kBase + monitor, 0, 0);
        m.AddElement(new CameraVariableGroup(static_cast<T_uint_32>(kBase + logical), type, 0x0101, 1, 10, action,
                                             0, 0));
        server_->CsiSequence(&m);
    }
    // Monitor control is not running: put every client back to idle, as its
    // confirmations would.
    void Confirm() {
        for (auto& [m, c] : server_->GetControlTable()->MonClients()) c->ChangeState(IDLESTATE);
    }
    // Which tours stepped in one pass: from idle, a stepped tour's client
    // was sent a camera select and waits in the camera state.
    std::vector<unsigned short> Pass() {
        Confirm();
        server_->NuvakTimer();
        std::vector<unsigned short> stepped;
        for (unsigned short i = 1; i <= 6; ++i)
            if (Selects(i)) stepped.push_back(i);
        return stepped;
    }
    bool Selects(unsigned short monitor) {
        MonClient* c = server_->GetControlTable()->GetMonClient(monitor, 0);
        return c && c->GetCurrentState() == CAMSTATE;
    }

    IFrameWork* fw_ = nullptr;
    std::unique_ptr<ITMGR> tmgr_;
    std::unique_ptr<NuvakServer> server_;
};

TEST_F(ServerTest, FiveStepsPerPassAndTheResumeKey) {
    EXPECT_EQ(server_->IsLCFS(), 0) << "no task manager: first come, first served";
    for (unsigned short i = 1; i <= 6; ++i) Request(10000 + i, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, i);
    EXPECT_EQ(server_->ManagerCount(), 6u);
    EXPECT_EQ(server_->GetResumeKey(), kBase + 10006) << "a request moves the resume key";
    // The pass starts at the requested group (tour 6) and goes round.
    EXPECT_EQ(Pass(), (std::vector<unsigned short>{1, 2, 3, 4, 6}));
    EXPECT_EQ(server_->GetResumeKey(), kBase + 10005);
    EXPECT_EQ(Pass(), (std::vector<unsigned short>{1, 2, 3, 5, 6}));
    EXPECT_EQ(server_->GetResumeKey(), kBase + 10004);
    // A request between passes moves the start to its group.
    Request(10002, MON_TOUR_TYP_GRP, MON_TOUR_ACT_SKIP, 2);
    EXPECT_EQ(server_->GetResumeKey(), kBase + 10002);
    EXPECT_EQ(Pass(), (std::vector<unsigned short>{2, 3, 4, 5, 6}));
    EXPECT_EQ(server_->GetResumeKey(), kBase + 10001);
    // A timer event that is not the tour timer's does nothing.
    Confirm();
    server_->OnEvent(EVENT_TIMER, 0xABCDEF);
    for (unsigned short i = 1; i <= 6; ++i) EXPECT_FALSE(Selects(i));
}

TEST_F(ServerTest, ManagersOnlyForGroupsThatExist) {
    Request(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 1);
    Request(19999, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 1);      // unknown tour
    Request(20001, MON_TOUR_TYP_GRPPRE, MON_TOUR_ACT_RUN, 1);   // a preset
    EXPECT_EQ(server_->ManagerCount(), 2u);
    CameraMessage foreign("SET", 1, 1, 0, 2 * kBase + 1, 0, 0);  // monitor of unit 2
    foreign.AddElement(new CameraVariableGroup(kBase + 10002, MON_TOUR_TYP_GRP, 1, 1, 1, MON_TOUR_ACT_RUN, 0, 0));
    server_->CsiSequence(&foreign);  // dropped
    CameraMessage empty("SET", 1, 1, 0, kBase + 1, 0, 0);
    server_->CsiSequence(&empty);
    EXPECT_EQ(server_->GetResumeKey(), 0xFFFFFFFFul);
    // Undecodable and empty request texts are dropped (and must not crash).
    server_->OnRequest("");
    server_->OnRequest("<Camera");
    server_->OnRequest("<Other/>");
    // An unknown update code and an event the server does not take change
    // nothing (a reload from the empty folder would drop both managers).
    server_->OnEvent(EVENT_SIGNAL, 0x1234);
    server_->OnEvent(EVENT_SOCKET, 5);
    EXPECT_EQ(server_->ManagerCount(), 2u);
}

}  // namespace
