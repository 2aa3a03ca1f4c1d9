// The signal-value ring (SIGQ_*) and the signal manager.
//
// The ring carries queued signal values from the one signal handler (the
// only producer) to the run loop (the only consumer). N slots linked in a
// circle hold N - 1 values: empty when read == write, full when the write
// slot's next is the read slot. The indices are lock-free atomics, so the
// handler never waits and never allocates.
#ifndef NUVAK_FW_SIGQ_H
#define NUVAK_FW_SIGQ_H

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <set>

#include "framework.h"

struct T_SIGQ_slot {
    std::atomic<std::uint32_t> value;
    std::uint32_t next;  // index of the next slot in the circle
    bool dropped;        // consumer only: purged, skipped by SIGQ_get
};

struct T_SIGQ {
    std::atomic<std::uint32_t> write;  // written only by the producer
    std::atomic<std::uint32_t> read;   // written only by the consumer
    std::uint32_t count;               // number of slots
    T_SIGQ_slot* slots;
};

// A ring of `size` slots (at least 2), or null when memory is short.
T_SIGQ* SIGQ_alloc(std::uint16_t size);
void SIGQ_free(T_SIGQ* ring);
// 0xFFFF when stored; 0 when the ring is full or null (the value is lost).
std::uint16_t SIGQ_put(T_SIGQ* ring, std::uint32_t value);
// 0xFFFF with the oldest value; 0 with value 0 when empty.
std::uint16_t SIGQ_get(T_SIGQ* ring, std::uint32_t* value);
// Consumer side: marks every waiting occurrence of `value` as dropped, so a
// destroyed timer's expiry cannot reach a new timer that reuses its value.
void SIGQ_purge(T_SIGQ* ring, std::uint32_t value);

namespace nuvak::fw {

class FrameWorkImpl;

// Installs the process's signal dispositions and turns queued values into
// events. Exactly one exists, inside the framework; the signal handler finds
// it through a static pointer that is cleared (after the previous
// dispositions are restored) when it is destroyed.
class SignalManager {
public:
    static constexpr std::uint16_t SignalQueueSize = 1024;

    SignalManager();
    ~SignalManager();
    SignalManager(const SignalManager&) = delete;
    SignalManager& operator=(const SignalManager&) = delete;

    void SetFrameWork(FrameWorkImpl* framework) { framework_ = framework; }

    // Handler context: store a value and wake the loop.
    void QueueSignal(unsigned int value);
    void OnEvent();
    void OnReadable(int fd);
    void OnAlarm();
    void OnTerm();

    // Loop context: take at most one value and offer it to the handlers.
    void ProcessSignal();
    bool AddPolicy(ISignalHandler* handler);
    void RemovePolicy(ISignalHandler* handler);
    void Dump();
    // Loop context: drops every occurrence of `value` still in the ring.
    void Purge(unsigned int value) { SIGQ_purge(ring_, value); }
    // Loop context: queue a value as the signal handler would (used when a
    // sigqueue to the process itself fails). Blocks signals meanwhile so the
    // ring keeps a single producer at a time.
    void QueueSignalFromLoop(unsigned int value);

private:
    static void Signal_Handler(int signo, siginfo_t* info, void* context);
    static SignalManager* pC;

    std::set<ISignalHandler*> handlers_;  // not owned: the framework deletes them
    FrameWorkImpl* framework_ = nullptr;  // borrowed; outlives the manager's use
    T_SIGQ* ring_ = nullptr;              // owned

    struct Saved {
        int signo;
        struct sigaction action;
    };
    Saved saved_[10];
    int nsaved_ = 0;
};

// A registered range of signal values. Listeners take values into
// EVENT_SIGNAL events; timers (TimerSignalHandler) into EVENT_TIMER events.
class SignalHandler : public ISignalHandler {
public:
    SignalHandler(IWorker& worker, IFrameWorkObserver& observer, unsigned int clientId,
                  EVENTPRIORITY priority, unsigned int value, unsigned int mask, EVENTTYPE type,
                  FrameWorkImpl* framework, unsigned int size);

    bool HandleSignal(unsigned int value) override;
    bool IsUsed(unsigned int value, unsigned int mask, unsigned int size) override;
    unsigned int GetSignalValue() const override { return value_; }
    unsigned int GetSignalMask() const override { return mask_; }
    unsigned int GetSignalSize() const override { return size_; }
    EVENTTYPE GetSignalType() const override { return type_; }
    unsigned int GetClientId() const override { return clientId_; }
    EVENTPRIORITY GetPriority() const { return priority_; }

    // The accepted interval [value & mask, ~mask | value], cut to 16 bits
    // unless size is 1.
    static void Range(unsigned int value, unsigned int mask, unsigned int size,
                      unsigned int& low, unsigned int& high);

protected:
    IWorker* worker_;              // borrowed: the creating worker
    IFrameWorkObserver* observer_; // borrowed
    unsigned int clientId_;
    EVENTPRIORITY priority_;
    unsigned int value_;
    unsigned int mask_;
    EVENTTYPE type_;
    FrameWorkImpl* framework_;
    unsigned int size_;
    unsigned int low_;
    unsigned int high_;
};

}  // namespace nuvak::fw

#endif
