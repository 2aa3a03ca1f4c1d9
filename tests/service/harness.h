// End-to-end harness: starts the real service with the stand-ins of the
// installation inside the test's private namespaces and talks to it only
// through its real interfaces: comm datagrams to UDP 5110, the monitor
// control stand-in's log of the IPC messages it received, queued signals,
// the shared-memory tables and the database files.
#ifndef NUVAK_TESTS_SERVICE_HARNESS_H
#define NUVAK_TESTS_SERVICE_HARNESS_H

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

// A child process with its standard output (and error) in a file.
class Child {
public:
    Child(const std::string& name, std::vector<std::string> argv, const std::string& outFile);
    ~Child();  // SIGKILL if still running
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    pid_t Pid() const { return pid_; }
    bool Running();
    void Signal(int sig);
    // Waits for the exit; the exit status, or -1 when it did not end in time
    // (or ended by a signal: 128 + signal).
    int Wait(std::chrono::milliseconds timeout);
    std::string Output() const;
    // Waits until the output contains `text`.
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout) const;

private:
    std::string name_;
    std::string out_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// The outcome of one request as the service answered it.
struct Answer {
    bool received = false;
    std::string action;           // "SET_RESPONSE"
    unsigned short error = 0xFFFF;  // message ErrorStatus
    bool hasVariable = false;
    unsigned short returnCode = 0xFFFF;  // VarReturnCode
    unsigned short state = 0xFFFF;       // CameraGroup State
    std::string monList;                 // CameraGroupMonitor GroupMonitor
    std::string text;
};

// One monitor message line of the stand-in's log, as name -> number.
struct MonLine {
    std::string dir, kind;
    std::map<std::string, unsigned long> f;
    unsigned long operator[](const std::string& k) const {
        auto it = f.find(k);
        return it == f.end() ? 0xDEADBEEFul : it->second;
    }
};

struct Options {
    bool lcfs = false;
    unsigned short unit = 1;
    std::string description;  // nuvak-dbtool description of the database
    std::vector<std::string> monctlArgs;
};

class Installation {
public:
    explicit Installation(const Options& o);
    ~Installation();

    // A CameraGroup request (group type, action) for `group` (the logical id;
    // the global id uses `unit`, default this unit) from a user at `monitor`.
    Answer Group(unsigned long logical, unsigned short type, unsigned short action, unsigned long priority,
                 unsigned short device, unsigned short monitor, unsigned short user = 21, int unit = -1);
    // A CameraGroupMonitor check.
    Answer Check(unsigned long logical, unsigned short type, int unit = -1);
    // Sends raw XML text as a request; waits for an answer at most `wait`.
    Answer Raw(const std::string& xml, std::chrono::milliseconds wait = std::chrono::milliseconds(3000));
    // Sends a raw datagram to UDP 5110 (no answer awaited).
    void Datagram(const std::string& bytes);
    // Sends a 256-byte (or any size) datagram to an IPC address's port.
    void IpcDatagram(unsigned short address, const std::string& bytes);

    // `count` check requests with distinct session ids, at most `window`
    // unanswered at a time; an unanswered one is sent again after `retry`.
    struct BurstResult {
        std::size_t answered = 0, resent = 0, duplicates = 0;
        double seconds = 0;
    };
    BurstResult Burst(std::size_t count, std::size_t window, std::chrono::milliseconds retry,
                      std::chrono::seconds limit);

    // Monitor message lines logged so far (received by the stand-in: dir "in").
    std::vector<MonLine> MonLog() const;
    std::size_t MonLogSize() const { return MonLog().size(); }
    // Waits until at least n lines matching pred exist.
    template <class Pred>
    bool WaitMon(std::size_t n, Pred pred, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;

    void QueueSignal(unsigned int value);  // framework signal with a value, to the service
    void RewriteDatabase(const std::string& description, bool inPlace = true);
    bool IpcSlotTaken(unsigned short address) const;

    Child& Service() { return *service_; }
    Child& Tmgr() { return *tmgr_; }
    Child& Monctl() { return *monctl_; }
    // Stops and restarts the monitor control stand-in.
    void RestartMonctl();
    unsigned short Unit() const { return unit_; }
    std::string Dir() const { return dir_; }

private:
    std::string dir_;
    unsigned short unit_;
    std::vector<std::string> monctlArgs_;
    std::unique_ptr<Child> tmgr_, monctl_, service_;
    int sock_ = -1;
    unsigned short session_ = 1;
    unsigned short transaction_ = 1;
};

// Sanitizer reports and unclean exits of the service collected when
// installations shut down (each stops the service with SIGINT); taking them
// empties the collection.
std::string TakeServiceReports();

// Binaries (compile definitions).
std::string Bin(const char* name);

template <class Pred>
bool Installation::WaitMon(std::size_t n, Pred pred, std::chrono::milliseconds timeout) const {
    const auto end = std::chrono::steady_clock::now() + timeout;
    do {
        std::size_t count = 0;
        for (const auto& l : MonLog())
            if (pred(l)) ++count;
        if (count >= n) return true;
        usleep(20000);
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

}  // namespace e2e

#endif
