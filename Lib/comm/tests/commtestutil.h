// Helpers for the comm tests that run the real framework loop over UDP on
// loopback inside private namespaces.
#ifndef COMMTESTUTIL_H
#define COMMTESTUTIL_H

#include <functional>
#include <string>
#include <vector>

#include "commtypes.h"
#include "framework.h"

namespace commtest {

// Drives the framework's loop: a periodic 100 ms timer calls `step` with the
// number of ticks since Run() started; when it returns true, or after
// maxTicks, the loop is stopped (SIGINT, the real stop path).
class Loop : public IFrameWorkClient, public IFrameWorkObserver {
public:
    explicit Loop(IFrameWork& fw);
    ~Loop() override;
    // Returns the tick at which the loop was told to stop.
    unsigned Run(const std::function<bool(unsigned tick)>& step, unsigned maxTicks);
    unsigned Tick() const { return tick_; }
    // Wall-clock time since Run() started, in 100 ms ticks: for assertions on
    // timing, which stay right when a loaded machine merges timer ticks.
    unsigned Elapsed() const;
    bool OnEvent(EVENTTYPE type, unsigned int value) override;

private:
    IFrameWork& fw_;
    IFrameWorkServer* worker_ = nullptr;
    ITimer* timer_ = nullptr;
    std::function<bool(unsigned)> step_;
    unsigned tick_ = 0, maxTicks_ = 0;
    double startMs_ = 0;
    bool stopping_ = false;
};

struct Datagram {
    std::string text;
    unsigned long ipa = 0;
    unsigned int port = 0;
    unsigned tick = 0;
};

// A plain non-blocking UDP socket outside the framework: a fake peer.
class RawPeer {
public:
    explicit RawPeer(unsigned short port = 0, unsigned long bindIpa = 0);
    ~RawPeer();
    unsigned short Port() const { return port_; }
    bool Send(const std::string& text, unsigned short port, unsigned long ipa = 0x7F000001ul) const;
    std::vector<Datagram> Drain(unsigned tick = 0);

private:
    int fd_ = -1;
    unsigned short port_ = 0;
};

// One comm datagram as a requester would send it.
std::string Request(OPCODE_TYPE op, unsigned short count, unsigned short unit, unsigned short sessionId,
                    unsigned short transactionId, ACKNOWLEDGE_TYPE ack, TRANSMISSION_TYPE trans,
                    const std::string& data);
// First line of a datagram ("OpCode: ...").
std::string FirstLine(const std::string& text);

}  // namespace commtest

#endif
