// Start-up failures of the real service in private namespaces: no task
// manager, port 5110 taken, no database folder. Each is said in one line
// naming the call, what it was for and the system's reason, once (not per
// request or timer pass); the service still runs and ends with status 0.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

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

TEST(StartupFailures, PortTaken) {
    TaskManager tm;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(5110);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    Proc service({Bin("nuvak")});
    const std::string line = "comm server (port 5110): bind(0.0.0.0:5110): Address already in use";
    const std::string out = RunThenStop(service, line);
    close(fd);
    EXPECT_EQ(Count(out, "Address already in use"), 1u) << out;
    EXPECT_EQ(Count(out, "comm "), 1u) << out;
    EXPECT_EQ(Count(out, "TMGRIF"), 0u) << out;
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
    EXPECT_EQ(Count(out, "database"), 1u) << out;
}

}  // namespace
