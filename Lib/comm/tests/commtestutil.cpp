#include "commtestutil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include "commencoder.h"

namespace commtest {
namespace {

sockaddr_in Address(unsigned short port, unsigned long ipa) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(static_cast<uint32_t>(ipa));
    return a;
}

}  // namespace

Loop::Loop(IFrameWork& fw) : fw_(fw) {
    if (fw_.Register(*this, &worker_)) worker_->CreateTimer(*this, true, PRIORITY_NORMAL, &timer_);
}

Loop::~Loop() {
    if (worker_ != nullptr) {
        if (timer_ != nullptr) worker_->DestroyTimer(timer_);
        fw_.UnRegister(worker_);
    }
}

void Loop::Run(unsigned maxTicks, const std::function<bool(unsigned)>& step) {
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

void Loop::Stop() {
    stopping_ = true;
    kill(getpid(), SIGINT);
}

unsigned Loop::Elapsed() const {
    return static_cast<unsigned>((std::chrono::steady_clock::now() - start_) / std::chrono::milliseconds(100));
}

bool Loop::OnEvent(EVENTTYPE type, unsigned int value) {
    if (type != EVENT_TIMER || timer_ == nullptr || value != timer_->GetSignalValue() || stopping_) return true;
    ++tick_;
    if (step_(tick_) || tick_ >= maxTicks_) Stop();
    return true;
}

RawPeer::RawPeer(unsigned short port, unsigned long bindIpa) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd_ < 0) return;
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int big = 8 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_in a = Address(port, bindIpa);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd_);
        fd_ = -1;
        return;
    }
    fcntl(fd_, F_SETFL, O_NONBLOCK);
}

RawPeer::~RawPeer() {
    if (fd_ >= 0) close(fd_);
}

bool RawPeer::Send(const std::string& text, unsigned short port, unsigned long ipa) const {
    sockaddr_in a = Address(port, ipa);
    return sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
           static_cast<ssize_t>(text.size());
}

std::vector<Datagram> RawPeer::Drain(unsigned tick) {
    std::vector<Datagram> out;
    static char buf[65536];
    for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) break;
        Datagram d;
        d.text.assign(buf, static_cast<std::size_t>(n));
        d.port = ntohs(from.sin_port);
        d.tick = tick;
        out.push_back(std::move(d));
    }
    return out;
}

std::string Request(unsigned short sessionId, const std::string& data, OPCODE_TYPE op, unsigned short count,
                    TRANSMISSION_TYPE trans, ACKNOWLEDGE_TYPE ack, unsigned short unit, unsigned short transactionId) {
    CommSession s(sessionId, ack, trans);
    CommTransaction t(op, transactionId, unit, 0, 0, 0);
    return CommEncoder(&s, &t, count, data).GetMsg();
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

}  // namespace commtest
