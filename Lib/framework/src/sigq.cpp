// Signal-value ring, signal dispositions and signal handlers.
#include "sigq.h"

#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include "frameworkimpl.h"
#include "fwassert.h"

T_SIGQ* SIGQ_alloc(std::uint16_t size) {
    std::uint32_t n = size < 2 ? 2 : size;
    T_SIGQ* ring = new (std::nothrow) T_SIGQ;
    if (ring == nullptr) return nullptr;
    ring->slots = new (std::nothrow) T_SIGQ_slot[n];
    if (ring->slots == nullptr) {
        delete ring;
        return nullptr;
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        ring->slots[i].value.store(0, std::memory_order_relaxed);
        ring->slots[i].next = (i + 1) % n;
        ring->slots[i].dropped = false;
    }
    ring->count = n;
    ring->write.store(0, std::memory_order_relaxed);
    ring->read.store(0, std::memory_order_relaxed);
    return ring;
}

void SIGQ_free(T_SIGQ* ring) {
    if (ring == nullptr) return;
    delete[] ring->slots;
    delete ring;
}

std::uint16_t SIGQ_put(T_SIGQ* ring, std::uint32_t value) {
    if (ring == nullptr) return 0;
    std::uint32_t w = ring->write.load(std::memory_order_relaxed);
    std::uint32_t next = ring->slots[w].next;
    if (next == ring->read.load(std::memory_order_acquire)) return 0;  // full
    ring->slots[w].value.store(value, std::memory_order_relaxed);
    ring->write.store(next, std::memory_order_release);
    return 0xFFFF;
}

std::uint16_t SIGQ_get(T_SIGQ* ring, std::uint32_t* value) {
    *value = 0;
    if (ring == nullptr) return 0;
    for (;;) {
        std::uint32_t r = ring->read.load(std::memory_order_relaxed);
        if (r == ring->write.load(std::memory_order_acquire)) return 0;  // empty
        T_SIGQ_slot& slot = ring->slots[r];
        const std::uint32_t v = slot.value.load(std::memory_order_relaxed);
        const bool dropped = slot.dropped;
        slot.value.store(0, std::memory_order_relaxed);
        slot.dropped = false;
        ring->read.store(slot.next, std::memory_order_release);
        if (!dropped) {
            *value = v;
            return 0xFFFF;
        }
    }
}

void SIGQ_purge(T_SIGQ* ring, std::uint32_t value) {
    if (ring == nullptr) return;
    // Slots from read up to the published write index belong to the
    // consumer; the producer only writes beyond them.
    const std::uint32_t w = ring->write.load(std::memory_order_acquire);
    for (std::uint32_t i = ring->read.load(std::memory_order_relaxed); i != w;
         i = ring->slots[i].next) {
        if (ring->slots[i].value.load(std::memory_order_relaxed) == value) ring->slots[i].dropped = true;
    }
}

namespace nuvak::fw {

SignalManager* SignalManager::pC = nullptr;

SignalManager::SignalManager() {
    struct sigaction handled {};
    handled.sa_sigaction = &SignalManager::Signal_Handler;
    sigfillset(&handled.sa_mask);
    handled.sa_flags = SA_SIGINFO;
    struct sigaction ignored {};
    ignored.sa_handler = SIG_IGN;
    sigfillset(&ignored.sa_mask);

    // SIGIO is handled rather than ignored: the kernel sends it to the owner
    // of a signal-driven descriptor when the real-time signal queue is full,
    // and then it is the only wake-up for the data that arrived.
    const int handledSignals[] = {FrameWorkSignal(), SIGINT, SIGCHLD, SIGALRM, SIGIO};
    const int ignoredSignals[] = {SIGHUP, SIGPIPE, SIGPROF, SIGVTALRM};
    // The pointer is set before the first disposition so that no signal
    // arriving in between finds the manager missing.
    pC = this;
    for (int s : handledSignals) {
        saved_[nsaved_].signo = s;
        sigaction(s, &handled, &saved_[nsaved_].action);
        ++nsaved_;
    }
    for (int s : ignoredSignals) {
        saved_[nsaved_].signo = s;
        sigaction(s, &ignored, &saved_[nsaved_].action);
        ++nsaved_;
    }
    ring_ = SIGQ_alloc(SignalQueueSize);
}

SignalManager::~SignalManager() {
    // Restore what was there before, with every signal blocked so that no
    // handler runs half-way through; then forget the manager and the ring.
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    for (int i = nsaved_ - 1; i >= 0; --i) sigaction(saved_[i].signo, &saved_[i].action, nullptr);
    if (pC == this) pC = nullptr;
    T_SIGQ* ring = ring_;
    ring_ = nullptr;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    SIGQ_free(ring);
}

void SignalManager::QueueSignal(unsigned int value) {
    SIGQ_put(ring_, value);  // a full ring loses the value but still wakes the loop
    OnEvent();
}

void SignalManager::QueueSignalFromLoop(unsigned int value) {
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    QueueSignal(value);
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

void SignalManager::OnEvent() {
    if (framework_ != nullptr) framework_->SignalEvent();
}

void SignalManager::OnReadable(int fd) {
    if (framework_ != nullptr) framework_->ReadableEvent(fd);
}

void SignalManager::OnAlarm() {
    if (framework_ != nullptr) framework_->TimerEvent();
}

void SignalManager::OnTerm() {
    if (framework_ == nullptr) return;
    framework_->OnEvent(EVENT_SIGNAL, 2);
    framework_->SignalEvent();
}

// Runs with every signal blocked. Records and wakes only: no allocation, no
// lock, errno preserved.
void SignalManager::Signal_Handler(int signo, siginfo_t* info, void* /*context*/) {
    SignalManager* self = pC;
    if (self == nullptr || info == nullptr) return;
    const int savedErrno = errno;
    const int code = info->si_code;
    const int sig = info->si_signo != 0 ? info->si_signo : signo;
    if (sig == SIGIO) {
        // Overflow of the real-time signal queue: some descriptor has data
        // whose own readiness signal was lost. Wake the loop to read it.
        self->OnEvent();
    } else if (code == SI_USER) {
        if (sig == SIGINT) self->OnTerm();
    } else if (code == SI_QUEUE || code == SI_TIMER) {
        self->QueueSignal(static_cast<unsigned int>(info->si_value.sival_int));
    } else if (code >= 1 && code <= 6) {
        if (sig == SIGCHLD) {
            // Several children may end under one (merged) SIGCHLD: reap all.
            int status;
            while (waitpid(-1, &status, WNOHANG) > 0) {
            }
        } else {
            self->OnReadable(info->si_fd);  // descriptor readiness: counted for its descriptor
        }
    } else if (code == SI_KERNEL) {
        if (sig == SIGINT) {
            self->OnTerm();
        } else if (sig == SIGALRM) {
            self->OnAlarm();
        }
    }
    errno = savedErrno;
}

void SignalManager::ProcessSignal() {
    std::uint32_t value;
    if (SIGQ_get(ring_, &value) == 0) return;
    for (ISignalHandler* h : handlers_) {
        if (h->HandleSignal(value)) return;
    }
    // A value no handler takes is dropped.
}

bool SignalManager::AddPolicy(ISignalHandler* pPolicy) {
    FW_ASSERT(pPolicy != nullptr);
    const unsigned int value = pPolicy->GetSignalValue();
    const unsigned int mask = pPolicy->GetSignalMask();
    const unsigned int size = pPolicy->GetSignalSize();
    for (ISignalHandler* h : handlers_) {
        if (h->IsUsed(value, mask, size)) return false;
    }
    return handlers_.insert(pPolicy).second;
}

void SignalManager::RemovePolicy(ISignalHandler* handler) { handlers_.erase(handler); }

void SignalManager::Dump() {
    for (ISignalHandler* h : handlers_) {
        std::printf("Signal Type: %d, Signal Value: 0x%x\t\tSignal Mask: 0x%x\n",
                    static_cast<int>(h->GetSignalType()), h->GetSignalValue(),
                    h->GetSignalMask());
    }
}

// ---------------------------------------------------------------------------

void SignalHandler::Range(unsigned int value, unsigned int mask, unsigned int size,
                          unsigned int& low, unsigned int& high) {
    low = value & mask;
    high = (~mask) | value;
    if (size != 1) {
        low &= 0xFFFFu;
        high &= 0xFFFFu;
    }
}

SignalHandler::SignalHandler(IWorker& worker, IFrameWorkObserver& observer,
                             unsigned int clientId, EVENTPRIORITY priority, unsigned int value,
                             unsigned int mask, EVENTTYPE type, FrameWorkImpl* framework,
                             unsigned int size)
    : worker_(&worker),
      observer_(&observer),
      clientId_(clientId),
      priority_(priority),
      value_(value),
      mask_(mask),
      type_(type),
      framework_(framework),
      size_(size) {
    Range(value, mask, size, low_, high_);
}

bool SignalHandler::HandleSignal(unsigned int value) {
    if (size_ == 0) value &= 0xFFFFu;
    if (value < low_ || value > high_) return false;
    worker_->AddEvent(priority_, value, *observer_, clientId_, type_);
    return true;
}

bool SignalHandler::IsUsed(unsigned int value, unsigned int mask, unsigned int size) {
    unsigned int low, high;
    Range(value, mask, size, low, high);
    return (low >= low_ && low <= high_) || (high >= low_ && high <= high_);
}

}  // namespace nuvak::fw
