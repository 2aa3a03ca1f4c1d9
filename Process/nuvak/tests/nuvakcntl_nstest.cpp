// Tour control and tour manager over tables filled in memory; the monitor clients have
// no worker: they send nothing and stay idle unless a test puts them in a waiting state.
#include <gtest/gtest.h>

#include <memory>

#include "cameramessage.h"
#include "gpresettable.h"
#include "nuvakcntl.h"
#include "nuvakcntltable.h"
#include "nuvakmgr.h"
#include "nuvaktable.h"
#include "sysdefs.h"

namespace {

constexpr unsigned short kUnit = 1;
constexpr unsigned long kUnitBase = 10000000ul;

// Tables in memory: presets 1..n each over the monitors given; tours over
// presets with dwell times; cameras 1..100 with logical numbers 1000 + n.
class Tables {
public:
    explicit Tables(unsigned short lcfs = 0)
        : presets(std::make_unique<GpresetTable>(256)), tours(std::make_unique<NuvakTable>(256)) {
        for (unsigned short cam = 1; cam <= 100; ++cam) presets->SetLogCam(cam, 1000u + cam);
        controls = std::make_unique<NuvakCntlTable>(512, tours.get(), presets.get(), nullptr, kUnit, lcfs);
    }
    void AddPreset(unsigned short id, unsigned long logical, std::vector<unsigned short> monitors) {
        auto* p = new Gpreset(id, static_cast<unsigned short>(monitors.size()), logical,
                              static_cast<unsigned short>(logical / 10000));
        for (unsigned short i = 0; i < monitors.size(); ++i)
            p->AddPresetElement(i, new T_GROUP_element{monitors[i], static_cast<unsigned short>(i + 1),
                                                       static_cast<unsigned short>(i + 2)});
        presets->AddGpreset(id, p);
        presets->AddLogGpreset(logical, id);
    }
    // steps: (preset, dwell) pairs.
    void AddTour(unsigned short id, unsigned long logical, std::vector<std::pair<unsigned short, unsigned short>> steps) {
        auto* t = new Nuvak(id, static_cast<unsigned short>(steps.size()), logical,
                            static_cast<unsigned short>(logical / 10000));
        for (unsigned short i = 0; i < steps.size(); ++i)
            t->AddTourStep(i, new T_NUVAK_step{steps[i].first, steps[i].second});
        tours->AddNuvak(id, t);
        tours->AddLogNuvak(logical, id);
    }
    NuvakCntl* Block(unsigned short id) { return controls->GetNuvakCntl(id); }
    MonClient* Client(unsigned short monitor) { return controls->GetMonClient(monitor, 0); }
    // Runs tour `id` for a user at `monitor` with `priority`.
    unsigned short Run(unsigned short id, unsigned short monitor, unsigned long priority = 10,
                       unsigned short device = 0x0103, unsigned short user = 21) {
        NuvakCntl* b = Block(id);
        b->SetUserData(user, device, priority, kUnitBase + monitor);
        b->SetLogicalId(tours->GetNuvak(id)->GetLogicalTourId());
        unsigned short state = 0;
        return b->ControlSequence(id, MON_TOUR_ACT_RUN, state);
    }
    unsigned short Act(unsigned short id, unsigned short action) {
        unsigned short state = 0;
        return Block(id)->ControlSequence(id, action, state);
    }

    std::unique_ptr<GpresetTable> presets;
    std::unique_ptr<NuvakTable> tours;
    std::unique_ptr<NuvakCntlTable> controls;
};

TEST(NuvakCntl, StateTableWithStatusCodes) {
    Tables in;
    for (unsigned short p = 1; p <= 3; ++p) in.AddPreset(p, 5000 + p, {1, 2});
    in.AddTour(4, 40, {{1, 5}, {2, 5}, {3, 5}});
    NuvakCntl* b = in.Block(4);
    EXPECT_EQ(b->GetState(), TOURSTATE_END);
    EXPECT_EQ(in.Act(4, MON_TOUR_ACT_NOP), NUVAKERR_INVSTATE);
    // Each action in turn: its status, then the block's state and step index
    // and the tour state the clients were given (kAny: not looked at).
    constexpr unsigned short kAny = 0xFFFF;
    const struct { unsigned short action, status, state, index, client; } rows[] = {
        {MON_TOUR_ACT_RUN, 0, TOURSTATE_RUNNING, 0, TOURSTATE_RUNNING},  // step 0 shown, index stays 0
        {MON_TOUR_ACT_NOP, NUVAKERR_INVSTATE, TOURSTATE_RUNNING, 0, kAny},  // Start, Inc, Dec need a held tour
        {MON_TOUR_ACT_INC, NUVAKERR_INVSTATE, TOURSTATE_RUNNING, 0, kAny},
        {MON_TOUR_ACT_DEC, NUVAKERR_INVSTATE, TOURSTATE_RUNNING, 0, kAny},
        {MON_TOUR_ACT_RUN, 0, TOURSTATE_RUNNING, 1, kAny},              // shows the step due next
        {MON_TOUR_ACT_PAUSE, 0, TOURSTATE_STOPPED, 0, TOURSTATE_STOPPED},  // held on the step shown
        {MON_TOUR_ACT_PAUSE, 0, TOURSTATE_STOPPED, 0, kAny},            // a second Pause stays there
        {MON_TOUR_ACT_DEC, 0, TOURSTATE_STOPPED, 2, kAny},              // by hand, wrapping round
        {MON_TOUR_ACT_INC, 0, TOURSTATE_STOPPED, 0, kAny},
        {MON_TOUR_ACT_INC, 0, TOURSTATE_STOPPED, 1, kAny},
        {MON_TOUR_ACT_NOP, 0, TOURSTATE_RUNNING, 0, kAny},              // Start: from step 0 at the next tick
        {MON_TOUR_ACT_PAUSE, 0, TOURSTATE_STOPPED, 2, kAny},
        {MON_TOUR_ACT_RUN, 0, TOURSTATE_RUNNING, 0, kAny},
        {MON_TOUR_ACT_REV, 0, TOURSTATE_RUNNING, 0, kAny},              // reverse and skip do nothing
        {MON_TOUR_ACT_SKIP, 0, TOURSTATE_RUNNING, 0, kAny},
        {99, NUVAKEER_INVTOURCMD, TOURSTATE_RUNNING, 0, kAny},
        {MON_TOUR_ACT_DEL, 0, TOURSTATE_END, 0, TOURSTATE_END},         // any -> Stop -> END
        {MON_TOUR_ACT_NOP, NUVAKERR_INVSTATE, TOURSTATE_END, 0, kAny},
        {MON_TOUR_ACT_INC, NUVAKERR_INVSTATE, TOURSTATE_END, 0, kAny},
        {MON_TOUR_ACT_DEC, NUVAKERR_INVSTATE, TOURSTATE_END, 0, kAny},
        {MON_TOUR_ACT_PAUSE, NUVAKERR_INVSTATE, TOURSTATE_END, 0, TOURSTATE_END},  // an ended tour is not held
        {MON_TOUR_ACT_RUN, 0, TOURSTATE_RUNNING, 0, kAny},              // step 0 shown and due again:
        {MON_TOUR_ACT_PAUSE, 0, TOURSTATE_STOPPED, 0, kAny},            // Pause holds step 0,
        {MON_TOUR_ACT_INC, 0, TOURSTATE_STOPPED, 1, kAny},              // Inc shows step 1
        {MON_TOUR_ACT_DEL, 0, TOURSTATE_END, 0, kAny},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE("action " + std::to_string(r.action) + " from state " + std::to_string(b->GetState()));
        EXPECT_EQ(r.action == MON_TOUR_ACT_RUN ? in.Run(4, 1) : in.Act(4, r.action), r.status);
        EXPECT_EQ(b->GetState(), r.state);
        EXPECT_EQ(b->GetStepIndex(), r.index);
        if (r.client != kAny) {
            EXPECT_EQ(in.Client(1)->GetTourState(), r.client);
        }
    }
    EXPECT_EQ(in.Client(1)->GetNuvakId(), 4);
    EXPECT_EQ(in.Client(2)->GetCameraId(), 100000ul + 1002);
    EXPECT_EQ(in.Client(2)->GetGlobalTourId(), kUnitBase + 40);
    unsigned short state = 7;
    EXPECT_EQ(b->ControlSequence(0xFFFF, MON_TOUR_ACT_RUN, state), NUVAKERR_INVALID);
    EXPECT_EQ(state, TOURSTATE_END);
    // A direct Stop (as the manager does) forgets the tour id: Pause is refused,
    // Run is accepted.
    EXPECT_EQ(in.Run(4, 1), 0);
    EXPECT_EQ(b->ControlStop(4), 0);
    EXPECT_EQ(b->ControlPause(4), NUVAKERR_INVALID);
    EXPECT_EQ(in.Run(4, 1), 0);
    EXPECT_EQ(b->GetState(), TOURSTATE_RUNNING);
}

TEST(NuvakCntl, ToursWithoutStepsOrDefinitions) {
    Tables in;
    in.AddTour(2, 20, {});
    EXPECT_EQ(in.Run(2, 1), NUVAKERR_INVSTEP);
    in.Block(2)->SetState(TOURSTATE_STOPPED);
    EXPECT_EQ(in.Act(2, MON_TOUR_ACT_PAUSE), NUVAKERR_INVSTEP);
    in.Block(2)->SetState(TOURSTATE_STOPPED);
    EXPECT_EQ(in.Act(2, MON_TOUR_ACT_INC), NUVAKERR_INVSTEP);
    EXPECT_EQ(in.Act(2, MON_TOUR_ACT_DEC), NUVAKERR_INVSTEP);
    // A step whose preset is missing.
    in.AddTour(3, 30, {{9, 2}});
    EXPECT_EQ(in.Run(3, 1), NUVAKERR_INVALPTR);
    // Block 256 is a tour block, 257 the first preset block.
    EXPECT_EQ(in.Block(256)->IsGroupPreset(), 0);
    in.Block(257)->SetNuvakId(257);
    EXPECT_EQ(in.Block(257)->IsGroupPreset(), 0xFFFF);
    EXPECT_EQ(in.controls->GetGlobalCameraId(0xFFFFFFFFul), 0xFFFFFFFFul);
}

// Ticks until the step index changes; returns how many ticks that took.
int TicksToNextStep(NuvakCntl* b, unsigned short id, int limit = 100000) {
    for (int t = 1; t <= limit; ++t)
        if (b->NuvakTimer(id) == 0xFFFF) return t;
    return -1;
}

TEST(NuvakCntl, SteppingByDwellTimes) {
    Tables in;
    for (unsigned short p = 1; p <= 3; ++p) in.AddPreset(p, 5000 + p, {1, 2});
    in.AddTour(1, 10, {{1, 3}, {2, 2}, {3, 1}});
    NuvakCntl* b = in.Block(1);
    ASSERT_EQ(in.Run(1, 1), 0);
    // First tick re-shows step 0 and loads the countdown from step 1's dwell.
    EXPECT_EQ(TicksToNextStep(b, 1), 1);
    EXPECT_EQ(b->GetStepIndex(), 1);
    EXPECT_EQ(b->GetTimeTick(), 1);
    EXPECT_EQ(TicksToNextStep(b, 1), 2);  // step 1 shown, dwell of step 2 (1) follows
    EXPECT_EQ(b->GetStepIndex(), 2);
    EXPECT_EQ(TicksToNextStep(b, 1), 1);  // dwell 1: next tick
    EXPECT_EQ(b->GetStepIndex(), 0);
    EXPECT_EQ(TicksToNextStep(b, 1), 3);  // wraps; dwell of step 0 is 3
    // A held tour does not step.
    in.Act(1, MON_TOUR_ACT_PAUSE);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(b->NuvakTimer(1), 0);

    // One step: stays on index 0 and re-shows every dwell period; dwell 0 is 65536 ticks.
    in.AddTour(5, 50, {{1, 4}});
    ASSERT_EQ(in.Run(5, 1), 0);
    EXPECT_EQ(TicksToNextStep(in.Block(5), 5), 1);
    EXPECT_EQ(in.Block(5)->GetStepIndex(), 0);
    EXPECT_EQ(TicksToNextStep(in.Block(5), 5), 4);
    in.AddTour(6, 60, {{1, 0}});
    ASSERT_EQ(in.Run(6, 1), 0);
    EXPECT_EQ(TicksToNextStep(in.Block(6), 6), 1);
    EXPECT_EQ(in.Block(6)->GetTimeTick(), 65535);
    EXPECT_EQ(TicksToNextStep(in.Block(6), 6), 65536);
}

TEST(NuvakCntl, BusyClientsAreCheckedEverySecondTickAndResetAfterFive) {
    Tables in;
    in.AddPreset(1, 5001, {1, 2});
    in.AddPreset(2, 5002, {1, 2});
    in.AddTour(1, 10, {{1, 3}, {2, 3}});
    NuvakCntl* b = in.Block(1);
    ASSERT_EQ(in.Run(1, 1), 0);
    in.Client(2)->ChangeState(CAMSTATE);  // never confirmed
    std::vector<int> busyChecks;
    int stepped = -1;
    for (int t = 0; t < 20 && stepped < 0; ++t) {
        const unsigned short before = b->GetRetryCount();
        if (b->NuvakTimer(1) == 0xFFFF) stepped = t;
        if (b->GetRetryCount() != before || (before == 4 && b->GetRetryCount() == 0)) busyChecks.push_back(t);
    }
    EXPECT_EQ(busyChecks, (std::vector<int>{0, 2, 4, 6, 8}));
    EXPECT_EQ(in.Client(2)->GetCurrentState(), IDLESTATE);
    EXPECT_EQ(stepped, 10);
    // A client that stays busy for ten minutes (monitor control silent): the
    // checks and resets are reported in one line at once and then one summary
    // line per minute, not a line each.
    ::testing::internal::CaptureStdout();
    for (int t = 0; t < 600; ++t) {
        if (in.Client(2)->GetCurrentState() == IDLESTATE) in.Client(2)->ChangeState(CAMSTATE);
        b->NuvakTimer(1);
    }
    const std::string out = ::testing::internal::GetCapturedStdout();
    std::size_t lines = 0;
    for (std::size_t at = out.find("DisplayState"); at != std::string::npos; at = out.find("DisplayState", at + 1))
        ++lines;
    EXPECT_GE(lines, 10u);
    EXPECT_LE(lines, 11u) << out.substr(0, 2000);
    EXPECT_NE(out.find("busy checks"), std::string::npos) << out.substr(0, 500);
}

TEST(NuvakCntl, UserDataOfTheClientsByMembershipAndOperationMode) {
    for (unsigned short lcfs : {0, 0xFFFF}) {
        Tables in(lcfs);
        in.AddPreset(1, 5001, {1, 2, 3});
        in.AddTour(1, 10, {{1, 5}});
        NuvakCntl* b = in.Block(1);
        // The user's monitor is in the group.
        ASSERT_EQ(in.Run(1, 2, 10, 0x0103, 21), 0);
        EXPECT_EQ(in.Client(2)->GetUserId(), 21);
        EXPECT_EQ(in.Client(2)->GetDeviceId(), 0x0103);
        EXPECT_EQ(in.Client(2)->GetPriority(), 10ul);
        EXPECT_EQ(in.Client(1)->GetUserId(), 1);
        EXPECT_EQ(in.Client(1)->GetDeviceId(), 0x0203);
        EXPECT_EQ(in.Client(1)->GetPriority(), lcfs ? 10ul : 11ul);
        EXPECT_EQ(b->GetDeviceId(), 0x0103);
        // A user outside the group: the tour runs without a user.
        EXPECT_EQ(b->ControlStop(1), 0);
        ASSERT_EQ(in.Run(1, 9, 10, 0x0104, 22), 0);
        EXPECT_EQ(in.Client(3)->GetDeviceId(), SYS_DEVICE_NOUSER);
        EXPECT_EQ(in.Client(3)->GetPriority(), 0xFFFFFFFFul);
        EXPECT_EQ(b->GetDeviceId(), SYS_DEVICE_NOUSER);
        EXPECT_EQ(b->GetPriority(), 0xFFFFFFFFul);
        // Pause by a non-member: held, the clients are not told.
        EXPECT_EQ(in.Act(1, MON_TOUR_ACT_PAUSE), 0);
        EXPECT_EQ(b->GetState(), TOURSTATE_STOPPED);
        EXPECT_EQ(in.Client(1)->GetTourState(), TOURSTATE_RUNNING);
    }
    NuvakCntl c(1, TOURSTATE_END, 0, 0, 0, nullptr);
    c.SetUserData(1, 2, 0xFFFFFFFFul, 3 * kUnitBase + 17);
    EXPECT_EQ(c.GetPriority(), 0xFFFFFFFEul);
    EXPECT_EQ(c.GetUserMonId(), 17);
}

// The tables change under a running tour (a reload edits its presets or
// deletes step 0's): the new monitors are seized first, and Pause and Stop
// still reach every monitor seized, old and new.
TEST(NuvakCntl, EditsAfterTheSeizeChangeNothingOfWhatIsReleased) {
    Tables in;
    in.AddPreset(1, 5001, {1, 2});
    in.AddPreset(2, 5002, {1, 2});
    in.AddTour(1, 10, {{1, 1}, {2, 1}});
    ASSERT_EQ(in.Run(1, 1), 0);
    in.presets->DelGpreset(2);
    in.AddPreset(2, 5002, {5, 6});
    in.Block(1)->NuvakTimer(1);
    ASSERT_EQ(in.Block(1)->NuvakTimer(1), 0xFFFF);
    EXPECT_EQ(in.Client(5)->GetDeviceId(), 0x0203);
    EXPECT_EQ(in.Client(6)->GetPriority(), 11ul);
    in.presets->DelGpreset(1);
    EXPECT_EQ(in.Act(1, MON_TOUR_ACT_PAUSE), 0);
    for (unsigned short m : {1, 2, 5, 6}) EXPECT_EQ(in.Client(m)->GetTourState(), TOURSTATE_STOPPED) << m;
    EXPECT_EQ(in.Act(1, MON_TOUR_ACT_DEL), 0);
    for (unsigned short m : {1, 2, 5, 6}) EXPECT_EQ(in.Client(m)->GetTourState(), TOURSTATE_END) << m;
    EXPECT_TRUE(in.Block(1)->HeldMonitors().empty());
}

TEST(NuvakCntl, MonitorChecks) {
    Tables in;
    in.AddPreset(1, 5001, {3, 12, 101});
    in.AddPreset(2, 5002, {101, 3, 12});
    in.AddPreset(3, 5003, {3, 12});
    in.AddPreset(4, 5004, {});
    in.AddTour(1, 10, {{1, 5}, {2, 5}});
    in.AddTour(2, 20, {{1, 5}, {3, 5}});
    CameraVariableGroupMonitor v(kUnitBase + 10, MON_TOUR_TYP_GRP, "", 0);
    EXPECT_EQ(in.Block(1)->ControlCheck(1, &v), 0);
    EXPECT_EQ(v.GetMonList(), "   3  12 101");
    EXPECT_EQ(in.Block(2)->ControlCheck(2, &v), NUVAKERR_INVSTEP);
    EXPECT_EQ(in.Block(1)->ControlCheck(0xFFFF, &v), NUVAKERR_INVALID);
    EXPECT_EQ(in.Block(1)->ControlCheck(1, nullptr), NUVAKERR_INVVAR);
    EXPECT_EQ(in.Block(258)->PresetCheck(2, &v), 0);
    EXPECT_EQ(v.GetMonList(), " 101   3  12");
    EXPECT_EQ(in.Block(260)->PresetCheck(4, &v), NUVAKERR_INVGRPPREID);
    EXPECT_EQ(in.Block(260)->PresetCheck(4, nullptr), NUVAKERR_INVVAR);
}

// The manager's checks before a Run or a group preset.
CameraMessage* Request(unsigned long group, unsigned short type, unsigned short action, unsigned long priority,
                       unsigned short device, unsigned short userMonitor, unsigned short user = 21) {
    auto* m = new CameraMessage("SET", 1, kUnit, 0, kUnitBase + userMonitor, 0, 0);
    m->AddElement(new CameraVariableGroup(static_cast<T_uint_32>(group), type, device, user,
                                          static_cast<T_uint_32>(priority), action, 0, 0));
    return m;
}
unsigned short Send(Tables& in, unsigned long group, unsigned short type, unsigned short action,
                    unsigned long priority, unsigned short device, unsigned short userMonitor) {
    std::unique_ptr<CameraMessage> m(Request(group, type, action, priority, device, userMonitor));
    NuvakMgr mgr(nullptr, nullptr, nullptr, in.controls.get(), 0, group, kUnit, 0);
    return mgr.NuvakMessage(m.get());
}

TEST(NuvakMgr, RunRefusedByAStrongerHolderOrAUserlessTour) {
    Tables in;
    in.AddPreset(1, 5001, {1, 2});
    in.AddPreset(2, 5002, {2, 3});
    in.AddTour(1, 10, {{1, 5}});
    in.AddTour(2, 20, {{2, 5}});
    const unsigned long t1 = kUnitBase + 10, t2 = kUnitBase + 20;
    ASSERT_EQ(Send(in, t1, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 5, 0x0103, 1), 0);
    // Monitor 2 is held with priority 6 (5 + 1, first come): a weaker request is refused.
    EXPECT_EQ(Send(in, t2, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 9, 0x0104, 3), NUVAKERR_INVALPTR);
    EXPECT_EQ(in.Block(2)->GetState(), TOURSTATE_END);
    EXPECT_EQ(in.Block(1)->GetState(), TOURSTATE_RUNNING);
    // Same priority, other device: refused.
    EXPECT_EQ(Send(in, t2, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 6, 0x0104, 3), NUVAKERR_INVALPTR);
    // Stronger: granted, tour 1 is stopped.
    EXPECT_EQ(Send(in, t2, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 2, 0x0104, 3), 0);
    EXPECT_EQ(in.Block(1)->GetState(), TOURSTATE_END);
    EXPECT_EQ(in.Block(2)->GetState(), TOURSTATE_RUNNING);
    // A tour started without a user (device 767) refuses even the strongest.
    EXPECT_EQ(Send(in, t2, MON_TOUR_TYP_GRP, MON_TOUR_ACT_DEL, 2, 0x0104, 3), 0);
    ASSERT_EQ(Send(in, t1, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 5, 0x0103, 9), 0);
    EXPECT_EQ(in.Client(2)->GetDeviceId(), SYS_DEVICE_NOUSER);
    EXPECT_EQ(Send(in, t2, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 0, 0x0104, 3), NUVAKERR_INVALPTR);
    // A Pause of the ended tour 2 holds nothing: its monitor 3 stays free
    // for the weakest. Stop, Pause, Inc, Dec are not checked against other
    // tours: a weak user may hold tour 1.
    EXPECT_EQ(Send(in, t2, MON_TOUR_TYP_GRP, MON_TOUR_ACT_PAUSE, 99, 0x0105, 3), NUVAKERR_INVSTATE);
    EXPECT_EQ(in.Block(2)->GetState(), TOURSTATE_END);
    EXPECT_EQ(in.Client(2)->GetTourState(), TOURSTATE_RUNNING);
    in.AddPreset(3, 5003, {3});
    EXPECT_EQ(Send(in, kUnitBase + 5003, MON_TOUR_TYP_GRPPRE, MON_TOUR_ACT_RUN, 99, 0x0105, 3), 0);
    EXPECT_EQ(Send(in, t1, MON_TOUR_TYP_GRP, MON_TOUR_ACT_PAUSE, 99, 0x0105, 3), 0);
    EXPECT_EQ(in.Block(1)->GetState(), TOURSTATE_STOPPED);
}

// What a tour holds is what it seized: a later step seizes the monitors it
// does not hold yet (for the group device), Stop releases all of them, and
// later requests are checked against that, not against what the clients
// last did. A monitor another tour holds is left to it.
TEST(NuvakMgr, HeldMonitorsAreWhatWasSeized) {
    Tables in;
    in.AddPreset(1, 5001, {1, 2});
    in.AddPreset(2, 5002, {3, 4});
    in.AddPreset(3, 5003, {5});
    in.AddTour(1, 10, {{1, 1}, {2, 1}});  // steps on 1,2 then 3,4
    in.AddTour(2, 20, {{1, 5}});
    in.AddTour(3, 30, {{3, 1}, {2, 1}});  // steps on 5 then 3,4
    in.AddTour(4, 40, {{2, 5}});
    const unsigned long t1 = kUnitBase + 10, t2 = kUnitBase + 20;
    ASSERT_EQ(Send(in, t1, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, 0x0103, 1), 0);
    in.Block(1)->NuvakTimer(1);
    ASSERT_EQ(in.Block(1)->NuvakTimer(1), 0xFFFF);  // step 1 shown
    EXPECT_EQ(in.Client(3)->GetDeviceId(), 0x0203);
    EXPECT_EQ(in.Client(4)->GetPriority(), 11ul);
    ASSERT_EQ(Send(in, t1, MON_TOUR_TYP_GRP, MON_TOUR_ACT_DEL, 10, 0x0103, 1), 0);
    for (unsigned short m = 1; m <= 4; ++m) EXPECT_EQ(in.Client(m)->GetTourState(), TOURSTATE_END) << m;
    // Tour 2 on 1,2 at priority 10: a preset on 3,4 stops nothing of it, and
    // priority 50 does not take its monitors.
    ASSERT_EQ(Send(in, t2, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, 0x0103, 1), 0);
    EXPECT_EQ(Send(in, kUnitBase + 5002, MON_TOUR_TYP_GRPPRE, MON_TOUR_ACT_RUN, 10, 0x0104, 3), 0);
    EXPECT_EQ(in.Client(1)->GetTourState(), TOURSTATE_RUNNING);
    EXPECT_EQ(in.Client(2)->GetNuvakId(), 2);
    EXPECT_EQ(Send(in, t1, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 50, 0x0105, 9), NUVAKERR_INVALPTR);
    EXPECT_EQ(in.Block(2)->GetState(), TOURSTATE_RUNNING);
    // Tour 3 holds 5; tour 4 takes 3,4 (nobody holds them): tour 3's second
    // step leaves them to tour 4, and tour 3's Stop does not touch them.
    ASSERT_EQ(Send(in, kUnitBase + 30, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, 0x0105, 5), 0);
    ASSERT_EQ(Send(in, kUnitBase + 40, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, 0x0106, 3), 0);
    in.Block(3)->NuvakTimer(3);
    in.Block(3)->NuvakTimer(3);
    EXPECT_EQ(in.Block(3)->GetStepIndex(), 0);  // step 1 was shown
    EXPECT_EQ(in.Client(3)->GetNuvakId(), 4);
    EXPECT_EQ(in.Client(3)->GetDeviceId(), 0x0106);
    ASSERT_EQ(Send(in, kUnitBase + 30, MON_TOUR_TYP_GRP, MON_TOUR_ACT_DEL, 10, 0x0105, 5), 0);
    EXPECT_EQ(in.Client(4)->GetTourState(), TOURSTATE_RUNNING);
    EXPECT_EQ(in.Client(5)->GetTourState(), TOURSTATE_END);
}

// The same user's Run again: first come restarts the tour at step 0 (it is
// stopped first), last come refuses it.
TEST(NuvakMgr, SameUserRestartFirstComeButRefusedLastCome) {
    for (unsigned short lcfs : {0, 0xFFFF}) {
        Tables in(lcfs);
        for (unsigned short p = 1; p <= 2; ++p) in.AddPreset(p, 5000 + p, {1, 2});
        in.AddTour(1, 10, {{1, 5}, {2, 5}});
        ASSERT_EQ(Send(in, kUnitBase + 10, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 5, 0x0103, 1), 0);
        in.Block(1)->NuvakTimer(1);
        ASSERT_EQ(in.Block(1)->GetStepIndex(), 1);
        EXPECT_EQ(Send(in, kUnitBase + 10, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 5, 0x0103, 1),
                  lcfs ? NUVAKERR_INVALPTR : 0);
        EXPECT_EQ(in.Block(1)->GetStepIndex(), lcfs ? 1 : 0);
    }
}

TEST(NuvakMgr, OtherUnitUnknownIdsAndEmptyMessages) {
    Tables in;
    in.AddPreset(1, 5001, {1, 2});
    in.AddTour(1, 10, {{1, 5}});
    std::unique_ptr<CameraMessage> m(Request(2 * kUnitBase + 10, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 5, 0x0103, 1));
    NuvakMgr mgr(nullptr, nullptr, nullptr, in.controls.get(), 0, 2 * kUnitBase + 10, kUnit, 0);
    EXPECT_EQ(mgr.NuvakMessage(m.get()), NUVAKERR_VARNOT4UNIT);
    Variable* v = reinterpret_cast<Variable*>(1);
    EXPECT_EQ(m->GetVariable(0, &v), TRUE);
    EXPECT_EQ(v, nullptr);  // the variable was removed from the answer
    EXPECT_EQ(Send(in, kUnitBase + 11, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 5, 0x0103, 1), NUVAKERR_INVALID);
    EXPECT_EQ(Send(in, kUnitBase + 11, MON_TOUR_TYP_GRPPRE, MON_TOUR_ACT_RUN, 5, 0x0103, 1), NUVAKERR_INVGRPPREID);
    EXPECT_EQ(Send(in, kUnitBase + 10, 7, MON_TOUR_ACT_RUN, 5, 0x0103, 1), NUVAKERR_INVTYPE);
    // No variable at all: answered with status 0, nothing read.
    CameraMessage empty("SET", 1, kUnit, 0, kUnitBase + 1, 0, 0);
    EXPECT_EQ(mgr.NuvakMessage(&empty), 0);
    EXPECT_EQ(mgr.NuvakMessage(nullptr), NUVAKERR_INVALPTR);
}

TEST(NuvakMgr, SeizeVariants) {
    Tables in;
    in.AddPreset(1, 5001, {1, 2, 3});
    in.AddTour(1, 10, {{1, 5}});
    const unsigned long t1 = kUnitBase + 10;
    // Seize on an ended tour.
    EXPECT_EQ(Send(in, t1, MON_TOUR_TYP_SEIZE, 0, 5, 0x0103, 1), NUVAKERR_INVSTATE);
    ASSERT_EQ(Send(in, t1, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 5, 0x0103, 1), 0);
    // The tour's own user takes its monitors: the others are seized for the group device.
    EXPECT_EQ(Send(in, t1, MON_TOUR_TYP_SEIZE, 0, 5, 0x0103, 1), 0);
    EXPECT_EQ(in.Client(2)->GetDeviceId(), 0x0203);
    EXPECT_EQ(in.Client(1)->GetDeviceId(), 0x0103);
    // Weaker, same device, other monitor: that user takes back the own monitor.
    EXPECT_EQ(Send(in, t1, MON_TOUR_TYP_SEIZE, 0, 8, 0x0103, 2), 0);
    EXPECT_EQ(in.Client(2)->GetPriority(), 8ul);
    // Weaker, other device, other priority: the monitor is released to the group.
    EXPECT_EQ(Send(in, t1, MON_TOUR_TYP_SEIZE, 0, 9, 0x0105, 3), 0);
    EXPECT_EQ(in.Client(3)->GetDeviceId() >> 8, 2);
    // Same priority, other device: the tour is stopped.
    const unsigned long p = in.Block(1)->GetPriority();
    EXPECT_EQ(Send(in, t1, MON_TOUR_TYP_SEIZE, 0, p, 0x0106, 3), 0);
    EXPECT_EQ(in.Block(1)->GetState(), TOURSTATE_END);
    // A group device seize from a monitor that is not the tour's user monitor does nothing.
    ASSERT_EQ(Send(in, t1, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 5, 0x0103, 1), 0);
    EXPECT_EQ(Send(in, t1, MON_TOUR_TYP_SEIZE, 0, 5, 0x0203, 2), 0);
    EXPECT_EQ(in.Block(1)->GetUserId(), 21);
}

TEST(NuvakMgr, CheckActiveToursStopsMoreThan134Tours) {
    Tables in;
    // 200 one-monitor presets, each shown by a running tour without a user
    // monitor of its own; tour 250 covers all 200 monitors in its steps.
    std::vector<std::pair<unsigned short, unsigned short>> steps;
    for (unsigned short i = 1; i <= 200; ++i) {
        in.AddPreset(i, 5000 + i, {i});
        in.AddTour(i, 100 + i, {{i, 5}});
        ASSERT_EQ(in.Run(i, i, 50, 0x0100 + (i & 0xFF), 21), 0);
        steps.push_back({i, 5});
    }
    in.AddTour(250, 999, steps);
    EXPECT_EQ(Send(in, kUnitBase + 999, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 1, 0x0103, 1), 0);
    for (unsigned short i = 1; i <= 200; ++i) EXPECT_EQ(in.Block(i)->GetState(), TOURSTATE_END) << i;
    EXPECT_EQ(in.Block(250)->GetState(), TOURSTATE_RUNNING);
}

TEST(NuvakMgr, GroupPresetShownOnce) {
    Tables in;
    in.AddPreset(3, 5003, {4, 5});
    in.AddPreset(4, 5004, {});
    EXPECT_EQ(Send(in, kUnitBase + 5003, MON_TOUR_TYP_GRPPRE, MON_TOUR_ACT_RUN, 5, 0x0103, 4), 0);
    EXPECT_EQ(in.Client(5)->GetTourState(), TOURSTATE_END);
    EXPECT_EQ(in.Client(5)->GetNuvakId(), 259);
    EXPECT_EQ(in.Client(4)->GetUserId(), 21);
    EXPECT_EQ(Send(in, kUnitBase + 5004, MON_TOUR_TYP_GRPPRE, MON_TOUR_ACT_RUN, 5, 0x0103, 4), 0);
}

}  // namespace
