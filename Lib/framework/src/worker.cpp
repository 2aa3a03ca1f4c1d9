// Workers: event queues and the client-facing creation calls.
#include "worker.h"

#include <algorithm>
#include <new>

#include "fwassert.h"
#include "ipcimpl.h"

namespace nuvak::fw {

Worker::Worker(IFrameWorkImpl* pFW, IFrameWorkClient& client)
    : client_(&client), framework_(pFW) {
    FW_ASSERT(pFW != nullptr);
}

bool Worker::CreateSignalListener(IFrameWorkObserver& observer, EVENTPRIORITY priority,
                                  unsigned int value, unsigned int mask, unsigned int size) {
    ISignalHandler* handler = nullptr;
    if (!framework_->CreateSignalHandler(*this, observer, nextClientId_, priority, value, mask,
                                         &handler, size)) {
        return false;
    }
    policies_.push_back(handler);
    liveClientIds_.insert(nextClientId_);
    ++nextClientId_;
    return true;
}

ISignalHandler* Worker::TakePolicy(unsigned int value) {
    auto it = std::find_if(policies_.begin(), policies_.end(),
                           [value](ISignalHandler* h) { return h->GetSignalValue() == value; });
    if (it == policies_.end()) return nullptr;
    ISignalHandler* handler = *it;
    liveClientIds_.erase(handler->GetClientId());
    policies_.erase(it);
    return handler;
}

void Worker::DestroySignalListener(unsigned int value) {
    if (ISignalHandler* handler = TakePolicy(value)) framework_->DestroySignalHandler(handler);
}

bool Worker::CreateTimer(IFrameWorkObserver& observer, bool periodic, EVENTPRIORITY priority,
                         ITimer** pTimer) {
    FW_ASSERT(pTimer != nullptr);
    ISignalHandler* handler = nullptr;
    if (!framework_->CreateTimerHandler(*this, observer, nextClientId_, periodic, priority, pTimer,
                                        &handler)) {
        return false;
    }
    liveClientIds_.insert(nextClientId_);
    ++nextClientId_;
    policies_.push_back(handler);
    return true;
}

void Worker::DestroyTimer(ITimer* timer) {
    if (timer == nullptr) return;
    timer->Stop();
    if (ISignalHandler* handler = TakePolicy(timer->GetSignalValue())) framework_->DestroyTimerHandler(handler);
}

int Worker::CreateSocket(IFrameWorkObserver& observer, unsigned long ip, unsigned int port,
                         EVENTPRIORITY priority, ISocket** ppSocket, int type) {
    if (ppSocket == nullptr) return -1;
    const int rc = framework_->CreateSocket(*this, observer, ip, port, priority, ppSocket, type);
    if (rc == 0) socketIds_.insert((*ppSocket)->GetSocketId());
    return rc;
}

bool Worker::DestroySocket(int socketId) {
    if (socketIds_.erase(socketId) == 0) return false;
    framework_->DestroySocket(socketId);
    return true;
}

int Worker::CreateMailbox(IFrameWorkObserver& observer, unsigned short address,
                          EVENTPRIORITY priority, IIPC** ppMailbox) {
    if (ppMailbox == nullptr) return -1;
    return framework_->CreateMailbox(*this, observer, address, priority, ppMailbox);
}

IPCMessage* Worker::CreateMessage(unsigned short address, int size) {
    T_ipchdr* block = IPC_malloc(address, size);
    if (block == nullptr) return nullptr;
    // Owned by the caller; null (as for no block) when it cannot be had. The
    // block itself belongs to the process, so nothing leaks.
    return new (std::nothrow) IPCMessageImpl(block);
}

void Worker::DestroyMailbox() { framework_->DestroyMailbox(); }

void Worker::DumpSignalManager() { framework_->DumpSignalManager(); }

void Worker::AddEvent(EVENTPRIORITY priority, unsigned int value, IFrameWorkObserver& observer,
                      unsigned int clientId, EVENTTYPE type) {
    FW_ASSERT(priority < PRIORITY_END);
    queues_[priority].emplace_back(value, &observer, type, clientId);
}

void Worker::RemoveEvent(EVENTPRIORITY priority, unsigned int value) {
    FW_ASSERT(priority < PRIORITY_END);
    EventQueue& q = queues_[priority];
    q.erase(std::remove_if(q.begin(), q.end(),
                           [value](const EventQueueElement& e) { return e.IsSignalEqual(value); }),
            q.end());
}

void Worker::DoEvents() {
    for (int p = PRIORITY_HIGH; p < PRIORITY_END; ++p) {
        EventQueue& q = queues_[p];
        while (!q.empty()) {
            if (abandoned_) return;
            const EventQueueElement e = q.front();
            q.pop_front();
            const EVENTTYPE type = e.GetType();
            if ((type == EVENT_SIGNAL || type == EVENT_TIMER) &&
                liveClientIds_.count(e.GetClientId()) == 0) {
                continue;  // its timer or listener no longer exists
            }
            e.GetClient()->OnEvent(type, e.GetValue());
        }
    }
}

void Worker::InitClient() const { client_->OnInit(); }

void Worker::TermClient() const { client_->OnTerm(); }

void Worker::ReleaseSources() {
    PolicyList left;
    left.swap(policies_);
    for (ISignalHandler* h : left) {
        liveClientIds_.erase(h->GetClientId());
        if (h->GetSignalType() == EVENT_TIMER) {
            framework_->DestroyTimerHandler(h);
        } else {
            framework_->DestroySignalHandler(h);
        }
    }
    std::set<int> sockets;
    sockets.swap(socketIds_);
    for (int id : sockets) framework_->DestroySocket(id);
}

}  // namespace nuvak::fw
