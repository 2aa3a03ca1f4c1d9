// A client's worker: its IFrameWorkServer face (creating timers, listeners,
// sockets, the mailbox and message blocks) and its IWorker face (three FIFO
// event queues, one per priority, drained by DoEvents() once per loop pass).
#ifndef NUVAK_FW_WORKER_H
#define NUVAK_FW_WORKER_H

#include <deque>
#include <set>
#include <vector>

#include "framework.h"

namespace nuvak::fw {

class EventQueueElement {
public:
    EventQueueElement(unsigned int value, IFrameWorkObserver* observer, EVENTTYPE type,
                      unsigned int clientId)
        : value_(value), observer_(observer), type_(type), clientId_(clientId) {}
    unsigned int GetValue() const { return value_; }
    IFrameWorkObserver* GetClient() const { return observer_; }
    EVENTTYPE GetType() const { return type_; }
    unsigned int GetClientId() const { return clientId_; }
    bool IsSignalEqual(unsigned int v) const { return value_ == v; }

private:
    unsigned int value_;
    IFrameWorkObserver* observer_;  // not owned
    EVENTTYPE type_;
    unsigned int clientId_;  // timer or listener id; 0 for socket and IPC events
};

using EventQueue = std::deque<EventQueueElement>;
using PolicyList = std::vector<ISignalHandler*>;  // not owned: the signal manager's

class Worker : public IFrameWorkServer, public IWorker {
public:
    // framework must not be null; the client must outlive the worker.
    Worker(IFrameWorkImpl* pFW, IFrameWorkClient& client);
    ~Worker() override = default;
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // IFrameWorkServer
    bool CreateSignalListener(IFrameWorkObserver& observer, EVENTPRIORITY priority,
                              unsigned int value, unsigned int mask, unsigned int size) override;
    void DestroySignalListener(unsigned int value) override;
    bool CreateTimer(IFrameWorkObserver& observer, bool periodic, EVENTPRIORITY priority,
                     ITimer** pTimer) override;
    void DestroyTimer(ITimer* timer) override;
    int CreateSocket(IFrameWorkObserver& observer, unsigned long ip, unsigned int port,
                     EVENTPRIORITY priority, ISocket** ppSocket, int type) override;
    bool DestroySocket(int socketId) override;
    int CreateMailbox(IFrameWorkObserver& observer, unsigned short address,
                      EVENTPRIORITY priority, IIPC** ppMailbox) override;
    IPCMessage* CreateMessage(unsigned short address, int size) override;
    void DestroyMailbox() override;
    void DumpSignalManager() override;

    // IWorker
    void AddEvent(EVENTPRIORITY priority, unsigned int value, IFrameWorkObserver& observer,
                  unsigned int clientId, EVENTTYPE type) override;
    void RemoveEvent(EVENTPRIORITY priority, unsigned int value) override;
    void DoEvents() override;
    void InitClient() const override;
    void TermClient() const override;

    // Set by the framework when the worker is unregistered during its own
    // DoEvents(): delivery stops after the event in progress.
    void Abandon() { abandoned_ = true; }
    bool IsAbandoned() const { return abandoned_; }
    // Destroys the timers, listeners and sockets the client left behind when
    // it was unregistered, so no source keeps a pointer to a dead worker.
    void ReleaseSources();

private:
    // Removes the listener or timer handler of this signal value from the
    // worker's list and returns it for destruction; null when none.
    ISignalHandler* TakePolicy(unsigned int value);

    IFrameWorkClient* client_;        // borrowed
    IFrameWorkImpl* framework_;       // borrowed; outlives the worker
    EventQueue queues_[PRIORITY_END];
    PolicyList policies_;
    unsigned int nextClientId_ = 0;
    std::set<int> socketIds_;
    std::set<unsigned int> liveClientIds_;
    bool abandoned_ = false;
};

}  // namespace nuvak::fw

#endif
