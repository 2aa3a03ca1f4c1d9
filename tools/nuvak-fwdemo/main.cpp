// nuvak-fwdemo: shows the application framework at work. One client
// registers with the framework, runs a periodic timer and listens for the
// installation's queued signal values (database updates, health checks). A
// second process, forked at start, sends it such values with sigqueue, and
// the demo prints every event by name as the run loop delivers it. After
// --seconds it sends itself SIGINT with kill, which stops the loop the way an
// operator's Ctrl-C does.
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "framework.h"
#include "sysdefs.h"
#include "toolargs.h"

namespace {

struct Options {
    unsigned int seconds = 5;
    unsigned int periodMs = 1000;
    unsigned int values = 8;
};

const char* kUsage =
    "usage: nuvak-fwdemo [--seconds N] [--period MS] [--values N]\n"
    "  Runs the event framework for N seconds (default 5): a periodic timer of\n"
    "  MS milliseconds (default 1000) and N queued signal values (default 8) sent\n"
    "  by a forked sender process. Every event is printed by name. SIGINT (Ctrl-C)\n"
    "  stops it early; at the end it sends itself SIGINT.\n";

bool ParseUnsigned(const char* text, unsigned int min, unsigned int max, unsigned int& out) {
    unsigned long v = 0;
    if (text == nullptr || !nuvak::toolargs::ParseNumber(text, max, v) || v < min) return false;
    out = static_cast<unsigned int>(v);
    return true;
}

double Elapsed() {
    static timeval start = [] {
        timeval t;
        gettimeofday(&t, nullptr);
        return t;
    }();
    timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<double>(now.tv_sec - start.tv_sec) +
           static_cast<double>(now.tv_usec - start.tv_usec) / 1e6;
}

const char* TypeName(EVENTTYPE type) {
    switch (type) {
        case EVENT_SIGNAL: return "EVENT_SIGNAL";
        case EVENT_TIMER: return "EVENT_TIMER";
        case EVENT_SOCKET: return "EVENT_SOCKET";
        case EVENT_IPC: return "EVENT_IPC";
    }
    return "unknown event";
}

const char* ValueName(unsigned int v) {
    switch (v) {
        case NUVAK_UPDATE_SIG: return "NUVAK_UPDATE_SIG (tour table changed)";
        case GRPPRE_UPDATE_SIG: return "GRPPRE_UPDATE_SIG (group presets changed)";
        case MON_DBUPDATE_SIG: return "MON_DBUPDATE_SIG (monitors changed)";
        case CAM_DBUPDATE_SIG: return "CAM_DBUPDATE_SIG (cameras changed)";
    }
    if ((v & PROC_CHK_TYPE_MASK) == PROC_CHK_BASE) return "HCHK_REQ_SIG (health check)";
    return "no listener: dropped";
}

const unsigned int kUpdates[] = {NUVAK_UPDATE_SIG, GRPPRE_UPDATE_SIG, MON_DBUPDATE_SIG,
                                 CAM_DBUPDATE_SIG};
const unsigned int kListened[] = {NUVAK_UPDATE_SIG, GRPPRE_UPDATE_SIG, MON_DBUPDATE_SIG,
                                  CAM_DBUPDATE_SIG, PROC_CHK_BASE};

// What the sender process queues, one value at a time.
const unsigned int kSequence[] = {NUVAK_UPDATE_SIG, HCHK_REQ_SIG | (1u << 16), CAM_DBUPDATE_SIG,
                                  0x00BADBAD,       GRPPRE_UPDATE_SIG,          MON_DBUPDATE_SIG,
                                  HCHK_REQ_SIG | (2u << 16), 0x00001234};

class DemoClient : public IFrameWorkClient, public IFrameWorkObserver {
public:
    DemoClient(IFrameWork& fw, const Options& opt) : fw_(fw), opt_(opt) {}

    bool Register() { return fw_.Register(*this, &server_); }
    IFrameWorkServer* Server() const { return server_; }

    void OnInit() override {
        bool ok = server_->CreateTimer(*this, true, PRIORITY_NORMAL, &heartbeat_) &&
                  server_->CreateTimer(*this, false, PRIORITY_NORMAL, &end_);
        // Database update notices: 16-bit values, one listener each.
        for (unsigned int v : kUpdates) {
            ok = ok && server_->CreateSignalListener(*this, PRIORITY_LOW, v, 0xFFFFFFFF, 0);
        }
        // Health checks: one range of 32-bit values, handled first.
        ok = ok && server_->CreateSignalListener(*this, PRIORITY_HIGH, PROC_CHK_BASE,
                                                  PROC_CHK_TYPE_MASK, 1);
        if (!ok || !heartbeat_->Start(opt_.periodMs, &heartbeatValue_) ||
            !end_->Start(opt_.seconds * 1000, &endValue_)) {
            std::printf("OnInit: could not create the demo's timers and listeners!\n");
            kill(getpid(), SIGINT);
            return;
        }
        std::printf("[%7.3fs] OnInit: heartbeat timer (value %u) every %u ms, stop after %u s\n",
                    Elapsed(), heartbeatValue_, opt_.periodMs, opt_.seconds);
        std::printf("[%7.3fs] OnInit: signal listeners:\n", Elapsed());
        server_->DumpSignalManager();
        StartSender();
    }

    void OnTerm() override {
        server_->DestroyTimer(heartbeat_);
        server_->DestroyTimer(end_);
        for (unsigned int v : kListened) {
            server_->DestroySignalListener(v);
        }
        if (sender_ > 0) kill(sender_, SIGTERM);
        std::printf("[%7.3fs] OnTerm: %u timer events, %u signal events\n", Elapsed(), timers_,
                    signals_);
    }

    bool OnEvent(EVENTTYPE type, unsigned int value) override {
        if (type == EVENT_TIMER && value == endValue_) {
            std::printf("[%7.3fs] %-12s value %-10u end of demo: kill(getpid(), SIGINT)\n",
                        Elapsed(), TypeName(type), value);
            kill(getpid(), SIGINT);
        } else if (type == EVENT_TIMER) {
            ++timers_;
            std::printf("[%7.3fs] %-12s value %-10u heartbeat #%u\n", Elapsed(), TypeName(type),
                        value, timers_);
        } else if (type == EVENT_SIGNAL) {
            ++signals_;
            std::printf("[%7.3fs] %-12s value 0x%08X %s\n", Elapsed(), TypeName(type), value,
                        ValueName(value));
        } else {
            std::printf("[%7.3fs] %-12s value %u\n", Elapsed(), TypeName(type), value);
        }
        return true;
    }

private:
    // The second process: queues the demo's values to this one, spread over
    // the run, then ends (the framework reaps it on SIGCHLD).
    void StartSender() {
        const pid_t target = getpid();
        const unsigned int count = opt_.values;
        const unsigned int gapUs = count == 0 ? 0 : opt_.seconds * 800000u / (count + 1);
        std::fflush(stdout);
        sender_ = fork();
        if (sender_ < 0) {
            std::printf("StartSender: fork failed: %s\n", std::strerror(errno));
            return;
        }
        if (sender_ != 0) return;
        signal(SIGTERM, SIG_DFL);
        for (unsigned int i = 0; i < count; ++i) {
            usleep(gapUs);
            const unsigned int v = kSequence[i % (sizeof kSequence / sizeof kSequence[0])];
            union sigval sv;
            sv.sival_int = static_cast<int>(v);
            std::printf("[%7.3fs] sender %d: sigqueue(%d, SIGRTMAX-25, 0x%08X)\n", Elapsed(),
                        static_cast<int>(getpid()), static_cast<int>(target), v);
            std::fflush(stdout);
            if (sigqueue(target, FrameWorkSignal(), sv) != 0) break;
        }
        _exit(0);
    }

    IFrameWork& fw_;
    Options opt_;
    IFrameWorkServer* server_ = nullptr;
    ITimer* heartbeat_ = nullptr;
    ITimer* end_ = nullptr;
    unsigned int heartbeatValue_ = 0;
    unsigned int endValue_ = 0;
    unsigned int timers_ = 0;
    unsigned int signals_ = 0;
    pid_t sender_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--seconds") {
            if (!ParseUnsigned(next, 1, 3600, opt.seconds)) {
                std::fprintf(stderr, "nuvak-fwdemo: --seconds needs a number from 1 to 3600\n");
                return 2;
            }
            ++i;
        } else if (arg == "--period") {
            if (!ParseUnsigned(next, 100, 60000, opt.periodMs)) {
                std::fprintf(stderr, "nuvak-fwdemo: --period needs milliseconds from 100 to 60000\n");
                return 2;
            }
            ++i;
        } else if (arg == "--values") {
            if (!ParseUnsigned(next, 0, 1000, opt.values)) {
                std::fprintf(stderr, "nuvak-fwdemo: --values needs a number from 0 to 1000\n");
                return 2;
            }
            ++i;
        } else {
            std::fprintf(stderr, "nuvak-fwdemo: unknown argument '%s' (try --help)\n", argv[i]);
            return 2;
        }
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Elapsed();
    IFrameWork* fw = CreateFrameWork();
    std::printf("[%7.3fs] nuvak-fwdemo: process %u, framework signal SIGRTMAX-25 = %d\n", Elapsed(),
                fw->GetProcessId(), FrameWorkSignal());
    {
        DemoClient client(*fw, opt);
        if (!client.Register()) {
            std::fprintf(stderr, "nuvak-fwdemo: could not register with the framework\n");
            DestroyFrameWork();
            return 1;
        }
        fw->Run();
        std::printf("[%7.3fs] Run returned: stopped by SIGINT\n", Elapsed());
        fw->UnRegister(client.Server());
    }
    DestroyFrameWork();
    return 0;
}
