// Benchmarks of the real service with the installation's stand-ins (see
// tests/support/rig.h), each against a floor or peer measured in the
// same run:
//
//   latency     request-to-response of a check request (one at a time)
//               against a bare UDP echo process answering the same bytes;
//   throughput  at-least-once requests with a window in flight, distinct
//               sessions, no repeats (every unanswered one counts as lost),
//               against the echo process with the same window; then a
//               fixed number of them re-sent until answered (none may be
//               lost); then exactly-once requests offered at a fixed rate;
//   cpu         the service's CPU time (/proc/PID/stat) while every monitor of
//               a full installation is in a running tour (256 tours of 4
//               monitors; 8 tours of 128), against the same installation idle;
//   timing      five tours stepping by their dwell times: each step's time
//               against the time the dwell times give from the tour's first
//               timed step, and the drift over the window;
//   memory      VmRSS / VmHWM with a full database, before and while its
//               tours run, against the service with an empty database.
//
// Medians and percentiles go to standard output. The program re-runs itself
// inside private namespaces (scripts/netns-run.sh). Not run by ctest.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "commdecoder.h"
#include "netns.h"
#include "rig.h"
#include "sysdefs.h"

using namespace nuvak::rig;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Config {
    std::set<std::string> only;
    double minutes = 1.0;        // step timing window
    double cpuSeconds = 30.0;    // CPU window per scenario
    double rateSeconds = 10.0;   // exactly-once rate run
    double exactlyOnceRate = 5000;
    int latencySamples = 4000;
    unsigned long burstRequests = 50000;  // at-least-once run with re-sends
    int dwell = 1;               // dwell of every step in the cpu scenarios
};

double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double Pct(std::vector<double> v, double p) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(std::min<double>(static_cast<double>(v.size() - 1),
                                                             std::floor(p / 100.0 * static_cast<double>(v.size()))));
    return v[i];
}

std::string Cpu() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "?";
}

double LoadAverage() {
    double l = 0;
    std::ifstream("/proc/loadavg") >> l;
    return l;
}

// ---- the floor: a bare UDP echo process ----

// The signal-driven echo's wake-up: the handler only posts the semaphore, as
// the framework's does.
sem_t g_echoWake;
void EchoWake(int, siginfo_t*, void*) { sem_post(&g_echoWake); }

// A process that sends every datagram back. Blocking: it sleeps in
// recvfrom (the floor). Signal-driven: the socket's readiness raises a
// queued real-time signal whose handler posts a semaphore the loop waits on,
// then it reads until the socket is empty: the service's wake-up path
// without its protocol, a reference for where the time goes.
class Echo {
public:
    explicit Echo(bool signalDriven = false) {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        pid_ = fork();
        if (pid_ != 0) return;
        char buf[65536];
        if (signalDriven) {
            sem_init(&g_echoWake, 0, 0);
            struct sigaction sa {};
            sa.sa_sigaction = EchoWake;
            sa.sa_flags = SA_SIGINFO | SA_RESTART;
            sigemptyset(&sa.sa_mask);
            sigaction(SIGRTMAX - 25, &sa, nullptr);
            sigaction(SIGIO, &sa, nullptr);
            fcntl(fd_, F_SETSIG, SIGRTMAX - 25);
            fcntl(fd_, F_SETOWN, getpid());
            fcntl(fd_, F_SETFL, O_NONBLOCK | O_ASYNC);
        }
        for (;;) {
            if (signalDriven) {
                while (sem_wait(&g_echoWake) != 0) {
                }
            }
            for (;;) {
                sockaddr_in from{};
                socklen_t fl = sizeof from;
                const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
                if (n <= 0) break;
                sendto(fd_, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), fl);
            }
        }
    }
    ~Echo() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        close(fd_);
    }
    unsigned short Port() const { return port_; }

private:
    int fd_ = -1;
    unsigned short port_ = 0;
    pid_t pid_ = -1;
};

// One datagram from fd within `ms`; its size, 0 on time-out.
ssize_t RecvWithin(int fd, char* buf, std::size_t size, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return 0;
    return recv(fd, buf, size, 0);
}

bool SessionOf(const char* buf, ssize_t n, unsigned short& session, unsigned short& transaction) {
    CommDecoder dec(0x7F000001ul, 5110, static_cast<unsigned>(n), std::string(buf, static_cast<std::size_t>(n)));
    if (dec.ValidateErr() != 0) return false;
    session = dec.GetCommSession().SessionID();
    transaction = dec.GetCommTransaction().TransactionID();
    return true;
}

// A small installation: tour 1 (logical 10001) over monitors 1 and 2.
std::string SmallDatabase() {
    return "tour 1 logical 10001\n  step preset 1 dwell 5\n  step preset 2 dwell 5\n"
           "preset 1 logical 20001\n  element monitor 1 camera 1 preset 1\n  element monitor 2 camera 2 preset 2\n"
           "preset 2 logical 20002\n  element monitor 1 camera 3 preset 1\n  element monitor 2 camera 4 preset 2\n"
           "camera 1 logical 101\ncamera 2 logical 102\ncamera 3 logical 103\ncamera 4 logical 104\n"
           "monitor 1 logical 201\nmonitor 2 logical 202\n";
}

// ---- latency ----

// Runs `body` with this process and every child it starts pinned to one
// CPU: a sleeper on an idle CPU of a virtual machine wakes tens of
// microseconds late, on whichever side it happens to be, and that, not the
// work, would decide the ratio. On one CPU every round trip pays the same
// two switches.
template <class F>
void OnOneCpu(bool pin, F body) {
    cpu_set_t old;
    CPU_ZERO(&old);
    sched_getaffinity(0, sizeof old, &old);
    if (pin) {
        cpu_set_t one;
        CPU_ZERO(&one);
        for (int i = 0; i < CPU_SETSIZE; ++i)
            if (CPU_ISSET(i, &old)) {
                CPU_SET(i, &one);
                break;
            }
        sched_setaffinity(0, sizeof one, &one);
    }
    body();
    sched_setaffinity(0, sizeof old, &old);
}

void Latency(const Config& c) {
    for (bool pin : {true, false}) OnOneCpu(pin, [&] {
    std::printf("latency, %s:\n", pin ? "every process on one CPU" : "unpinned");
    Options o;
    o.description = SmallDatabase();
    o.monctlLog = false;
    Installation in(o);
    Echo echo, sigEcho(true);
    const std::string xml = CheckXml(in.Unit(), 10001, MON_TOUR_TYP_GRP);
    static char buf[65536];
    std::vector<double> service, floor, exactly, sigFloor;
    unsigned lost = 0;
    const int fd = in.Sock().Fd();
    for (int i = 0; i < c.latencySamples; ++i) {
        // Echo and service alternate so that the machine's load falls on both alike.
        const auto s = static_cast<unsigned short>(1 + i % 60000);
        const auto t = static_cast<unsigned short>(1 + i / 60000);
        const bool once = i % 4 == 3;
        const std::string d = Datagram(in.Unit(), s, t, once, xml);
        auto t0 = Clock::now();
        in.Sock().SendTo(echo.Port(), d);
        if (RecvWithin(fd, buf, sizeof buf, 1000) > 0) floor.push_back(Us(Clock::now() - t0));
        t0 = Clock::now();
        in.Sock().SendTo(sigEcho.Port(), d);
        if (RecvWithin(fd, buf, sizeof buf, 1000) > 0) sigFloor.push_back(Us(Clock::now() - t0));
        t0 = Clock::now();
        in.SendRaw(d);
        const ssize_t n = RecvWithin(fd, buf, sizeof buf, 1000);
        const double us = Us(Clock::now() - t0);
        unsigned short rs = 0, rt = 0;
        if (n > 0 && SessionOf(buf, n, rs, rt) && rs == s && rt == t)
            (once ? exactly : service).push_back(us);
        else
            ++lost;
    }
    const double fm = Pct(floor, 50), sm = Pct(service, 50), em = Pct(exactly, 50);
    std::printf("latency (%zu samples, %zu byte datagrams)\n", floor.size(), Datagram(1, 1, 1, false, xml).size());
    std::printf("  bare UDP echo    p50 %7.1f us  p90 %7.1f  p99 %7.1f\n", fm, Pct(floor, 90), Pct(floor, 99));
    std::printf("  signal-driven UDP echo (the framework's wake-up path, reference) p50 %7.1f us  p90 %7.1f  p99 "
                "%7.1f  ratio to echo %.2f\n",
                Pct(sigFloor, 50), Pct(sigFloor, 90), Pct(sigFloor, 99), Pct(sigFloor, 50) / fm);
    std::printf("  service, at least once p50 %7.1f us  p90 %7.1f  p99 %7.1f  ratio to echo %.2f (target <= 2)\n", sm,
                Pct(service, 90), Pct(service, 99), sm / fm);
    std::printf("  service, exactly once  p50 %7.1f us  p90 %7.1f  p99 %7.1f  ratio to echo %.2f\n", em,
                Pct(exactly, 90), Pct(exactly, 99), em / fm);
    std::printf("  unanswered within 1 s: %u\n", lost);
    });
}

// ---- throughput ----

struct Flow {
    unsigned long sent = 0, answered = 0;
    double seconds = 0;
};

// A window of requests in flight for `seconds`, each a new session, never
// repeated; then up to 3 s for stragglers. Answers are matched by session.
Flow Windowed(Installation& in, unsigned short port, std::size_t window, double seconds, bool exactlyOnce,
              unsigned short firstTransaction) {
    const std::string xml = CheckXml(in.Unit(), 10001, MON_TOUR_TYP_GRP);
    const int fd = in.Sock().Fd();
    static char buf[65536];
    std::set<std::pair<unsigned short, unsigned short>> pending;
    Flow f;
    unsigned long next = 0;
    auto key = [&](unsigned long i) {
        return std::make_pair(static_cast<unsigned short>(1 + i % 60000),
                              static_cast<unsigned short>(firstTransaction + i / 60000));
    };
    const auto start = Clock::now();
    const auto stopSending = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    auto lastAnswer = Clock::now();
    for (;;) {
        const auto now = Clock::now();
        const bool sending = now < stopSending;
        while (sending && pending.size() < window) {
            const auto k = key(next++);
            in.Sock().SendTo(port, Datagram(in.Unit(), k.first, k.second, exactlyOnce, xml));
            pending.insert(k);
            ++f.sent;
        }
        if (!sending && (pending.empty() || now - lastAnswer > 3s)) break;
        const ssize_t n = RecvWithin(fd, buf, sizeof buf, 50);
        if (n <= 0) {
            // Nothing for a while: a datagram was lost; free its place in the window.
            if (sending && Clock::now() - lastAnswer > 1s && !pending.empty()) {
                pending.erase(pending.begin());
                lastAnswer = Clock::now();
            }
            continue;
        }
        unsigned short s = 0, t = 0;
        if (SessionOf(buf, n, s, t) && pending.erase({s, t}) == 1) {
            ++f.answered;
            lastAnswer = Clock::now();
        }
    }
    f.seconds = seconds;
    return f;
}

void Throughput(const Config& c) {
    Options o;
    o.description = SmallDatabase();
    o.monctlLog = false;
    Installation in(o);
    Echo echo;
    std::printf("throughput (at least once, distinct sessions, no repeats; 3 s each)\n");
    unsigned short tr = 100;
    for (std::size_t window : {16, 64, 256}) {
        const Flow e = Windowed(in, echo.Port(), window, 3.0, false, tr);
        tr = static_cast<unsigned short>(tr + 10);
        const Flow s = Windowed(in, 5110, window, 3.0, false, tr);
        tr = static_cast<unsigned short>(tr + 10);
        std::printf("  window %3zu: service %8.0f answered/s (%lu sent, %lu lost)   echo %8.0f/s (%lu lost)   "
                    "ratio %.2f\n",
                    window, static_cast<double>(s.answered) / s.seconds, s.sent, s.sent - s.answered,
                    static_cast<double>(e.answered) / e.seconds, e.sent - e.answered,
                    static_cast<double>(s.answered) / static_cast<double>(e.answered));
    }
    // At least once as a client really sends it: every unanswered request
    // is sent again after 1 s, so none may end up unanswered.
    Installation::BurstPlan plan;
    plan.count = c.burstRequests;
    plan.window = 64;
    plan.retry = 1000ms;
    plan.limit = 120s;
    const auto b = in.Burst(plan);
    std::printf("  at least once with re-sends, window 64: %lu requests, %zu answered (%zu re-sent, %zu answered "
                "twice) in %.2f s, %8.0f answered/s\n",
                c.burstRequests, b.answered, b.resent, b.duplicates, b.seconds,
                static_cast<double>(b.answered) / b.seconds);
    const Flow x = Windowed(in, 5110, 64, 3.0, true, tr);
    tr = static_cast<unsigned short>(tr + 10);
    std::printf("  exactly once, window 64: %8.0f answered/s (%lu sent, %lu lost)\n",
                static_cast<double>(x.answered) / x.seconds, x.sent, x.sent - x.answered);

    // Exactly once offered at a fixed rate, paced every millisecond.
    const std::string xml = CheckXml(in.Unit(), 10001, MON_TOUR_TYP_GRP);
    const int fd = in.Sock().Fd();
    static char buf[65536];
    std::map<std::pair<unsigned short, unsigned short>, Clock::time_point> sentAt;
    std::vector<double> rtt;
    unsigned long sent = 0, answered = 0;
    const auto start = Clock::now();
    const double total = c.exactlyOnceRate * c.rateSeconds;
    const double cpu0 = CpuSeconds(in.Service().Pid());
    auto lastAnswer = Clock::now();
    while (true) {
        const auto now = Clock::now();
        const double due = std::min(total, std::chrono::duration<double>(now - start).count() * c.exactlyOnceRate);
        while (static_cast<double>(sent) < due) {
            const auto k = std::make_pair(static_cast<unsigned short>(1 + sent % 60000),
                                          static_cast<unsigned short>(tr + sent / 60000));
            in.SendRaw(Datagram(in.Unit(), k.first, k.second, true, xml));
            sentAt[k] = Clock::now();
            ++sent;
        }
        if (static_cast<double>(sent) >= total && (sentAt.empty() || now - lastAnswer > 3s)) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1) <= 0) continue;
        while (true) {
            const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0) break;
            unsigned short s = 0, t = 0;
            if (!SessionOf(buf, n, s, t)) continue;
            const auto it = sentAt.find({s, t});
            if (it == sentAt.end()) continue;
            rtt.push_back(Us(Clock::now() - it->second));
            sentAt.erase(it);
            ++answered;
            lastAnswer = Clock::now();
        }
    }
    const double cpu = CpuSeconds(in.Service().Pid()) - cpu0;
    std::printf("  exactly once offered at %.0f/s for %.0f s: %lu sent, %lu answered, %lu lost; latency p50 %.0f us "
                "p99 %.0f us; service CPU %.0f%% of a core\n",
                c.exactlyOnceRate, c.rateSeconds, sent, answered, sent - answered, Pct(rtt, 50), Pct(rtt, 99),
                100.0 * cpu / std::chrono::duration<double>(Clock::now() - start).count());
}

// ---- CPU with every monitor in a running tour ----

// 256 group presets of 128 elements (preset p on monitors of block (p-1) % 8,
// 128 monitors each), 256 tours, 2047 cameras, 1024 monitors. With
// toursOf128: tours 1..8 step through the presets of their block; tours
// 9..256 exist but are not run. Otherwise (256 tours of 4 monitors) preset p
// has 4 elements on monitors 4p-3..4p and tour t shows preset t twice.
std::string FullDatabase(bool toursOf128, int dwell = 1) {
    const std::string dw = " dwell " + std::to_string(dwell) + "\n";
    std::string d;
    d.reserve(2 << 20);
    for (int t = 1; t <= 256; ++t) {
        d += "tour " + std::to_string(t) + " logical " + std::to_string(10000 + t) + "\n";
        if (toursOf128) {
            const int block = (t - 1) % 8;
            for (int s = 0; s < 4; ++s)
                d += "  step preset " + std::to_string(1 + block + 8 * ((t - 1) / 8 * 4 + s) % 256) + dw;
        } else {
            d += "  step preset " + std::to_string(t) + dw + "  step preset " + std::to_string(t) + dw;
        }
    }
    for (int p = 1; p <= 256; ++p) {
        d += "preset " + std::to_string(p) + " logical " + std::to_string(20000 + p) + "\n";
        if (toursOf128) {
            const int block = (p - 1) % 8;
            for (int e = 1; e <= 128; ++e)
                d += "  element monitor " + std::to_string(block * 128 + e) + " camera " +
                     std::to_string(1 + (p * 7 + e) % 2047) + " preset " + std::to_string(e % 8) + "\n";
        } else {
            for (int e = 1; e <= 4; ++e)
                d += "  element monitor " + std::to_string(4 * p - 4 + e) + " camera " +
                     std::to_string(1 + (p * 4 + e) % 2047) + " preset " + std::to_string(e) + "\n";
        }
    }
    for (int c = 1; c <= 2047; ++c) d += "camera " + std::to_string(c) + " logical " + std::to_string(100000 + c) + "\n";
    for (int m = 1; m <= 1024; ++m) d += "monitor " + std::to_string(m) + " logical " + std::to_string(5000 + m) + "\n";
    return d;
}

std::size_t CountLines(const std::string& path, const char* needle) {
    std::ifstream in(path);
    std::string line;
    std::size_t n = 0;
    while (std::getline(in, line)) n += line.find(needle) != std::string::npos;
    return n;
}

void CpuScenario(const Config& c, bool toursOf128, double& idlePct, double& runPct) {
    Options o;
    o.description = FullDatabase(toursOf128, c.dwell);
    o.readyLimit = 120s;
    Installation in(o);
    const pid_t pid = in.Service().Pid();
    const int tours = toursOf128 ? 8 : 256;
    const auto window = std::chrono::duration<double>(c.cpuSeconds);
    auto measure = [&](double& pct, double& monctlPct) {
        const double a = CpuSeconds(pid), m = CpuSeconds(in.Monctl().Pid());
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(window);
        const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
        pct = 100.0 * (CpuSeconds(pid) - a) / secs;
        monctlPct = 100.0 * (CpuSeconds(in.Monctl().Pid()) - m) / secs;
    };
    double monIdle = 0, monRun = 0;
    measure(idlePct, monIdle);
    int refused = 0;
    for (int t = 1; t <= tours; ++t) {
        Reply r = in.Group(10000 + t, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, 0x0103, 1);
        if (!r.received || r.Num("ErrorStatus") != 0) ++refused;
    }
    std::this_thread::sleep_for(5s);  // first showings
    const std::string log = in.Dir() + "/monctl.log";
    const std::size_t before = CountLines(log, "\"dir\":\"in\",\"time\"");
    const std::size_t selBefore = CountLines(log, "\"kind\":\"camera_select\"");
    const long drops0 = UdpReceiveBufferDrops();
    measure(runPct, monRun);
    const long drops = UdpReceiveBufferDrops() - drops0;
    const std::size_t msgs = CountLines(log, "\"dir\":\"in\",\"time\"") - before;
    const std::size_t selects = CountLines(log, "\"kind\":\"camera_select\"") - selBefore;
    std::printf("  %3d tours of %3d monitors: service %.3f%% of a core while running (idle with the same database "
                "%.3f%%, difference %.3f%%; target < 1%%); %zu monitor messages (%zu camera selects) in %.0f s, "
                "%.1f monitor steps/s; monitor control stand-in %.2f%%; %d runs refused; %ld datagrams dropped for "
                "full receive buffers\n",
                tours, toursOf128 ? 128 : 4, runPct, idlePct, runPct - idlePct, msgs, selects, c.cpuSeconds,
                static_cast<double>(selects) / c.cpuSeconds, monRun, refused, drops);
}

void CpuCost(const Config& c) {
    std::printf("cpu (service process run time from /proc/PID/schedstat over %.0f s windows; every step dwell %d s)\n",
                c.cpuSeconds, c.dwell);
    double i1 = 0, r1 = 0, i2 = 0, r2 = 0;
    if (c.only.empty() || c.only.count("cpu") != 0 || c.only.count("cpu4") != 0) CpuScenario(c, false, i1, r1);
    if (c.only.empty() || c.only.count("cpu") != 0 || c.only.count("cpu128") != 0) CpuScenario(c, true, i2, r2);
}

// ---- step timing ----

// Five tours on monitors 1..5, three steps each with dwell times of 1 to 5 s;
// never more than five tours due in one second.
std::string TimingDatabase() {
    std::string d;
    const int dwells[5][3] = {{1, 2, 3}, {2, 2, 2}, {3, 1, 4}, {5, 3, 1}, {4, 4, 2}};
    for (int t = 1; t <= 5; ++t) {
        d += "tour " + std::to_string(t) + " logical " + std::to_string(10000 + t) + "\n";
        for (int s = 0; s < 3; ++s)
            d += "  step preset " + std::to_string(3 * (t - 1) + s + 1) + " dwell " + std::to_string(dwells[t - 1][s]) +
                 "\n";
    }
    for (int p = 1; p <= 15; ++p)
        d += "preset " + std::to_string(p) + " logical " + std::to_string(20000 + p) + "\n  element monitor " +
             std::to_string((p - 1) / 3 + 1) + " camera " + std::to_string(p) + " preset 1\n";
    for (int c = 1; c <= 15; ++c) d += "camera " + std::to_string(c) + " logical " + std::to_string(100 + c) + "\n";
    for (int m = 1; m <= 5; ++m) d += "monitor " + std::to_string(m) + " logical " + std::to_string(200 + m) + "\n";
    return d;
}

void StepTiming(const Config& c) {
    const int dwells[5][3] = {{1, 2, 3}, {2, 2, 2}, {3, 1, 4}, {5, 3, 1}, {4, 4, 2}};
    Options o;
    o.description = TimingDatabase();
    Installation in(o);
    for (int t = 1; t <= 5; ++t) in.Group(10000 + t, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, 0x0103, 1);
    std::printf("step timing (5 tours, dwell 1..5 s, %.1f minutes; a step's time is its camera select at the "
                "monitor control stand-in)\n", c.minutes);
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::duration<double>(c.minutes * 60.0));
    const auto log = in.MonLog();
    std::vector<double> dev;  // ms, every timed step of every tour
    double worst = 0, drift = 0;
    std::size_t steps = 0, wrongCamera = 0;
    for (int t = 1; t <= 5; ++t) {
        // Camera selects on the tour's monitor; camera p of preset p shows
        // which step it is.
        std::vector<std::pair<long long, int>> sel;
        for (const auto& l : log)
            if (l.dir == "in" && l.kind == "camera_select" && l.Get("monitor") == static_cast<unsigned long>(t))
                sel.emplace_back(l.ms, static_cast<int>(l.Get("target") % 100000 - 100 - 1 - 3 * (t - 1)));
        if (sel.size() < 3) continue;
        // Run shows step 0, the first tick shows it again and starts the
        // countdowns: the reference is that first timed showing. A step stays
        // for the dwell of the step that follows it (the countdown is loaded
        // after the index has moved on), so step k+1 is due dwell(k+1) after
        // step k.
        const long long ref = sel[1].first;
        long long due = ref;
        double first = 0, last = 0;
        for (std::size_t i = 1; i < sel.size(); ++i) {
            if (i > 1) due += 1000LL * dwells[t - 1][(sel[i - 1].second + 1) % 3];
            if (sel[i].second != static_cast<int>((i - 1) % 3)) ++wrongCamera;
            const double d = static_cast<double>(sel[i].first - due);
            dev.push_back(d);
            worst = std::max(worst, std::fabs(d));
            if (i == 1) first = d;
            last = d;
            ++steps;
        }
        drift = std::max(drift, std::fabs(last - first));
    }
    std::vector<double> absDev;
    for (double d : dev) absDev.push_back(std::fabs(d));
    double sumAbs = 0;
    for (double d : absDev) sumAbs += d;
    std::printf("  %zu timed steps: deviation from the dwell times p50 %.0f ms, mean |dev| %.1f ms, p99 %.0f ms, "
                "max |dev| %.0f ms (target 200); drift first to last step, worst tour %.0f ms; steps out of order "
                "%zu\n",
                steps, Pct(dev, 50), absDev.empty() ? 0.0 : sumAbs / static_cast<double>(absDev.size()),
                Pct(absDev, 99), worst, drift, wrongCamera);
}

// ---- memory ----

void Memory(const Config&) {
    std::printf("memory (VmRSS / VmHWM of the service)\n");
    long emptyRss = 0;
    {
        Options o;
        o.description = "";
        o.monctlLog = false;
        Installation in(o);
        std::this_thread::sleep_for(2s);
        emptyRss = StatusKiB(in.Service().Pid(), "VmRSS");
        std::printf("  empty database:  VmRSS %ld KiB\n", emptyRss);
    }
    Options o;
    o.description = FullDatabase(true);
    o.readyLimit = 120s;
    o.monctlLog = false;
    Installation in(o);
    const pid_t pid = in.Service().Pid();
    std::this_thread::sleep_for(2s);
    const long loaded = StatusKiB(pid, "VmRSS");
    for (int t = 1; t <= 8; ++t) in.Group(10000 + t, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, 0x0103, 1);
    // Every tour addressed once (a manager each), every preset checked.
    for (int t = 9; t <= 256; ++t) in.Check(10000 + t, MON_TOUR_TYP_GRP);
    for (int p = 1; p <= 256; ++p) in.Check(20000 + p, MON_TOUR_TYP_GRPPRE);
    std::this_thread::sleep_for(10s);
    const long running = StatusKiB(pid, "VmRSS"), peak = StatusKiB(pid, "VmHWM");
    std::printf("  full database (256 tours, 256 presets x 128 elements, 2047 cameras, 1024 monitors): VmRSS "
                "%ld KiB loaded, %ld KiB with 1024 monitors in running tours and 512 managers; VmHWM %ld KiB "
                "(target < 20480); %+ld KiB over the empty database\n",
                loaded, running, peak, running - emptyRss);
}

void Usage(FILE* f) {
    std::fprintf(f,
                 "usage: bench_nuvak_service [--only latency|throughput|cpu|cpu4|cpu128|timing|memory]...\n"
                 "                           [--minutes M]\n"
                 "                           [--cpu-seconds S] [--dwell D] [--rate R] [--rate-seconds S]\n"
                 "                           [--samples N] [--requests N]\n"
                 "Runs the service benchmarks in private namespaces and prints medians against their floors.\n"
                 "  --only NAME       run only these parts (repeatable; default all)\n"
                 "  --minutes M       step timing window (default 1)\n"
                 "  --cpu-seconds S   CPU window per scenario (default 30)\n"
                 "  --dwell D         dwell of every step in the cpu scenarios (default 1 s: the most stepping)\n"
                 "  --rate R          exactly-once offered rate per second (default 5000)\n"
                 "  --rate-seconds S  length of the exactly-once rate run (default 10)\n"
                 "  --samples N       latency samples (default 4000)\n"
                 "  --requests N      at-least-once requests of the run with re-sends (default 50000)\n");
}

}  // namespace

int main(int argc, char** argv) {
    Config c;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> double {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "bench_nuvak_service: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            char* end = nullptr;
            const double v = std::strtod(argv[++i], &end);
            if (end == argv[i] || *end != '\0' || !(v > 0)) {
                std::fprintf(stderr, "bench_nuvak_service: bad value for %s: %s\n", a.c_str(), argv[i]);
                std::exit(2);
            }
            return v;
        };
        if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        } else if (a == "--only" && i + 1 < argc) {
            const std::string n = argv[++i];
            if (n != "latency" && n != "throughput" && n != "cpu" && n != "cpu4" && n != "cpu128" && n != "timing" &&
                n != "memory") {
                std::fprintf(stderr, "bench_nuvak_service: unknown part '%s'\n", n.c_str());
                return 2;
            }
            c.only.insert(n);
        } else if (a == "--minutes") {
            c.minutes = value();
        } else if (a == "--cpu-seconds") {
            c.cpuSeconds = value();
        } else if (a == "--rate") {
            c.exactlyOnceRate = value();
        } else if (a == "--rate-seconds") {
            c.rateSeconds = value();
        } else if (a == "--dwell") {
            c.dwell = static_cast<int>(value());
        } else if (a == "--samples") {
            c.latencySamples = static_cast<int>(value());
        } else if (a == "--requests") {
            c.burstRequests = static_cast<unsigned long>(value());
        } else {
            std::fprintf(stderr, "bench_nuvak_service: unknown argument '%s' (--help)\n", a.c_str());
            return 2;
        }
    }
    if (!nuvak::bench::InPrivateNamespaces())
        return nuvak::bench::ReRunInPrivateNamespaces(argc, argv, "bench_nuvak_service");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("machine: %ld cores, %s, load average %.2f at start (shared machine)\n", sysconf(_SC_NPROCESSORS_ONLN),
                Cpu().c_str(), LoadAverage());
    auto want = [&](const char* n) { return c.only.empty() || c.only.count(n) != 0; };
    try {
        if (want("latency")) Latency(c);
        if (want("throughput")) Throughput(c);
        if (want("cpu") || want("cpu4") || want("cpu128")) CpuCost(c);
        if (want("timing")) StepTiming(c);
        if (want("memory")) Memory(c);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_nuvak_service: %s\n", e.what());
        return 1;
    }
    std::printf("load average %.2f at the end\n", LoadAverage());
    return 0;
}
