// Helpers shared by the framework's tests.
#ifndef NUVAK_FW_TESTUTIL_H
#define NUVAK_FW_TESTUTIL_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework.h"

namespace fwtest {

struct Event {
    EVENTTYPE type;
    unsigned int value;
    bool operator==(const Event& o) const { return type == o.type && value == o.value; }
};

// Records every event; an optional hook runs after recording.
class Recorder : public IFrameWorkObserver {
public:
    bool OnEvent(EVENTTYPE type, unsigned int value) override {
        events.push_back({type, value});
        if (hook) hook(type, value);
        return true;
    }
    std::vector<Event> events;
    std::function<void(EVENTTYPE, unsigned int)> hook;
};

class Client : public IFrameWorkClient {
public:
    void OnInit() override {
        ++inits;
        if (onInit) onInit();
    }
    void OnTerm() override { ++terms; }
    int inits = 0, terms = 0;
    std::function<void()> onInit;
};

// Sleeps the whole time even when signals interrupt it.
inline void SleepMs(long ms) {
    timespec left{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Stops the running loop the way an operator does: SIGINT from kill.
inline void StopLoop() { kill(getpid(), SIGINT); }

// Runs `body` in a child process that then ends; its pid.
inline pid_t Spawn(const std::function<void()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    return pid;
}

// Runs `body` in a child process and waits until it has ended: its exit
// status. SIGCHLD is held meanwhile, so that the framework's handler does
// not reap it first.
inline int InChild(const std::function<void()>& body) {
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    const pid_t pid = Spawn(body);
    int status = -1;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline void QueueValue(pid_t to, unsigned int value, int signo = FrameWorkSignal()) {
    union sigval sv;
    sv.sival_int = static_cast<int>(value);
    sigqueue(to, signo, sv);
}

inline sockaddr_in Loopback(unsigned int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

// A UDP socket bound on loopback (port 0: the kernel's choice), or -1.
inline int BoundUdp(unsigned int port = 0) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa = Loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends `bytes` from `fd`, or from a socket of its own when fd is -1.
inline void SendUdp(int fd, unsigned int port, const std::string& bytes) {
    const int from = fd >= 0 ? fd : socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = Loopback(port);
    sendto(from, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (fd < 0) close(from);
}

// Sends the process SIGINT after `seconds` unless dismissed first, so a test
// whose loop never ends fails instead of hanging.
class Watchdog {
public:
    explicit Watchdog(unsigned int seconds)
        : pid_(Spawn([parent = getpid(), seconds] {
              sleep(seconds);
              kill(parent, SIGINT);
          })) {}
    ~Watchdog() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

private:
    pid_t pid_;
};

// A framework with one registered client, torn down after each test.
class LoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        fw = CreateFrameWork();
        ASSERT_TRUE(fw->Register(client, &server));
        worker = dynamic_cast<IWorker*>(server);
        ASSERT_NE(worker, nullptr);
    }
    void TearDown() override { DestroyFrameWork(); }

    IFrameWork* fw = nullptr;
    Client client;
    IFrameWorkServer* server = nullptr;
    IWorker* worker = nullptr;
    Recorder rec;
};

}  // namespace fwtest

#endif
