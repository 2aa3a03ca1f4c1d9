// Cost of one queued signal value from sigqueue to a delivered OnEvent.
//
// Framework: sigqueue to the process itself -> Signal_Handler stores the
// value in the ring and posts the wake semaphore -> the run loop wakes,
// ProcessSignal hands the value to the listener -> AddEvent -> DoEvents ->
// OnEvent, which queues the next value. One iteration per delivered event.
//
// Floor: the same signal and value with the signal blocked, taken back with
// sigwaitinfo: the kernel's part of the path and nothing else.
//
// Run (in private namespaces: the framework attaches the IPC table, key 0x1009):
//   scripts/netns-run.sh build/bench/framework/bench_framework
//       --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
#include <signal.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "framework.h"

namespace {

class Pump : public IFrameWorkClient, public IFrameWorkObserver {
public:
    explicit Pump(benchmark::State& state) : state_(state) {}
    bool OnEvent(EVENTTYPE, unsigned int value) override {
        benchmark::DoNotOptimize(value);
        Next();
        return true;
    }
    void Next() {
        if (state_.KeepRunning()) {
            union sigval sv;
            sv.sival_int = 0x1063;
            sigqueue(getpid(), FrameWorkSignal(), sv);
        } else {
            kill(getpid(), SIGINT);
        }
    }

private:
    benchmark::State& state_;
};

void BM_FrameworkSignalToOnEvent(benchmark::State& state) {
    IFrameWork* fw = CreateFrameWork();
    Pump pump(state);
    IFrameWorkServer* server = nullptr;
    if (!fw->Register(pump, &server) ||
        !server->CreateSignalListener(pump, PRIORITY_NORMAL, 0x1063, 0xFFFFFFFF, 0)) {
        state.SkipWithError("framework setup failed");
        DestroyFrameWork();
        return;
    }
    pump.Next();
    fw->Run();
    server->DestroySignalListener(0x1063);
    fw->UnRegister(server);
    DestroyFrameWork();
}
BENCHMARK(BM_FrameworkSignalToOnEvent);

void BM_FloorSigqueueSigwaitinfo(benchmark::State& state) {
    const int sig = FrameWorkSignal();
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &old);
    const pid_t self = getpid();
    siginfo_t info;
    for (auto _ : state) {
        union sigval sv;
        sv.sival_int = 0x1063;
        sigqueue(self, sig, sv);
        sigwaitinfo(&set, &info);
        benchmark::DoNotOptimize(info.si_value.sival_int);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
}
BENCHMARK(BM_FloorSigqueueSigwaitinfo);

}  // namespace

BENCHMARK_MAIN();
