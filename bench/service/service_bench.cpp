// The service as a whole, against floors measured in the same run:
//   - request round trip (median) against a bare UDP echo thread;
//   - sustained throughput of at-least-once requests, none lost;
//   - CPU time of the service while a full installation's tours step
//     (256 tours of 4 monitors; 8 tours of 128 monitors), as % of one core;
//   - step timing: how far each step lands from where the dwell times put it;
//   - resident memory with a full database.
// Runs itself inside private namespaces (the service's addresses are fixed).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "cameramessage.h"
#include "commencoder.h"
#include "harness.h"
#include "sysdefs.h"

using namespace std::chrono_literals;

namespace {

double g_echoMedian = 0, g_serviceMedian = 0;

std::string SmallDescription() {
    return "tour 1 logical 10001\n  step preset 1 dwell 5\npreset 1 logical 20001\n"
           "  element monitor 1 camera 1 preset 1\n  element monitor 2 camera 2 preset 1\n"
           "camera 1 logical 101\ncamera 2 logical 102\nmonitor 1 logical 201\nmonitor 2 logical 202\n";
}

// `tours` tours of `perTour` monitors each (distinct monitors), two steps of
// `dwell` seconds over two presets each; cameras 1..2047.
std::string FullDescription(int tours, int perTour, int dwell) {
    std::ostringstream d;
    for (int t = 1; t <= tours; ++t)
        d << "tour " << t << " logical " << 10000 + t << "\n  step preset " << t << " dwell " << dwell
          << "\n  step preset " << (t % 256) + 1 << " dwell " << dwell << "\n";
    for (int p = 1; p <= 256; ++p) {
        const int owner = tours >= 256 ? p : ((p - 1) % tours) + 1;
        d << "preset " << p << " logical " << 20000 + p << "\n";
        for (int e = 0; e < perTour; ++e)
            d << "  element monitor " << (owner - 1) * perTour + e + 1 << " camera " << (p * 7 + e) % 2047 + 1
              << " preset " << e % 8 + 1 << "\n";
    }
    for (int c = 1; c <= 2047; ++c) d << "camera " << c << " logical " << 100 + c << "\n";
    for (int m = 1; m <= 1024; ++m) d << "monitor " << m << " logical " << 200 + m << "\n";
    return d.str();
}

std::string CheckDatagram(unsigned short session) {
    CameraMessage m("GET", 1, 1, 0, 10000001, 0, 0);
    m.AddElement(new CameraVariableGroupMonitor(10010001, MON_TOUR_TYP_GRP, "", 0));
    std::string xml;
    m.SerializeElement(xml, 0);
    CommSession s(session, ACKNOWLEDGE_DEEP, TRANSMISSION_AT_LEAST_ONCE);
    CommTransaction t(OPCODE_CLIENT_REQUEST, 1, 1, 1, 0x7F000001ul, 5110);
    return CommEncoder(&s, &t, 1, xml).Msg();
}

int Socket() {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return s;
}

void SendTo(int s, unsigned short port, const std::string& b) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(s, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

bool Receive(int s, char* buf, size_t size, int ms) {
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return false;
    return recv(s, buf, size, 0) > 0;
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Floor: the same datagram through a bare UDP echo thread on loopback.
void BM_BareUdpEchoRoundTrip(benchmark::State& state) {
    const int server = Socket();
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(server, reinterpret_cast<sockaddr*>(&a), &len);
    const unsigned short port = ntohs(a.sin_port);
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        char buf[65536];
        while (!stop) {
            pollfd p{server, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            sockaddr_in from{};
            socklen_t fl = sizeof from;
            ssize_t n = recvfrom(server, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
            if (n > 0) sendto(server, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), fl);
        }
    });
    const int client = Socket();
    const std::string d = CheckDatagram(1);
    char buf[65536];
    std::vector<double> us;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        SendTo(client, port, d);
        if (!Receive(client, buf, sizeof buf, 1000)) state.SkipWithError("echo lost");
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    stop = true;
    echo.join();
    close(client);
    close(server);
    g_echoMedian = Median(us);
    state.counters["median_us"] = g_echoMedian;
}
BENCHMARK(BM_BareUdpEchoRoundTrip)->Iterations(20000)->UseRealTime();

std::unique_ptr<e2e::Installation> g_small;
e2e::Installation& Small() {
    if (!g_small) {
        e2e::Options o;
        o.description = SmallDescription();
        g_small = std::make_unique<e2e::Installation>(o);
    }
    return *g_small;
}

// A monitor-list check answered by the service (decode, dispatch, answer).
void BM_ServiceRoundTrip(benchmark::State& state) {
    Small();
    const int client = Socket();
    const std::string d = CheckDatagram(7);
    char buf[65536];
    std::vector<double> us;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        SendTo(client, 5110, d);
        if (!Receive(client, buf, sizeof buf, 2000)) {
            state.SkipWithError("no answer");
            break;
        }
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    close(client);
    g_serviceMedian = Median(us);
    state.counters["median_us"] = g_serviceMedian;
    state.counters["vs_echo"] = g_echoMedian > 0 ? g_serviceMedian / g_echoMedian : 0;
}
BENCHMARK(BM_ServiceRoundTrip)->Iterations(20000)->UseRealTime();

// Sustained at-least-once requests, a window of 64 in flight; every request
// must be answered (a lost one is re-sent after 1 s and counted).
void BM_ServiceThroughput(benchmark::State& state) {
    auto& in = Small();
    for (auto _ : state) {
        auto r = in.Burst(50000, 64, 1000ms, 120s);
        state.SetIterationTime(r.seconds);
        state.counters["requests_per_s"] = r.answered / r.seconds;
        state.counters["answered"] = static_cast<double>(r.answered);
        state.counters["resent"] = static_cast<double>(r.resent);
        if (r.answered != 50000) state.SkipWithError("requests lost");
    }
}
BENCHMARK(BM_ServiceThroughput)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

long ProcTicks(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    auto p = s.rfind(')');
    std::istringstream in(s.substr(p + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::atol(field.c_str());
        if (i == 15) stime = std::atol(field.c_str());
    }
    return utime + stime;
}

long RssKiB(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// Every tour of a full installation running; the service's CPU time over
// `seconds` while they step (monitor control answering everything). Tours
// are started `gapMs` apart so that their steps spread over the seconds: a
// step of several 128-monitor tours in one tick is a burst of datagrams larger
// than a default socket receive buffer of the monitor control process.
void Stepping(benchmark::State& state, int tours, int perTour, int dwell, int seconds, int gapMs) {
    g_small.reset();
    e2e::Options o;
    o.description = FullDescription(tours, perTour, dwell);
    e2e::Installation in(o);
    for (int t = 1; t <= tours; ++t) {
        in.Group(static_cast<unsigned long>(10000 + t), MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, 0x0101,
                 static_cast<unsigned short>((t - 1) * perTour + 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
    }
    std::this_thread::sleep_for(3s);
    const pid_t pid = in.Service().Pid();
    for (auto _ : state) {
        const size_t before = in.MonLogSize();
        const long t0 = ProcTicks(pid);
        const auto w0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
        const double cpu = static_cast<double>(ProcTicks(pid) - t0) / static_cast<double>(sysconf(_SC_CLK_TCK));
        state.SetIterationTime(wall);
        state.counters["cpu_percent"] = 100.0 * cpu / wall;
        state.counters["monitor_msgs_per_s"] = static_cast<double>(in.MonLogSize() - before) / wall;
        state.counters["rss_MiB"] = RssKiB(pid) / 1024.0;
    }
}
void BM_Stepping256ToursOf4(benchmark::State& s) { Stepping(s, 256, 4, 60, 20, 0); }
void BM_Stepping8ToursOf128(benchmark::State& s) { Stepping(s, 8, 128, 8, 20, 1000); }
BENCHMARK(BM_Stepping256ToursOf4)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_Stepping8ToursOf128)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// Step timing: five tours with dwell 2 s, steps timed by when monitor control
// receives their camera selects; the error is against the first step plus
// whole dwell periods (so drift accumulates into it).
void BM_StepTiming(benchmark::State& state) {
    const int seconds = static_cast<int>(state.range(0));
    g_small.reset();
    std::ostringstream d;
    for (int t = 1; t <= 5; ++t)
        d << "tour " << t << " logical " << 10000 + t << "\n  step preset " << t << " dwell 2\n  step preset " << t
          << " dwell 2\npreset " << t << " logical " << 20000 + t << "\n  element monitor " << t << " camera " << t
          << " preset 1\ncamera " << t << " logical " << 100 + t << "\n";
    e2e::Options o;
    o.description = d.str();
    e2e::Installation in(o);
    for (auto _ : state) {
        for (int t = 1; t <= 5; ++t)
            in.Group(static_cast<unsigned long>(10000 + t), MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, 0x0101,
                     static_cast<unsigned short>(t));
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        std::map<unsigned long, std::vector<long>> times;
        for (const auto& l : in.MonLog())
            if (l.dir == "in" && l.kind == "camera_select") times[l["monitor"]].push_back(static_cast<long>(l["ms"]));
        double worst = 0, sum = 0;
        long n = 0;
        for (auto& [m, ts] : times) {
            // Skip the first showing's select and the first timer re-show.
            if (ts.size() < 4) continue;
            const long base = ts[1];
            for (size_t i = 2; i < ts.size(); ++i) {
                const double err = std::abs(static_cast<double>(ts[i] - base) - 2000.0 * static_cast<double>(i - 1));
                worst = std::max(worst, err);
                sum += err;
                ++n;
            }
        }
        state.SetIterationTime(seconds);
        state.counters["steps"] = static_cast<double>(n);
        state.counters["worst_error_ms"] = worst;
        state.counters["mean_error_ms"] = n ? sum / n : 0;
    }
}
// 60 s by default; NUVAK_BENCH_STEP_SECONDS=600 gives the ten-minute run.
BENCHMARK(BM_StepTiming)
    ->Arg(std::getenv("NUVAK_BENCH_STEP_SECONDS") ? std::atoi(std::getenv("NUVAK_BENCH_STEP_SECONDS")) : 60)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// Resident memory with a full database (256 tours, 256 presets of 128
// elements, 2047 cameras, 1024 monitors) loaded and idle.
void BM_ResidentMemoryFullDatabase(benchmark::State& state) {
    g_small.reset();
    e2e::Options o;
    o.description = FullDescription(8, 128, 5);
    e2e::Installation in(o);
    for (auto _ : state) {
        state.counters["rss_MiB"] = RssKiB(in.Service().Pid()) / 1024.0;
    }
}
BENCHMARK(BM_ResidentMemoryFullDatabase)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    if (getenv("NUVAK_IN_NETNS") == nullptr || std::string(getenv("NUVAK_IN_NETNS")) != "1") {
        std::vector<char*> args;
        args.push_back(const_cast<char*>(NUVAK_NETNS_RUN));
        char self[4096];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0) return 1;
        self[n] = '\0';
        args.push_back(self);
        for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
        args.push_back(nullptr);
        execv(NUVAK_NETNS_RUN, args.data());
        std::perror("bench_service: cannot run " NUVAK_NETNS_RUN);
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_small.reset();
    if (g_echoMedian > 0 && g_serviceMedian > 0)
        std::printf("\nround trip median: service %.1f us, bare UDP echo %.1f us (ratio %.2f)\n", g_serviceMedian,
                    g_echoMedian, g_serviceMedian / g_echoMedian);
    return 0;
}
