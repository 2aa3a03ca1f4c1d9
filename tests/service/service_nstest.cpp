// The real service with the installation's stand-ins, driven through its real
// interfaces only (see harness.h). Each test builds its own installation.
#include <signal.h>

#include <algorithm>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "cameramessage.h"
#include "harness.h"
#include "monmsg.h"
#include "sysdefs.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

// A 3x3 wall (monitors 1..9) and six single monitors (10..15) for the
// stepping budget; cameras 1..9 have logical numbers 101..109.
std::string Description(const std::string& tour1 = "  step preset 1 dwell 2\n  step preset 2 dwell 2\n",
                        const std::string& preset2 = "  element monitor 1 camera 3 preset 3\n"
                                                     "  element monitor 2 camera 4 preset 4\n",
                        unsigned long tour1Logical = 10001, unsigned renumberedCam = 0, unsigned camLogical = 0,
                        const std::string& tours23 = "tour 2 logical 10002\n  step preset 3 dwell 3\n"
                                                     "tour 3 logical 10003\n  step preset 4 dwell 2\n") {
    std::string d;
    d += "tour 1 logical " + std::to_string(tour1Logical) + "\n" + tour1;
    d += tours23;
    for (int i = 11; i <= 16; ++i)
        d += "tour " + std::to_string(i) + " logical " + std::to_string(10000 + i) + "\n  step preset " +
             std::to_string(i) + " dwell 1\n";
    d += "preset 1 logical 20001\n  element monitor 1 camera 1 preset 1\n  element monitor 2 camera 2 preset 2\n";
    d += "preset 2 logical 20002\n" + preset2;
    d += "preset 3 logical 20003\n  element monitor 3 camera 5 preset 1\n  element monitor 4 camera 6 preset 0\n";
    d += "preset 4 logical 20004\n  element monitor 2 camera 7 preset 2\n  element monitor 3 camera 8 preset 2\n";
    d += "preset 5 logical 20005\n  element monitor 7 camera 1 preset 1\n  element monitor 8 camera 2 preset 2\n"
         "  element monitor 9 camera 3 preset 3\n";
    for (int i = 11; i <= 16; ++i)
        d += "preset " + std::to_string(i) + " logical " + std::to_string(20000 + i) + "\n  element monitor " +
             std::to_string(i - 1) + " camera " + std::to_string(i - 10) + " preset 1\n";
    for (int c = 1; c <= 9; ++c)
        d += "camera " + std::to_string(c) + " logical " + std::to_string(c == static_cast<int>(renumberedCam) ? camLogical : 100 + c) + "\n";
    for (int m = 1; m <= 15; ++m) d += "monitor " + std::to_string(m) + " logical " + std::to_string(200 + m) + "\n";
    return d;
}

Options Default(bool lcfs = false) {
    Options o;
    o.description = Description();
    o.lcfs = lcfs;
    return o;
}

// Every test ends with its installation shut down: the service must have
// exited 0 on SIGINT without any sanitizer report.
class Service : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(TakeServiceReports(), ""); }
};

constexpr unsigned short kUser = 0x0103;  // keyboard 3
constexpr unsigned short kOther = 0x0104;

auto Kind(const std::string& kind, unsigned long monitor) {
    return [kind, monitor](const MonLine& l) { return l.dir == "in" && l.kind == kind && l["monitor"] == monitor; };
}

// Waits until at least n lines after the first `mark` match pred.
template <class Pred>
bool WaitAfter(const Installation& in, size_t mark, size_t n, Pred pred,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    do {
        const auto log = in.MonLog();
        size_t count = 0;
        for (size_t i = mark; i < log.size(); ++i)
            if (pred(log[i])) ++count;
        if (count >= n) return true;
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

TEST_F(Service, StateTableAndStatusCodesOverTheWire) {
    Installation in(Default());
    Answer a = in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1);
    ASSERT_TRUE(a.received);
    EXPECT_EQ(a.action, "SET_RESPONSE");
    EXPECT_EQ(a.error, 0);
    EXPECT_EQ(a.returnCode, 0);
    EXPECT_EQ(a.state, TOURSTATE_RUNNING);
    struct Row {
        unsigned short action;
        unsigned short status;
        unsigned short state;
    } rows[] = {
        {MON_TOUR_ACT_NOP, NUVAKERR_INVSTATE, TOURSTATE_RUNNING},  // Start while running
        {MON_TOUR_ACT_INC, NUVAKERR_INVSTATE, TOURSTATE_RUNNING},
        {MON_TOUR_ACT_DEC, NUVAKERR_INVSTATE, TOURSTATE_RUNNING},
        {MON_TOUR_ACT_RUN, 0, TOURSTATE_RUNNING},                  // shows the step due next
        {MON_TOUR_ACT_PAUSE, 0, TOURSTATE_STOPPED},
        {MON_TOUR_ACT_INC, 0, TOURSTATE_STOPPED},
        {MON_TOUR_ACT_DEC, 0, TOURSTATE_STOPPED},
        {MON_TOUR_ACT_NOP, 0, TOURSTATE_RUNNING},                  // Start from held
        {MON_TOUR_ACT_PAUSE, 0, TOURSTATE_STOPPED},
        {MON_TOUR_ACT_RUN, 0, TOURSTATE_RUNNING},                  // Run from held
        {MON_TOUR_ACT_REV, 0, TOURSTATE_RUNNING},
        {MON_TOUR_ACT_SKIP, 0, TOURSTATE_RUNNING},
        {9, NUVAKEER_INVTOURCMD, TOURSTATE_RUNNING},
        {MON_TOUR_ACT_DEL, 0, TOURSTATE_END},
        {MON_TOUR_ACT_NOP, NUVAKERR_INVSTATE, TOURSTATE_END},
        {MON_TOUR_ACT_INC, NUVAKERR_INVSTATE, TOURSTATE_END},
        {MON_TOUR_ACT_PAUSE, 0, TOURSTATE_STOPPED},                // any -> Pause -> held
        {MON_TOUR_ACT_DEL, 0, TOURSTATE_END},
        {MON_TOUR_ACT_RUN, 0, TOURSTATE_RUNNING},                  // END -> Run
    };
    for (const Row& r : rows) {
        Answer b = in.Group(10001, MON_TOUR_TYP_GRP, r.action, 10, kUser, 1);
        ASSERT_TRUE(b.received) << "action " << r.action;
        EXPECT_EQ(b.error, r.status) << "action " << r.action;
        EXPECT_EQ(b.returnCode, r.status) << "action " << r.action;
        EXPECT_EQ(b.state, r.state) << "action " << r.action;
    }
    // Unknown tour, unknown preset, unknown group type.
    EXPECT_EQ(in.Group(10099, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1).error, NUVAKERR_INVALID);
    EXPECT_EQ(in.Group(20099, MON_TOUR_TYP_GRPPRE, MON_TOUR_ACT_RUN, 10, kUser, 1).error, NUVAKERR_INVGRPPREID);
    EXPECT_EQ(in.Group(10001, 7, MON_TOUR_ACT_RUN, 10, kUser, 1).error, NUVAKERR_INVTYPE);
    // Another unit's group: answered without its variable.
    Answer o = in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1, 21, 2);
    ASSERT_TRUE(o.received);
    EXPECT_EQ(o.error, NUVAKERR_VARNOT4UNIT);
    EXPECT_FALSE(o.hasVariable);
    EXPECT_EQ(in.Check(10001, MON_TOUR_TYP_GRP, 2).error, NUVAKERR_VARNOT4UNIT);
    // Monitor lists.
    Answer c = in.Check(10001, MON_TOUR_TYP_GRP);
    EXPECT_EQ(c.error, 0);
    EXPECT_EQ(c.monList, "   1   2");
    EXPECT_EQ(in.Check(20005, MON_TOUR_TYP_GRPPRE).monList, "   7   8   9");
    EXPECT_EQ(in.Check(20099, MON_TOUR_TYP_GRPPRE).error, NUVAKERR_INVGRPPREID);
    EXPECT_EQ(in.Check(10099, MON_TOUR_TYP_GRP).error, NUVAKERR_INVALID);
}

TEST_F(Service, ManagerChecksPrioritiesAndSeize) {
    Installation in(Default());
    // Tour 1 (monitors 1, 2) for a user at monitor 1, priority 10: monitor 2 is
    // held for the tour at priority 11 (first come).
    ASSERT_EQ(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1).error, 0);
    // Tour 3 (monitors 2, 3) for a weaker user: refused, nothing changes.
    Answer weak = in.Group(10003, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 20, kOther, 3);
    EXPECT_EQ(weak.error, NUVAKERR_INVALPTR);
    // Same priority, another device: refused.
    EXPECT_EQ(in.Group(10003, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 11, kOther, 3).error, NUVAKERR_INVALPTR);
    // Stronger: granted; tour 1 is stopped.
    EXPECT_EQ(in.Group(10003, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 5, kOther, 3).error, 0);
    EXPECT_EQ(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_SKIP, 10, kUser, 1).state, TOURSTATE_END);
    EXPECT_TRUE(in.WaitMon(1, Kind("tour_stop", 1)));
    // A tour without a user (requested from a monitor outside it) refuses all.
    ASSERT_EQ(in.Group(10002, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 1, kUser, 9).error, 0);
    EXPECT_EQ(in.Group(20004, MON_TOUR_TYP_GRPPRE, MON_TOUR_ACT_RUN, 0, kUser, 4).error, NUVAKERR_INVALPTR);
    // Seize on an ended tour: the user's monitor gets a tour stop; INVSTATE.
    const size_t stops = in.MonLog().size();
    EXPECT_EQ(in.Group(10001, MON_TOUR_TYP_SEIZE, 0, 10, kUser, 1).error, NUVAKERR_INVSTATE);
    EXPECT_TRUE(in.WaitMon(2, Kind("tour_stop", 1)));
    EXPECT_GT(in.MonLog().size(), stops);
    // The tour's own user seizes its monitors: the other monitor is seized for
    // the group device, the user's own is not.
    ASSERT_EQ(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 1, kUser, 1).error, 0);
    EXPECT_EQ(in.Group(10001, MON_TOUR_TYP_SEIZE, 0, 1, kUser, 1).error, 0);
    EXPECT_TRUE(in.WaitMon(1, [](const MonLine& l) {
        return l.dir == "in" && l.kind == "seize" && l["monitor"] == 2 && l["device"] == 0x0203 && l["priority"] == 2;
    }));
    // A weaker user of another device and priority takes monitor 2 away from the
    // tour's user: it is given back to the group device.
    EXPECT_EQ(in.Group(10001, MON_TOUR_TYP_SEIZE, 0, 30, kOther, 2).error, 0);
    // Same priority, other device: the tour is stopped.
    EXPECT_EQ(in.Group(10001, MON_TOUR_TYP_SEIZE, 0, 1, kOther, 2).error, 0);
    EXPECT_EQ(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_SKIP, 1, kUser, 1).state, TOURSTATE_END);
    // A group preset shown once: monitors 7, 8, 9 seized and ended with tour stops.
    EXPECT_EQ(in.Group(20005, MON_TOUR_TYP_GRPPRE, MON_TOUR_ACT_RUN, 10, kUser, 7).error, 0);
    for (unsigned long m : {7ul, 8ul, 9ul}) {
        EXPECT_TRUE(in.WaitMon(1, Kind("camera_preset", m))) << m;
        EXPECT_TRUE(in.WaitMon(1, Kind("tour_stop", m))) << m;
    }
}

TEST_F(Service, FirstComeRestartsLastComeRefuses) {
    for (bool lcfs : {false, true}) {
        Installation in(Default(lcfs));
        ASSERT_EQ(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1).error, 0);
        ASSERT_TRUE(in.WaitMon(1, [](const MonLine& l) {
            return l.dir == "in" && l.kind == "seize" && l["monitor"] == 2;
        }));
        const auto seize2 = in.MonLog();
        unsigned long prio2 = 0;
        for (const auto& l : seize2)
            if (l.dir == "in" && l.kind == "seize" && l["monitor"] == 2) prio2 = l["priority"];
        EXPECT_EQ(prio2, lcfs ? 10ul : 11ul);
        Answer again = in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1);
        EXPECT_EQ(again.error, lcfs ? NUVAKERR_INVALPTR : 0) << (lcfs ? "lcfs" : "fcfs");
    }
}

TEST_F(Service, MonitorMessagesOfAFirstShowingAndLaterSteps) {
    Installation in(Default());
    ASSERT_EQ(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1).error, 0);
    // First showing: seize, camera select, camera preset on each monitor.
    ASSERT_TRUE(in.WaitMon(1, Kind("camera_preset", 1)));
    ASSERT_TRUE(in.WaitMon(1, Kind("camera_preset", 2)));
    std::vector<MonLine> m1, m2;
    for (const auto& l : in.MonLog()) {
        if (l.dir != "in") continue;
        if (l["monitor"] == 1) m1.push_back(l);
        if (l["monitor"] == 2) m2.push_back(l);
    }
    ASSERT_GE(m1.size(), 3u);
    EXPECT_EQ(m1[0].kind, "seize");
    EXPECT_EQ(m1[0]["command"], 32u);
    EXPECT_EQ(m1[0]["sender"], 13u);
    EXPECT_EQ(m1[0]["sender2"], 13u);
    EXPECT_EQ(m1[0]["dest"], 1u);
    EXPECT_EQ(m1[0]["class"], 0u);
    EXPECT_EQ(m1[0]["length"], 104u);
    EXPECT_EQ(m1[0]["ctrl_word"], 0x101u);
    EXPECT_EQ(m1[0]["ctrl_value"], 1u);
    EXPECT_EQ(m1[0]["target"], 10010001u);
    EXPECT_EQ(m1[0]["tour_action"], 0xFFFFu);
    EXPECT_EQ(m1[0]["tour_cntl"], 1u);
    EXPECT_EQ(m1[0]["priority"], 10u);
    EXPECT_EQ(m1[0]["device"], kUser);
    EXPECT_EQ(m1[0]["user"], 21u);
    EXPECT_EQ(m1[1].kind, "camera_select");
    EXPECT_EQ(m1[1]["command"], 8u);
    EXPECT_EQ(m1[1]["ctrl_word"], 1u);
    EXPECT_EQ(m1[1]["ctrl_value"], 0u);
    EXPECT_EQ(m1[1]["target"], 100101u);
    EXPECT_EQ(m1[2].kind, "camera_preset");
    EXPECT_EQ(m1[2]["ctrl_word"], 2u);
    EXPECT_EQ(m1[2]["ctrl_value"], 1u);
    ASSERT_GE(m2.size(), 3u);
    EXPECT_EQ(m2[0].kind, "seize");
    EXPECT_EQ(m2[0]["device"], 0x0203u);
    EXPECT_EQ(m2[0]["priority"], 11u);
    EXPECT_EQ(m2[0]["user"], 2u);
    EXPECT_EQ(m2[1]["target"], 100102u);
    // Later steps: camera select and preset only, step 2 shows cameras 3 and 4.
    ASSERT_TRUE(in.WaitMon(1, [](const MonLine& l) {
        return l.dir == "in" && l.kind == "camera_select" && l["monitor"] == 1 && l["target"] == 100103;
    }, 8000ms));
    ASSERT_TRUE(in.WaitMon(1, [](const MonLine& l) {
        return l.dir == "in" && l.kind == "camera_preset" && l["monitor"] == 2 && l["ctrl_value"] == 4;
    }, 8000ms));
    size_t seizes = 0;
    for (const auto& l : in.MonLog())
        if (l.dir == "in" && l.kind == "seize") ++seizes;
    EXPECT_EQ(seizes, 2u);
}

// Groups the camera selects of monitors 10..15 into timer passes.
std::vector<std::vector<unsigned long>> Passes(const std::vector<MonLine>& log) {
    std::vector<std::vector<unsigned long>> passes;
    long last = -100000;
    for (const auto& l : log) {
        if (l.dir != "in" || l.kind != "camera_select" || l["monitor"] < 10 || l["monitor"] > 15) continue;
        const long t = static_cast<long>(l["ms"]);
        if (t - last > 300) passes.emplace_back();
        passes.back().push_back(l["monitor"]);
        last = t;
    }
    return passes;
}

TEST_F(Service, AtMostFiveToursStepPerPassAndThePassResumes) {
    Installation in(Default());
    for (int i = 11; i <= 16; ++i)
        ASSERT_EQ(in.Group(10000 + i, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, i - 1).error, 0);
    const size_t start = in.MonLog().size();
    std::this_thread::sleep_for(7s);
    auto log = in.MonLog();
    log.erase(log.begin(), log.begin() + static_cast<long>(start));
    auto passes = Passes(log);
    ASSERT_GE(passes.size(), 5u);
    passes.erase(passes.begin());  // may mix with the first showings
    std::map<unsigned long, int> per;
    for (const auto& p : passes) {
        EXPECT_LE(p.size(), 5u);
        for (auto m : p) ++per[m];
    }
    EXPECT_EQ(passes[1].size(), 5u);
    // Every tour keeps stepping: the pass after a full one starts where it stopped.
    for (unsigned long m = 10; m <= 15; ++m) EXPECT_GE(per[m], static_cast<int>(passes.size()) - 2) << m;
}

TEST_F(Service, DatabaseUpdatesWhileToursRun) {
    Installation in(Default());
    ASSERT_EQ(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1).error, 0);
    ASSERT_TRUE(in.WaitMon(1, Kind("camera_preset", 1)));
    // Preset 2 now shows cameras 5 and 6; the running tour takes it up.
    in.RewriteDatabase(Description("  step preset 1 dwell 2\n  step preset 2 dwell 2\n",
                                   "  element monitor 1 camera 5 preset 3\n  element monitor 2 camera 6 preset 4\n"));
    in.QueueSignal(GRPPRE_UPDATE_SIG);
    EXPECT_TRUE(in.WaitMon(1, [](const MonLine& l) {
        return l.dir == "in" && l.kind == "camera_select" && l["monitor"] == 1 && l["target"] == 100105;
    }, 10000ms));
    EXPECT_EQ(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_SKIP, 10, kUser, 1).state, TOURSTATE_RUNNING);
    // Camera 5 renumbered: only the cameras are reloaded (and the monitors).
    const std::string p2 = "  element monitor 1 camera 5 preset 3\n  element monitor 2 camera 6 preset 4\n";
    in.RewriteDatabase(Description("  step preset 1 dwell 2\n  step preset 2 dwell 2\n", p2, 10001, 5, 155));
    in.QueueSignal(CAM_DBUPDATE_SIG);
    in.QueueSignal(MON_DBUPDATE_SIG);
    EXPECT_TRUE(in.WaitMon(1, [](const MonLine& l) {
        return l.dir == "in" && l.kind == "camera_select" && l["monitor"] == 1 && l["target"] == 100155;
    }, 10000ms));
    // Tour 1 gets a third step on monitors 7..9: the running block goes on
    // with the new steps.
    in.RewriteDatabase(Description("  step preset 1 dwell 1\n  step preset 2 dwell 1\n  step preset 5 dwell 1\n",
                                   p2, 10001, 5, 155));
    in.QueueSignal(NUVAK_UPDATE_SIG);
    EXPECT_TRUE(in.WaitMon(1, [](const MonLine& l) {
        return l.dir == "in" && l.kind == "camera_select" && l["monitor"] == 8 && l["target"] == 100102;
    }, 10000ms));
    EXPECT_EQ(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_SKIP, 10, kUser, 1).state, TOURSTATE_RUNNING);
    // Renumbered: the old number is unknown at once, the new one works.
    in.RewriteDatabase(Description("  step preset 1 dwell 1\n  step preset 2 dwell 1\n", p2, 10021, 5, 155));
    in.QueueSignal(NUVAK_UPDATE_SIG);
    const auto end = std::chrono::steady_clock::now() + 10s;
    Answer old;
    do {
        old = in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_SKIP, 10, kUser, 1);
    } while (old.error != NUVAKERR_INVALID && std::chrono::steady_clock::now() < end);
    EXPECT_EQ(old.error, NUVAKERR_INVALID);
    // ... and the running tour keeps stepping under its new id before any
    // request names it.
    const size_t renumbered = in.MonLog().size();
    EXPECT_TRUE(WaitAfter(in, renumbered, 2, Kind("camera_select", 1), 6000ms));
    EXPECT_EQ(in.Check(10021, MON_TOUR_TYP_GRP).monList, "   1   2");
    EXPECT_EQ(in.Group(10021, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1).error, 0);
    // A tour deleted while it runs is ended as a Stop would end it: its
    // monitors get the tour stop and no longer hold its priorities, so a
    // weaker user of another device may take them.
    std::this_thread::sleep_for(1s);  // the restart's tour stops reach the log first
    const size_t deleted = in.MonLog().size();
    in.RewriteDatabase(Description("", p2, 10021, 5, 155));
    in.QueueSignal(NUVAK_UPDATE_SIG);
    EXPECT_TRUE(WaitAfter(in, deleted, 1, Kind("tour_stop", 1), 5000ms));
    EXPECT_TRUE(WaitAfter(in, deleted, 1, Kind("tour_stop", 2), 5000ms));
    EXPECT_EQ(in.Check(10021, MON_TOUR_TYP_GRP).error, NUVAKERR_INVALID);
    EXPECT_EQ(in.Group(10003, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 20, kOther, 3).error, 0);
    EXPECT_TRUE(in.Service().Running());
}

// Another tour given a running tour's logical id leaves the id with the
// running tour (it keeps stepping, and a Stop of the id reaches its
// monitors); a running tour without a user that a reload deletes frees its
// monitors.
TEST_F(Service, ReloadsKeepARunningToursIdAndEndTheToursTheyDelete) {
    Installation in(Default());
    // Tour 2 (monitors 3, 4, dwell 3) run from a monitor outside it: no user.
    ASSERT_EQ(in.Group(10002, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 9).error, 0);
    ASSERT_TRUE(in.WaitMon(1, Kind("camera_select", 4)));
    // Tour 1 (physical 1) is given 10002 as well.
    in.RewriteDatabase(Description("  step preset 1 dwell 2\n  step preset 2 dwell 2\n",
                                   "  element monitor 1 camera 3 preset 3\n  element monitor 2 camera 4 preset 4\n",
                                   10002));
    in.QueueSignal(NUVAK_UPDATE_SIG);
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (in.Check(10001, MON_TOUR_TYP_GRP).error != NUVAKERR_INVALID && std::chrono::steady_clock::now() < end) {
    }
    const size_t shared = in.MonLog().size();
    EXPECT_TRUE(WaitAfter(in, shared, 2, Kind("camera_select", 3), 9000ms)) << "tour 2 stopped stepping";
    EXPECT_EQ(in.Check(10002, MON_TOUR_TYP_GRP).monList, "   3   4");
    const size_t stop = in.MonLog().size();
    ASSERT_EQ(in.Group(10002, MON_TOUR_TYP_GRP, MON_TOUR_ACT_DEL, 10, kUser, 9).error, 0);
    EXPECT_TRUE(WaitAfter(in, stop, 1, Kind("tour_stop", 3)));
    EXPECT_TRUE(WaitAfter(in, stop, 1, Kind("tour_stop", 4)));
    // Run again without a user, then deleted: its monitors are ended and a
    // group preset and another tour may take them (they were refused while
    // the deleted tour held them for nobody).
    ASSERT_EQ(in.Group(10002, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 9).error, 0);
    ASSERT_TRUE(WaitAfter(in, stop, 1, Kind("camera_select", 4)));
    EXPECT_EQ(in.Group(20003, MON_TOUR_TYP_GRPPRE, MON_TOUR_ACT_RUN, 0, kUser, 3).error, NUVAKERR_INVALPTR);
    const size_t deleted = in.MonLog().size();
    in.RewriteDatabase(Description("  step preset 1 dwell 2\n  step preset 2 dwell 2\n",
                                   "  element monitor 1 camera 3 preset 3\n  element monitor 2 camera 4 preset 4\n",
                                   10002, 0, 0, "tour 3 logical 10003\n  step preset 4 dwell 2\n"));
    in.QueueSignal(NUVAK_UPDATE_SIG);
    EXPECT_TRUE(WaitAfter(in, deleted, 1, Kind("tour_stop", 3), 5000ms));
    EXPECT_TRUE(WaitAfter(in, deleted, 1, Kind("tour_stop", 4), 5000ms));
    EXPECT_EQ(in.Group(10003, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 0, kUser, 2).error, 0);
    EXPECT_EQ(in.Group(20003, MON_TOUR_TYP_GRPPRE, MON_TOUR_ACT_RUN, 0, kUser, 3).error, 0);
}

TEST_F(Service, SuspendedSeizeReleasesTheGroupDevicesMonitors) {
    Options o = Default();
    o.monctlArgs = {"--seize", "suspend"};
    Installation in(o);
    ASSERT_EQ(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1).error, 0);
    // Monitor 2 was seized for the tour's group device: released after the
    // suspension; the user's own monitor 1 is not.
    EXPECT_TRUE(in.WaitMon(1, Kind("release", 2)));
    std::this_thread::sleep_for(300ms);
    for (const auto& l : in.MonLog()) {
        EXPECT_FALSE(l.dir == "in" && l.kind == "release" && l["monitor"] == 1);
        if (l.dir == "in" && l.kind == "release") {
            EXPECT_EQ(l["device"], 0x0203u);
        }
    }
    // The clients are idle again: the tour goes on stepping.
    EXPECT_TRUE(in.WaitMon(1, Kind("camera_select", 1), 5000ms));
    EXPECT_EQ(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_SKIP, 10, kUser, 1).state, TOURSTATE_RUNNING);
}

TEST_F(Service, OrderlyShutdownOnSigint) {
    Installation in(Default());
    ASSERT_EQ(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1).error, 0);
    ASSERT_TRUE(in.Tmgr().WaitFor("register NUVAK (51)", 5s));
    EXPECT_TRUE(in.IpcSlotTaken(13));
    in.Service().Signal(SIGINT);
    EXPECT_EQ(in.Service().Wait(10s), 0);
    EXPECT_FALSE(in.IpcSlotTaken(13));
    EXPECT_TRUE(in.Tmgr().WaitFor("unregister NUVAK (51)", 5s)) << in.Tmgr().Output();
}

TEST_F(Service, HealthChecksAreAnswered) {
    Installation in(Default());
    EXPECT_TRUE(in.Tmgr().WaitFor("answer NUVAK (51)", 5s)) << in.Tmgr().Output();
}

// Hostile datagrams, XML and IPC blocks among good traffic are the
// reliability tests' part (tests/reliability); here the two requests the
// service answers in its own way.
TEST_F(Service, RequestsWithoutAVariableOrFromAnotherUnitsMonitor) {
    Installation in(Default());
    ASSERT_EQ(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1).error, 0);
    // A message without any variable is answered with status 0.
    Answer empty = in.Raw("<Camera ActionType=\"SET\" SourceUnit=\"1\" MonitorID=\"10000001\"></Camera>");
    EXPECT_TRUE(empty.received);
    EXPECT_EQ(empty.error, 0);
    EXPECT_FALSE(empty.hasVariable);
    // A request whose monitor is on another unit than its source is dropped.
    EXPECT_FALSE(in.Raw("<Camera ActionType=\"SET\" SourceUnit=\"1\" MonitorID=\"20000001\">"
                        "<CameraGroupMonitor GroupID=\"10010001\" GroupType=\"1\"/></Camera>", 300ms).received);
    // The tour still steps.
    const size_t before = in.MonLog().size();
    EXPECT_TRUE(in.WaitMon(before + 1, [](const MonLine& l) { return l.dir == "in"; }, 6000ms));
    EXPECT_TRUE(in.Service().Running());
}

// A monitor message naming no tour (global id 0xFFFFFFFF) completes an
// exchange only when it is a confirmation carrying the tour-control id of
// the monitor's own client; any other is discarded.
TEST_F(Service, MonitorMessagesNamingNoTourReachOnlyTheirOwnClient) {
    Options o = Default();
    o.monctlArgs = {"--seize", "drop"};  // the clients wait for their seize confirmations
    Installation in(o);
    ASSERT_EQ(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1).error, 0);
    ASSERT_TRUE(in.WaitMon(1, Kind("seize", 1)));
    auto confirm = [&](unsigned short primitive, unsigned short control) {
        std::string b(256, '\0');
        auto* p = reinterpret_cast<unsigned char*>(&b[0]);
        namespace mm = nuvak::monmsg;
        mm::StoreLE16(p + mm::kSender, mm::kMonCtlAddress);
        mm::StoreLE16(p + mm::kDest, mm::kOwnAddress);
        mm::StoreLE16(p + mm::kClass, mm::kMonClass);
        mm::StoreLE16(p + mm::kLength, mm::kSize);
        mm::StoreLE16(p + mm::kCommand, primitive);
        mm::StoreLE16(p + mm::kMonitor, 1);
        mm::StoreLE16(p + mm::kTourCntl, control);
        mm::StoreLE32(p + mm::kGlobalTour, 0xFFFFFFFFu);
        in.SendIpc(13, b);
    };
    confirm(nuvak::monmsg::kSeizeConfirm, 77);  // another block's id
    confirm(nuvak::monmsg::kSeizeInd, 1);       // not a confirmation
    std::this_thread::sleep_for(700ms);
    EXPECT_FALSE(in.WaitMon(1, Kind("camera_select", 1), 10ms)) << "a stray block drove monitor 1";
    confirm(nuvak::monmsg::kSeizeConfirm, 1);  // the client's own: the exchange goes on
    EXPECT_TRUE(in.WaitMon(1, Kind("camera_select", 1), 3000ms));
}

// A user at another unit's monitor is no user of this unit's monitors: a Run
// from unit 2's keyboard at its monitor 1 (global 20000001) does not seize
// this unit's monitor 1 for that keyboard; nor does a standby update naming
// a monitor of unit 3 (processed whatever its source unit).
TEST_F(Service, ARemoteUsersMonitorIsNotALocalOne) {
    Installation in(Default());
    auto request = [&](const char* action, unsigned short source, unsigned long monitor, unsigned long group) {
        CameraMessage m(action, 1, source, 0, monitor, 0, 0);
        m.AddElement(new CameraVariableGroup(static_cast<T_uint_32>(10000000ul + group), MON_TOUR_TYP_GRP, 0x0201,
                                             7, 5, MON_TOUR_ACT_RUN, 0, 0));
        std::string text;
        m.SerializeElement(text, 0);
        return in.Raw(text);
    };
    EXPECT_EQ(request("SET", 2, 20000001, 10001).error, 0);
    EXPECT_EQ(request("UPDATE_STANDBY", 2, 30000003, 10002).error, 0);
    ASSERT_TRUE(in.WaitMon(1, Kind("seize", 1)));
    ASSERT_TRUE(in.WaitMon(1, Kind("seize", 3)));
    for (const auto& l : in.MonLog())
        if (l.dir == "in" && l.kind == "seize") {
            EXPECT_EQ(l["device"], SYS_DEVICE_NOUSER) << "monitor " << l["monitor"];
            EXPECT_EQ(l["priority"], 0xFFFFFFFFul) << "monitor " << l["monitor"];
        }
}

// 10,000 requests with distinct session ids: first with 64 in flight, then
// all at once (the kernel drops what the socket cannot hold; the requester's
// at-least-once repeats must get every one answered).
TEST_F(Service, BurstOfDistinctRequestsAnsweredInFull) {
    Installation in(Default());
    for (std::size_t window : {64u, 10000u}) {
        auto r = in.Burst(10000, window, 2000ms, 240s);
        std::printf("burst, %zu in flight: %zu answered in %.2f s (%.0f/s), %zu resent, %zu duplicate answers\n",
                    window, r.answered, r.seconds, r.answered / r.seconds, r.resent, r.duplicates);
        EXPECT_EQ(r.answered, 10000u) << window;
    }
    EXPECT_TRUE(in.Service().Running());
}

}  // namespace
