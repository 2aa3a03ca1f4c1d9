// The framework object and the run loop.
#include "frameworkimpl.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "fwassert.h"
#include "ipcimpl.h"
#include "socketimpl.h"
#include "timermgt.h"
#include "worker.h"

namespace nuvak::fw {

namespace {

FrameWorkImpl* pFrameWork = nullptr;  // the one instance, owned by Create/DestroyFrameWork

constexpr unsigned int kFirstSignalValue = 85;

void QueueLostExpiry(std::uint32_t value) {
    if (pFrameWork != nullptr) pFrameWork->QueueSignalFromLoop(value);
}

}  // namespace

FrameWorkImpl::FrameWorkImpl()
    : processId_(static_cast<unsigned int>(getpid())),
      receiveBuffer_(new char[SocketImpl::kBufferSize]),
      readable_(new std::atomic<unsigned int>[kCountedDescriptors]),
      draining_(new bool[kCountedDescriptors]()) {
    for (int fd = 0; fd < kCountedDescriptors; ++fd) readable_[fd].store(0, std::memory_order_relaxed);
    signalManager_.SetFrameWork(this);
    sem_init(&wake_, 0, 0);
    ipcInitialised_ = true;
    IPC_init();  // a failure shows later, when a mailbox cannot be created
    TimerExpiryFallback = &QueueLostExpiry;
    Register(*this, &ownServer_);
}

FrameWorkImpl::~FrameWorkImpl() {
    // Clients first: each destroys what it created in OnTerm().
    std::vector<Worker*> all(workers_.begin(), workers_.end());
    for (Worker* w : all) {
        if (workers_.count(w) == 0) continue;  // unregistered by another's OnTerm()
        w->TermClient();
        ReleaseSources(w);
        workers_.erase(w);
        DeleteWorker(w);
    }
    workers_.clear();
    Timer_Term();
    for (auto& entry : sockets_) delete entry.second;
    sockets_.clear();
    DestroyMailbox();
    ipcInitialised_ = false;
    TimerExpiryFallback = nullptr;
    // The signal manager is destroyed after this body: dispositions are
    // restored before the semaphore goes away, so no handler posts a dead one.
    signalManager_.SetFrameWork(nullptr);
    sem_destroy(&wake_);
}

bool FrameWorkImpl::Register(IFrameWorkClient& client, IFrameWorkServer** ppServer) {
    FW_ASSERT(ppServer != nullptr);
    auto* worker = new (std::nothrow) Worker(this, client);  // owned by workers_
    if (worker == nullptr) return false;  // the answer the caller checks
    if (!workers_.insert(worker).second) {
        delete worker;
        return false;
    }
    *ppServer = worker;
    return true;
}

Worker* FrameWorkImpl::FindWorker(IFrameWorkServer* server) const {
    for (Worker* w : workers_) {
        if (static_cast<IFrameWorkServer*>(w) == server) return w;
    }
    return nullptr;
}

void FrameWorkImpl::DeleteWorker(Worker* worker) {
    if (worker == delivering_) {
        // Unregistered from inside its own DoEvents(): stop its delivery
        // there and delete it once DoEvents() has returned.
        worker->Abandon();
        return;
    }
    delete worker;
}

void FrameWorkImpl::ReleaseSources(Worker* worker) {
    worker->ReleaseSources();
    if (mailbox_ && mailbox_->GetWorker() == static_cast<IWorker*>(worker)) DestroyMailbox();
}

bool FrameWorkImpl::UnRegister(IFrameWorkServer* server) {
    if (server == nullptr) return true;
    Worker* worker = FindWorker(server);
    if (worker == nullptr) return false;
    worker->TermClient();
    ReleaseSources(worker);
    workers_.erase(worker);
    DeleteWorker(worker);
    return true;
}

bool FrameWorkImpl::Run() {
    std::vector<Worker*> snapshot(workers_.begin(), workers_.end());
    for (Worker* w : snapshot) {
        if (workers_.count(w) != 0) w->InitClient();
    }
    while (!stop_.load()) {
        if (sem_wait(&wake_) != 0) continue;  // interrupted by a signal
        if (tickPending_.exchange(0) != 0) {
            // A tick pass does nothing else: the expiries it queues come
            // back through the ring in later passes.
            Timer_Event();
            continue;
        }
        const bool fullPass = fullPass_.exchange(false);
        signalManager_.ProcessSignal();
        bool again = false;
        if (mailbox_) {
            const int fd = mailbox_->Descriptor();
            if (TakeReadable(fd, fullPass)) {
                mailbox_->Read();
                again = KeepDraining(fd, fullPass, mailbox_->LastReadConsumed()) || again;
            }
        }
        for (auto& entry : sockets_) {
            SocketImpl* socket = entry.second;
            const int fd = entry.first;
            if (!socket->SignalDriven()) {
                socket->Read(receiveBuffer_.get(), SocketImpl::kBufferSize);
                continue;
            }
            if (!TakeReadable(fd, fullPass)) continue;
            const bool took = socket->Read(receiveBuffer_.get(), SocketImpl::kBufferSize);
            again = KeepDraining(fd, fullPass, took) || again;
        }
        snapshot.assign(workers_.begin(), workers_.end());
        for (Worker* w : snapshot) {
            if (workers_.count(w) == 0) continue;
            delivering_ = w;
            w->DoEvents();
            delivering_ = nullptr;
            if (w->IsAbandoned()) delete w;
        }
        // A follow-up pass for the sources being drained. It reads those
        // and any counted ones; it is not a full pass.
        if (again) sem_post(&wake_);
    }
    return true;
}

bool FrameWorkImpl::OnEvent(EVENTTYPE type, unsigned int value) {
    if (type != EVENT_SIGNAL) return false;
    if (value == 2 || value == 3) stop_.store(true);
    return true;
}

void FrameWorkImpl::SignalEvent() {
    fullPass_.store(true);
    sem_post(&wake_);
}

void FrameWorkImpl::ReadableEvent(int fd) {
    if (fd >= 0 && fd < kCountedDescriptors) {
        readable_[fd].fetch_add(1, std::memory_order_relaxed);
    } else {
        fullPass_.store(true);
    }
    sem_post(&wake_);
}

// Every post raises the semaphore by one and every counted signal raises
// its descriptor's count by one with it, and every pass that is not a tick
// pass lowers each non-zero count by one: so no count outlives the posts,
// and every counted signal gets its read.
bool FrameWorkImpl::TakeReadable(int fd, bool fullPass) {
    if (fd < 0 || fd >= kCountedDescriptors) return true;
    std::atomic<unsigned int>& count = readable_[fd];
    unsigned int n = count.load(std::memory_order_relaxed);
    while (n != 0 && !count.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
    }
    return n != 0 || fullPass || draining_[fd];
}

bool FrameWorkImpl::KeepDraining(int fd, bool fullPass, bool took) {
    if (fd < 0 || fd >= kCountedDescriptors) return took;
    draining_[fd] = took && (fullPass || draining_[fd]);
    return draining_[fd];
}

// A descriptor raises readiness signals only from the moment it is made
// signal-driven, a little after it is bound: a datagram that arrived in
// between (a peer that already knows a fixed port) raises none and would
// wait for whatever wakes the loop next. One full pass right after the
// creation reads it.
void FrameWorkImpl::ReadSoon(int fd) {
    if (fd >= 0 && fd < kCountedDescriptors) {
        readable_[fd].store(0);  // left by an earlier source on this number
        draining_[fd] = false;
    }
    SignalEvent();
}

void FrameWorkImpl::TimerEvent() {
    tickPending_.store(0xFFFF);
    sem_post(&wake_);
}

bool FrameWorkImpl::AllocateSignalValue(unsigned int* value) {
    unsigned int v;
    if (!freedValues_.empty()) {
        v = freedValues_.front();
        freedValues_.pop_front();
    } else if (!valuesInUse_.empty()) {
        v = *valuesInUse_.rbegin() + 1;
    } else {
        v = kFirstSignalValue;
    }
    valuesInUse_.insert(v);
    *value = v;
    return true;
}

bool FrameWorkImpl::FreeSignalValue(unsigned int value) {
    auto it = valuesInUse_.find(value);
    if (it == valuesInUse_.end()) return false;
    if (value != *valuesInUse_.rbegin()) freedValues_.push_back(value);
    valuesInUse_.erase(it);
    return true;
}

bool FrameWorkImpl::CreateTimerHandler(IWorker& worker, IFrameWorkObserver& observer,
                                       unsigned int clientId, bool periodic,
                                       EVENTPRIORITY /*priority: timers are always NORMAL*/,
                                       ITimer** pTimer, ISignalHandler** ppHandler) {
    FW_ASSERT(pTimer != nullptr);
    unsigned int value;
    if (!AllocateSignalValue(&value)) {
        SetSetupError("CreateTimer: no free signal value for a timer");
        return false;
    }
    auto handler = std::make_unique<TimerSignalHandler>(worker, observer, clientId, value,
                                                        periodic, this);
    if (!handler->IsCreated() || !signalManager_.AddPolicy(handler.get())) {
        char text[96];
        if (!handler->IsCreated())
            std::snprintf(text, sizeof text, "CreateTimer: Timer_Create: all 2048 timers in use, or no memory");
        else
            std::snprintf(text, sizeof text, "CreateTimer: signal value 0x%X is taken by a listener", value);
        SetSetupError(text);
        FreeSignalValue(value);
        return false;
    }
    *pTimer = handler.get();
    if (ppHandler != nullptr) *ppHandler = handler.get();
    handler.release();  // now held by the signal manager's set; DestroyTimerHandler deletes it
    return true;
}

void FrameWorkImpl::DestroyTimerHandler(ISignalHandler* handler) {
    if (handler == nullptr) return;
    const unsigned int value = handler->GetSignalValue();
    FreeSignalValue(value);
    signalManager_.RemovePolicy(handler);
    // An expiry already waiting in the ring must not reach the next timer
    // that is given this value.
    signalManager_.Purge(value);
    delete handler;
}

bool FrameWorkImpl::CreateSignalHandler(IWorker& worker, IFrameWorkObserver& observer,
                                        unsigned int clientId, EVENTPRIORITY priority,
                                        unsigned int value, unsigned int mask,
                                        ISignalHandler** ppHandler, unsigned int size) {
    FW_ASSERT(ppHandler != nullptr);
    auto handler = std::make_unique<SignalHandler>(worker, observer, clientId, priority, value,
                                                   mask, EVENT_SIGNAL, this, size);
    if (!signalManager_.AddPolicy(handler.get())) {
        char text[112];
        std::snprintf(text, sizeof text,
                      "CreateSignalListener(0x%X, mask 0x%X): collides with another listener", value, mask);
        SetSetupError(text);
        return false;
    }
    *ppHandler = handler.release();  // held by the signal manager's set
    return true;
}

void FrameWorkImpl::DestroySignalHandler(ISignalHandler* handler) {
    if (handler == nullptr) return;
    signalManager_.RemovePolicy(handler);
    delete handler;
}

void FrameWorkImpl::DumpSignalManager() { signalManager_.Dump(); }

int FrameWorkImpl::CreateSocket(IWorker& worker, IFrameWorkObserver& observer, unsigned long ip,
                                unsigned int port, EVENTPRIORITY priority, ISocket** ppSocket,
                                int type) {
    if (ppSocket == nullptr) return -1;
    int error = 0;
    auto socket = std::make_unique<SocketImpl>(worker, observer, ip, port, priority, ppSocket,
                                               type, error);
    if (error != 0) return error;
    const int id = socket->GetSocketId();
    *ppSocket = socket.get();
    sockets_[id] = socket.release();  // owned by the map
    ReadSoon(id);
    return 0;
}

void FrameWorkImpl::DestroySocket(int socketId) {
    auto it = sockets_.find(socketId);
    if (it == sockets_.end()) return;
    delete it->second;
    sockets_.erase(it);
}

int FrameWorkImpl::CreateMailbox(IWorker& worker, IFrameWorkObserver& observer,
                                 unsigned short address, EVENTPRIORITY priority,
                                 IIPC** ppMailbox) {
    if (ppMailbox == nullptr) return -1;
    if (mailbox_) {
        SetSetupError("CreateMailbox(" + std::to_string(address) + "): the process has a mailbox already");
        return -2;
    }
    int error = 0;
    auto mailbox = std::make_unique<IPCImpl>(worker, observer, address, priority, error);
    if (error != 0) return error;
    mailbox_ = std::move(mailbox);
    *ppMailbox = mailbox_.get();
    ReadSoon(mailbox_->Descriptor());
    return 0;
}

void FrameWorkImpl::DestroyMailbox() { mailbox_.reset(); }

}  // namespace nuvak::fw

IFrameWork* CreateFrameWork() {
    using nuvak::fw::FrameWorkImpl;
    // Null when the object cannot be had; main() says so and does nothing.
    if (nuvak::fw::pFrameWork == nullptr) nuvak::fw::pFrameWork = new (std::nothrow) FrameWorkImpl();
    return nuvak::fw::pFrameWork;
}

void DestroyFrameWork() {
    nuvak::fw::FrameWorkImpl* fw = nuvak::fw::pFrameWork;
    if (fw == nullptr) return;
    delete fw;
    nuvak::fw::pFrameWork = nullptr;
}
