// Start-up failures of the real service in private namespaces: no task
// manager, port 5110 taken, no database folder. Each is said in one line
// naming the call, what it was for and the system's reason, once (not per
// request or timer pass); the service still runs and ends with status 0.
// And port 5110, once the service has it, is its own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "rig.h"
#include "sysdefs.h"

namespace {

using namespace nuvak::rig;

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Waits for `line`, lets a few timer passes go by, stops the service and
// returns its output. (Children write into fresh temporary files.)
std::string RunThenStop(Proc& service, const std::string& line, void (*during)() = nullptr) {
    EXPECT_TRUE(service.WaitFor(line, Ms(20000))) << service.Output();
    if (during != nullptr) during();
    usleep(2500 * 1000);  // two or more passes of the 1 s tour timer
    service.Signal(SIGINT);
    EXPECT_EQ(service.Wait(Ms(20000)), 0);
    return service.Output();
}

struct TaskManager {
    Proc proc{{Bin("nuvak-tmgr"), "--unit", "1", "--interval", "1"}};
    TaskManager() { EXPECT_TRUE(proc.WaitFor("ready", Ms(20000))) << proc.Output(); }
    ~TaskManager() {
        proc.Signal(SIGINT);
        proc.Wait(Ms(5000));
    }
};

TEST(StartupFailures, NoTaskManager) {
    Proc service({Bin("nuvak")});
    const std::string line =
        "TMGRIF_link(task manager data module, shared memory key 0x1001): No such file or directory";
    const std::string out = RunThenStop(service, line);
    // Both comm endpoints meet the same cause: one line for all.
    EXPECT_EQ(Count(out, "TMGRIF"), 1u) << out;
    EXPECT_EQ(Count(out, "failed (0x"), 0u) << out;
}

// A UDP socket bound to port 5110 on any address (-1 when bind failed).
int BindServicePort(bool reuseAddress) {
    // Close-on-exec: the service started later must not inherit it.
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    if (reuseAddress) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(5110);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return fd;
    close(fd);
    return -1;
}

// Check requests (at most once, fresh sessions from `session` on) until one
// is answered within `limit` tries of 500 ms.
bool Answered(Client& client, unsigned short& session, int limit) {
    for (int i = 0; i < limit; ++i) {
        client.SendTo(5110, Datagram(1, session++, 1, false, CheckXml(1, 1, MON_TOUR_TYP_GRP)));
        if (client.Receive(Ms(500)).received) return true;
    }
    return false;
}

// Port 5110 held by another process at start: the service says so once,
// answers its health checks "not serving" (status 0, not 0x0E), tries the
// bind again every second without saying more, and serves (health 0x0E)
// as soon as the port is free.
TEST(StartupFailures, PortTaken) {
    TaskManager tm;
    const int fd = BindServicePort(false);
    ASSERT_GE(fd, 0);
    Proc service({Bin("nuvak")});
    const std::string line = "comm server (port 5110): bind(0.0.0.0:5110): Address already in use";
    ASSERT_TRUE(service.WaitFor(line, Ms(20000))) << service.Output();
    EXPECT_TRUE(tm.proc.WaitFor("answer NUVAK (51) pid " + std::to_string(service.Pid()) +
                                    " value 0xEC33EC00 status 0x00",
                                Ms(10000)))
        << tm.proc.Output();
    usleep(2500 * 1000);  // two or more retries of the bind
    EXPECT_EQ(Count(tm.proc.Output(), "status 0x0E"), 0u) << tm.proc.Output();
    close(fd);
    EXPECT_TRUE(service.WaitFor("comm server (port 5110): bound after ", Ms(10000))) << service.Output();
    EXPECT_TRUE(tm.proc.WaitFor("value 0xEC33EC0E status 0x0E", Ms(10000))) << tm.proc.Output();
    Client client;
    unsigned short session = 1;
    EXPECT_TRUE(Answered(client, session, 10));
    service.Signal(SIGINT);
    EXPECT_EQ(service.Wait(Ms(20000)), 0);
    const std::string out = service.Output();
    EXPECT_EQ(Count(out, "Address already in use"), 1u) << out;
    EXPECT_EQ(Count(out, "comm "), 2u) << out;  // the failure, then "bound after"
    EXPECT_EQ(Count(out, "TMGRIF"), 0u) << out;
    // Every line carries the UTC time it was written: the start-up line
    // first (version, unit, host addresses, database folder), then the
    // failure with its text unchanged after the stamp.
    std::vector<std::string> lines;
    for (std::size_t at = 0, nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(out.substr(at, nl - at));
    ASSERT_GE(lines.size(), 3u) << out;
    EXPECT_TRUE(StampedLine(lines[0], "nuvak ")) << lines[0];
    EXPECT_NE(lines[0].find(" starting: unit 1, host addresses 127.0.0.1, database /opt/cctv/database, pid " +
                            std::to_string(service.Pid())),
              std::string::npos)
        << lines[0];
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return StampedLine(l, line); }),
              1)
        << out;
    for (const std::string& l : lines) EXPECT_TRUE(StampedLine(l, "")) << l;
}

// True when `uid` has an owner in this process's user namespace: always as
// root on the host; in a user namespace made by an ordinary user
// (unshare --map-root-user) only uid 0 is mapped.
bool UidMapped(unsigned long uid) {
    std::ifstream map("/proc/self/uid_map");
    unsigned long inside = 0, outside = 0, count = 0;
    while (map >> inside >> outside >> count)
        if (uid >= inside && uid - inside < count) return true;
    return false;
}

// While the service holds port 5110, another user's process cannot bind it,
// not even with SO_REUSEADDR, and every request reaches the service.
TEST(StartupFailures, PortNotSharedWithAnotherUser) {
    if (!UidMapped(65534)) GTEST_SKIP() << "uid 65534 is not mapped in this user namespace (run as root)";
    TaskManager tm;
    Proc service({Bin("nuvak")});
    Client client;
    unsigned short session = 1;
    ASSERT_TRUE(Answered(client, session, 40)) << service.Output();
    int pipeFd[2];
    ASSERT_EQ(pipe(pipeFd), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // As nobody: 'R' when the bind is refused; else 'B', then the exit
        // status counts what it took from the service's port.
        close(pipeFd[0]);
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(99);
        const int fd = BindServicePort(true);
        const char verdict = fd < 0 ? 'R' : 'B';
        if (write(pipeFd[1], &verdict, 1) != 1 || fd < 0) _exit(0);
        timeval wait{3, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        char buf[2048];
        int taken = 0;
        while (recv(fd, buf, sizeof buf, 0) > 0) ++taken;
        _exit(10 + taken);
    }
    close(pipeFd[1]);
    char verdict = 0;
    EXPECT_EQ(read(pipeFd[0], &verdict, 1), 1);
    close(pipeFd[0]);
    EXPECT_EQ(verdict, 'R') << "a process of uid 65534 bound port 5110 beside the service";
    int answered = 0;
    for (int i = 0; i < 5; ++i) {
        client.SendTo(5110, Datagram(1, session++, 1, true, CheckXml(1, 1, MON_TOUR_TYP_GRP)));
        answered += client.Receive(Ms(1000)).received ? 1 : 0;
    }
    EXPECT_EQ(answered, 5);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other user's process took "
                                                               << WEXITSTATUS(status) - 10 << " datagrams";
    service.Signal(SIGINT);
    EXPECT_EQ(service.Wait(Ms(20000)), 0);
}

TEST(StartupFailures, NoDatabaseFolder) {
    // The namespace's /opt/cctv/database is a bind mount of an empty folder.
    umount("/opt/cctv/database");
    ASSERT_EQ(rmdir("/opt/cctv/database"), 0);
    TaskManager tm;
    Proc service({Bin("nuvak")});
    const std::string line =
        "stat(/opt/cctv/database): No such file or directory; no tours or group presets loaded";
    const std::string out = RunThenStop(service, line, [] {
        // Requests are answered (every group unknown) and say nothing more.
        Client client;
        // The line comes before the comm server is open: wait for it first.
        bool up = false;
        for (unsigned short s = 100; s < 140 && !up; ++s) {
            client.SendTo(5110, Datagram(1, s, 1, false, CheckXml(1, 1, MON_TOUR_TYP_GRP)));
            up = client.Receive(Ms(500)).received;
        }
        ASSERT_TRUE(up);
        for (unsigned short s = 1; s <= 5; ++s) {
            client.SendTo(5110, Datagram(1, s, 1, s % 2 == 0, CheckXml(1, 1, MON_TOUR_TYP_GRP)));
            const Reply r = client.Receive(Ms(5000));
            EXPECT_TRUE(r.received);
            EXPECT_EQ(r.Num("ErrorStatus"), 0x0A05);  // NUVAKERR_INVALID
        }
    });
    mkdir("/opt/cctv/database", 0755);
    // Once, after the start-up line (which names the folder).
    EXPECT_EQ(Count(out.substr(out.find('\n') + 1), "database"), 1u) << out;
}

}  // namespace
