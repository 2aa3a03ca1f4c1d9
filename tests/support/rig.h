// A small installation for the end-to-end tests and the service benchmarks:
// the real service with the task manager and monitor control stand-ins, a
// database written by nuvak-dbtool, and a comm client on loopback. Runs in
// the caller's private namespaces (scripts/netns-run.sh). Binaries come from
// NUVAK_BIN, NUVAK_TMGR_BIN, NUVAK_MONCTL_BIN, NUVAK_DBTOOL_BIN (set by
// ctest; the compile definitions of the same names are the fallback), so a
// sanitizer build tests its own service. NUVAK_RIG_KEEP=1 keeps the folder.
#ifndef NUVAK_TESTS_SUPPORT_RIG_H
#define NUVAK_TESTS_SUPPORT_RIG_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "proc.h"

namespace nuvak::rig {

std::string Bin(const std::string& name);  // "nuvak", "nuvak-tmgr", "nuvak-monctl", "nuvak-dbtool"

// The attributes of an answer, read from its XML text.
struct Reply {
    bool received = false;
    unsigned short session = 0, transaction = 0;
    std::string text;
    std::string Attr(const std::string& name) const;  // first occurrence, "" if none
    long Num(const std::string& name) const;          // -1 if absent
};

// Request texts.
std::string GroupXml(unsigned short unit, unsigned long logical, unsigned short type, unsigned short action,
                     unsigned long priority, unsigned short device, unsigned short monitor,
                     unsigned short user = 21, int groupUnit = -1);
std::string CheckXml(unsigned short unit, unsigned long logical, unsigned short type, int groupUnit = -1);

// One comm datagram (a client request) around `payload`.
std::string Datagram(unsigned short unit, unsigned short session, unsigned short transaction, bool exactlyOnce,
                     const std::string& payload);

// A UDP socket on loopback (kernel-chosen port) with a large receive buffer.
class Client {
public:
    Client();
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    int Fd() const { return fd_; }
    void SendTo(unsigned short port, const std::string& bytes) const;
    // Next valid comm datagram within `wait`; received=false on time-out.
    Reply Receive(Ms wait) const;

private:
    int fd_ = -1;
};

struct MonLine {
    std::string dir, kind;
    long long ms = 0;  // time of day, milliseconds
    std::map<std::string, unsigned long> f;
    unsigned long Get(const std::string& k) const {
        auto it = f.find(k);
        return it == f.end() ? 0xDEADBEEFul : it->second;
    }
};
using MonMatch = std::function<bool(const MonLine&)>;
// A message of `kind` sent to monitor control for `monitor`.
MonMatch Kind(const std::string& kind, unsigned long monitor);

struct Options {
    unsigned short unit = 1;
    std::string description;            // nuvak-dbtool description
    std::vector<std::string> tmgrArgs;  // after --unit and --interval
    std::vector<std::string> monctlArgs;
    bool monctlLog = true;              // --log into the folder
    long serviceSigpending = -1;        // RLIMIT_SIGPENDING of the service (-1: inherited)
    Ms readyLimit = Ms(30000);
};

class Installation {
public:
    explicit Installation(const Options& o);
    // Stops the service with SIGINT (if still running) and the stand-ins.
    ~Installation();

    // One request with fresh ids; waits for its answer at most `wait`.
    Reply Request(const std::string& xml, Ms wait = Ms(3000), bool exactlyOnce = false);
    // groupUnit < 0: a group of this unit.
    Reply Group(unsigned long logical, unsigned short type, unsigned short action, unsigned long priority,
                unsigned short device, unsigned short monitor, int groupUnit = -1);
    Reply Check(unsigned long logical, unsigned short type, Ms wait = Ms(3000));

    // `count` check requests of tour 10001, each a session of its own, at
    // most `window` unanswered at a time. An unanswered one is repeated after
    // `retry` (a client's retransmission), at most `maxRepeats` times; retry
    // 0 sends each exactly once (and stops waiting 10 s after the last).
    struct BurstPlan {
        std::size_t count = 10000, window = 64;
        Ms retry = Ms(1000);
        int maxRepeats = 1 << 30;
        Ms limit = Ms(120000);
        bool exactlyOnce = false;
        // Transaction id of every request (sessions 1..count); 0: sessions
        // wrap past 65000 into transactions 1, 2, ...
        unsigned short transaction = 0;
        // Expected monitor list of every answer ("": not checked). An answer
        // with another list or a non-zero ErrorStatus counts as wrong.
        std::string monList;
    };
    struct BurstResult {
        std::size_t answered = 0, wrong = 0, resent = 0, duplicates = 0, unanswered = 0;
        double seconds = 0;
    };
    BurstResult Burst(const BurstPlan& plan);

    void SendRaw(const std::string& bytes, unsigned short port = 5110) { client_.SendTo(port, bytes); }
    void SendIpc(unsigned short address, const std::string& bytes) {
        client_.SendTo(static_cast<unsigned short>(12000 + address), bytes);
    }
    const Client& Sock() const { return client_; }
    // Fresh session and transaction ids for a request sent by hand.
    unsigned short NextSession();
    unsigned short NextTransaction();

    // The framework signal with a value, queued to the service: 0, or the
    // errno of sigqueue (EAGAIN: the kernel's queue of pending real-time
    // signals, counted per user across the machine, is full).
    int QueueSignal(unsigned int value);
    // Writes the database from a description (atomically replaced, or
    // over the old files in place). False if nuvak-dbtool refused it.
    bool WriteDatabase(const std::string& description, bool inPlace);

    std::vector<MonLine> MonLog() const;
    // Waits until at least n monitor log lines from index `from` on match.
    bool WaitMon(std::size_t n, const MonMatch& match, Ms timeout = Ms(5000), std::size_t from = 0) const;
    void StartMonctl();
    void KillMonctl(int sig);

    // Stops the service, then the stand-ins, with SIGINT: "" when the service
    // exited 0 and none of the three printed a sanitizer report, else what
    // went wrong.
    std::string Shutdown();

    Proc& Service() { return *service_; }
    Proc& Tmgr() { return *tmgr_; }
    Proc& Monctl() { return *monctl_; }
    const std::string& Dir() const { return dir_; }
    unsigned short Unit() const { return unit_; }

private:
    int StopService(Ms limit = Ms(20000));  // SIGINT; exit status (-1: did not end)
    std::string dir_;
    unsigned short unit_;
    Options opts_;
    std::unique_ptr<Proc> tmgr_, monctl_, service_;
    Client client_;
    unsigned short session_ = 1;
    unsigned short transaction_ = 1;
    int monctlStarts_ = 0;
};

// CPU time of a single-threaded process in seconds, from /proc/PID/schedstat
// (nanoseconds), else user + system time from /proc/PID/stat.
double CpuSeconds(pid_t pid);
// UDP datagrams the kernel dropped for a full receive buffer in this network
// namespace (RcvbufErrors of /proc/net/snmp), -1 if unreadable.
long UdpReceiveBufferDrops();
// VmRSS / VmHWM of a process in KiB, from /proc/PID/status (-1 if unreadable).
long StatusKiB(pid_t pid, const char* field);

}  // namespace nuvak::rig

#endif
