// Comm protocol benchmarks: one request/response through CommClient ->
// CommServer (a user that answers at once) on loopback, against bare UDP
// echo pairs measured in the same run (the floor); sustained throughput with
// a window of requests in flight; exactly-once requests at a fixed rate.
//
// The framework attaches the IPC address table (key 0x1009), so the program
// re-runs itself inside private namespaces (scripts/netns-run.sh) unless it
// already is in one. Ports are chosen by the kernel.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "framework.h"
#include "icommclient.h"
#include "icommserver.h"
#include "netns.h"

namespace {

constexpr unsigned long kLo = 0x7F000001ul;

double NowUs() {
    using namespace std::chrono;
    return duration<double, std::micro>(steady_clock::now().time_since_epoch()).count();
}

void Report(benchmark::State& state, std::vector<double>& rtt) {
    if (rtt.empty()) return;
    std::sort(rtt.begin(), rtt.end());
    auto pct = [&](double p) { return rtt[std::min(rtt.size() - 1, static_cast<std::size_t>(p / 100.0 * rtt.size()))]; };
    state.counters["p50_us"] = pct(50);
    state.counters["p90_us"] = pct(90);
    state.counters["p99_us"] = pct(99);
    state.counters["max_us"] = rtt.back();
    double sum = 0;
    for (double v : rtt) sum += v;
    state.counters["mean_us"] = sum / static_cast<double>(rtt.size());
}

// Results kept for the closing summary.
double g_floorSingle = 0, g_floorThreads = 0, g_commMedian = 0;

// ---- floor: bare UDP ----

int UdpSocket(unsigned short& port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLo);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

sockaddr_in To(unsigned short port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLo);
    a.sin_port = htons(port);
    return a;
}

const std::string kPayload(220, 'x');  // about the size of a group request's header and XML

// One thread, two sockets: the same work as the comm pair on one loop,
// without the protocol.
void BM_FloorUdpOneThread(benchmark::State& state) {
    unsigned short pa = 0, pb = 0;
    const int a = UdpSocket(pa), b = UdpSocket(pb);
    const sockaddr_in toA = To(pa), toB = To(pb);
    char buf[2048];
    std::vector<double> rtt;
    for (auto _ : state) {
        const double t0 = NowUs();
        sendto(a, kPayload.data(), kPayload.size(), 0, reinterpret_cast<const sockaddr*>(&toB), sizeof toB);
        recv(b, buf, sizeof buf, 0);
        sendto(b, kPayload.data(), kPayload.size(), 0, reinterpret_cast<const sockaddr*>(&toA), sizeof toA);
        recv(a, buf, sizeof buf, 0);
        rtt.push_back(NowUs() - t0);
    }
    Report(state, rtt);
    g_floorSingle = state.counters["p50_us"];
    close(a);
    close(b);
}
BENCHMARK(BM_FloorUdpOneThread)->MinTime(1.0)->UseRealTime();

// An echo thread: the usual client/server floor (two cores).
void BM_FloorUdpEchoThread(benchmark::State& state) {
    unsigned short pa = 0, pb = 0;
    const int a = UdpSocket(pa), b = UdpSocket(pb);
    const sockaddr_in toB = To(pb);
    std::thread echo([b] {
        char buf[2048];
        for (;;) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = recvfrom(b, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 1) return;
            sendto(b, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    });
    char buf[2048];
    std::vector<double> rtt;
    for (auto _ : state) {
        const double t0 = NowUs();
        sendto(a, kPayload.data(), kPayload.size(), 0, reinterpret_cast<const sockaddr*>(&toB), sizeof toB);
        recv(a, buf, sizeof buf, 0);
        rtt.push_back(NowUs() - t0);
    }
    sendto(a, "q", 1, 0, reinterpret_cast<const sockaddr*>(&toB), sizeof toB);
    echo.join();
    Report(state, rtt);
    g_floorThreads = state.counters["p50_us"];
    close(a);
    close(b);
}
BENCHMARK(BM_FloorUdpEchoThread)->MinTime(1.0)->UseRealTime();

// ---- the comm pair on one framework loop ----

class Answerer : public ICommServerUser {
public:
    void OnRequest(std::string data) override {
        ++delivered;
        if (countPerRequest) ++seen[data];
        server->SendResponse(0, ACKNOWLEDGE_DEEP, data);
    }
    ICommServer* server = nullptr;
    unsigned long delivered = 0;
    bool countPerRequest = false;
    std::unordered_map<std::string, int> seen;
};

// Everything one benchmark run needs: a fresh framework, a server, a client,
// and a driver that sends from the loop and stops it when done.
class Rig : public IFrameWorkClient, public IFrameWorkObserver, public ICommClientUser {
public:
    Rig() {
        fw = CreateFrameWork();
        unsigned short err = 0;
        server = CreateCommServerStandalone(*fw, answerer, 2, 0, err, 1, 1500);
        ok = server != nullptr && err == 0;
        answerer.server = server;
        client = CreateCommClientStandalone(*fw, nullptr, 1, 0, err, 3, 1000);
        ok = ok && client != nullptr && err == 0;
        serverPort = static_cast<unsigned short>(GetCommServerPort(server));
        ok = ok && fw->Register(*this, &worker) && worker->CreateTimer(*this, true, PRIORITY_NORMAL, &timer);
    }
    ~Rig() override {
        if (timer != nullptr) worker->DestroyTimer(timer);
        if (worker != nullptr) fw->UnRegister(worker);
        if (client != nullptr) DestroyCommClient(&client);
        if (server != nullptr) DestroyCommServer(&server);
        DestroyFrameWork();
    }
    void Stop() {
        if (!stopping) kill(getpid(), SIGINT);
        stopping = true;
    }
    bool Send(TRANSMISSION_TYPE trans, const std::string& data) {
        sendTimes.push_back(NowUs());
        return client->SendRequest(this, kLo, serverPort, trans, ACKNOWLEDGE_DEEP, data) != 0;
    }
    void OnInit() override {
        unsigned int v = 0;
        timer->Start(100, &v);
        if (onStart) onStart();
    }
    bool OnEvent(EVENTTYPE type, unsigned int value) override {
        if (type == EVENT_TIMER && timer != nullptr && value == timer->GetSignalValue() && onTick) onTick();
        return true;
    }
    void OnResponse(unsigned short, std::string data) override {
        if (data.empty())
            ++lost;
        else
            ++answered;
        if (onAnswer) onAnswer(data);
    }

    IFrameWork* fw = nullptr;
    ICommServer* server = nullptr;
    ICommClient* client = nullptr;
    Answerer answerer;
    IFrameWorkServer* worker = nullptr;
    ITimer* timer = nullptr;
    unsigned short serverPort = 0;
    bool ok = false, stopping = false;
    unsigned long answered = 0, lost = 0;
    std::vector<double> sendTimes;
    std::function<void()> onStart, onTick;
    std::function<void(const std::string&)> onAnswer;
};

// One request at a time: round trip through both comm endpoints.
void BM_CommRoundTrip(benchmark::State& state) {
    const auto trans = static_cast<TRANSMISSION_TYPE>(state.range(0));
    Rig rig;
    if (!rig.ok) {
        state.SkipWithError("rig");
        return;
    }
    std::vector<double> rtt;
    double t0 = 0;
    unsigned long seq = 0;
    auto next = [&] {
        if (!state.KeepRunning()) {
            rig.Stop();
            return;
        }
        t0 = NowUs();
        rig.client->SendRequest(&rig, kLo, rig.serverPort, trans, ACKNOWLEDGE_DEEP, kPayload + std::to_string(++seq));
    };
    rig.onStart = next;
    rig.onAnswer = [&](const std::string&) {
        rtt.push_back(NowUs() - t0);
        next();
    };
    rig.fw->Run();
    Report(state, rtt);
    state.counters["lost"] = static_cast<double>(rig.lost);
    if (trans == TRANSMISSION_EXACTLY_ONCE) g_commMedian = state.counters["p50_us"];
}
BENCHMARK(BM_CommRoundTrip)->Arg(TRANSMISSION_EXACTLY_ONCE)->Arg(TRANSMISSION_AT_LEAST_ONCE)->MinTime(1.0)->UseRealTime();

// A window of requests in flight for two seconds: exchanges per second.
void BM_CommThroughput(benchmark::State& state) {
    const auto trans = static_cast<TRANSMISSION_TYPE>(state.range(0));
    const int window = static_cast<int>(state.range(1));
    for (auto _ : state) {
        Rig rig;
        if (!rig.ok) {
            state.SkipWithError("rig");
            return;
        }
        rig.answerer.countPerRequest = true;
        unsigned long seq = 0, refused = 0;
        double start = 0, end = 0;
        bool sending = true;
        auto send = [&] {
            if (!sending) return;
            if (!rig.Send(trans, kPayload + std::to_string(++seq))) ++refused;
        };
        rig.onStart = [&] {
            start = NowUs();
            for (int i = 0; i < window; ++i) send();
        };
        rig.onAnswer = [&](const std::string&) {
            send();
            if (!sending && rig.answered + rig.lost + refused >= seq) rig.Stop();
        };
        rig.onTick = [&] {
            if (sending && NowUs() - start > 2e6) {
                sending = false;
                end = NowUs();
            }
            if (!sending && NowUs() - end > 6e6) rig.Stop();  // after every retry
        };
        rig.fw->Run();
        const double secs = (end - start) / 1e6;
        int twice = 0;
        for (const auto& kv : rig.answerer.seen) twice += kv.second > 1;
        state.counters["exchanges_per_s"] = static_cast<double>(rig.answered) / secs;
        state.counters["lost"] = static_cast<double>(rig.lost + (seq - rig.answered - rig.lost - refused));
        state.counters["refused"] = static_cast<double>(refused);
        state.counters["acted_twice"] = twice;
        state.counters["stored_peak"] = static_cast<double>(GetCommServerStats(rig.server).storedPeak);
    }
}
BENCHMARK(BM_CommThroughput)
    ->Args({TRANSMISSION_AT_LEAST_ONCE, 16})
    ->Args({TRANSMISSION_EXACTLY_ONCE, 16})
    ->Args({TRANSMISSION_EXACTLY_ONCE, 64})
    ->Iterations(1)
    ->UseRealTime();

// Exactly once at a fixed offered rate for five seconds (released each
// 100 ms tick): answered in full, none acted on twice.
void BM_CommExactlyOnceRate(benchmark::State& state) {
    const double rate = static_cast<double>(state.range(0));
    for (auto _ : state) {
        Rig rig;
        if (!rig.ok) {
            state.SkipWithError("rig");
            return;
        }
        rig.answerer.countPerRequest = true;
        unsigned long seq = 0, refused = 0;
        double start = 0, credit = 0;
        bool sending = true;
        std::vector<double> rtt;
        std::unordered_map<std::string, double> sentAt;
        rig.onStart = [&] { start = NowUs(); };
        rig.onAnswer = [&](const std::string& data) {
            const auto it = sentAt.find(data);
            if (it != sentAt.end()) rtt.push_back(NowUs() - it->second);
            if (!sending && rig.answered + rig.lost + refused >= seq) rig.Stop();
        };
        rig.onTick = [&] {
            const double now = NowUs();
            if (sending) {
                credit += rate / 10.0;
                while (credit >= 1.0) {
                    credit -= 1.0;
                    const std::string p = kPayload + std::to_string(++seq);
                    sentAt[p] = NowUs();
                    if (!rig.Send(TRANSMISSION_EXACTLY_ONCE, p)) ++refused;
                }
                if (now - start > 5e6) sending = false;
            } else if (now - start > 12e6) {
                rig.Stop();
            }
        };
        rig.fw->Run();
        int twice = 0;
        for (const auto& kv : rig.answerer.seen) twice += kv.second > 1;
        Report(state, rtt);
        state.counters["offered_per_s"] = rate;
        state.counters["answered"] = static_cast<double>(rig.answered);
        state.counters["sent"] = static_cast<double>(seq);
        state.counters["lost"] = static_cast<double>(seq - rig.answered - refused);
        state.counters["refused"] = static_cast<double>(refused);
        state.counters["acted_twice"] = twice;
        state.counters["stored_peak"] = static_cast<double>(GetCommServerStats(rig.server).storedPeak);
    }
}
BENCHMARK(BM_CommExactlyOnceRate)->Arg(1000)->Arg(2500)->Arg(5000)->Arg(10000)->Arg(20000)->Arg(40000)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (!nuvak::bench::InPrivateNamespaces()) return nuvak::bench::ReRunInPrivateNamespaces(argc, argv, "bench_comm");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_commMedian > 0 && g_floorSingle > 0)
        std::printf("\nround trip median: comm %.1f us, bare UDP one thread %.1f us (ratio %.2f), "
                    "bare UDP echo thread %.1f us (ratio %.2f)\n",
                    g_commMedian, g_floorSingle, g_commMedian / g_floorSingle, g_floorThreads,
                    g_floorThreads > 0 ? g_commMedian / g_floorThreads : 0.0);
    return 0;
}
