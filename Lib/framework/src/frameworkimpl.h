// The framework object: the run loop, the wake semaphore, the stop protocol,
// client registration, signal values, and the owners of sockets and the
// mailbox.
//
// The loop sleeps on one unnamed semaphore that the signal handler posts.
// Every post yields one pass; a pass handles at most one queued signal
// value, at most one mailbox message, at most one read of every socket, and
// then lets every worker deliver its events.
//
// Which sources a pass reads: a readiness signal names its descriptor
// (si_fd), and the handler counts it for that descriptor; a pass reads each
// datagram socket and the mailbox once for every counted signal (one count
// per pass), so a datagram costs one read, not one read of every source.
// Every other post (a queued value such as a timer expiry, SIGIO, a stop,
// a new socket) asks for a full pass that reads every source. A read in a
// full pass that took a datagram may have found data whose signal was lost
// (SIGIO is the kernel's word for that): that source is read again in
// follow-up passes until it is empty, so nothing waits for a wake-up that
// may not come. Stream sockets, which raise no signals, are read in every
// pass.
#ifndef NUVAK_FW_FRAMEWORKIMPL_H
#define NUVAK_FW_FRAMEWORKIMPL_H

#include <semaphore.h>

#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <set>

#include "framework.h"
#include "sigq.h"

namespace nuvak::fw {

class SocketImpl;
class IPCImpl;
class Worker;

class FrameWorkImpl : public IFrameWorkImpl,
                      public IFrameWork,
                      public IFrameWorkObserver,
                      public IFrameWorkClient {
public:
    FrameWorkImpl();
    ~FrameWorkImpl() override;
    FrameWorkImpl(const FrameWorkImpl&) = delete;
    FrameWorkImpl& operator=(const FrameWorkImpl&) = delete;

    // IFrameWorkImpl
    bool AllocateSignalValue(unsigned int* value) override;
    bool FreeSignalValue(unsigned int value) override;
    bool CreateTimerHandler(IWorker& worker, IFrameWorkObserver& observer, unsigned int clientId,
                            bool periodic, EVENTPRIORITY priority, ITimer** pTimer,
                            ISignalHandler** ppHandler) override;
    void DestroyTimerHandler(ISignalHandler* handler) override;
    bool CreateSignalHandler(IWorker& worker, IFrameWorkObserver& observer, unsigned int clientId,
                             EVENTPRIORITY priority, unsigned int value, unsigned int mask,
                             ISignalHandler** ppHandler, unsigned int size) override;
    void DestroySignalHandler(ISignalHandler* handler) override;
    void DumpSignalManager() override;
    int CreateSocket(IWorker& worker, IFrameWorkObserver& observer, unsigned long ip,
                     unsigned int port, EVENTPRIORITY priority, ISocket** ppSocket,
                     int type) override;
    void DestroySocket(int socketId) override;
    int CreateMailbox(IWorker& worker, IFrameWorkObserver& observer, unsigned short address,
                      EVENTPRIORITY priority, IIPC** ppMailbox) override;
    void DestroyMailbox() override;

    // IFrameWork
    bool Register(IFrameWorkClient& client, IFrameWorkServer** ppServer) override;
    bool UnRegister(IFrameWorkServer* server) override;
    bool Run() override;
    unsigned int GetProcessId() const override { return processId_; }

    // IFrameWorkObserver: EVENT_SIGNAL 2 or 3 requests a stop. Safe in a
    // signal handler.
    bool OnEvent(EVENTTYPE type, unsigned int value) override;

    // Signal-handler context. SignalEvent asks for a full pass;
    // ReadableEvent counts a readiness signal for descriptor fd.
    void SignalEvent();
    void ReadableEvent(int fd);
    void TimerEvent();

    // Loop context: queue a value as if it had come through the signal.
    void QueueSignalFromLoop(unsigned int value) { signalManager_.QueueSignalFromLoop(value); }
    // Loop context: drops a stopped timer's expiries still in the ring.
    void PurgeSignalValue(unsigned int value) { signalManager_.Purge(value); }

private:
    Worker* FindWorker(IFrameWorkServer* server) const;
    void DeleteWorker(Worker* worker);
    // Loop context: asks for one full pass, for data that came before a new
    // socket or mailbox was signal-driven.
    void ReadSoon(int fd);
    // Loop context: whether this pass reads the source on descriptor fd
    // (consumes one counted signal), and after the read whether it must be
    // read again in a follow-up pass.
    bool TakeReadable(int fd, bool fullPass);
    bool KeepDraining(int fd, bool fullPass, bool took);
    void ReleaseSources(Worker* worker);

    SignalManager signalManager_;
    std::set<Worker*> workers_;  // owned
    std::atomic<bool> stop_{false};
    unsigned int processId_;
    IFrameWorkServer* ownServer_ = nullptr;
    std::set<unsigned int> valuesInUse_;
    std::list<unsigned int> freedValues_;
    std::map<int, SocketImpl*> sockets_;  // owned
    std::unique_ptr<char[]> receiveBuffer_;
    bool ipcInitialised_ = false;
    std::unique_ptr<IPCImpl> mailbox_;
    std::atomic<unsigned int> tickPending_{0};
    // Descriptors below this have their readiness signals counted; a source
    // on a higher one is read in every pass.
    static constexpr int kCountedDescriptors = 1024;
    // Readiness signals per descriptor not yet answered by a read. Written
    // by the handler (increment) and the loop (decrement), lock-free.
    std::unique_ptr<std::atomic<unsigned int>[]> readable_;
    // Loop only: the source's last read in a full or follow-up pass took a
    // datagram, so it is read again until empty.
    std::unique_ptr<bool[]> draining_;
    std::atomic<bool> fullPass_{false};  // a post asked for every source to be read
    sem_t wake_;
    Worker* delivering_ = nullptr;  // the worker inside DoEvents(), if any
};

}  // namespace nuvak::fw

#endif
