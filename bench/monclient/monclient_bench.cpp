// Round trip of one monitor message: a MonClient sends it through the IPC
// layer to the real monitor control stand-in (nuvak-monctl, IPC address 1),
// whose confirmation comes back to the mailbox at IPC address 13, is read by
// the run loop and delivered as EVENT_IPC to the observer, which hands it to
// the client. Each iteration is one message and one answer, and the client is
// idle again at its end:
//   seize          MonitorSeize() from idle: seize sent, the client stays idle;
//                  the seize confirmation (2) goes to CsiSeizeConfirm().
//   camera_select  CameraSelect() from idle with no camera preset: camera
//                  select sent, camera state; the control confirmation (10,
//                  result 1) goes to CsiControlConfirm(), which finds no preset
//                  to call and, the tour running, returns to idle.
// The floor, measured in the same run: a bare pair of UDP sockets on loopback
// across two processes. A forked echo process sends every 256-byte datagram
// back; the benchmark process sends 256 bytes and blocks in recv.
//
// The program takes IPC address 13, the address table (key 0x1009) and ports
// 12000+, so it re-runs itself inside private namespaces
// (scripts/netns-run.sh) unless it already is in one. The repetitions of the
// three benchmarks are interleaved at random by default, so that on a shared
// machine both sides of the ratio see the same load.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "proc.h"
#include "netns.h"
#include "framework.h"
#include "monclient.h"
#include "monmsg.h"
#include "sysdefs.h"

namespace mm = nuvak::monmsg;

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned short kMonitor = 7;
constexpr unsigned short kTourCntl = 5;
constexpr auto kAnswerTimeout = std::chrono::seconds(1);

enum class Request { Seize, CameraSelect };

// One benchmark run: a fresh framework, a client with the mailbox at IPC
// address 13 (as the service has), a MonClient for one monitor of a running
// tour, and a 1 s timer that gives up on an answer that never came (counted
// as lost; the client is reset to idle and the next message goes out).
// Iterations are driven from the loop: each answer starts the next message.
class Rig : public IFrameWorkClient, public IFrameWorkObserver {
public:
    Rig(Request request, benchmark::State& state) : request_(request), state_(state) {
        fw_ = CreateFrameWork();
        if (fw_ == nullptr || !fw_->Register(*this, &server_)) return;
        if (server_->CreateMailbox(*this, mm::kOwnAddress, PRIORITY_HIGH, &mailbox_) != 0) return;
        if (!server_->CreateTimer(*this, true, PRIORITY_NORMAL, &timer_)) return;
        client_ = std::make_unique<MonClient>(kMonitor, kTourCntl, server_);
        client_->SetCameraId(100012);
        client_->SetCamPresetId(0);  // no preset: the control confirmation ends the exchange
        client_->SetGlobalTourId(10000042);
        client_->SetUserData(21, 0x0103, 9, kMonitor);
        client_->SetTourState(TOURSTATE_RUNNING);
        ok_ = true;
    }
    ~Rig() override {
        client_.reset();
        if (server_ != nullptr) {
            if (timer_ != nullptr) server_->DestroyTimer(timer_);
            if (mailbox_ != nullptr) server_->DestroyMailbox();
            fw_->UnRegister(server_);
        }
        if (fw_ != nullptr) DestroyFrameWork();
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    bool Ok() const { return ok_; }
    void Run() { fw_->Run(); }
    unsigned long Lost() const { return lost_; }
    unsigned long Unexpected() const { return unexpected_; }

    void OnInit() override {
        unsigned int value = 0;
        timer_->Start(1000, &value);
        Next();
    }

    bool OnEvent(EVENTTYPE type, unsigned int) override {
        if (type == EVENT_TIMER) {
            if (waiting_ && Clock::now() - sentAt_ > kAnswerTimeout) {
                ++lost_;
                client_->ChangeState(IDLESTATE);
                Next();
            }
            return true;
        }
        if (type != EVENT_IPC) return true;
        std::unique_ptr<IPCMessage> message(mailbox_->GetMessage());
        if (!message || message->GetHandle() == nullptr) return true;
        const unsigned char* b = IPC_block(message->GetHandle());
        const unsigned short primitive = mm::LoadLE16(b + mm::kCommand);
        const unsigned short monitor = mm::LoadLE16(b + mm::kMonitor);
        const unsigned short result = mm::LoadLE16(b + mm::kResult);
        message.reset();  // the receive area is read; free it before the next send

        const unsigned short expected = request_ == Request::Seize ? mm::kSeizeConfirm : mm::kControlConfirm;
        if (!waiting_ || monitor != kMonitor || primitive != expected) {
            ++unexpected_;
            return true;
        }
        if (primitive == mm::kSeizeConfirm)
            client_->CsiSeizeConfirm();
        else
            client_->CsiControlConfirm(result);
        waiting_ = false;
        if (client_->GetCurrentState() != IDLESTATE) {
            Fail("the client is not idle after the confirmation");
            return true;
        }
        Next();
        return true;
    }

private:
    // Starts the next iteration's message, or stops the loop when the
    // benchmark has enough iterations.
    void Next() {
        if (stopping_) return;
        if (!state_.KeepRunning()) {
            Stop();
            return;
        }
        sentAt_ = Clock::now();
        waiting_ = true;
        if (request_ == Request::Seize) {
            client_->MonitorSeize();  // a failed send shows as a lost answer
        } else if (const unsigned short err = client_->CameraSelect(); err != 0) {
            Fail("CameraSelect failed");
        }
    }
    void Fail(const char* why) {
        state_.SkipWithError(why);
        Stop();
    }
    void Stop() {
        if (!stopping_) kill(getpid(), SIGINT);  // the framework's stop
        stopping_ = true;
        waiting_ = false;
    }

    Request request_;
    benchmark::State& state_;
    IFrameWork* fw_ = nullptr;
    IFrameWorkServer* server_ = nullptr;
    IIPC* mailbox_ = nullptr;
    ITimer* timer_ = nullptr;
    std::unique_ptr<MonClient> client_;
    bool ok_ = false, waiting_ = false, stopping_ = false;
    Clock::time_point sentAt_;
    unsigned long lost_ = 0, unexpected_ = 0;
};

void BM_MonClientRoundTrip(benchmark::State& state, Request request) {
    Rig rig(request, state);
    if (!rig.Ok()) {
        state.SkipWithError("framework, mailbox 13 or timer not set up");
        return;
    }
    rig.Run();
    state.counters["lost"] = static_cast<double>(rig.Lost());
    state.counters["unexpected"] = static_cast<double>(rig.Unexpected());
}

// A UDP socket bound to an ephemeral loopback port; closes on destruction.
class UdpSocket {
public:
    UdpSocket() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = Loopback(0);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
        socklen_t len = sizeof a;
        if (getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) port_ = ntohs(a.sin_port);
    }
    ~UdpSocket() {
        if (fd_ >= 0) close(fd_);
    }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    int Fd() const { return fd_; }
    unsigned short Port() const { return port_; }
    static sockaddr_in Loopback(unsigned short port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        return a;
    }

private:
    int fd_ = -1;
    unsigned short port_ = 0;
};

// A forked process that sends every datagram back at once, blocking in
// recvfrom. The destructor kills and reaps it.
class EchoProcess {
public:
    EchoProcess() {
        if (socket_.Port() == 0) return;
        pid_ = fork();
        if (pid_ != 0) return;
        unsigned char buf[mm::kBlockSize * 2];
        for (;;) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = recvfrom(socket_.Fd(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n > 0) sendto(socket_.Fd(), buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    }
    ~EchoProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    EchoProcess(const EchoProcess&) = delete;
    EchoProcess& operator=(const EchoProcess&) = delete;

    bool Ok() const { return pid_ > 0; }
    unsigned short Port() const { return socket_.Port(); }

private:
    UdpSocket socket_;
    pid_t pid_ = -1;
};

void BM_UdpEchoFloor(benchmark::State& state) {
    EchoProcess echo;
    UdpSocket sock;
    const sockaddr_in to = UdpSocket::Loopback(echo.Port());
    const timeval timeout{1, 0};  // a lost datagram costs a second, not the run
    if (!echo.Ok() || sock.Port() == 0 ||
        setsockopt(sock.Fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
        connect(sock.Fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        state.SkipWithError("echo process or socket not set up");
        return;
    }
    std::array<unsigned char, mm::kBlockSize> out{}, in{};
    unsigned long lost = 0;
    for (auto _ : state) {
        if (send(sock.Fd(), out.data(), out.size(), 0) != static_cast<ssize_t>(out.size())) {
            state.SkipWithError("send failed");
            break;
        }
        if (recv(sock.Fd(), in.data(), in.size(), 0) != static_cast<ssize_t>(in.size())) ++lost;
    }
    state.counters["lost"] = static_cast<double>(lost);
}

BENCHMARK(BM_UdpEchoFloor)->Unit(benchmark::kMicrosecond)->UseRealTime()->Repetitions(10)->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(BM_MonClientRoundTrip, seize, Request::Seize)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(10)
    ->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(BM_MonClientRoundTrip, camera_select, Request::CameraSelect)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(10)
    ->ReportAggregatesOnly(true);

// The console output, plus the median of each benchmark kept for the closing
// note (microseconds, by benchmark name).
class MedianReporter : public benchmark::ConsoleReporter {
public:
    MedianReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median" && !r.error_occurred)
                medians[r.run_name.function_name] = r.GetAdjustedRealTime();
        }
    }
    double Median(const std::string& name) const {
        const auto it = medians.find(name);
        return it == medians.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> medians;
};

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos)
            return line.substr(line.find(':') + 2);
    }
    return "unknown CPU";
}

int CpuCount() {  // as nproc: the CPUs this process may run on
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (!nuvak::bench::InPrivateNamespaces()) return nuvak::bench::ReRunInPrivateNamespaces(argc, argv, "bench_monclient");

    // Interleaved repetitions by default; a later flag on the command line wins.
    std::vector<char*> args = {argv[0], const_cast<char*>("--benchmark_enable_random_interleaving=true")};
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    int nargs = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&nargs, args.data());
    if (benchmark::ReportUnrecognizedArguments(nargs, args.data())) return 1;

    const std::string loadBefore = LoadAverage();
    nuvak::rig::Proc monctl({NUVAK_MONCTL_BIN, "--no-grid"});
    std::string ready;
    if (!monctl.NextLine("ready", &ready, nuvak::rig::Ms(10000))) {
        std::fprintf(stderr, "bench_monclient: %s printed no ready line\n", NUVAK_MONCTL_BIN);
        return 1;
    }

    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    monctl.Signal(SIGINT);
    const int monctlStatus = monctl.Wait();

    const double floor = reporter.Median("BM_UdpEchoFloor");
    const double seize = reporter.Median("BM_MonClientRoundTrip/seize");
    const double camera = reporter.Median("BM_MonClientRoundTrip/camera_select");
    auto ratio = [floor](double v) { return floor > 0 && v > 0 ? v / floor : 0.0; };
    std::printf("\nround trip, median of 10 repetitions: bare UDP echo process %.1f us; "
                "monitor message through nuvak-monctl: seize %.1f us (ratio %.2f), camera select %.1f us (ratio %.2f)\n",
                floor, seize, ratio(seize), camera, ratio(camera));
    std::printf("%d CPUs, %s; load average %s before, %s after; nuvak-monctl exit status %d\n", CpuCount(),
                CpuModel().c_str(), loadBefore.c_str(), LoadAverage().c_str(), monctlStatus);
    return 0;
}
