// Comm protocol benchmarks: one request/response through CommClient ->
// CommServer (a user that answers at once) on loopback, against bare UDP
// echo pairs measured in the same run (the floor); sustained throughput with
// a window of requests in flight; exactly-once requests at a fixed rate.
//
// The framework attaches the IPC address table (key 0x1009), so the program
// re-runs itself inside private namespaces (scripts/netns-run.sh) unless it
// already is in one. Ports are chosen by the kernel.
#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <cstring>
#include <deque>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "commencoder.h"
#include "commheaderutility.h"
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

// ---- many requesting units against one server ----

// A requesting unit without a comm client, for loads no single client can
// offer: one UDP socket bound to its own loopback address (127.0.1.K), sending
// exactly-once requests at a fixed rate with session ids 1..65535 in turn
// and transaction ids
// 1..64 (none comes round within the server's 4.3 s hold at these rates) and,
// when `repeats`, repeating a request unanswered after a second up to 3
// times, as the comm client does. Payload "K-SEQ-" padded to a group
// request's size.
class LoadUnit {
public:
    LoadUnit(int index, unsigned long ipa, double rate, unsigned short serverPort, bool repeats)
        : index_(index), rate_(rate), repeats_(repeats), fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
        int big = 8 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(static_cast<uint32_t>(ipa));
        ok = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        fcntl(fd_, F_SETFL, O_NONBLOCK);
        to_ = To(serverPort);
    }
    ~LoadUnit() { close(fd_); }
    // Sends what is due by `elapsedS`, takes the answers, repeats the late.
    void Step(double elapsedS, bool sending, double nowMs) {
        while (sending && static_cast<double>(seq_) < elapsedS * rate_) {
            first_.push_back(nowMs);
            last_.push_back(nowMs);
            copies_.push_back(1);
            done_.push_back(0);
            open_.push_back(seq_);
            Send(seq_++, 0);
        }
        char buf[2048];
        for (ssize_t n; (n = recv(fd_, buf, sizeof buf, 0)) > 0;) {
            const std::string text(buf, static_cast<std::size_t>(n));
            const std::string data = CommHeaderUtility::decodeData(text);
            const auto dash = data.find('-');
            const unsigned long i = dash == std::string::npos ? ~0ul : std::strtoul(data.c_str() + dash + 1, nullptr, 10);
            if (i >= done_.size() || done_[i] != 0) continue;
            done_[i] = 1;
            ++answered;
            if (copies_[i] == 1) ++answeredFirst;
        }
        if (nowMs - lastScan_ < 100) return;
        lastScan_ = nowMs;
        while (!open_.empty() && done_[open_.front()] != 0) open_.pop_front();
        for (unsigned long i : open_) {
            if (done_[i] != 0 || nowMs - last_[i] < 1000) continue;
            if (!repeats_ || copies_[i] > 3) {
                done_[i] = 2;
                ++unanswered;
                continue;
            }
            last_[i] = nowMs;
            ++repeated;
            Send(i, copies_[i]++);
        }
    }
    bool Settled() const {
        for (unsigned long i : open_)
            if (done_[i] == 0) return false;
        return true;
    }
    unsigned long Sent() const { return seq_; }
    bool ok = false;
    unsigned long answered = 0, answeredFirst = 0, unanswered = 0, repeated = 0;

private:
    void Send(unsigned long i, unsigned short copy) {
        CommSession s(static_cast<unsigned short>(i % 65535 + 1), ACKNOWLEDGE_DEEP, TRANSMISSION_EXACTLY_ONCE);
        const OPCODE_TYPE op = copy == 0 ? OPCODE_CLIENT_REQUEST : copy < 3 ? OPCODE_CLIENT_RETRANSMIT : OPCODE_CLIENT_MAX_RETRY;
        // Session and transaction ids together name 4 million requests in turn.
        CommTransaction t(op, static_cast<unsigned short>(i / 65535 % 64 + 1), static_cast<unsigned short>(10 + index_),
                          0, 0, 0);
        std::string payload = std::to_string(index_) + "-" + std::to_string(i) + "-";
        payload.resize(220, 'x');
        const CommEncoder e(&s, &t, copy, payload);
        sendto(fd_, e.Msg().data(), e.Msg().size(), 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_);
    }
    int index_;
    double rate_;
    bool repeats_;
    int fd_;
    sockaddr_in to_{};
    unsigned long seq_ = 0;
    double lastScan_ = 0;
    std::vector<double> first_, last_;
    std::vector<unsigned short> copies_;
    std::vector<unsigned char> done_;  // 0 open, 1 answered, 2 given up
    std::deque<unsigned long> open_;
};

// Counts every request it acts on, per unit and sequence number, and answers
// with the payload.
class CountingUser : public ICommServerUser {
public:
    void OnRequest(std::string data) override {
        const int unit = std::atoi(data.c_str());
        const auto dash = data.find('-');
        const unsigned long i = std::strtoul(data.c_str() + dash + 1, nullptr, 10);
        if (unit >= 0 && unit < static_cast<int>(acted.size())) {
            if (acted[unit].size() <= i) acted[unit].resize(i + 1 + (i >> 1), 0);
            if (++acted[unit][i] == 2) ++twice;
        }
        server->SendResponse(0, ACKNOWLEDGE_DEEP, data);
    }
    ICommServer* server = nullptr;
    std::vector<std::vector<unsigned char>> acted;
    unsigned long twice = 0;
};

long RssKb(const char* field) {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return 0;
    char line[256];
    long kb = 0;
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::strncmp(line, field, std::strlen(field)) == 0) kb = std::atol(line + std::strlen(field));
    std::fclose(f);
    return kb;
}

double ThreadCpuS() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The server on this thread's framework loop; the units on a thread of
// their own (every signal blocked there, so that the framework's reach the
// loop), stepping every millisecond for `seconds`, then until every request
// is answered or given up (at most 6 s more).
struct UnitsRun {
    double serverCpuS = 0, wallS = 0, unitsCpuS = 0;
    CommServerStats stats;
    unsigned long twice = 0;
    long rssBeforeKb = 0, rssPeakKb = 0;
};

// Each unit: its rate, and whether it repeats unanswered requests.
UnitsRun RunUnits(std::vector<std::unique_ptr<LoadUnit>>& units, const std::vector<std::pair<double, bool>>& sendingUnits, double seconds,
                  CountingUser& user, const std::function<void(ICommServer*)>& setup = nullptr) {
    UnitsRun r;
    IFrameWork* fw = CreateFrameWork();
    unsigned short err = 0;
    ICommServer* server = CreateCommServerStandalone(*fw, user, 2, 0, err, 1, 1500);
    user.server = server;
    user.acted.assign(units.size(), {});
    if (setup) setup(server);
    const auto port = static_cast<unsigned short>(GetCommServerPort(server));
    std::atomic<bool> finished{false};
    class Watch : public IFrameWorkClient, public IFrameWorkObserver {
    public:
        explicit Watch(std::atomic<bool>& f) : f_(f) {}
        bool OnEvent(EVENTTYPE type, unsigned int) override {
            if (type == EVENT_TIMER && f_ && !stopping) {
                stopping = true;
                kill(getpid(), SIGINT);
            }
            return true;
        }
        std::atomic<bool>& f_;
        bool stopping = false;
    } watch(finished);
    IFrameWorkServer* worker = nullptr;
    ITimer* timer = nullptr;
    fw->Register(watch, &worker);
    worker->CreateTimer(watch, true, PRIORITY_NORMAL, &timer);
    unsigned int v = 0;
    timer->Start(100, &v);
    for (auto& u : units) u = nullptr;
    r.rssBeforeKb = RssKb("VmRSS:");
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    std::thread load([&] {
        const double t0 = NowUs();
        std::vector<std::unique_ptr<LoadUnit>> made;
        for (std::size_t k = 0; k < sendingUnits.size(); ++k) {
            made.push_back(std::make_unique<LoadUnit>(static_cast<int>(k), 0x7F000101ul + k, sendingUnits[k].first,
                                                      port, sendingUnits[k].second));
        }
        double settleUntil = 0;
        for (;;) {
            const double now = NowUs();
            const double el = (now - t0) / 1e6;
            const bool sending = el < seconds;
            for (auto& u : made) u->Step(el, sending, now / 1000.0);
            if (!sending) {
                if (settleUntil == 0) settleUntil = el + 6;
                bool settled = true;
                for (auto& u : made) settled = settled && u->Settled();
                if (settled || el > settleUntil) break;
            }
            usleep(500);
        }
        r.unitsCpuS = ThreadCpuS();
        for (std::size_t k = 0; k < made.size(); ++k) units[k] = std::move(made[k]);
        finished = true;
    });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    const double c0 = ThreadCpuS(), w0 = NowUs();
    fw->Run();
    r.serverCpuS = ThreadCpuS() - c0;
    r.wallS = (NowUs() - w0) / 1e6;
    load.join();
    r.stats = GetCommServerStats(server);
    r.twice = user.twice;
    r.rssPeakKb = RssKb("VmHWM:");
    worker->DestroyTimer(timer);
    fw->UnRegister(worker);
    DestroyCommServer(&server);
    DestroyFrameWork();
    return r;
}

// Sustained exactly once from 7 units (127.0.1.1-7) at a total rate for a
// time: none refused, none acted on twice; the server's CPU and memory.
void BM_CommExactlyOnceSevenUnits(benchmark::State& state) {
    const double total = static_cast<double>(state.range(0)), seconds = static_cast<double>(state.range(1));
    for (auto _ : state) {
        std::vector<std::unique_ptr<LoadUnit>> units(7);
        CountingUser user;
        const UnitsRun r = RunUnits(units, std::vector<std::pair<double, bool>>(7, {total / 7, true}), seconds, user);
        unsigned long sent = 0, answered = 0, unanswered = 0, repeated = 0;
        for (auto& u : units) {
            if (!u) continue;
            sent += u->Sent(), answered += u->answered, unanswered += u->unanswered, repeated += u->repeated;
        }
        const double handled = static_cast<double>(r.stats.received);
        state.counters["offered_per_s"] = total;
        state.counters["sent"] = static_cast<double>(sent);
        state.counters["answered"] = static_cast<double>(answered);
        state.counters["unanswered"] = static_cast<double>(unanswered);
        state.counters["repeats_sent"] = static_cast<double>(repeated);
        state.counters["refused"] = static_cast<double>(r.stats.refusedFull + r.stats.refusedShare);
        state.counters["acted_twice"] = static_cast<double>(r.twice);
        state.counters["delivered"] = static_cast<double>(r.stats.delivered);
        state.counters["server_cpu_pct"] = 100.0 * r.serverCpuS / r.wallS;
        state.counters["server_us_per_req"] = handled > 0 ? r.serverCpuS * 1e6 / handled : 0;
        state.counters["load_cpu_pct"] = 100.0 * r.unitsCpuS / r.wallS;
        state.counters["stored_peak"] = static_cast<double>(r.stats.storedPeak);
        state.counters["rss_growth_mb"] = static_cast<double>(r.rssPeakKb - r.rssBeforeKb) / 1024.0;
        state.counters["rss_peak_mb"] = static_cast<double>(r.rssPeakKb) / 1024.0;
    }
}
BENCHMARK(BM_CommExactlyOnceSevenUnits)->Args({20000, 60})->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// A well-behaved unit (100 requests/s) while another address floods the
// same server with distinct exactly-once requests at 50,000/s (never
// repeated): how many of the well-behaved unit's requests are refused (not
// answered on the first copy), and how much the flood takes.
void BM_CommFairShareUnderFlood(benchmark::State& state) {
    const double seconds = static_cast<double>(state.range(0));
    for (auto _ : state) {
        std::vector<std::unique_ptr<LoadUnit>> units(2);
        CountingUser user;
        const UnitsRun r = RunUnits(units, {{100, true}, {50000, false}}, seconds, user);
        if (!units[0] || !units[1]) {
            state.SkipWithError("units");
            return;
        }
        const LoadUnit& good = *units[0];
        const LoadUnit& flood = *units[1];
        state.counters["good_sent"] = static_cast<double>(good.Sent());
        state.counters["good_refused_ratio"] =
            good.Sent() > 0 ? static_cast<double>(good.Sent() - good.answeredFirst) / static_cast<double>(good.Sent()) : 0;
        state.counters["good_unanswered"] = static_cast<double>(good.unanswered);
        state.counters["flood_sent_per_s"] = static_cast<double>(flood.Sent()) / seconds;
        state.counters["flood_answered_per_s"] = static_cast<double>(flood.answered) / seconds;
        state.counters["reached_server_per_s"] =
            static_cast<double>(r.stats.received + r.stats.dropped + r.stats.droppedAnswers) / seconds;
        state.counters["refused"] = static_cast<double>(r.stats.refusedFull + r.stats.refusedShare);
        state.counters["acted_twice"] = static_cast<double>(r.twice);
        state.counters["server_cpu_pct"] = 100.0 * r.serverCpuS / r.wallS;
        state.counters["server_us_per_req"] =
            r.stats.received > 0 ? r.serverCpuS * 1e6 / static_cast<double>(r.stats.received) : 0;
        state.counters["stored_peak"] = static_cast<double>(r.stats.storedPeak);
        state.counters["rss_peak_mb"] = static_cast<double>(r.rssPeakKb) / 1024.0;
    }
}
BENCHMARK(BM_CommFairShareUnderFlood)->Arg(20)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

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
