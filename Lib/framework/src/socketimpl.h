// A framework socket: datagram sockets are bound, non-blocking and
// signal-driven (the framework signal with a POLL_* code); stream sockets
// connect out and are read only when something else wakes the loop.
#ifndef NUVAK_FW_SOCKETIMPL_H
#define NUVAK_FW_SOCKETIMPL_H

#include <memory>
#include <string>

#include "framework.h"

namespace nuvak::fw {

class SocketImpl : public ISocket {
public:
    static constexpr unsigned int kBufferSize = 65535;

    // error: 0 success; errno of a failed socket(); -1 failed bind; 1 null ppSocket.
    SocketImpl(IWorker& worker, IFrameWorkObserver& observer, unsigned long ip, unsigned int port,
               EVENTPRIORITY priority, ISocket** ppSocket, int type, int& error);
    ~SocketImpl() override;
    SocketImpl(const SocketImpl&) = delete;
    SocketImpl& operator=(const SocketImpl&) = delete;

    int GetSocketId() const override { return socketId_; }
    bool Send(unsigned long ip, unsigned int port, unsigned char const* data,
              unsigned int& length, int& error) override;
    bool Send(char* ipText, unsigned int port, unsigned char const* data, unsigned int& length,
              int& error) override;
    bool Connect(unsigned long ip, unsigned int port, int& error) override;
    bool GetSource(unsigned long& ip, unsigned int& port) const override;
    bool GetCount(unsigned int& count) const override;
    std::string GetBuffer() override;
    unsigned char* GetBuffer(unsigned int& count) override;
    unsigned int GetPort() const override { return port_; }
    unsigned long GetIPA() const override { return ip_; }
    bool ResolveHostName(std::string name, int port, unsigned long& ip) override;

    // One non-blocking read into `buffer`; true and an EVENT_SOCKET when
    // something was read.
    bool Read(char* buffer, int length);
    // Whether the latest Read took something (more may be waiting).
    // Datagram sockets raise readiness signals; stream sockets do not.
    bool SignalDriven() const { return type_ == FW_SOCKET_DATAGRAM; }

private:
    unsigned long ip_;
    unsigned int port_;
    int socketId_ = 0;
    unsigned int type_;
    std::string text_;
    std::unique_ptr<unsigned char[]> data_;  // kBufferSize bytes; beyond count_ always zero
    unsigned long sourceIp_ = 0;
    unsigned int sourcePort_ = 0;
    unsigned int count_ = 0;
    IWorker* worker_;               // borrowed
    EVENTPRIORITY priority_;
    IFrameWorkObserver* observer_;  // borrowed
};

}  // namespace nuvak::fw

#endif
