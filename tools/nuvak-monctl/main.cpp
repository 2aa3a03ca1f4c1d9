// nuvak-monctl: stands in for the installation's monitor control process at
// IPC address 1. It takes monitor messages from its mailbox, keeps the state
// of the monitor wall and answers as the tour service expects: a seize with a
// seize confirmation, a camera select or preset with a control confirmation
// (result 1); releases, tour stops and pauses get no answer. It can be told to
// suspend, refuse, delay or drop answers, from the command line or at run time
// through a control file re-read on SIGUSR1.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "framework.h"
#include "itmgr.h"
#include "linestamp.h"
#include "monctl.h"
#include "monmsg.h"
#include "toolargs.h"

namespace {

using namespace nuvak::monctl;
namespace mm = nuvak::monmsg;

const char kUsage[] =
    "usage: nuvak-monctl [--address N] [--seize answer|suspend|drop]\n"
    "                    [--control answer|refuse|drop] [--refuse-result N]\n"
    "                    [--delay MS] [--control-file FILE] [--log FILE]\n"
    "                    [--grid|--no-grid] [--columns N] [--process N] [--verbose]\n"
    "Stands in for the monitor control process: answers the tour service's\n"
    "monitor messages over the IPC mailbox and keeps the monitor wall. Runs in\n"
    "the foreground until SIGINT or SIGTERM.\n"
    "  --address N          IPC address to take, 0..19 (default 1)\n"
    "  --seize MODE         answer: seize confirmation (default); suspend: suspend\n"
    "                       confirmation naming the holder; drop: no answer\n"
    "  --control MODE       camera select/preset: answer: control confirmation,\n"
    "                       result 1 (default); refuse: result --refuse-result;\n"
    "                       drop: no answer\n"
    "  --refuse-result N    result word of a refused control (default 0)\n"
    "  --delay MS           send every answer MS milliseconds late (100 ms steps)\n"
    "  --control-file FILE  settings read at start and on SIGUSR1, one per line:\n"
    "                       'seize MODE', 'control MODE', 'refuse-result N',\n"
    "                       'delay MS', 'indicate seize|suspend|control MONITOR'\n"
    "                       (sends that indication each time the file is read)\n"
    "  --log FILE           append one JSON line per message received, sent or\n"
    "                       dropped\n"
    "  --grid, --no-grid    draw the wall as a live grid (default: only when\n"
    "                       standard output is a terminal)\n"
    "  --columns N          monitors per grid row (default 4)\n"
    "  --process N          register with the task manager as process N and\n"
    "                       answer its health checks\n"
    "  --verbose            one text line per message on standard output\n"
    "Signals: SIGUSR1 re-reads the control file, SIGUSR2 prints the wall once.\n";

struct Options {
    unsigned short address = mm::kMonCtlAddress;
    Settings settings;
    std::string controlFile;
    std::string logFile;
    int grid = -1;  // -1: when stdout is a terminal
    unsigned columns = 4;
    unsigned process = 0;
    bool verbose = false;
};

[[noreturn]] void BadArgs(const std::string& reason) {
    nuvak::toolargs::Fail("nuvak-monctl", reason + " (try --help)", 2);
}

Options ParseArgs(int argc, char** argv) {
    Options o;
    nuvak::toolargs::ReadAll(argc, argv, 1, kUsage, BadArgs, [&](nuvak::toolargs::Reader& r, const std::string& a) {
        std::string why;
        if (a == "--address") {
            o.address = r.Number<unsigned short>(0, IPC_NFIXED - 1);
        } else if (a == "--seize" || a == "--control" || a == "--refuse-result" || a == "--delay") {
            if (!ApplySetting(a.substr(2), r.Value(), o.settings, why)) BadArgs(why);
        } else if (a == "--control-file") {
            o.controlFile = r.Value();
        } else if (a == "--log") {
            o.logFile = r.Value();
        } else if (a == "--grid") {
            o.grid = 1;
        } else if (a == "--no-grid") {
            o.grid = 0;
        } else if (a == "--columns") {
            o.columns = r.Number<unsigned>(1, 16);
        } else if (a == "--process") {
            o.process = r.Number<unsigned>(1, TMGR_MAX_PROC);
        } else if (a == "--verbose") {
            o.verbose = true;
        } else {
            BadArgs("unknown argument '" + a + "'");
        }
    });
    if (o.grid < 0) o.grid = isatty(STDOUT_FILENO) ? 1 : 0;
    return o;
}

// Signal handlers only record and wake the loop: a queued value in the
// stand-in's own range on the framework signal.
constexpr unsigned kWakeBase = 0x4D430000u;  // 'MC'
constexpr unsigned kWakeMask = 0xFFFF0000u;
volatile sig_atomic_t gReload = 0;
volatile sig_atomic_t gDump = 0;

void OnUserSignal(int signo) {
    int saved = errno;
    if (signo == SIGUSR1) gReload = 1;
    else gDump = 1;
    union sigval v {};
    v.sival_int = static_cast<int>(kWakeBase | 1u);
    sigqueue(getpid(), FrameWorkSignal(), v);
    errno = saved;
}

void OnTermSignal(int) {
    int saved = errno;
    kill(getpid(), SIGINT);  // the framework's orderly stop
    errno = saved;
}

// The log's time: the same UTC millisecond text that stamps the lines of
// standard output (and the service's), so the two can be matched.
std::string UtcNow() { return UtcStamp(); }

// Standard output without stamps: the wall drawings.
std::FILE* gPlain = stdout;

double Monotonic() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

class MonCtl : public IFrameWorkClient, public IFrameWorkObserver {
public:
    explicit MonCtl(const Options& o) : o_(o), settings_(o.settings), wall_(o.address) {}

    // Opens the log and takes the mailbox; false with the reason printed.
    bool Start(IFrameWorkServer* server) {
        server_ = server;
        if (!o_.logFile.empty()) {
            log_ = std::fopen(o_.logFile.c_str(), "a");
            if (log_ == nullptr) {
                std::fprintf(stderr, "nuvak-monctl: cannot open log %s: %s\n", o_.logFile.c_str(), std::strerror(errno));
                return false;
            }
        }
        if (!o_.controlFile.empty() && !ReadControlFile(true)) return false;
        int rc = server_->CreateMailbox(*this, o_.address, PRIORITY_NORMAL, &mailbox_);
        if (rc != 0) {
            std::fprintf(stderr, "nuvak-monctl: cannot take IPC address %u: %s (%d)\n", o_.address,
                         rc == IPCERR_TAKEN ? "taken by another process" : "mailbox failed", rc);
            return false;
        }
        listening_ = server_->CreateSignalListener(*this, PRIORITY_HIGH, kWakeBase, kWakeMask, 1);
        return true;
    }

    void OnTerm() override {
        if (server_ == nullptr) return;
        if (timer_ != nullptr) server_->DestroyTimer(timer_);
        timer_ = nullptr;
        if (listening_) server_->DestroySignalListener(kWakeBase);
        listening_ = false;
        if (mailbox_ != nullptr) server_->DestroyMailbox();
        mailbox_ = nullptr;
        if (log_ != nullptr) std::fclose(log_);
        log_ = nullptr;
        server_ = nullptr;
    }

    bool OnEvent(EVENTTYPE type, unsigned int value) override {
        if (type == EVENT_IPC && mailbox_ != nullptr) {
            std::unique_ptr<IPCMessage> msg(mailbox_->GetMessage());
            if (msg != nullptr && msg->GetHandle() != nullptr) {
                unsigned char block[IPC_MSG_SIZE];
                std::memcpy(block, IPC_block(msg->GetHandle()), sizeof block);
                msg.reset();
                Receive(block);
            }
        } else if (type == EVENT_TIMER) {
            SendDue();
        } else if (type == EVENT_SIGNAL && (value & kWakeMask) == kWakeBase) {
            if (gReload) {
                gReload = 0;
                if (!o_.controlFile.empty()) ReadControlFile(false);
            }
            if (gDump) {
                gDump = 0;
                std::fputs(wall_.Render(o_.columns).c_str(), gPlain);
                std::fflush(gPlain);
            }
        }
        return true;
    }

private:
    void Receive(const unsigned char* block) {
        Request r = Decode(block);
        ++received_;
        const bool isMonitorMessage = r.length == mm::kSize;
        LogRequest(r, isMonitorMessage ? RequestKind(r) : "not_monitor_message");
        if (o_.verbose) {
            std::printf("in %s monitor %u tour %u from %u\n", isMonitorMessage ? RequestKind(r) : "not_monitor_message",
                        r.monitor, r.tourCntl, r.sender);
        }
        for (const Answer& a : wall_.Handle(block, settings_)) {
            if (a.dropped) {
                LogAnswer(a, "dropped", true);
                if (o_.verbose) std::printf("dropped %s monitor %u\n", PrimitiveName(Primitive(a)), Monitor(a));
            } else if (settings_.delayMs > 0) {
                Delay(a);
            } else {
                Send(a);
            }
        }
        Redraw();
    }

    static std::uint16_t Primitive(const Answer& a) { return mm::LoadLE16(a.bytes + mm::kCommand); }
    static std::uint16_t Monitor(const Answer& a) { return mm::LoadLE16(a.bytes + mm::kMonitor); }

    void Send(const Answer& a) {
        bool ok = false;
        std::unique_ptr<IPCMessage> msg(server_->CreateMessage(o_.address, static_cast<int>(mm::kSize)));
        if (msg != nullptr && msg->GetHandle() != nullptr) {
            unsigned char* b = IPC_block(msg->GetHandle());
            std::memset(b, 0, IPC_MSG_SIZE);
            std::memcpy(b, a.bytes, mm::kSize);
            ok = msg->Send(a.destination);
        }
        ++sent_;
        LogAnswer(a, "out", ok);
        if (o_.verbose) {
            std::printf("out %s monitor %u to %u%s\n", PrimitiveName(Primitive(a)), Monitor(a), a.destination,
                        ok ? "" : " (send failed)");
        }
    }

    // Delayed answers wait in a bounded queue; a 100 ms timer runs while any
    // waits.
    void Delay(const Answer& a) {
        if (pending_.size() >= kMaxPending) {
            LogAnswer(a, "dropped", false);
            return;
        }
        pending_.push_back({Monotonic() + settings_.delayMs / 1000.0, a});
        if (timer_ == nullptr && !server_->CreateTimer(*this, true, PRIORITY_NORMAL, &timer_)) {
            timer_ = nullptr;
        }
        if (timer_ != nullptr && !timerRunning_) {
            unsigned v = 0;
            timerRunning_ = timer_->Start(100, &v);
        }
        if (timer_ == nullptr || !timerRunning_) SendDue(true);  // no timer: send at once rather than never
    }

    void SendDue(bool all = false) {
        double now = Monotonic();
        while (!pending_.empty() && (all || pending_.front().due <= now + 0.001)) {
            Answer a = pending_.front().answer;
            pending_.pop_front();
            Send(a);
        }
        if (pending_.empty() && timer_ != nullptr && timerRunning_) {
            timer_->Stop();
            timerRunning_ = false;
        }
        Redraw();
    }

    bool ReadControlFile(bool atStart) {
        std::ifstream in(o_.controlFile);
        if (!in) {
            std::fprintf(stderr, "nuvak-monctl: cannot read control file %s\n", o_.controlFile.c_str());
            return !atStart;
        }
        Settings next = settings_;
        std::vector<std::pair<std::uint16_t, std::uint16_t>> indications;
        std::string line;
        int number = 0;
        while (std::getline(in, line) && number < 1000) {
            ++number;
            std::istringstream words(line);
            std::string key, value, extra;
            if (!(words >> key) || key[0] == '#') continue;
            std::string why;
            if (key == "indicate") {
                std::string monitor;
                words >> value >> monitor;
                unsigned long mon = 0;
                std::uint16_t prim = value == "seize" ? mm::kSeizeInd
                                     : value == "suspend" ? mm::kSuspendInd
                                     : value == "control" ? mm::kControlInd : 0;
                if (prim == 0 || !nuvak::toolargs::ParseNumber(monitor, 0xFFFF, mon)) {
                    why = "indicate takes seize|suspend|control and a monitor";
                } else {
                    indications.emplace_back(prim, static_cast<std::uint16_t>(mon));
                    continue;
                }
            } else if (!(words >> value) || (words >> extra)) {
                why = "expected 'KEY VALUE'";
            } else if (ApplySetting(key, value, next, why)) {
                continue;
            }
            std::fprintf(stderr, "nuvak-monctl: %s:%d: %s\n", o_.controlFile.c_str(), number, why.c_str());
            if (atStart) return false;
            return true;  // a bad file at run time leaves the settings as they were
        }
        settings_ = next;
        if (o_.verbose) std::printf("settings reloaded\n");
        for (const auto& [prim, mon] : indications) Send(wall_.Indication(prim, mon));
        return true;
    }

    void Redraw() {
        if (!o_.grid) return;
        std::string screen = "\033[H\033[2J";
        char head[200];
        std::snprintf(head, sizeof head,
                      "nuvak-monctl  address %u  seize %s  control %s  delay %u ms  received %lu  sent %lu  waiting %zu\n",
                      o_.address,
                      settings_.seize == SeizeMode::Answer ? "answer" : settings_.seize == SeizeMode::Suspend ? "suspend" : "drop",
                      settings_.control == ControlMode::Answer ? "answer" : settings_.control == ControlMode::Refuse ? "refuse" : "drop",
                      settings_.delayMs, received_, sent_, pending_.size());
        screen += head;
        screen += wall_.Render(o_.columns);
        std::fputs(screen.c_str(), gPlain);
        std::fflush(gPlain);
    }

    // JSON lines. Every value is a number or a fixed word, so no escaping is
    // needed beyond the time text.
    void LogRequest(const Request& r, const char* kind) {
        if (log_ == nullptr) return;
        std::fprintf(log_,
                     "{\"dir\":\"in\",\"time\":\"%s\",\"kind\":\"%s\",\"command\":%u,\"monitor\":%u,"
                     "\"sender\":%u,\"sender2\":%u,\"dest\":%u,\"class\":%u,\"length\":%u,\"priority\":%u,"
                     "\"device\":%u,\"user\":%u,\"tour_cntl\":%u,\"ctrl_word\":%u,\"ctrl_value\":%u,"
                     "\"target\":%u,\"tour_action\":%u}\n",
                     UtcNow().c_str(), kind, r.command, r.monitor, r.sender, r.sender2, r.dest, r.msgClass, r.length,
                     r.priority, r.device, r.user, r.tourCntl, r.ctrlWord, r.ctrlValue, r.target, r.tourAction);
        std::fflush(log_);
    }

    void LogAnswer(const Answer& a, const char* dir, bool ok) {
        if (log_ == nullptr) return;
        const unsigned char* b = a.bytes;
        std::fprintf(log_,
                     "{\"dir\":\"%s\",\"time\":\"%s\",\"kind\":\"%s\",\"primitive\":%u,\"monitor\":%u,"
                     "\"sender\":%u,\"sender2\":%u,\"dest\":%u,\"class\":%u,\"length\":%u,\"priority\":%u,"
                     "\"device\":%u,\"user\":%u,\"tour_cntl\":%u,\"result\":%u,\"global_tour\":%u,"
                     "\"tour_type\":%u,\"sent\":%s}\n",
                     dir, UtcNow().c_str(), PrimitiveName(Primitive(a)), Primitive(a), Monitor(a),
                     mm::LoadLE16(b + mm::kSender), mm::LoadLE16(b + mm::kSender2), mm::LoadLE16(b + mm::kDest),
                     mm::LoadLE16(b + mm::kClass), mm::LoadLE16(b + mm::kLength), mm::LoadLE32(b + mm::kPriority),
                     mm::LoadLE16(b + mm::kDevice), mm::LoadLE16(b + mm::kUser), mm::LoadLE16(b + mm::kTourCntl),
                     mm::LoadLE16(b + mm::kResult), mm::LoadLE32(b + mm::kGlobalTour), mm::LoadLE16(b + mm::kTourType),
                     (ok && std::strcmp(dir, "out") == 0) ? "true" : "false");
        std::fflush(log_);
    }

    struct Waiting {
        double due;
        Answer answer;
    };
    static constexpr std::size_t kMaxPending = 4096;

    const Options& o_;
    Settings settings_;
    Wall wall_;
    IFrameWorkServer* server_ = nullptr;  // borrowed from the framework
    IIPC* mailbox_ = nullptr;             // owned by the framework
    ITimer* timer_ = nullptr;             // owned by the framework
    bool timerRunning_ = false;
    bool listening_ = false;
    std::FILE* log_ = nullptr;
    std::deque<Waiting> pending_;
    unsigned long received_ = 0;
    unsigned long sent_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    Options o = ParseArgs(argc, argv);  // usage and reasons unstamped
    // Event lines are stamped; the wall is drawn through the plain stream.
    gPlain = StampStandardOutput();

    IFrameWork* fw = CreateFrameWork();
    if (fw == nullptr) {
        std::fprintf(stderr, "nuvak-monctl: no framework\n");
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = OnUserSignal;
    sigfillset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, nullptr);
    sigaction(SIGUSR2, &sa, nullptr);
    sa.sa_handler = OnTermSignal;
    sigaction(SIGTERM, &sa, nullptr);

    int status = 0;
    {
        std::unique_ptr<ITMGR> link;
        if (o.process != 0) link = std::make_unique<ITMGR>(*fw, static_cast<unsigned short>(o.process), "MONCTL");
        MonCtl app(o);
        IFrameWorkServer* server = nullptr;
        if (!fw->Register(app, &server) || !app.Start(server)) {
            status = 1;
        } else {
            std::printf("ready address %u pid %d\n", o.address, static_cast<int>(getpid()));
            fw->Run();
            std::printf("stopped\n");
        }
        fw->UnRegister(server);  // OnTerm: frees the mailbox, timer and listener
    }
    DestroyFrameWork();
    return status;
}
