// Sockets: datagram reads through the loop with their sources; sending;
// ownership; and a burst whose readiness signals overflow the kernel's
// real-time signal queue.
#include <fcntl.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <chrono>

#include "fwtestutil.h"

using fwtest::BoundUdp;
using fwtest::SendUdp;

namespace {

constexpr unsigned long kLoopback = INADDR_LOOPBACK;
constexpr unsigned int kPeerA = 15001, kPeerB = 15002;  // free in the test's own namespace

class SocketTest : public fwtest::LoopTest {};

// One datagram per socket per pass: a LOW listener's value, one per pass,
// marks the passes and comes after the socket's NORMAL event.
TEST_F(SocketTest, DatagramsArriveOnePerPassWithTheirSources) {
    ISocket* sock = nullptr;
    ASSERT_EQ(server->CreateSocket(rec, 0, 0, PRIORITY_NORMAL, &sock, FW_SOCKET_DATAGRAM), 0);
    ASSERT_TRUE(server->CreateSignalListener(rec, PRIORITY_LOW, 0x600, 0xFFFFFF00, 1));
    const int a = BoundUdp(kPeerA), b = BoundUdp(kPeerB);
    SendUdp(a, sock->GetPort(), "first");
    SendUdp(b, sock->GetPort(), "second, longer");
    SendUdp(a, sock->GetPort(), "3rd");
    for (unsigned int i = 1; i <= 3; ++i) fwtest::QueueValue(getpid(), 0x600 + i);

    std::vector<std::string> got;  // "text@source port"
    rec.hook = [&](EVENTTYPE type, unsigned int id) {
        if (type == EVENT_SIGNAL && id == 0x603) fwtest::StopLoop();
        if (type == EVENT_SIGNAL) return;
        ASSERT_EQ(id, static_cast<unsigned int>(sock->GetSocketId()));
        unsigned int count = 0;
        unsigned char* data = sock->GetBuffer(count);
        const std::string text(reinterpret_cast<char*>(data), count);
        EXPECT_EQ(data[count], 0);  // bytes past the count are zero
        EXPECT_EQ(sock->GetBuffer(), text);
        unsigned long ip = 0;
        unsigned int port = 0;
        sock->GetSource(ip, port);
        EXPECT_EQ(ip, kLoopback);
        got.push_back(text + "@" + std::to_string(port));
    };
    fwtest::Watchdog dog(60);
    EXPECT_TRUE(fw->Run());
    const fwtest::Event S{EVENT_SOCKET, static_cast<unsigned int>(sock->GetSocketId())};
    auto s = [](unsigned int i) { return fwtest::Event{EVENT_SIGNAL, 0x600 + i}; };
    EXPECT_TRUE(rec.events == (std::vector<fwtest::Event>{S, s(1), S, s(2), S, s(3)}));
    EXPECT_EQ(got, (std::vector<std::string>{"first@15001", "second, longer@15002", "3rd@15001"}));
    unsigned int count = 0;
    sock->GetCount(count);
    EXPECT_EQ(count, 3u);
    close(a);
    close(b);
}

TEST_F(SocketTest, SendConnectAndCreationRules) {
    ISocket* sock = nullptr;
    EXPECT_EQ(server->CreateSocket(rec, 0, 0, PRIORITY_HIGH, nullptr, FW_SOCKET_DATAGRAM), -1);
    ASSERT_EQ(server->CreateSocket(rec, kLoopback, 0, PRIORITY_HIGH, &sock, FW_SOCKET_DATAGRAM), 0);
    ISocket* clash = nullptr;
    EXPECT_EQ(server->CreateSocket(rec, kLoopback, sock->GetPort(), PRIORITY_HIGH, &clash,
                                   FW_SOCKET_DATAGRAM), -1);  // bind fails
    EXPECT_EQ(LastSetupError(), "bind(127.0.0.1:" + std::to_string(sock->GetPort()) + "): Address already in use");

    const int peer = BoundUdp(kPeerA);
    const unsigned char data[] = "hello";
    unsigned int len = 5;
    int error = 12345;
    EXPECT_TRUE(sock->Send(kLoopback, kPeerA, data, len, error));
    char text[] = "127.0.0.1", bcast[] = "255.255.255.255", junk[] = "not an address";
    EXPECT_TRUE(sock->Send(text, kPeerA, data, len, error));
    EXPECT_FALSE(sock->Send(bcast, kPeerA, data, len, error));
    EXPECT_FALSE(sock->Send(junk, kPeerA, data, len, error));
    EXPECT_EQ(len, 5u);
    char buf[16] = {};
    EXPECT_EQ(recv(peer, buf, sizeof buf, MSG_DONTWAIT), 5);
    EXPECT_EQ(recv(peer, buf, sizeof buf, MSG_DONTWAIT), 5);
    EXPECT_FALSE(sock->Connect(kLoopback, 80, error));  // datagram: refused

    ISocket* stream = nullptr;
    ASSERT_EQ(server->CreateSocket(rec, 0, 0, PRIORITY_HIGH, &stream, FW_SOCKET_STREAM), 0);
    EXPECT_FALSE(stream->Connect(0, 80, error));
    EXPECT_EQ(error, 12345);  // no call above wrote it
    unsigned long ip = 0;
    EXPECT_TRUE(stream->ResolveHostName("127.0.0.1", 80, ip));
    EXPECT_EQ(ip, kLoopback);
    EXPECT_FALSE(stream->ResolveHostName("no-such-host.invalid", 80, ip));
    close(peer);
}

TEST_F(SocketTest, DestroyOnlyOwnSocketsAndQueuedEventSurvives) {
    fwtest::Client other;
    IFrameWorkServer* otherServer = nullptr;
    ASSERT_TRUE(fw->Register(other, &otherServer));
    ISocket* sock = nullptr;
    ASSERT_EQ(server->CreateSocket(rec, kLoopback, 0, PRIORITY_LOW, &sock, FW_SOCKET_DATAGRAM), 0);
    const int id = sock->GetSocketId();
    EXPECT_FALSE(otherServer->DestroySocket(id));
    SendUdp(-1, sock->GetPort(), "x");
    // A HIGH event of the same pass destroys the socket before its LOW
    // event is delivered; the event still arrives with the old id.
    fwtest::Recorder killer;
    killer.hook = [&](EVENTTYPE, unsigned int) { EXPECT_TRUE(server->DestroySocket(id)); };
    worker->AddEvent(PRIORITY_HIGH, 0, killer, 0, EVENT_SOCKET);
    rec.hook = [](EVENTTYPE, unsigned int) { fwtest::StopLoop(); };
    fwtest::Watchdog dog(60);
    EXPECT_TRUE(fw->Run());
    EXPECT_TRUE(rec.events == (std::vector<fwtest::Event>{{EVENT_SOCKET, static_cast<unsigned int>(id)}}));
    EXPECT_FALSE(server->DestroySocket(id));
    EXPECT_TRUE(fw->UnRegister(otherServer));  // before `other` goes out of scope
}

// A datagram that came before the socket raised readiness signals (here:
// while O_ASYNC is taken off) is read by the first pass, not by whatever
// wakes the loop next (the watchdog's SIGINT).
TEST_F(SocketTest, DatagramFromBeforeTheSignalWasArmedIsReadAtOnce) {
    ISocket* sock = nullptr;
    ASSERT_EQ(server->CreateSocket(rec, kLoopback, 0, PRIORITY_NORMAL, &sock, FW_SOCKET_DATAGRAM), 0);
    const int fd = sock->GetSocketId();
    const int flags = fcntl(fd, F_GETFL);
    ASSERT_EQ(fcntl(fd, F_SETFL, flags & ~O_ASYNC), 0);
    SendUdp(-1, sock->GetPort(), "early");
    fwtest::SleepMs(20);
    ASSERT_EQ(fcntl(fd, F_SETFL, flags), 0);
    const auto start = std::chrono::steady_clock::now();
    double seconds = -1;
    rec.hook = [&](EVENTTYPE, unsigned int) {
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        fwtest::StopLoop();
    };
    {
        fwtest::Watchdog dog(3);
        EXPECT_TRUE(fw->Run());
    }
    EXPECT_EQ(sock->GetBuffer(), "early");
    EXPECT_GE(seconds, 0.0);
    EXPECT_LT(seconds, 1.5);
}

// More datagrams than the kernel will queue readiness signals for: the rest
// fall back to SIGIO. Every datagram must still be read, in order.
TEST_F(SocketTest, BurstBeyondTheSignalQueueIsReadInFull) {
    ISocket* sock = nullptr;
    ASSERT_EQ(server->CreateSocket(rec, kLoopback, 0, PRIORITY_NORMAL, &sock, FW_SOCKET_DATAGRAM), 0);
    rlimit old{};
    getrlimit(RLIMIT_SIGPENDING, &old);
    rlimit tight = old;
    tight.rlim_cur = 2;
    ASSERT_EQ(setrlimit(RLIMIT_SIGPENDING, &tight), 0);
    const unsigned int port = sock->GetPort();
    const int n = 150;
    fwtest::InChild([&] {
        const int fd = BoundUdp();
        for (int i = 0; i < n; ++i) SendUdp(fd, port, std::to_string(i));
    });
    setrlimit(RLIMIT_SIGPENDING, &old);
    std::vector<std::string> got;
    rec.hook = [&](EVENTTYPE, unsigned int) {
        got.push_back(sock->GetBuffer());
        if (static_cast<int>(got.size()) == n) fwtest::StopLoop();
    };
    fwtest::Watchdog dog(30);
    EXPECT_TRUE(fw->Run());
    ASSERT_EQ(static_cast<int>(got.size()), n);
    for (int i = 0; i < n; ++i) ASSERT_EQ(got[i], std::to_string(i));
}

}  // namespace
