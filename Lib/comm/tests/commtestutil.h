// Helpers for the comm tests that run the real framework loop over UDP on
// loopback inside private namespaces.
#ifndef COMMTESTUTIL_H
#define COMMTESTUTIL_H

#include <chrono>
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
    void Run(unsigned maxTicks, const std::function<bool(unsigned tick)>& step);
    // Wall-clock time since Run() started, in 100 ms ticks: for assertions on
    // timing, which stay right when a loaded machine merges timer ticks.
    unsigned Elapsed() const;
    bool OnEvent(EVENTTYPE type, unsigned int value) override;

private:
    void Stop();  // SIGINT, the real stop path
    IFrameWork& fw_;
    IFrameWorkServer* worker_ = nullptr;
    ITimer* timer_ = nullptr;
    std::function<bool(unsigned)> step_;
    unsigned tick_ = 0, maxTicks_ = 0;
    std::chrono::steady_clock::time_point start_;
    bool stopping_ = false;
};

struct Datagram {
    std::string text;
    unsigned int port = 0;
    unsigned tick = 0;
};

// A plain non-blocking UDP socket outside the framework: a fake peer.
class RawPeer {
public:
    explicit RawPeer(unsigned short port = 0, unsigned long bindIpa = 0);
    ~RawPeer();
    bool Send(const std::string& text, unsigned short port, unsigned long ipa = 0x7F000001ul) const;
    std::vector<Datagram> Drain(unsigned tick = 0);

private:
    int fd_ = -1;
};

// One comm datagram as a requester (unit 7 unless said) would send it.
std::string Request(unsigned short sessionId, const std::string& data, OPCODE_TYPE op = OPCODE_CLIENT_REQUEST,
                    unsigned short count = 0, TRANSMISSION_TYPE trans = TRANSMISSION_EXACTLY_ONCE,
                    ACKNOWLEDGE_TYPE ack = ACKNOWLEDGE_DEEP, unsigned short unit = 7, unsigned short transactionId = 1);
// First line of a datagram ("OpCode: ...").
std::string FirstLine(const std::string& text);

}  // namespace commtest

#endif
