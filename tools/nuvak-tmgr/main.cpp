// nuvak-tmgr: stands in for the host task manager. It creates and fills the
// task manager's data module (shared memory, key 0x1001), takes its own slot in
// the process table, and sends health checks to every registered process at an
// interval, reporting each answer or miss by process name.
//
// Segment ownership: nuvak-tmgr creates the data module (or takes over one left
// by a task manager that is gone) and removes it when it ends, unless --keep is
// given. Processes that are still attached keep their mapping until they detach;
// new links fail once it is removed.
#include <arpa/inet.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "linestamp.h"
#include "sharedmem.h"
#include "sysdefs.h"
#include "systune.h"
#include "tmgrdm.h"
#include "tmgrif.h"
#include "toolargs.h"

namespace {

using nuvak::tmgr::DataModuleView;
using nuvak::tmgr::ShmAttachment;
namespace dm = nuvak::tmgr::dm;
namespace proc = nuvak::tmgr::proc;

const char kUsage[] =
    "usage: nuvak-tmgr [--unit N] [--lcfs] [--host ADDRESS]... [--interval SECONDS]\n"
    "                  [--count N] [--process N] [--keep] [--verbose]\n"
    "Stands in for the task manager: creates and fills the data module (shared\n"
    "memory key 0x1001), sends health checks to the registered processes and\n"
    "reports each answer or miss. Runs in the foreground until SIGINT or SIGTERM.\n"
    "  --unit N            unit id written to the configuration, 0..64 (default 1)\n"
    "  --lcfs              user operation last-come-first-served (default first-come)\n"
    "  --host ADDRESS      IPv4 address of a host interface; up to 3, in order\n"
    "                      (default 127.0.0.1)\n"
    "  --interval SECONDS  time between health-check rounds, 0 for none (default 5)\n"
    "  --count N           end after N rounds that checked at least one process\n"
    "                      (default 0: run until stopped); exit status 3 if any\n"
    "                      check was missed\n"
    "  --process N         own process number in the process table, 1..144 (default 1)\n"
    "  --keep              leave the data module in place on exit\n"
    "  --verbose           also print every request sent\n"
    "Output (one line each, flushed): 'ready ...' once the data module is filled,\n"
    "'register NAME (N) pid P', 'unregister NAME (N)', 'answer NAME (N) pid P value V\n"
    "status S', 'miss NAME (N) pid P no answer|gone', 'stopped ...'.\n";

struct Options {
    unsigned unit = 1;
    bool lcfs = false;
    std::vector<std::string> hosts;
    double interval = 5.0;
    unsigned long count = 0;
    unsigned own = 1;
    bool keep = false;
    bool verbose = false;
};

[[noreturn]] void BadArgs(const std::string& reason) {
    nuvak::toolargs::Fail("nuvak-tmgr", reason + " (try --help)", 2);
}

Options ParseArgs(int argc, char** argv) {
    Options o;
    nuvak::toolargs::ReadAll(argc, argv, 1, kUsage, BadArgs, [&](nuvak::toolargs::Reader& r, const std::string& a) {
        if (a == "--unit") {
            o.unit = r.Number<unsigned>(0, SYS_NUNIT);
        } else if (a == "--lcfs") {
            o.lcfs = true;
        } else if (a == "--host") {
            const std::string h = r.Value();
            in_addr addr{};
            if (inet_pton(AF_INET, h.c_str(), &addr) != 1) BadArgs("not an IPv4 address: " + h);
            if (o.hosts.size() >= TMGR_NUM_HOST) BadArgs("at most 3 --host entries");
            o.hosts.push_back(h);
        } else if (a == "--interval") {
            const std::string t = r.Value();
            char* end = nullptr;
            const double d = std::strtod(t.c_str(), &end);
            if (t.empty() || *end != '\0' || !(d >= 0.0) || d > 86400.0) BadArgs("--interval takes 0..86400 seconds");
            o.interval = d;
        } else if (a == "--count") {
            o.count = r.Number(0, 1000000000ul);
        } else if (a == "--process") {
            o.own = r.Number<unsigned>(1, TMGR_MAX_PROC);
        } else if (a == "--keep") {
            o.keep = true;
        } else if (a == "--verbose") {
            o.verbose = true;
        } else {
            BadArgs("unknown argument '" + a + "'");
        }
    });
    if (o.hosts.empty()) o.hosts.push_back("127.0.0.1");
    if (o.count > 0 && o.interval <= 0.0) BadArgs("--count needs a non-zero --interval");
    return o;
}

double Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A process name from the data module, fit for one output line: written by
// other programs, so bounded and with anything unprintable replaced.
std::string ProcName(const DataModuleView& v, unsigned n) {
    char buf[proc::kNameSize + 1];
    v.ProcName(n, buf, sizeof buf);
    std::string s(buf);
    for (char& c : s) {
        if (c < 0x21 || c > 0x7E) c = (c == ' ') ? ' ' : '?';
    }
    if (s.empty()) s = "?";
    return s;
}

bool Alive(T_uint_32 pid) {
    if (pid == 0 || pid > 0x7FFFFFFFu) return false;
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// The configuration block as this task manager publishes it.
T_TMGRIF_cfg MakeConfig(const Options& o) {
    T_TMGRIF_cfg c{};
    c.unit_id = static_cast<T_uint_16>(o.unit);
    c.user_operation = o.lcfs ? OPER_USER_LCFS : OPER_USER_FCFS;
    c.version = 1;
    c.num_links = 1;
    c.error_level = 1;
    c.hlschk_interval = static_cast<T_uint_16>(std::lround(o.interval));
    return c;
}

void FillHosts(const Options& o, unsigned char* base) {
    for (std::size_t i = 0; i < o.hosts.size(); ++i) {
        in_addr addr{};
        inet_pton(AF_INET, o.hosts[i].c_str(), &addr);
        T_TMGRIF_HostInfo h{};
        // Addresses in host byte order, as every address of the installation
        // (the unit table, the comm client and server compare them so).
        T_uint_32 hostOrder = ntohl(addr.s_addr);
        h.if_ipa = hostOrder;
        // A /24 network is assumed for the broadcast address.
        h.broadcast_ipa = (hostOrder & 0xFFFFFF00u) | 0xFFu;
        h.server_ipa = hostOrder;
        if ((hostOrder >> 24) == 127) {
            std::snprintf(h.if_name, sizeof h.if_name, "lo");
        } else {
            std::snprintf(h.if_name, sizeof h.if_name, "eth%u", static_cast<unsigned>(i % 10));
        }
        nuvak::tmgr::EncodeHost(h, base + DataModuleView::HostOffset(static_cast<unsigned>(i)));
    }
}

// Health state of one process slot, as seen by this task manager.
struct Slot {
    T_uint_32 pid = 0;        // pid last seen in the slot (0 = free)
    bool outstanding = false; // a request was sent and not yet answered
};

class TaskManager {
public:
    TaskManager(const Options& o, ShmAttachment& seg) : o_(o), seg_(seg), v_(seg.Data()) {}

    void Fill(bool takeOver) {
        unsigned char* base = seg_.Data();
        if (takeOver) {
            // Keep the slots of processes that are still running; clear the
            // rest of the module.
            for (unsigned n = 0; n <= TMGR_MAX_PROC; ++n) {
                if (!Alive(v_.ProcId(n)) || n == o_.own) std::memset(base + DataModuleView::ProcOffset(n), 0, proc::kSize);
            }
            std::memset(base, 0, dm::kProc);
            std::memset(base + dm::kExtProc, 0, dm::kSize - dm::kExtProc);
        } else {
            std::memset(base, 0, dm::kSize);
        }
        v_.Set16(dm::kProcessCount, TMGR_MAX_PROC);
        v_.Set16(dm::kExtProcessCount, 0);
        v_.Set16(dm::kMode, TRUE);
        v_.Set16(dm::kIfCount, static_cast<T_uint_16>(o_.hosts.size()));
        FillHosts(o_, base);
        nuvak::tmgr::EncodeConfig(MakeConfig(o_), base + dm::kConfig);
        v_.SetProcId(o_.own, static_cast<T_uint_32>(getpid()));
        v_.SetProcName(o_.own, "TMGR");
        v_.SetProcState(o_.own, PROC_STATE_OK);
    }

    // Reports processes that entered or left the process table.
    void Scan() {
        for (unsigned n = 1; n <= TMGR_MAX_PROC; ++n) {
            if (n == o_.own) continue;
            T_uint_32 pid = v_.ProcId(n);
            Slot& s = slots_[n];
            if (pid == s.pid) continue;
            if (s.pid != 0) std::printf("unregister %s (%u)\n", lastName_[n].c_str(), n);
            s.pid = pid;
            s.outstanding = false;
            if (pid != 0) {
                lastName_[n] = ProcName(v_, n);
                std::printf("register %s (%u) pid %u\n", lastName_[n].c_str(), n, pid);
            }
        }
    }

    // Closes the previous round (misses) and sends the next one. Returns how
    // many processes were checked.
    unsigned Round() {
        CloseRound();
        v_.Set32(dm::kTick, v_.Get32(dm::kTick) + 1);
        unsigned checked = 0;
        const int sig = SIGRTMAX - SYS_FRAMEWORK_SIGNAL_OFFSET;
        const T_uint_32 value = HCHK_REQ_SIG | (static_cast<T_uint_32>(o_.own) << 16);
        for (unsigned n = 1; n <= TMGR_MAX_PROC; ++n) {
            Slot& s = slots_[n];
            if (n == o_.own || s.pid == 0) continue;
            ++checked;
            std::string name = ProcName(v_, n);
            union sigval sv {};
            sv.sival_int = static_cast<int>(value);
            if (s.pid > 0x7FFFFFFFu || sigqueue(static_cast<pid_t>(s.pid), sig, sv) != 0) {
                std::printf("miss %s (%u) pid %u gone\n", name.c_str(), n, s.pid);
                Count(n, false);
                ++misses_;
                continue;
            }
            if (o_.verbose) std::printf("request %s (%u) pid %u value 0x%08X\n", name.c_str(), n, s.pid, value);
            s.outstanding = true;
        }
        return checked;
    }

    // Every request still unanswered is a miss.
    void CloseRound() {
        for (unsigned n = 1; n <= TMGR_MAX_PROC; ++n) {
            Slot& s = slots_[n];
            if (!s.outstanding) continue;
            s.outstanding = false;
            std::printf("miss %s (%u) pid %u no answer\n", ProcName(v_, n).c_str(), n, s.pid);
            Count(n, false);
            ++misses_;
        }
    }

    void Answer(T_uint_32 value, pid_t from) {
        if ((value & PROC_CHK_TYPE_MASK) != HCHK_ACK_SIG) {
            std::printf("unexpected value 0x%08X from pid %d\n", value, static_cast<int>(from));
            return;
        }
        unsigned n = GET_SOURCE(value);
        T_uint_16 status = static_cast<T_uint_16>(value & 0xFu);
        if (n == 0 || n > TMGR_MAX_PROC || n == o_.own || v_.ProcId(n) == 0) {
            std::printf("unexpected answer 0x%08X from pid %d\n", value, static_cast<int>(from));
            return;
        }
        Slot& s = slots_[n];
        const char* note = "";
        if (static_cast<T_uint_32>(from) != v_.ProcId(n)) note = " (from another pid)";
        else if (!s.outstanding) note = " (late)";
        std::printf("answer %s (%u) pid %d value 0x%08X status 0x%02X%s\n", ProcName(v_, n).c_str(), n,
                    static_cast<int>(from), value, status, note);
        if (s.outstanding && static_cast<T_uint_32>(from) == v_.ProcId(n)) {
            s.outstanding = false;
            v_.SetProcState(n, status);
            Count(n, true);
        }
    }

    unsigned long Misses() const { return misses_; }

private:
    void Count(unsigned n, bool ok) {
        std::size_t slot = DataModuleView::ProcOffset(n);
        if (ok) {
            v_.Set32(slot + proc::kOkCount, v_.Get32(slot + proc::kOkCount) + 1);
            v_.Set16(slot + proc::kRetryCount, 0);
        } else {
            v_.Set32(slot + proc::kFailCount, v_.Get32(slot + proc::kFailCount) + 1);
            v_.Set16(slot + proc::kRetryCount, static_cast<T_uint_16>(v_.Get16(slot + proc::kRetryCount) + 1));
        }
    }

    const Options& o_;
    ShmAttachment& seg_;
    DataModuleView v_;
    Slot slots_[TMGR_MAX_PROC + 1];
    std::string lastName_[TMGR_MAX_PROC + 1];
    unsigned long misses_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    Options o = ParseArgs(argc, argv);  // usage and reasons unstamped
    StampStandardOutput();

    // Signals are taken synchronously: block them and wait with sigtimedwait.
    const int hsig = SIGRTMAX - SYS_FRAMEWORK_SIGNAL_OFFSET;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, hsig);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signal(SIGHUP, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);

    // Is there a data module already (left by a task manager that ended
    // without removing it, or held by one that still runs)?
    bool takeOver = false;
    {
        ShmAttachment probe;
        takeOver = probe.Link(KEY_TMGR, 0) == 0;
    }
    ShmAttachment seg;
    int rc = seg.Create(KEY_TMGR, TMGR_DM_SIZE);
    if (rc == -1) {
        std::fprintf(stderr, "nuvak-tmgr: a segment with key 0x%X exists and is smaller than %u bytes\n", KEY_TMGR,
                     TMGR_DM_SIZE);
        return 1;
    }
    if (rc != 0) {
        std::fprintf(stderr, "nuvak-tmgr: cannot create the data module (key 0x%X): %s\n", KEY_TMGR,
                     std::strerror(rc));
        return 1;
    }
    DataModuleView view(seg.Data());
    if (takeOver) {
        // Scan every slot: another task manager is one whose slot says
        // "TMGR" and whose process still runs.
        for (unsigned n = 1; n <= TMGR_MAX_PROC; ++n) {
            char name[proc::kNameSize + 1];
            view.ProcName(n, name, sizeof name);
            T_uint_32 pid = view.ProcId(n);
            if (std::strcmp(name, "TMGR") == 0 && pid != static_cast<T_uint_32>(getpid()) && Alive(pid)) {
                std::fprintf(stderr, "nuvak-tmgr: another task manager (pid %u) holds the data module\n", pid);
                return 1;
            }
        }
    }

    TaskManager tm(o, seg);
    tm.Fill(takeOver);
    std::printf("ready unit %u %s hosts %zu key 0x%X size %u pid %d%s\n", o.unit, o.lcfs ? "lcfs" : "fcfs",
                o.hosts.size(), KEY_TMGR, TMGR_DM_SIZE, static_cast<int>(getpid()),
                takeOver ? " (took over an existing data module)" : "");
    tm.Scan();

    unsigned long rounds = 0;
    int status = 0;
    double next = o.interval > 0 ? Now() + o.interval : 0;
    bool stop = false;
    while (!stop) {
        // Wake at least every 100 ms to notice registrations.
        double wait = 0.1;
        if (o.interval > 0) wait = std::fmin(wait, std::fmax(0.0, next - Now()));
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(wait);
        ts.tv_nsec = static_cast<long>((wait - static_cast<double>(ts.tv_sec)) * 1e9);
        siginfo_t info{};
        int sig = sigtimedwait(&set, &info, &ts);
        if (sig == SIGINT || sig == SIGTERM) {
            stop = true;
        } else if (sig == hsig) {
            if (info.si_code == SI_QUEUE) {
                tm.Answer(static_cast<T_uint_32>(info.si_value.sival_int), info.si_pid);
            }
        }
        tm.Scan();
        if (!stop && o.interval > 0 && Now() >= next) {
            if (o.count > 0 && rounds >= o.count) {
                tm.CloseRound();
                break;
            }
            if (tm.Round() > 0) ++rounds;
            next += o.interval;
            if (next < Now()) next = Now() + o.interval;
        }
    }
    if (!stop) status = tm.Misses() > 0 ? 3 : 0;

    if (!o.keep) {
        view.SetProcId(o.own, 0);
        view.SetProcState(o.own, PROC_STATE_TERMINATED);
        int id = seg.Id();
        seg.Reset();
        Shm_Remove(id);
        std::printf("stopped, data module removed\n");
    } else {
        view.SetProcId(o.own, 0);
        view.SetProcState(o.own, PROC_STATE_TERMINATED);
        std::printf("stopped, data module kept\n");
    }
    return status;
}
