// Reliability of the service end to end: bursts, a monitor control process
// that dies, database files damaged under the running service, hostile input
// among good traffic. Each test starts its own installation (rig.h) and ends
// with an orderly stop: exit 0 and no sanitizer report. Random choices come
// from a seed that is printed; NUVAK_REL_SEED replays it.
#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "rig.h"
#include "sysdefs.h"

using namespace nuvak::rig;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned short kUser = 0x0103;  // keyboard 3
constexpr int kTours = 4;

// Tour k (1..4, logical 1000k) alternates presets 2k-1 and 2k on monitors
// 2k-1 and 2k with dwell times of 1 and 2 s. Cameras 1..16 are 101..116;
// monitors 1..60 exist (users sit at 50 + k).
std::string Description() {
    std::string d;
    for (int k = 1; k <= kTours; ++k) {
        d += "tour " + std::to_string(k) + " logical " + std::to_string(10000 + k) + "\n";
        d += "  step preset " + std::to_string(2 * k - 1) + " dwell 1\n";
        d += "  step preset " + std::to_string(2 * k) + " dwell 2\n";
    }
    for (int p = 1; p <= 2 * kTours; ++p) {
        const int k = (p + 1) / 2;
        const int cam = p % 2 == 1 ? 2 * k - 1 : 8 + 2 * k - 1;
        d += "preset " + std::to_string(p) + " logical " + std::to_string(20000 + p) + "\n";
        d += "  element monitor " + std::to_string(2 * k - 1) + " camera " + std::to_string(cam) + " preset 1\n";
        d += "  element monitor " + std::to_string(2 * k) + " camera " + std::to_string(cam + 1) + " preset 2\n";
    }
    for (unsigned c = 1; c <= 16; ++c)
        d += "camera " + std::to_string(c) + " logical " + std::to_string(100 + c) + "\n";
    for (int m = 1; m <= 60; ++m) d += "monitor " + std::to_string(m) + " logical " + std::to_string(200 + m) + "\n";
    return d;
}

std::string MonList(int tour) {
    char b[16];
    std::snprintf(b, sizeof b, "%4d%4d", 2 * tour - 1, 2 * tour);
    return b;
}

Options Opts() {
    Options o;
    o.description = Description();
    return o;
}

unsigned Seed() {
    const char* s = std::getenv("NUVAK_REL_SEED");
    const unsigned seed = s != nullptr ? static_cast<unsigned>(std::strtoul(s, nullptr, 0))
                                       : static_cast<unsigned>(std::random_device{}());
    std::printf("seed %u (NUVAK_REL_SEED replays it)\n", seed);
    return seed;
}

Reply RunTour(Installation& in, int k) {
    return in.Group(10000 + k, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, kUser, static_cast<unsigned short>(50 + k));
}

// Whether every monitor of every running tour got `n` messages of `kind`
// (camera selects unless told otherwise) after log index `from`.
bool WaitSteps(Installation& in, std::size_t from, std::size_t n, Ms limit, const char* kind = "camera_select") {
    const auto end = Clock::now() + limit;
    for (unsigned long m = 1; m <= 2 * kTours; ++m)
        if (!in.WaitMon(n, Kind(kind, m), std::chrono::duration_cast<Ms>(end - Clock::now()), from)) return false;
    return true;
}

// The end of every test: an orderly stop, and nothing from a sanitizer in
// the service or the stand-ins (built by the same build).
void Finish(Installation& in) { EXPECT_EQ(in.Shutdown(), ""); }

// ---- bursts ----

// Whether `count` check requests of tour 1 under one transaction id (see
// Installation::Burst) were all answered, each with tour 1's monitors.
bool AllAnswered(Installation& in, std::size_t count, std::size_t window, Ms retry, int maxRepeats, Ms limit,
                 bool exactlyOnce, unsigned short transaction) {
    const auto r = in.Burst({count, window, retry, maxRepeats, limit, exactlyOnce, transaction, MonList(1)});
    return r.answered == count && r.wrong == 0;
}

// Bursts of 100 with no repeat at all (retry 0), sized to fit the socket's
// receive queue, catch a datagram that no wake-up ever reads: it stays
// unanswered. (One whose readiness signal alone is lost waits for the next
// full pass of the loop, a timer period at most: see the latency test.)
TEST(Burst, DistinctSessionsAnsweredInFull) {
    Installation in(Opts());
    ASSERT_EQ(RunTour(in, 1).Num("ErrorStatus"), 0);  // stepping goes on under the burst
    // 10,000 at least once, every one a session of its own, all sent at once:
    // the kernel drops what the socket cannot hold, the repeats get it answered.
    EXPECT_TRUE(AllAnswered(in, 10000, 10000, 3000ms, 20, 150s, false, 101));
    EXPECT_TRUE(AllAnswered(in, 3000, 128, 3000ms, 20, 90s, true, 102));  // exactly once
    for (unsigned short t = 200; t < 220; ++t) ASSERT_TRUE(AllAnswered(in, 100, 100, 0ms, 0, 30s, false, t)) << t;
    EXPECT_TRUE(in.WaitMon(2, Kind("camera_select", 1), 15s, in.MonLog().size())) << "the tour stopped stepping";
    Finish(in);
}

// The same with the service's queue of real-time signals limited to two
// entries: readiness signals overflow (the kernel falls back to SIGIO), and
// the timer's own queued expiries can fail. Nothing may be left unanswered
// and the tours keep stepping.
TEST(Burst, ReadinessSignalsLostToAFullQueue) {
    Options o = Opts();
    o.serviceSigpending = 2;
    Installation in(o);
    for (int k = 1; k <= kTours; ++k) ASSERT_EQ(RunTour(in, k).Num("ErrorStatus"), 0) << k;
    for (unsigned short t = 300; t < 330; ++t) {
        ASSERT_TRUE(AllAnswered(in, 100, 100, 0ms, 0, 30s, false, t)) << t;
        // Update signals mixed in: some are refused by the full queue (the
        // sender sees EAGAIN), those that arrive reload the tables.
        in.QueueSignal(t % 2 ? GRPPRE_UPDATE_SIG : CAM_DBUPDATE_SIG);
    }
    EXPECT_TRUE(AllAnswered(in, 2000, 256, 3000ms, 20, 90s, false, 331));
    EXPECT_TRUE(WaitSteps(in, in.MonLog().size(), 2, 20s)) << "tours stopped stepping";
    Finish(in);
}

// ---- one request at a time on a crowded CPU ----

// Every process (this one, the service, the stand-ins and two busy loops) on
// one CPU, requests sent one at a time in rounds started at random moments:
// first at least once with nothing else going on, where a wake-up the loop
// misses leaves a request waiting for the next timer expiry (up to a
// second); then with tours stepping and every other request exactly once.
// Every answer must come, and none a quarter of that late.
TEST(Latency, OneRequestAtATimeOnOneCrowdedCpu) {
    cpu_set_t all, one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    std::mt19937 rng(Seed());
    {
        Installation in(Opts());
        const std::vector<std::string> loop{"/bin/sh", "-c", "while :; do :; done"};
        Proc hog1(loop), hog2(loop);  // on this CPU too (the affinity is inherited)
        const std::string xml = CheckXml(in.Unit(), 10001, MON_TOUR_TYP_GRP);
        double slowest = 0;  // ms
        std::size_t unanswered = 0;
        const auto stop = Clock::now() + 80s;
        for (int round = 0; round < 16 && Clock::now() < stop; ++round) {
            const bool busy = round >= 8;
            if (round == 8) {
                for (int k = 1; k <= kTours; ++k) ASSERT_EQ(RunTour(in, k).Num("ErrorStatus"), 0) << k;
            }
            std::this_thread::sleep_for(Ms(rng() % 300));
            for (int i = 0; i < 2000; ++i) {
                const auto t0 = Clock::now();
                if (in.Request(xml, Ms(2000), busy && i % 2 == 1).received)
                    slowest = std::max(slowest, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
                else
                    ++unanswered;
            }
        }
        EXPECT_EQ(unanswered, 0u);
        EXPECT_LT(slowest, 250.0);
        Finish(in);
    }
    sched_setaffinity(0, sizeof all, &all);
}

// ---- the monitor control process dies ----

TEST(MonitorControl, KilledAndRestartedWhileToursRun) {
    Installation in(Opts());
    for (int k = 1; k <= kTours; ++k) ASSERT_EQ(RunTour(in, k).Num("ErrorStatus"), 0) << k;
    ASSERT_TRUE(WaitSteps(in, 0, 2, 20s));
    // Two deaths (SIGKILL: the mailbox slot is left stale) and a hang
    // (SIGSTOP: monitor messages pile up unread, then arrive late).
    for (int round = 0; round < 3; ++round) {
        const bool hang = round == 2;
        in.KillMonctl(hang ? SIGSTOP : SIGKILL);
        // Steps sent into the void leave the clients busy; requests are still
        // answered meanwhile.
        const auto outage = Clock::now() + 5s;
        while (Clock::now() < outage) {
            for (int k = 1; k <= kTours; ++k) {
                EXPECT_EQ(in.Check(10000 + k, MON_TOUR_TYP_GRP, 5000ms).Attr("GroupMonitor"), MonList(k))
                    << "round " << round << " tour " << k;
            }
            std::this_thread::sleep_for(200ms);
        }
        ASSERT_TRUE(in.Service().Running()) << in.Service().Output();
        const std::size_t mark = in.MonLog().size();
        if (hang)
            in.Monctl().Signal(SIGCONT);
        else
            in.StartMonctl();
        // The busy clients are reset after their checks run out; every tour
        // then shows its steps again on every monitor, camera and preset.
        // (After a hang the stand-in first reads the selects that waited in
        // its mailbox; the presets come only from fresh answers.)
        EXPECT_TRUE(WaitSteps(in, mark, 2, 45s)) << "round " << round;
        EXPECT_TRUE(WaitSteps(in, mark, 1, 45s, "camera_preset")) << "round " << round;
    }
    Finish(in);
}

// ---- database files damaged under the running service ----

const char* const kFiles[] = {"nuvak.dbf", "nuvak.mdx", "grppre.dbf", "grppre.mdx",
                              "cam.dbf",   "cam.mdx",   "mon.dbf",    "mon.mdx"};
const unsigned kSignals[] = {NUVAK_UPDATE_SIG, GRPPRE_UPDATE_SIG, CAM_DBUPDATE_SIG, MON_DBUPDATE_SIG};

// A valid but unusual database: tours without steps, steps naming missing
// presets, presets on monitors and cameras the installation lacks, extreme
// dwell times, missing tables' records.
std::string Variant(std::mt19937& rng) {
    auto pick = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
    std::string d;
    const unsigned tours = pick(7);
    for (unsigned t = 1; t <= tours; ++t) {
        d += "tour " + std::to_string(t) + " logical " + std::to_string(10000 + (pick(4) ? t : pick(9) + 1)) + "\n";
        const unsigned steps = pick(5);
        for (unsigned s = 0; s < steps; ++s) {
            const unsigned preset = pick(10) == 0 ? 200 + pick(56) : 1 + pick(9);
            const unsigned dwell = pick(6) == 0 ? (pick(2) ? 0 : 999) : 1 + pick(3);
            d += "  step preset " + std::to_string(preset) + " dwell " + std::to_string(dwell) + "\n";
        }
    }
    const unsigned presets = pick(10);
    for (unsigned p = 1; p <= presets; ++p) {
        d += "preset " + std::to_string(p) + " logical " + std::to_string(20000 + p) + "\n";
        const unsigned elements = pick(8) == 0 ? 128 : pick(5);
        for (unsigned e = 0; e < elements; ++e) {
            const unsigned mon = pick(8) == 0 ? (pick(2) ? 0 : 1000 + pick(100)) : 1 + pick(12);
            const unsigned cam = pick(8) == 0 ? (pick(2) ? 0 : 2040 + pick(8)) : 1 + pick(20);
            d += "  element monitor " + std::to_string(mon) + " camera " + std::to_string(cam) + " preset " +
                 std::to_string(pick(4)) + "\n";
        }
    }
    const unsigned cams = pick(3) == 0 ? 0 : 16;
    for (unsigned c = 1; c <= cams; ++c) d += "camera " + std::to_string(c) + " logical " + std::to_string(100 + c + pick(2)) + "\n";
    const unsigned mons = pick(3) == 0 ? 0 : 60;
    for (unsigned m = 1; m <= mons; ++m) d += "monitor " + std::to_string(m) + " logical " + std::to_string(200 + m) + "\n";
    return d;
}

void Damage(std::mt19937& rng, std::string& what) {
    const std::string path = std::string("/opt/cctv/database/") + kFiles[rng() % 8];
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        what = "missing " + path;
        return;
    }
    const auto size = static_cast<unsigned long>(st.st_size);
    switch (rng() % 4) {
        case 0: {  // cut anywhere, often inside the header or a record
            const unsigned long len = size == 0 ? 0 : rng() % (size + 1);
            what = "truncate " + path + " to " + std::to_string(len);
            if (truncate(path.c_str(), static_cast<off_t>(len)) != 0) what += " (failed)";
            break;
        }
        case 1: {  // random bytes over the header or anywhere
            FILE* f = std::fopen(path.c_str(), "r+b");
            if (f == nullptr) break;
            const int n = 1 + static_cast<int>(rng() % 16);
            for (int i = 0; i < n; ++i) {
                const unsigned long at = rng() % 2 ? rng() % 64 : (size == 0 ? 0 : rng() % size);
                std::fseek(f, static_cast<long>(at), SEEK_SET);
                const unsigned char b = static_cast<unsigned char>(rng() % 3 == 0 ? 0xFF : rng());
                std::fwrite(&b, 1, 1, f);
            }
            std::fclose(f);
            what = "scribble " + path;
            break;
        }
        case 2:
            what = "remove " + path;
            unlink(path.c_str());
            break;
        default: {  // grown with garbage: counts that promise more than there is
            FILE* f = std::fopen(path.c_str(), "ab");
            if (f == nullptr) break;
            for (int i = 0; i < 700; ++i) std::fputc(static_cast<int>(rng()), f);
            std::fclose(f);
            what = "append to " + path;
        }
    }
}

TEST(Database, RewrittenAndTruncatedWhileToursRun) {
    std::mt19937 rng(Seed());
    Installation in(Opts());
    for (int k = 1; k <= kTours; ++k) ASSERT_EQ(RunTour(in, k).Num("ErrorStatus"), 0) << k;
    const auto end = Clock::now() + 25s;
    int round = 0;
    while (Clock::now() < end && round < 150) {
        ++round;
        std::string what;
        switch (rng() % 4) {
            case 0: what = "rewrite in place"; in.WriteDatabase(rng() % 3 ? Variant(rng) : Description(), true); break;
            case 1: what = "replace"; in.WriteDatabase(rng() % 3 ? Variant(rng) : Description(), false); break;
            default: Damage(rng, what);
        }
        // A writer still at work while the service reloads: damage in a
        // second thread with the signals already on their way.
        std::thread writer;
        if (rng() % 4 == 0) {
            const unsigned s = static_cast<unsigned>(rng());
            writer = std::thread([s] {
                std::mt19937 r2(s);
                std::string w;
                for (int i = 0; i < 20; ++i) Damage(r2, w);
            });
        }
        const int signals = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < signals; ++i) in.QueueSignal(rng() % 8 ? kSignals[rng() % 4] : 0x1065 + rng() % 4);
        // Requests between reloads: any status, but an answer.
        Reply a = in.Group(10001 + rng() % 6, MON_TOUR_TYP_GRP, static_cast<unsigned short>(rng() % 8), 10, kUser, 51);
        in.Check(20001 + rng() % 9, MON_TOUR_TYP_GRPPRE);
        if (writer.joinable()) writer.join();
        ASSERT_TRUE(in.Service().Running()) << "round " << round << ": " << what << "\n" << in.Service().Output();
        EXPECT_TRUE(a.received || in.Check(10001, MON_TOUR_TYP_GRP, 5000ms).received)
            << "round " << round << ": " << what;
    }
    // A good database again: every table reloaded, the tours run and step.
    ASSERT_TRUE(in.WriteDatabase(Description(), false));
    for (unsigned s : kSignals) {
        // A queue shared by every process of the user may be full for a
        // moment on a busy machine: the sender sees EAGAIN and tries again.
        int err = in.QueueSignal(s);
        for (int i = 0; err == EAGAIN && i < 100; ++i) {
            std::this_thread::sleep_for(50ms);
            err = in.QueueSignal(s);
        }
        EXPECT_EQ(err, 0) << "sigqueue " << std::hex << s;
    }
    const auto until = Clock::now() + 40s;
    Reply c;
    do {
        c = in.Check(10001, MON_TOUR_TYP_GRP);
    } while (c.Attr("GroupMonitor") != MonList(1) && Clock::now() < until);
    EXPECT_EQ(c.Attr("GroupMonitor"), MonList(1)) << "tour 1 not back after the good database: " << c.text;
    const std::size_t mark = in.MonLog().size();
    // Every tour stopped before any runs again: a tour keeps the monitors it
    // seized under an earlier version until it ends, and one running without
    // a user refuses them to the next tour.
    for (int k = 1; k <= kTours; ++k)
        EXPECT_TRUE(in.Group(10000 + k, MON_TOUR_TYP_GRP, MON_TOUR_ACT_DEL, 10, kUser, 50 + k).received) << k;
    for (int k = 1; k <= kTours; ++k) EXPECT_EQ(RunTour(in, k).Num("ErrorStatus"), 0) << k;
    EXPECT_TRUE(WaitSteps(in, mark, 2, 45s));
    Finish(in);
}

// ---- hostile input among good requests ----

std::string Mutate(std::mt19937& rng, std::string s) {
    switch (rng() % 6) {
        case 0: return s.substr(0, rng() % (s.size() + 1));
        case 1:
            for (int i = 0; i < 1 + static_cast<int>(rng() % 8); ++i)
                if (!s.empty()) s[rng() % s.size()] = static_cast<char>(rng());
            return s;
        case 2: {  // a header number replaced
            static const char* const kNums[] = {"0", "65535", "65536", "99999999999999999999", "-1", "x", "", " 7"};
            const auto colon = s.find(": ", s.find('\n', rng() % 120));
            if (colon == std::string::npos) return s;
            const auto eol = s.find('\n', colon);
            return s.substr(0, colon + 2) + kNums[rng() % 8] + (eol == std::string::npos ? "" : s.substr(eol));
        }
        case 3: {  // a line dropped or doubled
            const auto a = s.find('\n', rng() % 150);
            const auto b = a == std::string::npos ? a : s.find('\n', a + 1);
            if (b == std::string::npos) return s;
            return rng() % 2 ? s.erase(a, b - a) : s.insert(a, s.substr(a, b - a));
        }
        case 4: return s + std::string(rng() % 2 ? 20000 : 3, static_cast<char>(rng()));
        default: return std::string(rng() % 300, static_cast<char>(rng()));
    }
}

std::string HostileXml(std::mt19937& rng, unsigned short unit) {
    const std::string head = "<?xml version=\"1.0\"?><Camera ActionType=\"SET\" SourceUnit=\"" +
                             std::to_string(unit) + "\" MonitorID=\"" + std::to_string(unit * 10000000ul + 1) + "\">";
    static const char* const kNums[] = {"0", "1", "3", "4", "255", "256", "767", "4294967295", "4294967296",
                                        "-1", "99999999999999999999999", "", "1e9", "0x10", "  2"};
    auto num = [&] { return std::string(kNums[rng() % 15]); };
    // Tours 2..4 and presets 3..8 only: tour 1 and its presets stay with the
    // good traffic, whose answers are checked.
    auto group = [&] {
        const unsigned long logical = rng() % 2 ? 10002 + rng() % 3 : 20003 + rng() % 6;
        return rng() % 4 ? std::to_string(unit * 10000000ul + logical) : num();
    };
    switch (rng() % 9) {
        case 0: {
            std::string v;
            for (int i = 0; i < 1 + static_cast<int>(rng() % 300); ++i)
                v += "<CameraGroupMonitor GroupID=\"" + group() + "\" GroupType=\"" + num() + "\"/>";
            return head + v + "</Camera>";
        }
        case 1:
            return head + "<CameraGroup GroupID=\"" + group() + "\" GroupType=\"" + (rng() % 2 ? "1" : num()) +
                   "\" DeviceID=\"" + num() + "\" UserID=\"" + num() + "\" Priority=\"" + num() + "\" Action=\"" +
                   (rng() % 2 ? std::to_string(rng() % 9) : num()) + "\"/></Camera>";
        case 2: return head + std::string(2000, '<') + "</Camera>";
        case 3: {
            std::string deep;
            for (int i = 0; i < 3000; ++i) deep += "<Camera>";
            return head + deep;
        }
        case 4: return head + "<CameraGroup GroupID=\"" + std::string(5000, '9') + "\" " + std::string(4000, 'A') + "=\"1\"/></Camera>";
        case 5:
            return "<!DOCTYPE c [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
                   "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">]>" + head + "<CameraGroup GroupID=\"&c;\"/>&c;</Camera>";
        case 6: return head + "<CameraGroup GroupID=\"1\xff\xfe\x00\x01\"/>" + std::string(1, '\0') + "</Camera>";
        case 7: return head + "<CameraSeize/><CameraPreset/><CameraMenu/><Unknown a=\"b\"/><CameraGroup/></Camera>";
        default: return Mutate(rng, head + "<CameraGroup GroupID=\"" + group() + "\" GroupType=\"1\"/></Camera>");
    }
}

// A 256-byte IPC block; class 13 and length 104 unless told otherwise.
std::string Block(std::mt19937& rng, unsigned long tour, unsigned short monitor, unsigned short primitive) {
    std::string b(256, '\0');
    auto put16 = [&](std::size_t o, unsigned v) {
        b[o] = static_cast<char>(v & 0xFF);
        b[o + 1] = static_cast<char>((v >> 8) & 0xFF);
    };
    for (std::size_t i = 0; i < 104; ++i)
        if (rng() % 4 == 0) b[i] = static_cast<char>(rng());
    put16(0, 1);
    put16(6, 13);
    put16(8, 104);
    put16(12, primitive);
    put16(20, monitor);
    put16(52, tour & 0xFFFF);
    put16(54, tour >> 16);
    put16(56, rng() % 3 == 0 ? 2 : 1);
    return b;
}

TEST(Malformed, InterleavedWithGoodTraffic) {
    std::mt19937 rng(Seed());
    Installation in(Opts());
    ASSERT_EQ(RunTour(in, 1).Num("ErrorStatus"), 0);
    const std::string goodXml = CheckXml(in.Unit(), 10001, MON_TOUR_TYP_GRP);
    const std::string valid = Datagram(in.Unit(), 9, 9, false, goodXml);
    std::size_t good = 0, answered = 0, junk = 0;
    const auto end = Clock::now() + 25s;
    for (int round = 0; round < 400 && Clock::now() < end; ++round) {
        for (int i = 0; i < 6; ++i, ++junk) {
            switch (rng() % 5) {
                case 0: in.SendRaw(Mutate(rng, valid)); break;
                case 1: {  // hostile XML in a valid datagram, sometimes exactly once
                    in.SendRaw(Datagram(in.Unit(), in.NextSession(), 7, rng() % 2, HostileXml(rng, in.Unit())));
                    break;
                }
                case 2: {  // a monitor message for the other tours or none, any monitor and primitive
                    const unsigned long tour = rng() % 4 ? in.Unit() * 10000000ul + 10002 + rng() % 3 : 0xFFFFFFFFul;
                    in.SendIpc(13, Block(rng, tour, static_cast<unsigned short>(rng()), static_cast<unsigned short>(rng() % 40)));
                    break;
                }
                case 3: {  // a response or broadcast opcode, a session 0, a foreign unit
                    std::string d = Datagram(static_cast<unsigned short>(rng() % 3 ? in.Unit() : 63),
                                             static_cast<unsigned short>(rng() % 2 ? 0 : in.NextSession()), 5,
                                             false, goodXml);
                    static const char* const kOps[] = {"Server Response", "Server Acknowledge TTL=1",
                                                       "Client Broadcast", "Client Max Retry Count=99", "Bogus"};
                    d.replace(8, 14, kOps[rng() % 5]);
                    in.SendRaw(d);
                    break;
                }
                default:  // framework signals with values nobody listens for
                    in.QueueSignal(0x20000u + static_cast<unsigned>(rng() % 0x10000));
            }
        }
        // A good request, repeated like a client would: answered, and right
        // (its transaction ids are apart from the hostile ones).
        ++good;
        answered += AllAnswered(in, 1, 1, 2000ms, 4, 10s, rng() % 2, static_cast<unsigned short>(1000 + round));
        ASSERT_TRUE(in.Service().Running()) << in.Service().Output();
    }
    EXPECT_EQ(answered, good) << "answered and right, among " << junk << " hostile inputs";
    // Tour 1 still steps on both monitors.
    const std::size_t mark = in.MonLog().size();
    EXPECT_TRUE(in.WaitMon(2, Kind("camera_select", 1), 20s, mark) && in.WaitMon(2, Kind("camera_select", 2), 20s, mark));
    // Forged monitor messages for the running tour itself, its monitors and
    // others: they may hold, end or confuse the tour, but the service stays
    // up, answers, and a Stop and Run bring the tour back.
    static const unsigned short kPrims[] = {1, 2, 4, 5, 7, 9, 10, 22};
    const unsigned long tour1 = in.Unit() * 10000000ul + 10001;
    for (int i = 0; i < 600; ++i) {
        const auto monitor = static_cast<unsigned short>(rng() % 3 ? 1 + rng() % 2 : rng());
        in.SendIpc(13, Block(rng, rng() % 8 ? tour1 : in.Unit() * 10000000ul + 20001 + rng() % 2, monitor,
                             kPrims[rng() % 8]));
        if (i % 50 == 0) {
            EXPECT_TRUE(AllAnswered(in, 1, 1, 1000ms, 20, 20s, false, static_cast<unsigned short>(3000 + i))) << i;
        }
    }
    EXPECT_TRUE(in.Group(10001, MON_TOUR_TYP_GRP, MON_TOUR_ACT_DEL, 10, kUser, 51).received);
    EXPECT_EQ(RunTour(in, 1).Num("ErrorStatus"), 0);
    EXPECT_TRUE(in.WaitMon(2, Kind("camera_preset", 1), 30s, in.MonLog().size())) << "tour 1 does not step after Stop and Run";
    Finish(in);
}

// ---- tours over many monitors ----

// Five tours (no more than the five a pass may step) of 128 monitors each,
// two steps of 2 s. Every step sends a message per monitor to the monitor
// control process at once and gets an answer per monitor back: 640 IPC
// datagrams each way in one pass. A datagram the kernel drops for a full
// mailbox leaves its monitor client busy until the busy reset, and the tour
// steps seconds late.
TEST(Stepping, ToursOf128MonitorsKeepTheirDwellTimes) {
    std::string d;
    for (int t = 1; t <= 5; ++t) {
        d += "tour " + std::to_string(t) + " logical " + std::to_string(10000 + t) + "\n";
        d += "  step preset " + std::to_string(2 * t - 1) + " dwell 2\n  step preset " + std::to_string(2 * t) +
             " dwell 2\n";
    }
    for (int p = 1; p <= 10; ++p) {
        d += "preset " + std::to_string(p) + " logical " + std::to_string(20000 + p) + "\n";
        const int block = (p - 1) / 2;
        for (int e = 1; e <= 128; ++e)
            d += "  element monitor " + std::to_string(block * 128 + e) + " camera " + std::to_string(1 + (p * 131 + e) % 2047) +
                 " preset 1\n";
    }
    for (int c = 1; c <= 2047; ++c) d += "camera " + std::to_string(c) + " logical " + std::to_string(1000 + c) + "\n";
    for (int m = 1; m <= 640; ++m) d += "monitor " + std::to_string(m) + " logical " + std::to_string(5000 + m) + "\n";
    Options o;
    o.description = d;
    Installation in(o);
    for (int t = 1; t <= 5; ++t) ASSERT_EQ(RunTour(in, t).Num("ErrorStatus"), 0) << t;
    std::this_thread::sleep_for(16s);
    const auto log = in.MonLog();
    std::map<unsigned long, std::size_t> seizes, selects;
    for (const auto& l : log) {
        if (l.dir != "in") continue;
        if (l.kind == "seize") ++seizes[l.Get("monitor")];
        if (l.kind == "camera_select") ++selects[l.Get("monitor")];
    }
    std::size_t late = 0, unseized = 0;
    for (unsigned long m = 1; m <= 640; ++m) {
        unseized += seizes[m] == 0;
        late += selects[m] < 5;  // about 8 due in 16 s
    }
    EXPECT_EQ(unseized, 0u);
    EXPECT_EQ(late, 0u);
    Finish(in);
}

}  // namespace
