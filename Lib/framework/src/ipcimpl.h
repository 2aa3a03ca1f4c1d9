// The mailbox object (IPCImpl) and the message object (IPCMessageImpl).
#ifndef NUVAK_FW_IPCIMPL_H
#define NUVAK_FW_IPCIMPL_H

#include <memory>

#include "framework.h"

namespace nuvak::fw {

// IPC_rcv that also tells whether a datagram was taken off the socket
// (a message, or one dropped because it was not 256 bytes).
int IPC_rcv_ex(T_uint_16 address, T_ipchdr** block, bool* consumed);

// A view of one 256-byte block: the process's outgoing block or a receive
// area of the address table. It owns nothing; deleting it frees nothing.
class IPCMessageImpl : public IPCMessage {
public:
    explicit IPCMessageImpl(T_ipchdr* handle) : handle_(handle) {}
    T_ipchdr* GetHandle() const override { return handle_; }
    void Release() override;
    bool Send(unsigned short destination) const override;

private:
    T_ipchdr* handle_;
};

// The process's mailbox: takes and binds its address at construction and
// frees it at destruction. Read() takes at most one message per loop pass.
class IPCImpl : public IIPC {
public:
    IPCImpl(IWorker& worker, IFrameWorkObserver& observer, unsigned short address,
            EVENTPRIORITY priority, int& error);
    ~IPCImpl() override;
    IPCImpl(const IPCImpl&) = delete;
    IPCImpl& operator=(const IPCImpl&) = delete;

    // Hands the current message to the caller, who owns it from then on; a
    // second call for the same message returns null. A message nobody took
    // is deleted when the next one is read or the mailbox is destroyed.
    IPCMessage* GetMessage() const override { return current_.release(); }
    unsigned short GetAddress() const override { return address_; }

    // One receive: true and an EVENT_IPC when a message was read.
    bool Read();
    // Whether the last Read() took a datagram off the socket (a good one or
    // one dropped for its size): more may be waiting.
    bool LastReadConsumed() const { return consumed_; }
    IWorker* GetWorker() const { return worker_; }
    // The mailbox socket's descriptor; -1 when the address is not (or no
    // longer) this process's.
    int Descriptor() const;

private:
    unsigned short address_;
    mutable std::unique_ptr<IPCMessage> current_;
    IWorker* worker_;               // borrowed: the creating worker
    EVENTPRIORITY priority_;
    IFrameWorkObserver* observer_;  // borrowed
    bool owned_ = false;            // the address was taken by this object
    bool consumed_ = false;
};

}  // namespace nuvak::fw

#endif
