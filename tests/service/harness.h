// End-to-end harness of the service tests: the installation rig (see
// tests/reliability/rig.h: the real service with the stand-ins of the
// installation inside the test's private namespaces) with answers decoded by
// the service's own XML codec, so that tests compare the status codes,
// states and monitor lists the service answered.
#ifndef NUVAK_TESTS_SERVICE_HARNESS_H
#define NUVAK_TESTS_SERVICE_HARNESS_H

#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "rig.h"

namespace e2e {

using Child = nuvak::rig::Proc;
using MonLine = nuvak::rig::MonLine;

// The outcome of one request as the service answered it.
struct Answer {
    bool received = false;
    std::string action;             // "SET_RESPONSE"
    unsigned short error = 0xFFFF;  // message ErrorStatus
    bool hasVariable = false;
    unsigned short returnCode = 0xFFFF;  // VarReturnCode
    unsigned short state = 0xFFFF;       // CameraGroup State
    std::string monList;                 // CameraGroupMonitor GroupMonitor
    std::string text;
};

struct Options {
    bool lcfs = false;  // task manager answers last come, first served
    unsigned short unit = 1;
    std::string description;  // nuvak-dbtool description of the database
    std::vector<std::string> monctlArgs;
};

class Installation {
public:
    explicit Installation(const Options& o);
    // Stops the service with SIGINT and records an unclean exit or a
    // sanitizer report (see TakeServiceReports).
    ~Installation();

    // A CameraGroup request (group type, action) for `group` (the logical id;
    // the global id uses `unit`, default this unit) from a user at `monitor`.
    Answer Group(unsigned long logical, unsigned short type, unsigned short action, unsigned long priority,
                 unsigned short device, unsigned short monitor, unsigned short user = 21, int unit = -1);
    // A CameraGroupMonitor check.
    Answer Check(unsigned long logical, unsigned short type, int unit = -1);
    // Sends raw XML text as a request; waits for an answer at most `wait`.
    Answer Raw(const std::string& xml, std::chrono::milliseconds wait = std::chrono::milliseconds(3000));

    // `count` check requests with distinct session ids, at most `window`
    // unanswered at a time; an unanswered one is sent again after `retry`.
    using BurstResult = nuvak::rig::Installation::BurstResult;
    BurstResult Burst(std::size_t count, std::size_t window, std::chrono::milliseconds retry,
                      std::chrono::milliseconds limit) {
        nuvak::rig::Installation::BurstPlan p;
        p.count = count;
        p.window = window;
        p.retry = retry;
        p.limit = limit;
        return rig_.Burst(p);
    }

    // Monitor message lines logged so far by the monitor control stand-in.
    std::vector<MonLine> MonLog() const { return rig_.MonLog(); }
    // Waits until at least n lines matching pred exist.
    template <class Pred>
    bool WaitMon(std::size_t n, Pred pred, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;

    void QueueSignal(unsigned int value) { rig_.QueueSignal(value); }
    // A 256-byte block to an IPC address, as another process would send it.
    void SendIpc(unsigned short address, const std::string& bytes) { rig_.SendIpc(address, bytes); }
    // Throws when nuvak-dbtool refuses the description.
    void RewriteDatabase(const std::string& description, bool inPlace = true);
    bool IpcSlotTaken(unsigned short address) const;

    Child& Service() { return rig_.Service(); }
    Child& Tmgr() { return rig_.Tmgr(); }
    Child& Monctl() { return rig_.Monctl(); }
    // Stops (SIGINT) and restarts the monitor control stand-in.
    void RestartMonctl();
    unsigned short Unit() const { return rig_.Unit(); }
    std::string Dir() const { return rig_.Dir(); }

private:
    nuvak::rig::Installation rig_;
};

// Sanitizer reports and unclean exits of the service collected when
// installations shut down (each stops the service with SIGINT); taking them
// empties the collection.
std::string TakeServiceReports();

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
