// Helpers for the comm tests that run the real framework loop over UDP on
// loopback inside private namespaces.
#ifndef COMMTESTUTIL_H
#define COMMTESTUTIL_H

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include "commencoder.h"
#include "framework.h"

namespace commtest {

// Drives the framework's loop: a periodic 100 ms timer calls `step` with the
// number of ticks since Run() started; when it returns true, or after
// maxTicks, the loop is stopped by SIGINT, the real stop path.
class Loop : public IFrameWorkClient, public IFrameWorkObserver {
public:
    explicit Loop(IFrameWork& fw) : fw_(fw) {
        if (fw_.Register(*this, &worker_)) worker_->CreateTimer(*this, true, PRIORITY_NORMAL, &timer_);
    }
    ~Loop() override {
        if (worker_ == nullptr) return;
        if (timer_ != nullptr) worker_->DestroyTimer(timer_);
        fw_.UnRegister(worker_);
    }
    void Run(unsigned maxTicks, const std::function<bool(unsigned tick)>& step) {
        step_ = step;
        maxTicks_ = maxTicks;
        tick_ = 0;
        stopping_ = false;
        start_ = std::chrono::steady_clock::now();
        unsigned int value = 0;
        if (timer_ == nullptr || !timer_->Start(100, &value)) return;
        if (step_(0)) Stop();
        fw_.Run();
        timer_->Stop();
    }
    // Wall-clock time since Run() started, in 100 ms ticks: for assertions on
    // timing, which stay right when a loaded machine merges timer ticks.
    unsigned Elapsed() const {
        return static_cast<unsigned>((std::chrono::steady_clock::now() - start_) / std::chrono::milliseconds(100));
    }
    bool OnEvent(EVENTTYPE type, unsigned int value) override {
        if (type != EVENT_TIMER || timer_ == nullptr || value != timer_->GetSignalValue() || stopping_) return true;
        if (step_(++tick_) || tick_ >= maxTicks_) Stop();
        return true;
    }

private:
    void Stop() {
        stopping_ = true;
        kill(getpid(), SIGINT);
    }
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
    unsigned int port;  // the sender's
    unsigned tick;
};

// A plain non-blocking UDP socket outside the framework: a fake peer.
class RawPeer {
public:
    explicit RawPeer(unsigned short port = 0, unsigned long bindIpa = 0) : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
        int one = 1, big = 8 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        const sockaddr_in a = Address(port, bindIpa);
        if (bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "bind " << port;
        fcntl(fd_, F_SETFL, O_NONBLOCK);
    }
    ~RawPeer() { close(fd_); }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;
    void Send(const std::string& text, unsigned short port) const {
        const sockaddr_in a = Address(port, 0x7F000001ul);
        sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    // What has arrived, stamped with `tick`.
    std::vector<Datagram> Drain(unsigned tick = 0) {
        std::vector<Datagram> out;
        static char buf[65536];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        for (ssize_t n; (n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len)) >= 0;)
            out.push_back({std::string(buf, static_cast<std::size_t>(n)), ntohs(from.sin_port), tick});
        return out;
    }

private:
    static sockaddr_in Address(unsigned short port, unsigned long ipa) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(static_cast<uint32_t>(ipa));
        return a;
    }
    int fd_;
};

// One comm datagram as a requester (unit 7 unless said) would send it.
inline std::string Request(unsigned short sessionId, const std::string& data, OPCODE_TYPE op = OPCODE_CLIENT_REQUEST,
                           unsigned short count = 0, TRANSMISSION_TYPE trans = TRANSMISSION_EXACTLY_ONCE,
                           ACKNOWLEDGE_TYPE ack = ACKNOWLEDGE_DEEP, unsigned short unit = 7,
                           unsigned short transactionId = 1) {
    CommSession s(sessionId, ack, trans);
    CommTransaction t(op, transactionId, unit, 0, 0, 0);
    return CommEncoder(&s, &t, count, data).GetMsg();
}

// First line of a datagram ("OpCode: ...").
inline std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

}  // namespace commtest

#endif
