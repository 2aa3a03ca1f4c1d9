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
//               monitors; 8 tours of 128 at dwell 1 s and 5 s), against the
//               same installation idle and against a floor: a bare process
//               sending the stand-in the same monitor messages at the same
//               rates;
//   timing      five tours stepping by their dwell times: each step's time
//               against the time the dwell times give from the tour's first
//               timed step, and the drift over the window;
//   reload      check requests at 1,000/s while the group presets are
//               reloaded every second, against the same run without reloads;
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
#include "monmsg.h"
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
    double reloadRate = 1000;    // requests per second in the reload benchmark
    double reloadSeconds = 30;   // length of each of its two runs
    double reloadEvery = 1.0;    // seconds between update signals
    int dwell = 0;               // dwell of every step in the cpu scenarios (0: 1 s, and 5 s for tours of 128)
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
        // Read before the first wait: the parent may have sent before the
        // socket raised signals (the datagram then raised none), and it
        // would wait for a wake-up that never comes.
        for (;;) {
            for (;;) {
                sockaddr_in from{};
                socklen_t fl = sizeof from;
                const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
                if (n <= 0) break;
                sendto(fd_, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), fl);
            }
            if (signalDriven) {
                while (sem_wait(&g_echoWake) != 0) {
                }
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

bool SessionOf(const char* buf, ssize_t n, unsigned short& session, unsigned short& transaction);

using SentAt = std::map<std::pair<unsigned short, unsigned short>, Clock::time_point>;

// Reads every answer waiting on `fd`; each one that answers a request still
// in `sentAt` is taken out of it and handed to `got` with its wait.
template <class Got>
void DrainAnswers(int fd, char* buf, std::size_t size, SentAt& sentAt, Got got) {
    for (;;) {
        const ssize_t n = recv(fd, buf, size, MSG_DONTWAIT);
        if (n <= 0) return;
        unsigned short s = 0, t = 0;
        if (!SessionOf(buf, n, s, t)) continue;
        const auto it = sentAt.find({s, t});
        if (it == sentAt.end()) continue;
        const Clock::duration wait = Clock::now() - it->second;
        sentAt.erase(it);
        got(wait);
    }
}

// The answer to (session, transaction) from `port` within `ms`; datagrams
// from elsewhere or for other ids (a late answer to an earlier sample) are
// counted in `stale` and skipped, so one late answer cannot shift every
// later sample onto its neighbour's answer. Its size, 0 on time-out.
ssize_t AnswerWithin(int fd, char* buf, std::size_t size, int ms, unsigned short port, unsigned short session,
                     unsigned short transaction, unsigned& stale) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left < 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return 0;
        sockaddr_in from{};
        socklen_t fl = sizeof from;
        const ssize_t n = recvfrom(fd, buf, size, 0, reinterpret_cast<sockaddr*>(&from), &fl);
        unsigned short s = 0, t = 0;
        if (n > 0 && ntohs(from.sin_port) == port && SessionOf(buf, n, s, t) && s == session && t == transaction)
            return n;
        ++stale;
    }
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
    unsigned lost = 0, lostEcho = 0, lostSigEcho = 0, stale = 0;
    const int fd = in.Sock().Fd();
    for (int i = 0; i < c.latencySamples; ++i) {
        // Echo and service alternate so that the machine's load falls on both alike.
        // Sessions start above the rig's own requests.
        const auto s = static_cast<unsigned short>(1001 + i % 60000);
        const auto t = static_cast<unsigned short>(1001 + i / 60000);
        const bool once = i % 4 == 3;
        const std::string d = Datagram(in.Unit(), s, t, once, xml);
        auto t0 = Clock::now();
        in.Sock().SendTo(echo.Port(), d);
        if (AnswerWithin(fd, buf, sizeof buf, 1000, echo.Port(), s, t, stale) > 0)
            floor.push_back(Us(Clock::now() - t0));
        else
            ++lostEcho;
        t0 = Clock::now();
        in.Sock().SendTo(sigEcho.Port(), d);
        if (AnswerWithin(fd, buf, sizeof buf, 1000, sigEcho.Port(), s, t, stale) > 0)
            sigFloor.push_back(Us(Clock::now() - t0));
        else
            ++lostSigEcho;
        t0 = Clock::now();
        in.SendRaw(d);
        if (AnswerWithin(fd, buf, sizeof buf, 1000, 5110, s, t, stale) > 0)
            (once ? exactly : service).push_back(Us(Clock::now() - t0));
        else
            ++lost;
    }
    std::vector<double> answers = service;
    answers.insert(answers.end(), exactly.begin(), exactly.end());
    const double slowest = answers.empty() ? NAN : *std::max_element(answers.begin(), answers.end());
    const auto over100 = std::count_if(answers.begin(), answers.end(), [](double us) { return us > 100000.0; });
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
    std::printf("  service: slowest answer %.1f us, %ld over 100 ms, unanswered within 1 s: %u; echo unanswered %u, "
                "signal-driven echo unanswered %u; late or stray datagrams skipped %u\n",
                slowest, static_cast<long>(over100), lost, lostEcho, lostSigEcho, stale);
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
    SentAt sentAt;
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
        DrainAnswers(fd, buf, sizeof buf, sentAt, [&](Clock::duration wait) {
            rtt.push_back(Us(wait));
            ++answered;
            lastAnswer = Clock::now();
        });
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

// ---- the floor of stepping: the monitor messages alone ----

// IPC address of the floor process: outside the fixed addresses and far
// above the dynamic ones the installation's processes take.
constexpr std::uint16_t kFloorAddress = 2000;

namespace mm = nuvak::monmsg;

void FloorMessage(unsigned char* b, std::uint16_t monitor, std::uint16_t ctrlWord, std::uint16_t value,
                  std::uint32_t target) {
    std::memset(b, 0, mm::kBlockSize);
    mm::StoreLE16(b + mm::kSender, kFloorAddress);
    mm::StoreLE16(b + mm::kSender2, kFloorAddress);
    mm::StoreLE16(b + mm::kDest, mm::kMonCtlAddress);
    mm::StoreLE16(b + mm::kLength, static_cast<std::uint16_t>(mm::kSize));
    mm::StoreLE16(b + mm::kCommand, mm::kCmdCamera);
    mm::StoreLE32(b + mm::kPriority, 10);
    mm::StoreLE16(b + mm::kMonitor, monitor);
    mm::StoreLE16(b + mm::kDevice, 0x0103);
    mm::StoreLE16(b + mm::kUser, 21);
    mm::StoreLE16(b + mm::kTourCntl, static_cast<std::uint16_t>(1 + (monitor - 1) / 128));
    mm::StoreLE16(b + mm::kCtrlWord, ctrlWord);
    mm::StoreLE16(b + mm::kCtrlValue, value);
    mm::StoreLE32(b + mm::kTarget, target);
}

// A bare process that exchanges with the monitor control stand-in what the
// service exchanged while its tours ran, at the same rates: a burst of 128
// camera selects (one tour's step) every 128 / selectsPerSecond seconds,
// and after the confirmation of a select a preset call for the same share
// of them as the service sent. It sleeps in poll() and reads until the
// socket is empty: the cost of the datagrams themselves. Its CPU per cent
// of a core over `seconds`; `sent` gets the messages it sent.
double FloorPct(double selectsPerSecond, double presetsPerSelect, double seconds, std::size_t& sent) {
    int report[2];
    if (pipe(report) != 0) return NAN;
    const pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(12000 + kFloorAddress));
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        const int big = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
        sockaddr_in to = a;
        to.sin_port = htons(static_cast<std::uint16_t>(12000 + mm::kMonCtlAddress));
        unsigned char out[mm::kBlockSize], in[mm::kBlockSize];
        std::vector<unsigned char> awaiting(1025, 0);  // 1: a select's confirmation, 2: a preset's
        const auto interval = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(128.0 / selectsPerSecond));
        const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        auto next = Clock::now();
        std::uint64_t count = 0;
        double presetShare = 0;
        unsigned base = 0;
        for (auto now = Clock::now(); now < end; now = Clock::now()) {
            if (now >= next) {
                for (unsigned e = 1; e <= 128; ++e) {
                    const auto m = static_cast<std::uint16_t>(base + e);
                    FloorMessage(out, m, mm::kCtrlCamera, 0, 100000u + m);
                    sendto(fd, out, sizeof out, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
                    awaiting[m] = 1;
                    ++count;
                }
                base = (base + 128) % 1024;
                next += interval;
                continue;
            }
            pollfd p{fd, POLLIN, 0};
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
            if (poll(&p, 1, static_cast<int>(ms)) <= 0) continue;
            while (recv(fd, in, sizeof in, MSG_DONTWAIT) == static_cast<ssize_t>(sizeof in)) {
                const std::uint16_t m = mm::LoadLE16(in + mm::kMonitor);
                if (mm::LoadLE16(in + mm::kCommand) != mm::kControlConfirm || m == 0 || m > 1024) continue;
                if (awaiting[m] == 1 && (presetShare += presetsPerSelect) >= 1.0) {
                    presetShare -= 1.0;
                    FloorMessage(out, m, mm::kCtrlPreset, static_cast<std::uint16_t>(1 + m % 7), 0);
                    sendto(fd, out, sizeof out, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
                    awaiting[m] = 2;
                    ++count;
                } else {
                    awaiting[m] = 0;
                }
            }
        }
        (void)!write(report[1], &count, sizeof count);
        pause();  // until the parent has read the CPU time
        _exit(0);
    }
    close(report[1]);
    std::uint64_t count = 0;
    const bool ok = read(report[0], &count, sizeof count) == static_cast<ssize_t>(sizeof count);
    close(report[0]);
    const double cpu = CpuSeconds(pid);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    sent = ok ? static_cast<std::size_t>(count) : 0;
    return ok ? 100.0 * cpu / seconds : NAN;
}

void CpuScenario(const Config& c, bool toursOf128, int dwell, double& idlePct, double& runPct) {
    Options o;
    o.description = FullDatabase(toursOf128, dwell);
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
    std::printf("  %3d tours of %3d monitors, dwell %d s: service %.3f%% of a core while running (idle with the same "
                "database %.3f%%, difference %.3f%%; target < 1%%); %zu monitor messages (%zu camera selects) in "
                "%.0f s, %.1f monitor steps/s, %.2f us of CPU per monitor message; monitor control stand-in %.2f%%; "
                "%d runs refused; %ld datagrams dropped for full receive buffers\n",
                tours, toursOf128 ? 128 : 4, dwell, runPct, idlePct, runPct - idlePct, msgs, selects, c.cpuSeconds,
                static_cast<double>(selects) / c.cpuSeconds,
                msgs == 0 ? NAN : 1e4 * runPct * c.cpuSeconds / static_cast<double>(msgs), monRun, refused, drops);
    if (selects == 0) return;
    // The floor, in the same installation: the same messages at the same rates.
    std::size_t floorSent = 0;
    const double floorPct =
        FloorPct(static_cast<double>(selects) / c.cpuSeconds,
                 static_cast<double>(msgs - selects) / static_cast<double>(selects), c.cpuSeconds, floorSent);
    std::printf("      floor (a bare process, the same monitor messages to the stand-in at the same rates): %.3f%% of "
                "a core, %zu monitor messages, %.2f us per message; service / floor %.2f (target <= 2)\n",
                floorPct, floorSent, floorSent == 0 ? NAN : 1e4 * floorPct * c.cpuSeconds / static_cast<double>(floorSent),
                runPct / floorPct);
}

void CpuCost(const Config& c) {
    std::printf("cpu (service process run time from /proc/PID/schedstat over %.0f s windows)\n", c.cpuSeconds);
    double idle = 0, run = 0;
    if (c.only.empty() || c.only.count("cpu") != 0 || c.only.count("cpu4") != 0)
        CpuScenario(c, false, c.dwell == 0 ? 1 : c.dwell, idle, run);
    if (c.only.empty() || c.only.count("cpu") != 0 || c.only.count("cpu128") != 0) {
        if (c.dwell != 0) {
            CpuScenario(c, true, c.dwell, idle, run);
        } else {
            for (int dwell : {1, 5}) CpuScenario(c, true, dwell, idle, run);
        }
    }
}

// ---- what a requester sees while the group presets are reloaded ----

struct PacedResult {
    std::vector<double> ms;  // answer times, milliseconds
    unsigned long sent = 0, answered = 0, reloads = 0, refusedSignals = 0;
};

// Check requests paced at `rate` per second for `seconds`, each a session of
// its own (at least once, never repeated), answers matched by their ids; with
// `reloadEvery` > 0 the group-preset update signal (what `nuvak-dbupdate
// presets` sends) is queued to the service that often.
PacedResult Paced(Installation& in, double rate, double seconds, double reloadEvery, unsigned short transaction) {
    const std::string xml = CheckXml(in.Unit(), 10001, MON_TOUR_TYP_GRP);
    const int fd = in.Sock().Fd();
    static char buf[65536];
    SentAt sentAt;
    PacedResult r;
    const auto start = Clock::now();
    const auto total = static_cast<unsigned long>(rate * seconds);
    auto nextReload = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(reloadEvery));
    auto lastAnswer = Clock::now();
    for (;;) {
        const auto now = Clock::now();
        if (reloadEvery > 0 && now >= nextReload && r.sent < total) {
            if (in.QueueSignal(GRPPRE_UPDATE_SIG) == 0) ++r.reloads; else ++r.refusedSignals;
            nextReload += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(reloadEvery));
        }
        const auto due = std::min<unsigned long>(
            total, static_cast<unsigned long>(std::chrono::duration<double>(now - start).count() * rate));
        while (r.sent < due) {
            const auto k = std::make_pair(static_cast<unsigned short>(1 + r.sent % 60000),
                                          static_cast<unsigned short>(transaction + r.sent / 60000));
            in.SendRaw(Datagram(in.Unit(), k.first, k.second, false, xml));
            sentAt[k] = Clock::now();
            ++r.sent;
        }
        if (r.sent >= total && (sentAt.empty() || now - lastAnswer > 3s)) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1) <= 0) continue;
        DrainAnswers(fd, buf, sizeof buf, sentAt, [&](Clock::duration wait) {
            r.ms.push_back(std::chrono::duration<double, std::milli>(wait).count());
            ++r.answered;
            lastAnswer = Clock::now();
        });
    }
    return r;
}

void Reload(const Config& c) {
    Options o;
    o.description = FullDatabase(true);
    o.readyLimit = 120s;
    o.monctlLog = false;
    Installation in(o);
    for (int t = 1; t <= 8; ++t) in.Group(10000 + t, MON_TOUR_TYP_GRP, MON_TOUR_ACT_RUN, 10, 0x0103, 1);
    std::this_thread::sleep_for(3s);
    std::printf("reload (check requests at %.0f/s for %.0f s, full installation, 8 tours of 128 monitors running; "
                "with reloads: the group-preset update signal every %.1f s)\n",
                c.reloadRate, c.reloadSeconds, c.reloadEvery);
    unsigned short transaction = 2000;
    for (bool reloading : {false, true}) {
        const double cpu0 = CpuSeconds(in.Service().Pid());
        const auto t0 = Clock::now();
        const PacedResult r = Paced(in, c.reloadRate, c.reloadSeconds, reloading ? c.reloadEvery : 0, transaction);
        const double cpu = CpuSeconds(in.Service().Pid()) - cpu0;
        transaction = static_cast<unsigned short>(transaction + 10);
        std::printf("  %-15s %lu sent, %lu answered; answer p50 %.3f ms, p99 %.3f ms, p99.9 %.3f ms, longest %.1f ms "
                    "(target < 20 ms); %lu reload signals (%lu refused); service CPU %.1f%% of a core\n",
                    reloading ? "with reloads:" : "without:", r.sent, r.answered, Pct(r.ms, 50), Pct(r.ms, 99),
                    Pct(r.ms, 99.9), r.ms.empty() ? NAN : *std::max_element(r.ms.begin(), r.ms.end()), r.reloads,
                    r.refusedSignals, 100.0 * cpu / std::chrono::duration<double>(Clock::now() - t0).count());
    }
    if (!in.Service().Running()) std::printf("  the service ended during the run!\n");
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
                 "usage: bench_nuvak_service [--only latency|throughput|cpu|cpu4|cpu128|reload|timing|memory]...\n"
                 "                           [--minutes M]\n"
                 "                           [--cpu-seconds S] [--dwell D] [--rate R] [--rate-seconds S]\n"
                 "                           [--samples N] [--requests N] [--reload-seconds S]\n"
                 "Runs the service benchmarks in private namespaces and prints medians against their floors.\n"
                 "  --only NAME       run only these parts (repeatable; default all)\n"
                 "  --minutes M       step timing window (default 1)\n"
                 "  --cpu-seconds S   CPU window per scenario (default 30)\n"
                 "  --dwell D         dwell of every step in the cpu scenarios (default: 1 s, and for the\n"
                 "                    tours of 128 monitors also 5 s)\n"
                 "  --rate R          exactly-once offered rate per second (default 5000)\n"
                 "  --rate-seconds S  length of the exactly-once rate run (default 10)\n"
                 "  --samples N       latency samples (default 4000)\n"
                 "  --requests N      at-least-once requests of the run with re-sends (default 50000)\n"
                 "  --reload-seconds S  length of each run of the reload benchmark (default 30)\n");
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
            if (n != "latency" && n != "throughput" && n != "cpu" && n != "cpu4" && n != "cpu128" && n != "reload" && n != "timing" &&
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
        } else if (a == "--reload-seconds") {
            c.reloadSeconds = value();
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
        if (want("reload")) Reload(c);
        if (want("timing")) StepTiming(c);
        if (want("memory")) Memory(c);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_nuvak_service: %s\n", e.what());
        return 1;
    }
    std::printf("load average %.2f at the end\n", LoadAverage());
    return 0;
}
