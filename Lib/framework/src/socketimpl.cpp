// Framework sockets.
#include "socketimpl.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nuvak::fw {

namespace {

// "10.0.0.1:5110" (host order in).
std::string EndpointText(unsigned long ip, unsigned int port) {
    return std::to_string((ip >> 24) & 0xFF) + "." + std::to_string((ip >> 16) & 0xFF) + "." +
           std::to_string((ip >> 8) & 0xFF) + "." + std::to_string(ip & 0xFF) + ":" + std::to_string(port);
}

// A set-up step that failed without failing the creation: said once.
void ReportStep(int rc, const char* call, const std::string& where) {
    if (rc < 0) ReportSetupFailure(std::string(call) + "(" + where + "): " + SystemReason(errno));
}

}  // namespace

SocketImpl::SocketImpl(IWorker& worker, IFrameWorkObserver& observer, unsigned long ip,
                       unsigned int port, EVENTPRIORITY priority, ISocket** ppSocket, int type,
                       int& error)
    : ip_(ip),
      port_(port),
      type_(static_cast<unsigned int>(type)),
      data_(new unsigned char[kBufferSize]()),
      worker_(&worker),
      priority_(priority),
      observer_(&observer) {
    if (ppSocket == nullptr) {
        error = 1;
        SetSetupError("CreateSocket: no place given for the socket");
        return;
    }
    const int one = 1;
    const std::string where = EndpointText(ip, port);
    if (type == FW_SOCKET_DATAGRAM) {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0) {
            error = errno;
            SetSetupError("socket(UDP, for " + where + "): " + SystemReason(error));
            return;
        }
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<std::uint16_t>(port));
        sa.sin_addr.s_addr = ip == 0 ? htonl(INADDR_ANY) : htonl(static_cast<std::uint32_t>(ip));
        if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            SetSetupError("bind(" + where + "): " + SystemReason(errno));
            close(fd);
            error = -1;
            return;
        }
        socketId_ = fd;
        socklen_t len = sizeof sa;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0) port_ = ntohs(sa.sin_port);
        // No SO_REUSEADDR on a datagram socket: on Linux any local process,
        // of any user, that sets it too could then bind the same port and
        // take its unicast datagrams. UDP has no TIME_WAIT, so a restarted
        // service binds its port without it.
        ReportStep(setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one), "setsockopt(SO_BROADCAST", where);
        // Signal and owner first, so the first readiness already comes as
        // the framework signal. Without them the socket is deaf: said once.
        ReportStep(fcntl(fd, F_SETSIG, FrameWorkSignal()), "fcntl(F_SETSIG", where);
        ReportStep(fcntl(fd, F_SETOWN, getpid()), "fcntl(F_SETOWN", where);
        ReportStep(fcntl(fd, F_SETFL, O_NONBLOCK | O_ASYNC), "fcntl(F_SETFL O_NONBLOCK|O_ASYNC", where);
    } else {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) {
            error = errno;
            SetSetupError("socket(TCP): " + SystemReason(error));
            return;
        }
        socketId_ = fd;
        ReportStep(setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one), "setsockopt(SO_REUSEADDR", "TCP");
        ReportStep(fcntl(fd, F_SETFL, O_NONBLOCK), "fcntl(F_SETFL O_NONBLOCK", "TCP");
        ReportStep(fcntl(fd, F_SETOWN, getpid()), "fcntl(F_SETOWN", "TCP");
        ReportStep(fcntl(fd, F_SETSIG, FrameWorkSignal()), "fcntl(F_SETSIG", "TCP");
    }
    error = 0;
}

SocketImpl::~SocketImpl() {
    if (socketId_ > 0) close(socketId_);
}

bool SocketImpl::Read(char* buffer, int length) {
    if (socketId_ <= 0 || buffer == nullptr || length <= 0) return false;
    ssize_t n;
    sockaddr_in from{};
    if (type_ == FW_SOCKET_DATAGRAM) {
        socklen_t fromLength = sizeof from;
        n = recvfrom(socketId_, buffer, static_cast<size_t>(length), 0,
                     reinterpret_cast<sockaddr*>(&from), &fromLength);
    } else {
        std::memset(buffer, 0, length < 4 ? static_cast<size_t>(length) : 4);
        n = recv(socketId_, buffer, static_cast<size_t>(length), MSG_WAITALL);
    }
    if (n < 1) return false;
    if (type_ == FW_SOCKET_DATAGRAM) {
        sourceIp_ = ntohl(from.sin_addr.s_addr);
        sourcePort_ = ntohs(from.sin_port);
    }
    const auto got = static_cast<unsigned int>(n) < kBufferSize ? static_cast<unsigned int>(n)
                                                                : kBufferSize;
    std::memcpy(data_.get(), buffer, got);
    // Keep every byte past the count zero (as if the whole buffer had been
    // cleared) while touching only what the previous read left behind.
    if (count_ > got) std::memset(data_.get() + got, 0, count_ - got);
    count_ = got;
    worker_->AddEvent(priority_, static_cast<unsigned int>(socketId_), *observer_, 0, EVENT_SOCKET);
    return true;
}

bool SocketImpl::Send(unsigned long ip, unsigned int port, unsigned char const* data,
                      unsigned int& length, int& error) {
    ssize_t n;
    if (type_ == FW_SOCKET_DATAGRAM) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        to.sin_addr.s_addr = htonl(static_cast<std::uint32_t>(ip));
        n = sendto(socketId_, data, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    } else {
        n = send(socketId_, data, length, MSG_NOSIGNAL);
    }
    if (n < 0) {
        error = errno;
        return false;
    }
    return true;
}

bool SocketImpl::Send(char* ipText, unsigned int port, unsigned char const* data,
                      unsigned int& length, int& error) {
    if (ipText == nullptr) return false;
    const in_addr_t a = inet_addr(ipText);
    if (a == INADDR_NONE) return false;
    return Send(static_cast<unsigned long>(ntohl(a)), port, data, length, error);
}

bool SocketImpl::Connect(unsigned long ip, unsigned int port, int& error) {
    if (type_ != FW_SOCKET_STREAM || ip == 0 || port == 0) return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(static_cast<std::uint32_t>(ip));
    if (connect(socketId_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        error = errno;
        return false;
    }
    sourceIp_ = ip;
    sourcePort_ = port;
    return true;
}

bool SocketImpl::GetSource(unsigned long& ip, unsigned int& port) const {
    ip = sourceIp_;
    port = sourcePort_;
    return true;
}

bool SocketImpl::GetCount(unsigned int& count) const {
    count = count_;
    return true;
}

std::string SocketImpl::GetBuffer() {
    text_.assign(reinterpret_cast<const char*>(data_.get()), count_);
    return text_;
}

unsigned char* SocketImpl::GetBuffer(unsigned int& count) {
    count = count_;
    return data_.get();
}

bool SocketImpl::ResolveHostName(std::string name, int port, unsigned long& ip) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(name.c_str(), service.c_str(), &hints, &list) != 0) return false;
    unsigned long answer = 0;
    char host[NI_MAXHOST];
    char serv[NI_MAXSERV];
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) continue;
        if (getnameinfo(ai->ai_addr, ai->ai_addrlen, host, sizeof host, serv, sizeof serv,
                        NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
            answer = ntohl(reinterpret_cast<sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr);
        }
    }
    freeaddrinfo(list);
    ip = answer;
    return true;
}

}  // namespace nuvak::fw

bool WidenReceiveBuffer(int fd, int bytes) {
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0) return true;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    return false;
}
