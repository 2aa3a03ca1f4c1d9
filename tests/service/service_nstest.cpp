// The real service with the installation's stand-ins (tests/support/rig.h):
// what only the wire shows (status codes and answers, what reaches the
// monitor messages, the task manager's mode, health checks and shutdown) and
// reloads of a running service. The decisions behind the answers are the
// unit tests' part (Process/nuvak/tests).
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "cameramessage.h"
#include "monmsg.h"
#include "rig.h"
#include "sysdefs.h"

using namespace nuvak::rig;
using namespace std::chrono_literals;

namespace {

// A 3x3 wall (monitors 1..9); cameras 1..9 have logical numbers 101..109.
std::string Description(const std::string& tour1 = "  step preset 1 dwell 2\n  step preset 2 dwell 2\n",
                        const std::string& preset2 = "  element monitor 1 camera 3 preset 3\n"
                                                     "  element monitor 2 camera 4 preset 4\n",
                        unsigned long tour1Logical = 10001, unsigned renumberedCam = 0, unsigned camLogical = 0,
                        const std::string& tours23 = "tour 2 logical 10002\n  step preset 3 dwell 3\n"
                                                     "tour 3 logical 10003\n  step preset 4 dwell 2\n") {
    std::string d;
    d += "tour 1 logical " + std::to_string(tour1Logical) + "\n" + tour1;
    d += tours23;
    d += "preset 1 logical 20001\n  element monitor 1 camera 1 preset 1\n  element monitor 2 camera 2 preset 2\n";
    d += "preset 2 logical 20002\n" + preset2;
    d += "preset 3 logical 20003\n  element monitor 3 camera 5 preset 1\n  element monitor 4 camera 6 preset 0\n";
    d += "preset 4 logical 20004\n  element monitor 2 camera 7 preset 2\n  element monitor 3 camera 8 preset 2\n";
    d += "preset 5 logical 20005\n  element monitor 7 camera 1 preset 1\n  element monitor 8 camera 2 preset 2\n"
         "  element monitor 9 camera 3 preset 3\n";
    for (int c = 1; c <= 9; ++c)
        d += "camera " + std::to_string(c) + " logical " + std::to_string(c == static_cast<int>(renumberedCam) ? camLogical : 100 + c) + "\n";
    for (int m = 1; m <= 9; ++m) d += "monitor " + std::to_string(m) + " logical " + std::to_string(200 + m) + "\n";
    return d;
}

Options Default(bool lcfs = false) {
    Options o;
    o.description = Description();
    if (lcfs) o.tmgrArgs.push_back("--lcfs");
    return o;
}

constexpr unsigned short kUser = 0x0103;  // keyboard 3
constexpr unsigned short kOther = 0x0104;

long Err(const Reply& r) { return r.Num("ErrorStatus"); }

// Every test ends with its installation shut down: the service must exit 0
// on SIGINT, and no process of it print a sanitizer report.
class Service : public ::testing::Test {
protected:
    Installation& Start(const Options& o = Default()) {
        in_ = std::make_unique<Installation>(o);
        return *in_;
    }
    void TearDown() override {
        if (in_) {
            EXPECT_EQ(in_->Shutdown(), "");
        }
    }
    std::unique_ptr<Installation> in_;
};

// The IPC table (shm 0x1009): slots of 284 bytes, a taken one has a
// non-zero first 16-bit field.
bool IpcSlotTaken(unsigned short address) {
    const int id = shmget(0x1009, 0, 0);
    if (id < 0) return false;
    void* p = shmat(id, nullptr, SHM_RDONLY);
    if (p == reinterpret_cast<void*>(-1)) return false;
    const unsigned char* slot = static_cast<const unsigned char*>(p) + 284u * address;
    const bool taken = (slot[0] | (slot[1] << 8)) != 0;
    shmdt(p);
    return taken;
}

// The fields of a monitor log line that differ from `want`, "" if none.
std::string Mismatches(const MonLine& l, std::initializer_list<std::pair<const char*, unsigned long>> want) {
    std::string r;
    for (const auto& [k, v] : want)
        if (l.Get(k) != v) r += std::string(k) + "=" + std::to_string(l.Get(k)) + " (not " + std::to_string(v) + ") ";
    return r;
}

// A camera select of `camera` (global id) on `monitor`.
MonMatch Selected(unsigned long monitor, unsigned long camera) {
    return [=](const MonLine& l) { return Kind("camera_select", monitor)(l) && l.Get("target") == camera; };
}

// The status of a request travels in the message's ErrorStatus and the
// variable's VarReturnCode, beside the tour's state.
TEST_F(Service, StatusCodesAndAnswersOnTheWire) {
    Installation& in = Start();
    Reply a = in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1);
    ASSERT_TRUE(a.received);
    EXPECT_EQ(a.Attr("ActionType"), "SET_RESPONSE");
    struct {
        unsigned short action, status, state;
    } rows[] = {{MON_TOUR_ACT_PAUSE, 0, TOURSTATE_STOPPED},
                {9, NUVAKEER_INVTOURCMD, TOURSTATE_STOPPED},
                {MON_TOUR_ACT_DEL, 0, TOURSTATE_END}};
    for (const auto& r : rows) {
        Reply b = in.Group(10001, MON_TOUR_TYP_GRP, r.action, 10, kUser, 1);
        ASSERT_TRUE(b.received) << "action " << r.action;
        EXPECT_EQ(Err(b), r.status) << "action " << r.action;
        EXPECT_EQ(b.Num("VarReturnCode"), r.status) << "action " << r.action;
        EXPECT_EQ(b.Num("State"), r.state) << "action " << r.action;
    }
    // A seize of the ended tour: refused, and the user's monitor told again
    // that the tour ended.
    ASSERT_TRUE(in.WaitMon(1, Kind("tour_stop", 1)));
    EXPECT_EQ(Err(in.Group(10001, MON_TOUR_TYP_SEIZE, 0, 10, kUser, 1)), NUVAKERR_INVSTATE);
    EXPECT_TRUE(in.WaitMon(2, Kind("tour_stop", 1)));
    // Another unit's group: answered without its variable.
    Reply o = in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1, 2);
    EXPECT_EQ(Err(o), NUVAKERR_VARNOT4UNIT);
    EXPECT_EQ(o.text.find("<CameraGroup"), std::string::npos) << o.text;
    // Monitor lists.
    EXPECT_EQ(in.Check(20005, MON_TOUR_TYP_GRPPRE).Attr("GroupMonitor"), "   7   8   9");
    // A message without any variable is answered with status 0.
    Reply empty = in.Request("<Camera ActionType=\"SET\" SourceUnit=\"1\" MonitorID=\"10000001\"></Camera>");
    EXPECT_EQ(Err(empty), 0) << empty.text;
    EXPECT_EQ(empty.text.find("<CameraGroup"), std::string::npos) << empty.text;
    // A request whose monitor is on another unit than its source is dropped.
    EXPECT_FALSE(in.Request("<Camera ActionType=\"SET\" SourceUnit=\"1\" MonitorID=\"20000001\">"
                            "<CameraGroupMonitor GroupID=\"10010001\" GroupType=\"1\"/></Camera>", 300ms).received);
}

// The task manager's mode reaches the service: last come, first served holds
// the tour's other monitors at the user's priority (first come: one weaker,
// see the monitor message test) and refuses the same user's restart.
TEST_F(Service, LastComeFirstServedFromTheTaskManager) {
    Installation& in = Start(Default(true));
    ASSERT_EQ(Err(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1)), 0);
    ASSERT_TRUE(in.WaitMon(1, Kind("seize", 2)));
    for (const auto& l : in.MonLog()) {
        if (Kind("seize", 2)(l)) {
            EXPECT_EQ(l.Get("priority"), 10ul);
        }
    }
    EXPECT_EQ(Err(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1)), NUVAKERR_INVALPTR);
}

// The request's user, the tour's ids and the cameras reach the monitor
// messages; seize, select and preset follow one another through the monitor
// control process's confirmations, and later steps seize nothing.
TEST_F(Service, MonitorMessagesOfAFirstShowingAndLaterSteps) {
    Installation& in = Start();
    ASSERT_EQ(Err(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1)), 0);
    ASSERT_TRUE(in.WaitMon(1, Kind("camera_preset", 1)));
    ASSERT_TRUE(in.WaitMon(1, Kind("camera_preset", 2)));
    std::vector<MonLine> m[3];
    for (const auto& l : in.MonLog())
        if (l.dir == "in" && l.Get("monitor") <= 2) m[l.Get("monitor")].push_back(l);
    ASSERT_GE(m[1].size(), 3u);
    ASSERT_GE(m[2].size(), 2u);
    EXPECT_EQ(m[1][0].kind + " " + m[1][1].kind + " " + m[1][2].kind, "seize camera_select camera_preset");
    EXPECT_EQ(Mismatches(m[1][0], {{"target", 10010001}, {"priority", 10}, {"device", kUser}, {"user", 21}}), "");
    EXPECT_EQ(m[1][1].Get("target"), 100101u);
    // The tour's other monitor is held for the group device.
    EXPECT_EQ(Mismatches(m[2][0], {{"device", 0x0203}, {"priority", 11}, {"user", 2}}), "");
    EXPECT_EQ(m[2][1].Get("target"), 100102u);
    // Step 2 shows camera 3 and preset 4; still only the first two seizes.
    ASSERT_TRUE(in.WaitMon(1, Selected(1, 100103), 8000ms));
    ASSERT_TRUE(in.WaitMon(1, [](const MonLine& l) { return Kind("camera_preset", 2)(l) && l.Get("ctrl_value") == 4; },
                           8000ms));
    EXPECT_FALSE(in.WaitMon(3, [](const MonLine& l) { return l.dir == "in" && l.kind == "seize"; }, 0ms));
}

void RewriteDatabase(Installation& in, const std::string& description, bool inPlace = true) {
    ASSERT_TRUE(in.WriteDatabase(description, inPlace)) << "nuvak-dbtool refused the description";
}

// Each update is seen whether its files were rewritten in place or replaced
// (new inodes), whichever way the one before came.
TEST_F(Service, DatabaseUpdatesWhileToursRun) {
    Installation& in = Start();
    ASSERT_EQ(Err(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1)), 0);
    ASSERT_TRUE(in.WaitMon(1, Kind("camera_preset", 1)));
    // Preset 2 now shows cameras 5 and 6; the running tour takes it up.
    RewriteDatabase(in, Description("  step preset 1 dwell 2\n  step preset 2 dwell 2\n",
                                   "  element monitor 1 camera 5 preset 3\n  element monitor 2 camera 6 preset 4\n"));
    in.QueueSignal(GRPPRE_UPDATE_SIG);
    EXPECT_TRUE(in.WaitMon(1, Selected(1, 100105), 10000ms));
    EXPECT_EQ(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_SKIP, 10, kUser, 1).Num("State"), TOURSTATE_RUNNING);
    // Camera 5 renumbered: only the cameras are reloaded (and the monitors).
    const std::string p2 = "  element monitor 1 camera 5 preset 3\n  element monitor 2 camera 6 preset 4\n";
    RewriteDatabase(in, Description("  step preset 1 dwell 2\n  step preset 2 dwell 2\n", p2, 10001, 5, 155));
    in.QueueSignal(CAM_DBUPDATE_SIG);
    in.QueueSignal(MON_DBUPDATE_SIG);
    EXPECT_TRUE(in.WaitMon(1, Selected(1, 100155), 10000ms));
    // Tour 1 gets a third step on monitors 7..9: the running block goes on
    // with the new steps.
    RewriteDatabase(in, Description("  step preset 1 dwell 1\n  step preset 2 dwell 1\n  step preset 5 dwell 1\n",
                                   p2, 10001, 5, 155), false);
    in.QueueSignal(NUVAK_UPDATE_SIG);
    EXPECT_TRUE(in.WaitMon(1, Selected(8, 100102), 10000ms));
    // ... seizing the new monitors first, in the tour's user's name.
    for (const auto& l : in.MonLog())
        if (l.dir == "in" && l.Get("monitor") == 8) {
            EXPECT_EQ(l.kind, "seize");
            EXPECT_EQ(Mismatches(l, {{"device", 0x0203}, {"priority", 11}}), "");
            break;
        }
    EXPECT_EQ(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_SKIP, 10, kUser, 1).Num("State"), TOURSTATE_RUNNING);
    // Renumbered (tour 2 too, held on monitors 3, 4): the old number is
    // unknown at once, the new one works.
    ASSERT_EQ(Err(in.Group(10002, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kOther, 3)), 0);
    ASSERT_EQ(Err(in.Group(10002, MON_TOUR_TYP_GRP, MON_TOUR_ACT_PAUSE, 10, kOther, 3)), 0);
    RewriteDatabase(in, Description("  step preset 1 dwell 1\n  step preset 2 dwell 1\n", p2, 10021, 5, 155,
                                    "tour 2 logical 10012\n  step preset 3 dwell 3\n"
                                    "tour 3 logical 10003\n  step preset 4 dwell 2\n"), false);
    in.QueueSignal(NUVAK_UPDATE_SIG);
    const auto end = std::chrono::steady_clock::now() + 10s;
    Reply old;
    do {
        old = in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_SKIP, 10, kUser, 1);
    } while (old.Num("ErrorStatus") != NUVAKERR_INVALID && std::chrono::steady_clock::now() < end);
    EXPECT_EQ(old.Num("ErrorStatus"), NUVAKERR_INVALID);
    // The held tour 2 has not stepped since: its Stop goes out under its new
    // global id (the old one may name another tour by now).
    const size_t stopped = in.MonLog().size();
    ASSERT_EQ(Err(in.Group(10012, MON_TOUR_TYP_GRP, MON_TOUR_ACT_DEL, 10, kOther, 3)), 0);
    auto stopUnder = [](unsigned long monitor, unsigned long tour) {
        return [=](const MonLine& l) { return Kind("tour_stop", monitor)(l) && l.Get("target") == tour; };
    };
    EXPECT_TRUE(in.WaitMon(1, stopUnder(3, 10010012), 3000ms, stopped));
    EXPECT_TRUE(in.WaitMon(1, stopUnder(4, 10010012), 3000ms, stopped));
    EXPECT_FALSE(in.WaitMon(1, stopUnder(3, 10010002), 0ms, stopped));
    // ... and the running tour keeps stepping under its new id before any
    // request names it.
    const size_t renumbered = in.MonLog().size();
    EXPECT_TRUE(in.WaitMon(2, Kind("camera_select", 1), 6000ms, renumbered));
    EXPECT_EQ(in.Check(10021, MON_TOUR_TYP_GRP).Attr("GroupMonitor"), "   1   2");
    EXPECT_EQ(Err(in.Group(10021, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1)), 0);
    // The restart stopped it first: monitors 7..9, in no step since the
    // renumber, were released with the others it held.
    EXPECT_TRUE(in.WaitMon(1, Kind("release", 8), 5000ms, renumbered));
    // A tour deleted while it runs is ended as a Stop would end it: its
    // monitors get the tour stop and no longer hold its priorities, so a
    // weaker user of another device may take them.
    // The restart's own tour stops are in the log before the deletion's are
    // looked for.
    ASSERT_TRUE(in.WaitMon(1, Kind("tour_stop", 1), 5000ms, renumbered));
    ASSERT_TRUE(in.WaitMon(1, Kind("tour_stop", 2), 5000ms, renumbered));
    const size_t deleted = in.MonLog().size();
    RewriteDatabase(in, Description("", p2, 10021, 5, 155));
    in.QueueSignal(NUVAK_UPDATE_SIG);
    EXPECT_TRUE(in.WaitMon(1, Kind("tour_stop", 1), 5000ms, deleted));
    EXPECT_TRUE(in.WaitMon(1, Kind("tour_stop", 2), 5000ms, deleted));
    EXPECT_EQ(Err(in.Check(10021, MON_TOUR_TYP_GRP)), NUVAKERR_INVALID);
    EXPECT_EQ(Err(in.Group(10003, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 20, kOther, 3)), 0);
    EXPECT_TRUE(in.Service().Running());
}

// A reload signalled while a writer is half-way: the tour table's new index
// (tour 1 deleted) over its old data, then the preset table unreadable for a
// moment. Each keeps its previous content whole and says so: the running
// tour is not ended and goes on stepping, every preset still runs. Once the
// tables are written whole, the next signal takes them.
TEST_F(Service, AReloadOfAHalfWrittenOrUnreadableTableKeepsWhatItHad) {
    Installation& in = Start();
    ASSERT_EQ(Err(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1)), 0);
    ASSERT_TRUE(in.WaitMon(1, Kind("camera_preset", 1)));
    namespace fs = std::filesystem;
    const std::string db = "/opt/cctv/database/";
    fs::copy_file(db + "nuvak.dbf", in.Dir() + "/nuvak.dbf", fs::copy_options::overwrite_existing);
    RewriteDatabase(in, Description(""));
    fs::copy_file(in.Dir() + "/nuvak.dbf", db + "nuvak.dbf", fs::copy_options::overwrite_existing);
    const size_t halfWritten = in.MonLog().size();
    in.QueueSignal(NUVAK_UPDATE_SIG);
    ASSERT_TRUE(in.Service().WaitFor("tours keep their previous content", 10s)) << in.Service().Output();
    EXPECT_TRUE(in.WaitMon(1, Kind("camera_select", 1), 6000ms, halfWritten)) << "tour 1 stopped stepping";
    EXPECT_EQ(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_SKIP, 10, kUser, 1).Num("State"), TOURSTATE_RUNNING);

    RewriteDatabase(in, Description());
    fs::resize_file(db + "grppre.dbf", 0);
    in.QueueSignal(GRPPRE_UPDATE_SIG);
    ASSERT_TRUE(in.Service().WaitFor("group presets keep their previous content", 10s)) << in.Service().Output();
    const size_t unreadable = in.MonLog().size();
    EXPECT_EQ(Err(in.Group(20005, MON_TOUR_TYP_GRPPRE, MON_TOUR_ACT_RUN, 0, kOther, 7)), 0);
    EXPECT_TRUE(in.WaitMon(1, Selected(9, 100103), 5000ms, unreadable));
    EXPECT_TRUE(in.WaitMon(2, Kind("camera_select", 2), 6000ms, unreadable)) << "tour 1 stopped stepping";
    EXPECT_FALSE(in.WaitMon(1, Kind("tour_stop", 1), 0ms, halfWritten));

    // Written whole (tour 1 deleted): the next signal ends it.
    RewriteDatabase(in, Description(""));
    const size_t whole = in.MonLog().size();
    in.QueueSignal(NUVAK_UPDATE_SIG);
    EXPECT_TRUE(in.WaitMon(1, Kind("tour_stop", 1), 5000ms, whole));
    EXPECT_EQ(Err(in.Check(10001, MON_TOUR_TYP_GRP)), NUVAKERR_INVALID);
}

// Another tour given a running tour's logical id leaves the id with the
// running tour (it keeps stepping, and a Stop of the id reaches its
// monitors); a running tour without a user that a reload deletes frees its
// monitors.
TEST_F(Service, ReloadsKeepARunningToursIdAndEndTheToursTheyDelete) {
    Installation& in = Start();
    // Tour 2 (monitors 3, 4, dwell 3) run from a monitor outside it: no user.
    ASSERT_EQ(Err(in.Group(10002, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 9)), 0);
    ASSERT_TRUE(in.WaitMon(1, Kind("camera_select", 4)));
    // Tour 1 (physical 1) is given 10002 as well.
    RewriteDatabase(in, Description("  step preset 1 dwell 2\n  step preset 2 dwell 2\n",
                                   "  element monitor 1 camera 3 preset 3\n  element monitor 2 camera 4 preset 4\n",
                                   10002));
    in.QueueSignal(NUVAK_UPDATE_SIG);
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (Err(in.Check(10001, MON_TOUR_TYP_GRP)) != NUVAKERR_INVALID && std::chrono::steady_clock::now() < end) {
    }
    const size_t shared = in.MonLog().size();
    EXPECT_TRUE(in.WaitMon(2, Kind("camera_select", 3), 9000ms, shared)) << "tour 2 stopped stepping";
    EXPECT_EQ(in.Check(10002, MON_TOUR_TYP_GRP).Attr("GroupMonitor"), "   3   4");
    const size_t stop = in.MonLog().size();
    ASSERT_EQ(Err(in.Group(10002, MON_TOUR_TYP_GRP, MON_TOUR_ACT_DEL, 10, kUser, 9)), 0);
    EXPECT_TRUE(in.WaitMon(1, Kind("tour_stop", 3), 5000ms, stop));
    EXPECT_TRUE(in.WaitMon(1, Kind("tour_stop", 4), 5000ms, stop));
    // Run again without a user, then deleted: its monitors are ended and a
    // group preset and another tour may take them (they were refused while
    // the deleted tour held them for nobody).
    ASSERT_EQ(Err(in.Group(10002, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 9)), 0);
    ASSERT_TRUE(in.WaitMon(1, Kind("camera_select", 4), 5000ms, stop));
    EXPECT_EQ(Err(in.Group(20003, MON_TOUR_TYP_GRPPRE, MON_TOUR_ACT_RUN, 0, kUser, 3)), NUVAKERR_INVALPTR);
    const size_t deleted = in.MonLog().size();
    RewriteDatabase(in, Description("  step preset 1 dwell 2\n  step preset 2 dwell 2\n",
                                   "  element monitor 1 camera 3 preset 3\n  element monitor 2 camera 4 preset 4\n",
                                   10002, 0, 0, "tour 3 logical 10003\n  step preset 4 dwell 2\n"));
    in.QueueSignal(NUVAK_UPDATE_SIG);
    EXPECT_TRUE(in.WaitMon(1, Kind("tour_stop", 3), 5000ms, deleted));
    EXPECT_TRUE(in.WaitMon(1, Kind("tour_stop", 4), 5000ms, deleted));
    EXPECT_EQ(Err(in.Group(10003, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 0, kUser, 2)), 0);
    EXPECT_EQ(Err(in.Group(20003, MON_TOUR_TYP_GRPPRE, MON_TOUR_ACT_RUN, 0, kUser, 3)), 0);
}

TEST_F(Service, HealthChecksAnsweredAndOrderlyShutdownOnSigint) {
    Installation& in = Start();
    ASSERT_EQ(Err(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1)), 0);
    ASSERT_TRUE(in.Tmgr().WaitFor("register NUVAK (51)", 5s));
    EXPECT_TRUE(in.Tmgr().WaitFor("answer NUVAK (51)", 5s)) << in.Tmgr().Output();
    EXPECT_TRUE(IpcSlotTaken(13));
    in.Service().Signal(SIGINT);
    EXPECT_EQ(in.Service().Wait(10s), 0);
    EXPECT_FALSE(IpcSlotTaken(13));
    EXPECT_TRUE(in.Tmgr().WaitFor("unregister NUVAK (51)", 5s)) << in.Tmgr().Output();
    EXPECT_EQ(SanitizerReport(in.Service().Output()), "");
    in_.reset();  // the service has ended
}

// A monitor message drives a client only when it answers that client's own
// exchange: its monitor, block id and the global tour id it sent. One naming
// no tour, another tour, or another tour's block or monitor is discarded.
TEST_F(Service, MonitorMessagesDriveOnlyTheExchangeTheyAnswer) {
    Options o = Default();
    o.monctlArgs = {"--seize", "drop"};  // the clients wait for their seize confirmations
    Installation& in = Start(o);
    ASSERT_EQ(Err(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, 1)), 0);   // block 1: 1, 2
    ASSERT_EQ(Err(in.Group(10002, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kOther, 3)), 0);  // block 2: 3, 4
    ASSERT_TRUE(in.WaitMon(1, Kind("seize", 1)));
    ASSERT_TRUE(in.WaitMon(1, Kind("seize", 3)));
    namespace mm = nuvak::monmsg;
    auto confirm = [&](unsigned short monitor, unsigned short block, unsigned long tour) {
        std::string b(256, '\0');
        auto* p = reinterpret_cast<unsigned char*>(&b[0]);
        mm::StoreLE16(p + mm::kSender, mm::kMonCtlAddress);
        mm::StoreLE16(p + mm::kDest, mm::kOwnAddress);
        mm::StoreLE16(p + mm::kClass, mm::kMonClass);
        mm::StoreLE16(p + mm::kLength, mm::kSize);
        mm::StoreLE16(p + mm::kCommand, mm::kSeizeConfirm);
        mm::StoreLE16(p + mm::kMonitor, monitor);
        mm::StoreLE16(p + mm::kTourCntl, block);
        mm::StoreLE32(p + mm::kGlobalTour, static_cast<std::uint32_t>(tour));
        in.SendIpc(13, b);
    };
    confirm(1, 1, 0xFFFFFFFFul);  // no tour
    confirm(1, 1, 10010002);      // tour 2
    confirm(1, 2, 10010002);      // tour 2's block, tour 1's monitor
    confirm(3, 1, 10010001);      // tour 1 for a monitor of tour 2
    confirm(2, 1, 10010001);      // the answer to monitor 2's seize
    // The confirms arrive in the order sent and each is handled before the
    // next is read, so a select one of the first four drove would be logged
    // before monitor 2's.
    ASSERT_TRUE(in.WaitMon(1, Kind("camera_select", 2), 3000ms));
    EXPECT_FALSE(in.WaitMon(1, Kind("camera_select", 1), 0ms));
    EXPECT_FALSE(in.WaitMon(1, Kind("camera_select", 3), 0ms));
}

// A user at another unit's monitor is no user of this unit's monitors: a Run
// from unit 2's keyboard at its monitor 1 (global 20000001) does not seize
// this unit's monitor 1 for that keyboard; nor does a standby update naming
// a monitor of unit 3 (processed whatever its source unit).
TEST_F(Service, ARemoteUsersMonitorIsNotALocalOne) {
    Installation& in = Start();
    auto request = [&](const char* action, unsigned short source, unsigned long monitor, unsigned long group) {
        CameraMessage m(action, 1, source, 0, monitor, 0, 0);
        m.AddElement(new CameraVariableGroup(static_cast<T_uint_32>(10000000ul + group), MON_TOUR_TYP_GRP, 0x0201,
                                             7, 5, MON_TOUR_ACT_RUN, 0, 0));
        std::string text;
        m.SerializeElement(text, 0);
        return in.Request(text);
    };
    EXPECT_EQ(request("SET", 2, 20000001, 10001).Num("ErrorStatus"), 0);
    EXPECT_EQ(request("UPDATE_STANDBY", 2, 30000003, 10002).Num("ErrorStatus"), 0);
    ASSERT_TRUE(in.WaitMon(1, Kind("seize", 1)));
    ASSERT_TRUE(in.WaitMon(1, Kind("seize", 3)));
    for (const auto& l : in.MonLog())
        if (l.dir == "in" && l.kind == "seize") {
            EXPECT_EQ(l.Get("device"), SYS_DEVICE_NOUSER) << "monitor " << l.Get("monitor");
            EXPECT_EQ(l.Get("priority"), 0xFFFFFFFFul) << "monitor " << l.Get("monitor");
        }
}

}  // namespace
