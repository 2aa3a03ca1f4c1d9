// Signals: the value ring, listener ranges, and queued values
// sent by other processes travelling the real signal path to OnEvent.
#include <gtest/gtest.h>

#include <algorithm>

#include "fwtestutil.h"
#include "sigq.h"
#include "timermgt.h"

using fwtest::Event;

namespace {

// Capacity and order of the framework's own ring: RingHoldsTheFirst1023ValuesOfABurst.
TEST(SignalRing, WrapsAroundAndSkipsPurgedValues) {
    T_SIGQ* ring = SIGQ_alloc(4);  // holds three values
    std::uint32_t v = 99;
    std::vector<std::uint32_t> got;
    for (int round = 0; round < 3; ++round) {
        for (std::uint32_t x : {7u, 8u, 7u, 9u}) SIGQ_put(ring, x);  // 9: full, lost
        SIGQ_purge(ring, 7);
        while (SIGQ_get(ring, &v)) got.push_back(v);
    }
    EXPECT_EQ(got, (std::vector<std::uint32_t>{8, 8, 8}));
    EXPECT_EQ(v, 0u);  // read from the empty ring
    SIGQ_free(ring);

    T_SIGQ* tiny = SIGQ_alloc(0);  // at least two slots: one value fits
    EXPECT_EQ(SIGQ_put(tiny, 1), 0xFFFF);
    EXPECT_EQ(SIGQ_put(tiny, 2), 0);
    SIGQ_free(tiny);
    EXPECT_EQ(SIGQ_put(nullptr, 1), 0);
}

class SignalTest : public fwtest::LoopTest {};

TEST_F(SignalTest, ListenerRangesFollowValueAndMaskAndAreDumped) {
    using nuvak::fw::SignalHandler;
    SignalHandler health(*worker, rec, 0, PRIORITY_HIGH, 0xE800E800u, 0xFC00FC00u, EVENT_SIGNAL,
                         nullptr, 1);
    EXPECT_FALSE(health.HandleSignal(0xE800E7FFu));
    EXPECT_TRUE(health.HandleSignal(0xE800E800u));
    EXPECT_TRUE(health.HandleSignal(0xE9000000u));  // inside the interval, not the bit pattern
    EXPECT_TRUE(health.HandleSignal(0xEBFFEBFFu));
    EXPECT_FALSE(health.HandleSignal(0xEBFFEC00u));

    SignalHandler update(*worker, rec, 0, PRIORITY_LOW, 4195, 0xFFFFFFFFu, EVENT_SIGNAL, nullptr, 0);
    EXPECT_TRUE(update.HandleSignal(0x00011063u));  // cut to 16 bits
    EXPECT_FALSE(update.HandleSignal(4196));

    ASSERT_TRUE(server->CreateSignalListener(rec, PRIORITY_LOW, 4195, 0xFFFFFFFF, 0));
    EXPECT_FALSE(server->CreateSignalListener(rec, PRIORITY_LOW, 4195, 0xFFFFFFFF, 0));
    ASSERT_TRUE(server->CreateSignalListener(rec, PRIORITY_HIGH, 0xE800E800u, 0xFC00FC00u, 1));
    EXPECT_FALSE(server->CreateSignalListener(rec, PRIORITY_HIGH, 0xE9000000u, 0xFFFFFFFFu, 1));
    EXPECT_EQ(LastSetupError(), "CreateSignalListener(0xE9000000, mask 0xFFFFFFFF): collides with another listener");
    // Said once, however often the same failure is reported.
    EXPECT_TRUE(ReportSetupFailure("signal test: " + LastSetupError()));
    EXPECT_FALSE(ReportSetupFailure("signal test: " + LastSetupError()));
    testing::internal::CaptureStdout();
    server->DumpSignalManager();  // in no particular order
    const std::string dump = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 2) << dump;
    EXPECT_NE(dump.find("Signal Type: 0, Signal Value: 0x1063\t\tSignal Mask: 0xffffffff\n"), std::string::npos);
    EXPECT_NE(dump.find("Signal Type: 0, Signal Value: 0xe800e800\t\tSignal Mask: 0xfc00fc00\n"), std::string::npos);
}

TEST_F(SignalTest, SigintByKillStopsSigintByQueueIsAValue) {
    ASSERT_TRUE(server->CreateSignalListener(rec, PRIORITY_NORMAL, 0x4000, 0xFFFFF000, 1));
    // SIGINT carrying a value is a queued value like any other.
    fwtest::QueueValue(getpid(), 0x4001, SIGINT);
    fwtest::QueueValue(getpid(), 0x4002);
    fwtest::QueueValue(getpid(), 0x4003);  // for a pass after the stop
    rec.hook = [&](EVENTTYPE, unsigned int v) {
        if (v == 0x4002) fwtest::StopLoop();
    };
    fwtest::Watchdog dog(60);
    EXPECT_TRUE(fw->Run());
    const std::vector<Event> expected = {{EVENT_SIGNAL, 0x4001}, {EVENT_SIGNAL, 0x4002}};
    EXPECT_TRUE(rec.events == expected);
    // A stop stays requested: a later Run() returns at once.
    EXPECT_TRUE(fw->Run());
    EXPECT_TRUE(rec.events == expected);
}

TEST_F(SignalTest, SigintByKillFromAnotherProcessEndsAnIdleLoop) {
    fwtest::Watchdog killer(1);  // the loop is idle by then
    EXPECT_TRUE(fw->Run());
}

TEST_F(SignalTest, RingHoldsTheFirst1023ValuesOfABurst) {
    ASSERT_TRUE(server->CreateSignalListener(rec, PRIORITY_NORMAL, 0x10000, 0xFFFF0000, 1));
    fwtest::InChild([] {
        for (unsigned int i = 1; i <= 1024; ++i) fwtest::QueueValue(getppid(), 0x10000 + i);
    });
    // After the 1023rd a marker: a kept 1024th would come before it.
    rec.hook = [&](EVENTTYPE, unsigned int v) {
        if (v == 0x10000 + 1023) fwtest::QueueValue(getpid(), 0x1FFFF);
        if (v == 0x1FFFF) fwtest::StopLoop();
    };
    fwtest::Watchdog dog(120);
    EXPECT_TRUE(fw->Run());
    ASSERT_EQ(rec.events.size(), 1024u);
    for (unsigned int i = 0; i < 1024; ++i) ASSERT_EQ(rec.events[i].value, i < 1023 ? 0x10000 + i + 1 : 0x1FFFF);
}

// A burst sent while the loop runs, mixed with values nobody takes and
// unrelated signals: nothing crashes, the order holds, the loop keeps up.
TEST_F(SignalTest, BurstWithUntakenValuesNeverStallsTheLoop) {
    ASSERT_TRUE(server->CreateSignalListener(rec, PRIORITY_LOW, 0x20000, 0xFFFF0000, 1));
    const pid_t parent = getpid();
    pid_t sender = -1;
    client.onInit = [&] {
        sender = fwtest::Spawn([parent] {
            for (unsigned int i = 1; i <= 3000; ++i) {
                fwtest::QueueValue(parent, 0x20000 + i);
                fwtest::QueueValue(parent, 0x70000 + i);  // no listener
                if (i % 500 == 0) kill(parent, SIGALRM);  // not from the interval timer: nothing
                if (i % 700 == 0) kill(parent, SIGHUP);   // ignored
            }
            for (int k = 0; k < 600; ++k) {
                usleep(100000);
                fwtest::QueueValue(parent, 0x2FFFF);
            }
        });
    };
    rec.hook = [&](EVENTTYPE, unsigned int v) {
        if (v == 0x2FFFF) fwtest::StopLoop();
    };
    fwtest::Watchdog dog(120);
    EXPECT_TRUE(fw->Run());
    kill(sender, SIGKILL);
    fwtest::SleepMs(100);
    ASSERT_GE(rec.events.size(), 2u);
    EXPECT_EQ(rec.events.back().value, 0x2FFFFu);
    for (size_t i = 1; i + 1 < rec.events.size(); ++i) {
        ASSERT_LT(rec.events[i - 1].value, rec.events[i].value);  // first in, first out
    }
    EXPECT_EQ(Timer_GetTick(), 0u);  // SIGALRM from kill drove no tick
}

TEST_F(SignalTest, ChildrenAreReapedEvenWhenTheirSignalsMerge) {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    for (int i = 0; i < 4; ++i) {
        if (fork() == 0) _exit(0);
    }
    // Until every child has ended; a zombie left behind would be reaped
    // here instead (a pid greater than 0).
    pid_t r = 0;
    for (int i = 0; i < 200 && (r = waitpid(-1, nullptr, WNOHANG)) == 0; ++i) fwtest::SleepMs(50);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(errno, ECHILD);
}

}  // namespace
