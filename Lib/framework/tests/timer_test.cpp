// Timers: the tick arithmetic of the timer module, driven by hand, and
// timers on the real loop (SIGALRM, expiry queued to the process, event).
#include <gtest/gtest.h>

#include "fwtestutil.h"
#include "timermgt.h"

namespace {

// The timer module without a framework: expiries queued to the process are
// caught by a plain handler, and the interval timer's SIGALRMs are ignored,
// so the test alone decides when a tick happens.
std::vector<unsigned int> g_fired;

void CatchExpiry(int, siginfo_t* info, void*) {
    g_fired.push_back(static_cast<unsigned int>(info->si_value.sival_int));
}

class TimerModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        struct sigaction catcher {}, ignore {};
        catcher.sa_sigaction = CatchExpiry;
        catcher.sa_flags = SA_SIGINFO;
        sigfillset(&catcher.sa_mask);
        ignore.sa_handler = SIG_IGN;
        sigaction(FrameWorkSignal(), &catcher, &oldRt);
        sigaction(SIGALRM, &ignore, &oldAlrm);
    }
    void TearDown() override {
        Timer_Term();
        sigaction(FrameWorkSignal(), &oldRt, nullptr);
        sigaction(SIGALRM, &oldAlrm, nullptr);
    }
    // One tick: returns the values that fired in it.
    std::vector<unsigned int> Tick() {
        g_fired.clear();
        Timer_Event();
        return g_fired;
    }
    struct sigaction oldRt {}, oldAlrm {};
};

using Fired = std::vector<unsigned int>;

TEST_F(TimerModuleTest, ExpiryComesAtTheDocumentedTick) {
    std::int32_t a, b, c, d;
    ASSERT_EQ(Timer_Create(&a, 250), 0);
    ASSERT_EQ(Timer_Create(&b, 100), 0);
    ASSERT_EQ(Timer_Create(&c, 0), 0);
    ASSERT_EQ(Timer_Create(&d, 777), 0);
    EXPECT_EQ(Timer_Start(a, 0, 250), 0);  // 2 ticks
    EXPECT_EQ(Timer_Start(b, 0, 100), 0);  // 1 tick
    EXPECT_EQ(Timer_Start(c, 0, 0), 0);    // 1 tick, after b (same expiry, later start)
    EXPECT_EQ(Timer_Start(d, 1, 10000000), 0);
    std::uint64_t expiry = 0;
    ASSERT_EQ(Timer_GetExpiry(d, &expiry), 0);
    EXPECT_EQ(expiry, 65535u);  // capped
    EXPECT_EQ(Timer_Start(a, 1, 5000), 0);  // already running: schedule kept
    ASSERT_EQ(Timer_GetExpiry(a, &expiry), 0);
    EXPECT_EQ(expiry, 2u);

    EXPECT_EQ(Tick(), Fired{});             // sees tick 0
    EXPECT_EQ(Tick(), (Fired{100, 0}));     // sees tick 1
    EXPECT_EQ(Tick(), Fired{250});          // sees tick 2
    EXPECT_EQ(Tick(), Fired{});
    EXPECT_EQ(Timer_GetTick(), 4u);
    EXPECT_TRUE(Timer_IsRunning());  // one-shot expiries do not disarm

    // A periodic timer of 3 ticks started at tick 4 fires at 7, 10, 13.
    std::int32_t p;
    ASSERT_EQ(Timer_Create(&p, 300), 0);
    ASSERT_EQ(Timer_Start(p, 1, 300), 0);
    std::vector<std::uint64_t> at;
    for (int i = 0; i < 10; ++i) {
        const std::uint64_t seen = Timer_GetTick();
        if (Tick() == Fired{300}) at.push_back(seen);
    }
    EXPECT_EQ(at, (std::vector<std::uint64_t>{7, 10, 13}));

    // Stopping the last running timer disarms and resets the tick.
    EXPECT_EQ(Timer_Stop(p), 0);
    EXPECT_EQ(Timer_Stop(p), 0);
    EXPECT_TRUE(Timer_IsRunning());  // d still runs
    EXPECT_EQ(Timer_Stop(d), 0);
    EXPECT_FALSE(Timer_IsRunning());
    EXPECT_EQ(Timer_GetTick(), 0u);
    EXPECT_EQ(Timer_Start(TIMER_MAX, 0, 100), -1);
    EXPECT_EQ(Timer_Stop(-1), -1);
    EXPECT_EQ(Timer_Destroy(a), 0);
    EXPECT_EQ(Timer_Start(a, 0, 100), -1);  // unknown now
}

// --- Timers on the real loop ------------------------------------------------

class TimerLoopTest : public fwtest::LoopTest {};

TEST_F(TimerLoopTest, PeriodicTimerFiresEveryPeriodUntilStopped) {
    ITimer *periodic = nullptr, *once = nullptr;
    ASSERT_TRUE(server->CreateTimer(rec, true, PRIORITY_HIGH, &periodic));
    ASSERT_TRUE(server->CreateTimer(rec, false, PRIORITY_LOW, &once));
    unsigned int pv = 0, ov = 0;
    ASSERT_TRUE(once->Start(100000, &ov));  // replaced by the restart below
    std::vector<std::uint64_t> ticks;
    rec.hook = [&](EVENTTYPE type, unsigned int v) {
        ASSERT_EQ(type, EVENT_TIMER);
        if (v == ov) {
            fwtest::StopLoop();
            return;
        }
        ticks.push_back(Timer_GetTick());
        if (ticks.size() == 4) {
            periodic->Stop();
            // A one-shot after the stop, due after the periodic's next expiry.
            once->Stop();
            ASSERT_TRUE(once->Start(300, &ov));
        }
    };
    client.onInit = [&] { ASSERT_TRUE(periodic->Start(200, &pv)); };
    fwtest::Watchdog dog(120);
    EXPECT_TRUE(fw->Run());
    ASSERT_EQ(ticks.size(), 4u);
    // Started at tick 0 for 2 ticks: fires when the tick reads 2, 4, 6, 8,
    // delivered after that tick has been counted (or a later one, if the
    // machine lags, since SIGALRMs merge).
    for (size_t i = 0; i < ticks.size(); ++i) EXPECT_GE(ticks[i], 3 + 2 * i);
    for (size_t i = 1; i < ticks.size(); ++i) EXPECT_GT(ticks[i], ticks[i - 1]);
    for (ITimer* t : {periodic, once, static_cast<ITimer*>(nullptr)}) server->DestroyTimer(t);
}

TEST_F(TimerLoopTest, DestroyedTimersQueuedExpiryIsDropped) {
    ITimer *a = nullptr, *b = nullptr, *c = nullptr;
    ASSERT_TRUE(server->CreateTimer(rec, false, PRIORITY_NORMAL, &a));
    ASSERT_TRUE(server->CreateTimer(rec, false, PRIORITY_NORMAL, &b));
    unsigned int av, bv, cv = 0;
    // Both expire in the same tick, so both values wait in the ring; the
    // first one's observer destroys the second timer and starts a third,
    // which reuses the freed value. The stale expiry must reach nobody.
    rec.hook = [&](EVENTTYPE, unsigned int v) {
        if (v == av) {
            server->DestroyTimer(b);
            ASSERT_TRUE(server->CreateTimer(rec, false, PRIORITY_NORMAL, &c));
            ASSERT_TRUE(c->Start(300, &cv));
            EXPECT_EQ(cv, bv);  // b's value, whose expiry still waits
        } else if (v == cv) {
            fwtest::StopLoop();
        }
    };
    ASSERT_TRUE(a->Start(100, &av));
    ASSERT_TRUE(b->Start(100, &bv));
    fwtest::Watchdog dog(120);
    const std::uint64_t before = Timer_GetTick();
    EXPECT_TRUE(fw->Run());
    EXPECT_TRUE(rec.events == (std::vector<fwtest::Event>{{EVENT_TIMER, av}, {EVENT_TIMER, cv}}));
    // c ran its full 3 ticks: it did not fire on b's stale expiry.
    EXPECT_GE(Timer_GetTick(), before + 2 + 3);
    server->DestroyTimer(a);
    server->DestroyTimer(c);
}

TEST_F(TimerLoopTest, ExpiryAlreadyQueuedAsAnEventIsDroppedWhenTheTimerGoes) {
    ITimer* t = nullptr;
    ASSERT_TRUE(server->CreateTimer(rec, true, PRIORITY_NORMAL, &t));
    unsigned int tv;
    ASSERT_TRUE(t->Start(100, &tv));
    // A HIGH event queued before the run is delivered in the first ordinary
    // pass, which is the pass of the first expiry: it destroys the timer
    // while the timer's NORMAL event waits behind it, and the pass goes on.
    fwtest::Recorder killer;
    killer.hook = [&](EVENTTYPE, unsigned int) {
        server->DestroyTimer(t);
        fwtest::StopLoop();
    };
    worker->AddEvent(PRIORITY_HIGH, 1, killer, 0, EVENT_SOCKET);
    fwtest::Watchdog dog(120);
    EXPECT_TRUE(fw->Run());
    EXPECT_EQ(rec.events.size(), 0u);
    EXPECT_FALSE(Timer_IsRunning());
}

// Timer i of a fresh framework is the module's timer i, with signal value 85 + i.
TEST_F(TimerLoopTest, The2049thTimerCannotBeCreated) {
    std::vector<ITimer*> timers(TIMER_MAX);
    for (ITimer*& t : timers) ASSERT_TRUE(server->CreateTimer(rec, false, PRIORITY_NORMAL, &t));
    ITimer* extra = nullptr;
    EXPECT_FALSE(server->CreateTimer(rec, false, PRIORITY_NORMAL, &extra));
    EXPECT_EQ(extra, nullptr);
    std::int32_t id = 5;
    EXPECT_EQ(Timer_Create(&id, 1), -1);
    EXPECT_EQ(id, -1);
    // A freed id and value come back (the lowest id first), the highest value too.
    server->DestroyTimer(timers[100]);
    EXPECT_FALSE(dynamic_cast<IFrameWorkImpl*>(fw)->FreeSignalValue(85 + 100));  // freed once, handed out once
    ASSERT_EQ(Timer_Create(&id, 1), 0);
    EXPECT_EQ(id, 100);
    ASSERT_EQ(Timer_Destroy(id), 0);
    ASSERT_TRUE(server->CreateTimer(rec, false, PRIORITY_NORMAL, &timers[100]));
    EXPECT_EQ(timers[100]->GetSignalValue(), 85u + 100);
    server->DestroyTimer(timers.back());
    ASSERT_TRUE(server->CreateTimer(rec, false, PRIORITY_NORMAL, &timers.back()));
    EXPECT_EQ(timers.back()->GetSignalValue(), 85u + TIMER_MAX - 1);
    for (ITimer* t : timers) server->DestroyTimer(t);
}

}  // namespace
