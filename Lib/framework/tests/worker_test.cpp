// Workers and registration: queue order, removal, delivery rules, and the
// framework's client lifecycle.
#include <gtest/gtest.h>

#include "fwtestutil.h"

using fwtest::Client;
using fwtest::Event;
using fwtest::Recorder;

namespace {

class WorkerTest : public fwtest::LoopTest {};

using Events = std::vector<Event>;
Event S(unsigned int value) { return {EVENT_SOCKET, value}; }

TEST_F(WorkerTest, DeliversByPriorityThenInOrderOfArrival) {
    worker->AddEvent(PRIORITY_HIGH, 'a', rec, 0, EVENT_SOCKET);
    worker->AddEvent(PRIORITY_LOW, 'b', rec, 0, EVENT_SOCKET);
    worker->AddEvent(PRIORITY_HIGH, 'c', rec, 0, EVENT_IPC);
    worker->AddEvent(PRIORITY_NORMAL, 'd', rec, 0, EVENT_SOCKET);
    worker->DoEvents();
    EXPECT_TRUE(rec.events == (Events{S('a'), {EVENT_IPC, 'c'}, S('d'), S('b')}));
}

TEST_F(WorkerTest, RemoveEventTakesEveryMatchInOnePriorityOnly) {
    worker->AddEvent(PRIORITY_NORMAL, 7, rec, 0, EVENT_SOCKET);
    worker->AddEvent(PRIORITY_NORMAL, 8, rec, 0, EVENT_SOCKET);
    worker->AddEvent(PRIORITY_NORMAL, 7, rec, 0, EVENT_IPC);
    worker->AddEvent(PRIORITY_HIGH, 7, rec, 0, EVENT_SOCKET);
    worker->RemoveEvent(PRIORITY_NORMAL, 7);
    worker->DoEvents();
    EXPECT_TRUE(rec.events == (Events{S(7), S(8)}));
}

TEST_F(WorkerTest, MoreUrgentEventAddedDuringDeliveryWaitsForNextPass) {
    rec.hook = [&](EVENTTYPE, unsigned int v) {
        if (v == 1) worker->AddEvent(PRIORITY_HIGH, 2, rec, 0, EVENT_SOCKET);
        if (v == 1) worker->AddEvent(PRIORITY_LOW, 3, rec, 0, EVENT_SOCKET);
    };
    worker->AddEvent(PRIORITY_LOW, 1, rec, 0, EVENT_SOCKET);
    worker->DoEvents();
    EXPECT_TRUE(rec.events == (Events{S(1), S(3)}));
    worker->DoEvents();
    EXPECT_TRUE(rec.events == (Events{S(1), S(3), S(2)}));
}

TEST_F(WorkerTest, EventsOfDestroyedListenerAreDroppedOthersKept) {
    ASSERT_TRUE(server->CreateSignalListener(rec, PRIORITY_NORMAL, 0x500, 0xFFFFFFFF, 1));
    // Client id 0 is the listener's; an unknown client id is also dropped.
    worker->AddEvent(PRIORITY_NORMAL, 0x500, rec, 0, EVENT_SIGNAL);
    worker->AddEvent(PRIORITY_NORMAL, 0x501, rec, 99, EVENT_TIMER);
    worker->AddEvent(PRIORITY_NORMAL, 42, rec, 99, EVENT_SOCKET);  // not a signal: always delivered
    worker->DoEvents();
    const Events kept = {{EVENT_SIGNAL, 0x500}, S(42)};
    EXPECT_TRUE(rec.events == kept);
    worker->AddEvent(PRIORITY_NORMAL, 0x500, rec, 0, EVENT_SIGNAL);
    server->DestroySignalListener(0x500);
    server->DestroySignalListener(0x777);  // unknown: nothing happens
    worker->DoEvents();
    EXPECT_TRUE(rec.events == kept);
}

TEST(WorkerDeathTest, OutOfRangePriorityAndNullOutPointersAreProgrammingErrors) {
    // Built in the dying child only: the framework reaps children on SIGCHLD.
    auto server = [] {
        IFrameWorkServer* s = nullptr;
        CreateFrameWork()->Register(*new Client, &s);
        return s;
    };
    Recorder r;
    EXPECT_DEATH(dynamic_cast<IWorker*>(server())->AddEvent(PRIORITY_END, 1, r, 0, EVENT_SOCKET),
                 "priority < PRIORITY_END");
    EXPECT_DEATH(server()->CreateTimer(r, false, PRIORITY_NORMAL, nullptr), "pTimer != nullptr");
    EXPECT_DEATH(CreateFrameWork()->Register(*new Client, nullptr), "ppServer != nullptr");
}

TEST(FrameWorkLifecycle, SingletonRegistrationAndTermination) {
    IFrameWork* fw = CreateFrameWork();
    EXPECT_EQ(fw, CreateFrameWork());
    EXPECT_EQ(fw->GetProcessId(), static_cast<unsigned int>(getpid()));
    Client a, b, late;
    IFrameWorkServer *sa = nullptr, *sb = nullptr, *slate = nullptr;
    ASSERT_TRUE(fw->Register(a, &sa));
    ASSERT_TRUE(fw->Register(b, &sb));
    EXPECT_TRUE(fw->UnRegister(nullptr));
    EXPECT_TRUE(fw->UnRegister(sb));
    EXPECT_FALSE(fw->UnRegister(sb));  // no longer registered

    // A client registered while the loop runs gets no OnInit().
    a.onInit = [&] {
        fw->Register(late, &slate);
        fwtest::StopLoop();
    };
    EXPECT_TRUE(fw->Run());
    EXPECT_EQ(a.inits, 1);
    EXPECT_EQ(late.inits, 0);
    DestroyFrameWork();
    EXPECT_EQ(a.terms, 1);
    EXPECT_EQ(late.terms, 1);
    EXPECT_EQ(b.terms, 1);  // once, when unregistered
}

// The framework's own observer stops the loop on signal value 2 (SIGINT) or
// 3 only, after the pass that asked: every worker finishes that pass.
TEST(FrameWorkLifecycle, StopAskedInAPassLetsEveryWorkerFinishIt) {
    IFrameWork* fw = CreateFrameWork();
    auto* obs = dynamic_cast<IFrameWorkObserver*>(fw);
    ASSERT_NE(obs, nullptr);
    EXPECT_TRUE(obs->OnEvent(EVENT_SIGNAL, 1));
    EXPECT_FALSE(obs->OnEvent(EVENT_TIMER, 2));
    EXPECT_FALSE(obs->OnEvent(static_cast<EVENTTYPE>(17), 2));  // unknown type: ignored
    Client a, b;
    IFrameWorkServer *sa = nullptr, *sb = nullptr;
    ASSERT_TRUE(fw->Register(a, &sa));
    ASSERT_TRUE(fw->Register(b, &sb));
    Recorder ra, rb;
    ra.hook = rb.hook = [obs](EVENTTYPE, unsigned int) { obs->OnEvent(EVENT_SIGNAL, 3); };
    ASSERT_TRUE(sa->CreateSignalListener(ra, PRIORITY_HIGH, 0x100, 0xFFFFFF00, 1));
    dynamic_cast<IWorker*>(sa)->AddEvent(PRIORITY_LOW, 1, ra, 0, EVENT_SOCKET);
    dynamic_cast<IWorker*>(sb)->AddEvent(PRIORITY_LOW, 2, rb, 0, EVENT_SOCKET);
    dynamic_cast<IWorker*>(sa)->AddEvent(PRIORITY_LOW, 3, ra, 0, EVENT_SOCKET);
    fwtest::QueueValue(getpid(), 0x101);
    fwtest::QueueValue(getpid(), 0x102);  // for a second pass, which never comes
    fwtest::Watchdog dog(60);
    EXPECT_TRUE(fw->Run());
    EXPECT_TRUE(ra.events == (Events{{EVENT_SIGNAL, 0x101}, S(1), S(3)}));
    EXPECT_EQ(rb.events.size(), 1u);
    DestroyFrameWork();
}

TEST_F(WorkerTest, ObserverMayUnregisterItsOwnClientAndLeftoversAreReleased) {
    // The client leaves a listener and a timer behind when unregistered.
    ASSERT_TRUE(server->CreateSignalListener(rec, PRIORITY_HIGH, 0x900, 0xFFFFFF00, 1));
    ITimer* timer = nullptr;
    ASSERT_TRUE(server->CreateTimer(rec, true, PRIORITY_NORMAL, &timer));
    unsigned int v;
    ASSERT_TRUE(timer->Start(100, &v));
    rec.hook = [&](EVENTTYPE, unsigned int value) {
        if (value == 0x901) {
            EXPECT_TRUE(fw->UnRegister(server));
            fwtest::QueueValue(getpid(), 0x902);  // nobody takes it any more
            fwtest::QueueValue(getpid(), 0x10);   // a value that stops nothing
            fwtest::StopLoop();
        }
    };
    worker->AddEvent(PRIORITY_LOW, 0x9FF, rec, 0, EVENT_SOCKET);
    fwtest::QueueValue(getpid(), 0x901);
    fwtest::Watchdog dog(60);
    EXPECT_TRUE(fw->Run());
    ASSERT_GE(rec.events.size(), 1u);
    EXPECT_EQ(rec.events.back().value, 0x901u);  // the LOW event after it was not delivered
    DestroyFrameWork();
    EXPECT_EQ(client.terms, 1);  // once, when unregistered
}

}  // namespace
