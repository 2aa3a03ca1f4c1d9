// nuvak-monctl driven with raw IPC datagrams: 256-byte UDP blocks sent to
// port 12001 from the tour service's port (12013), answers read there. Runs
// in private namespaces (IPC table key 0x1009, ports 12000+).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "proc.h"
#include "monmsg.h"

namespace {

using namespace nuvak::monmsg;
using Child = nuvak::rig::Proc;

// The tour service's side: a UDP socket on port 12013.
class ServiceSide {
public:
    ServiceSide() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = Address(12000 + kOwnAddress);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~ServiceSide() { close(fd_); }

    void Send(const std::vector<unsigned char>& bytes) {
        sockaddr_in a = Address(12000 + kMonCtlAddress);
        ASSERT_EQ(sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
                  static_cast<ssize_t>(bytes.size()));
    }
    // The next answer (exactly 256 bytes expected), or empty after `ms`.
    std::vector<unsigned char> Receive(int ms = 2000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return {};
        std::vector<unsigned char> b(1024);
        ssize_t n = recv(fd_, b.data(), b.size(), 0);
        b.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return b;
    }

private:
    static sockaddr_in Address(int port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }
    int fd_ = -1;
};

struct Req {
    std::uint16_t command, monitor, tourCntl, ctrlWord, ctrlValue;
    std::uint32_t target;
    std::uint16_t action = 0xFFFF;
};

// A request as the service's monitor client writes it.
std::vector<unsigned char> Block(const Req& r) {
    std::vector<unsigned char> b(256, 0);
    StoreLE16(&b[kSender], kOwnAddress);
    StoreLE16(&b[kSender2], kOwnAddress);
    StoreLE16(&b[kDest], kMonCtlAddress);
    StoreLE16(&b[kLength], kSize);
    StoreLE16(&b[kCommand], r.command);
    StoreLE32(&b[kPriority], 50);
    StoreLE16(&b[kMonitor], r.monitor);
    StoreLE16(&b[kDevice], 0x0201);
    StoreLE16(&b[kUser], 9);
    StoreLE16(&b[kTourCntl], r.tourCntl);
    StoreLE16(&b[kCtrlWord], r.ctrlWord);
    StoreLE16(&b[kCtrlValue], r.ctrlValue);
    StoreLE32(&b[kTarget], r.target);
    StoreLE16(&b[kTourAction], r.action);
    return b;
}

Req Seize(std::uint16_t mon, std::uint16_t tc, std::uint32_t global) { return {kCmdSeize, mon, tc, 0x101, 1, global}; }
Req Select(std::uint16_t mon, std::uint16_t tc, std::uint32_t cam) { return {kCmdCamera, mon, tc, kCtrlCamera, 0, cam}; }
Req Preset(std::uint16_t mon, std::uint16_t tc, std::uint16_t p) { return {kCmdCamera, mon, tc, kCtrlPreset, p, 0}; }

std::string TempPath(const char* name) {
    const char* dir = std::getenv("NUVAK_NS_TMP");
    return std::string(dir != nullptr ? dir : "/tmp") + "/" + name + "." + std::to_string(getpid());
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

bool Has(const std::string& line, const std::string& text) { return line.find(text) != std::string::npos; }

class MonCtlTest : public ::testing::Test {
protected:
    void Start(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {NUVAK_MONCTL_BIN, "--no-grid", "--log", log};
        argv.insert(argv.end(), extra.begin(), extra.end());
        monctl = std::make_unique<Child>(argv);
        std::string line;
        ASSERT_TRUE(monctl->NextLine("ready", &line)) << "nuvak-monctl did not start";
        EXPECT_EQ(line.rfind("ready address 1 pid ", 0), 0u) << line;
    }
    void Stop() {
        monctl->Signal(SIGINT);
        EXPECT_EQ(monctl->Wait(), 0);
    }
    void TearDown() override { std::remove(log.c_str()); }

    std::string log = TempPath("monctl-log");
    ServiceSide service;
    std::unique_ptr<Child> monctl;
};

TEST_F(MonCtlTest, AnswersSeizeSelectPresetAndLogsEveryMessage) {
    Start();
    // A tour (control 3, global 40000007) takes monitor 5 and shows camera 100042 at preset 4.
    service.Send(Block(Seize(5, 3, 40000007)));
    std::vector<unsigned char> a = service.Receive();
    ASSERT_EQ(a.size(), 256u);
    EXPECT_EQ(LoadLE16(&a[kSender]), kMonCtlAddress);
    EXPECT_EQ(LoadLE16(&a[kDest]), kOwnAddress);
    EXPECT_EQ(LoadLE16(&a[kClass]), kMonClass);
    EXPECT_EQ(LoadLE16(&a[kLength]), kSize);
    EXPECT_EQ(LoadLE16(&a[kCommand]), kSeizeConfirm);
    EXPECT_EQ(LoadLE16(&a[kMonitor]), 5);
    EXPECT_EQ(LoadLE16(&a[kTourCntl]), 3);
    EXPECT_EQ(LoadLE32(&a[kGlobalTour]), 40000007u);
    EXPECT_EQ(LoadLE16(&a[kTourType]), 1);

    service.Send(Block(Select(5, 3, 100042)));
    a = service.Receive();
    ASSERT_EQ(a.size(), 256u);
    EXPECT_EQ(LoadLE16(&a[kCommand]), kControlConfirm);
    EXPECT_EQ(LoadLE16(&a[kResult]), 1);
    EXPECT_EQ(LoadLE32(&a[kGlobalTour]), 40000007u) << "learnt from the seize of control 3";

    service.Send(Block(Preset(5, 3, 4)));
    a = service.Receive();
    ASSERT_EQ(a.size(), 256u);
    EXPECT_EQ(LoadLE16(&a[kCommand]), kControlConfirm);
    EXPECT_EQ(LoadLE16(&a[kResult]), 1);

    // A group preset's block (control 300 > 256) is answered with tour type 2.
    service.Send(Block(Seize(6, 300, 40000012)));
    a = service.Receive();
    ASSERT_EQ(a.size(), 256u);
    EXPECT_EQ(LoadLE16(&a[kTourType]), kTourTypePreset);
    EXPECT_EQ(LoadLE32(&a[kGlobalTour]), 40000012u);

    // Tour stop, pause and release stay unanswered; a camera request of an
    // unknown tour-control id carries no global tour id.
    service.Send(Block({kCmdCamera, 5, 3, kCtrlTourStop, 1, 40000007, 0}));
    service.Send(Block({kCmdCamera, 5, 3, kCtrlTourBase, 1, 40000007, 2}));
    service.Send(Block({kCmdRelease, 6, 300, 0x102, 1, 40000012}));
    service.Send(Block(Select(7, 99, 100001)));
    a = service.Receive();
    ASSERT_EQ(a.size(), 256u) << "only the select is answered";
    EXPECT_EQ(LoadLE16(&a[kMonitor]), 7);
    EXPECT_EQ(LoadLE32(&a[kGlobalTour]), 0xFFFFFFFFu);
    EXPECT_TRUE(service.Receive(300).empty());
    Stop();

    std::vector<std::string> lines = ReadLines(log);
    ASSERT_EQ(lines.size(), 13u) << "9 received, 4 sent";
    const char* expected[] = {"\"dir\":\"in\",",  "\"kind\":\"seize\"",        "\"dir\":\"out\",",
                              "\"kind\":\"seize_confirm\"", "\"kind\":\"camera_select\"", "\"kind\":\"control_confirm\""};
    EXPECT_TRUE(Has(lines[0], expected[0]) && Has(lines[0], expected[1])) << lines[0];
    EXPECT_TRUE(Has(lines[1], expected[2]) && Has(lines[1], expected[3])) << lines[1];
    EXPECT_TRUE(Has(lines[2], expected[4])) << lines[2];
    EXPECT_TRUE(Has(lines[3], expected[5]) && Has(lines[3], "\"result\":1")) << lines[3];
    EXPECT_TRUE(Has(lines[0], "\"monitor\":5,") && Has(lines[0], "\"tour_cntl\":3,") &&
                Has(lines[0], "\"target\":40000007,") && Has(lines[0], "\"ctrl_word\":257,") &&
                Has(lines[0], "\"user\":9,") && Has(lines[0], "\"device\":513,") && Has(lines[0], "\"time\":\""))
        << lines[0];
    EXPECT_TRUE(Has(lines[4], "\"kind\":\"camera_preset\"") && Has(lines[4], "\"ctrl_value\":4,")) << lines[4];
    EXPECT_TRUE(Has(lines[8], "\"kind\":\"tour_stop\"")) << lines[8];
    EXPECT_TRUE(Has(lines[9], "\"kind\":\"tour_pause\"")) << lines[9];
    EXPECT_TRUE(Has(lines[10], "\"kind\":\"release\"")) << lines[10];
    EXPECT_TRUE(Has(lines[12], "\"global_tour\":4294967295,")) << lines[12];
}

TEST_F(MonCtlTest, BadDatagramsAreDroppedAndTheNextMessageIsAnswered) {
    Start();
    service.Send(std::vector<unsigned char>(100, 0xFF));  // not 256 bytes
    service.Send(std::vector<unsigned char>(300, 0xFF));
    std::vector<unsigned char> wrongLength = Block(Seize(1, 1, 1));
    StoreLE16(&wrongLength[kLength], 60);  // not a monitor message
    service.Send(wrongLength);
    std::vector<unsigned char> unknown = Block(Seize(1, 1, 1));
    StoreLE16(&unknown[kCommand], 77);
    service.Send(unknown);
    EXPECT_TRUE(service.Receive(300).empty());
    service.Send(Block(Seize(2, 1, 10000001)));
    std::vector<unsigned char> a = service.Receive();
    ASSERT_EQ(a.size(), 256u);
    EXPECT_EQ(LoadLE16(&a[kMonitor]), 2);
    Stop();
    std::vector<std::string> lines = ReadLines(log);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(Has(lines[0], "\"kind\":\"not_monitor_message\"") && Has(lines[0], "\"length\":60,")) << lines[0];
    EXPECT_TRUE(Has(lines[1], "\"kind\":\"unknown\"") && Has(lines[1], "\"command\":77,")) << lines[1];
}

TEST_F(MonCtlTest, SuspendRefuseAndDropModes) {
    Start({"--seize", "suspend", "--control", "refuse", "--refuse-result", "3"});
    service.Send(Block(Seize(5, 3, 40000007)));
    std::vector<unsigned char> a = service.Receive();
    ASSERT_EQ(a.size(), 256u);
    EXPECT_EQ(LoadLE16(&a[kCommand]), kSuspendConfirm);
    service.Send(Block(Select(5, 3, 100042)));
    a = service.Receive();
    ASSERT_EQ(a.size(), 256u);
    EXPECT_EQ(LoadLE16(&a[kCommand]), kControlConfirm);
    EXPECT_EQ(LoadLE16(&a[kResult]), 3);
    // The wall draws the sender of the last request, not the holder of the
    // last seize (user 9, device 0x0201): a take-back goes on without a seize.
    std::vector<unsigned char> b = Block(Select(5, 3, 100043));
    StoreLE16(&b[kUser], 1);
    StoreLE16(&b[kDevice], 0x0101);
    service.Send(b);
    a = service.Receive();
    ASSERT_EQ(a.size(), 256u);
    monctl->Signal(SIGUSR2);
    EXPECT_TRUE(monctl->WaitFor("| u1 d0x0101 camera_select", nuvak::rig::Ms(5000)))
        << "the wall names the last sender";
    Stop();

    Start({"--seize", "drop", "--control", "drop"});
    service.Send(Block(Seize(5, 3, 40000007)));
    service.Send(Block(Preset(5, 3, 2)));
    EXPECT_TRUE(service.Receive(300).empty());
    Stop();
    std::vector<std::string> lines = ReadLines(log);
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_TRUE(Has(lines[7], "\"dir\":\"dropped\"") && Has(lines[7], "\"kind\":\"seize_confirm\"")) << lines[7];
    EXPECT_TRUE(Has(lines[9], "\"dir\":\"dropped\"") && Has(lines[9], "\"sent\":false")) << lines[9];
}

TEST_F(MonCtlTest, DelayAndControlFileAtRunTime) {
    std::string control = TempPath("monctl-control");
    { std::ofstream(control) << "# answers late\ndelay 400\n"; }
    Start({"--control-file", control});
    auto sent = std::chrono::steady_clock::now();
    service.Send(Block(Seize(5, 3, 40000007)));
    EXPECT_TRUE(service.Receive(150).empty()) << "not before the delay";
    std::vector<unsigned char> a = service.Receive(5000);
    ASSERT_EQ(a.size(), 256u);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent).count();
    EXPECT_GE(ms, 350);

    // Switch to refusing without a delay, and ask for a seize indication.
    { std::ofstream(control) << "delay 0\ncontrol refuse\nindicate seize 5\n"; }
    monctl->Signal(SIGUSR1);
    a = service.Receive(5000);
    ASSERT_EQ(a.size(), 256u);
    EXPECT_EQ(LoadLE16(&a[kCommand]), kSeizeInd);
    EXPECT_EQ(LoadLE16(&a[kMonitor]), 5);
    EXPECT_EQ(LoadLE16(&a[kClass]), kMonClass);
    EXPECT_EQ(LoadLE32(&a[kGlobalTour]), 40000007u);
    service.Send(Block(Select(5, 3, 100042)));
    a = service.Receive();
    ASSERT_EQ(a.size(), 256u);
    EXPECT_EQ(LoadLE16(&a[kResult]), 0);

    // A bad line at run time keeps the settings as they were.
    { std::ofstream(control) << "control sideways\n"; }
    monctl->Signal(SIGUSR1);
    service.Send(Block(Select(5, 3, 100043)));
    a = service.Receive();
    ASSERT_EQ(a.size(), 256u);
    EXPECT_EQ(LoadLE16(&a[kResult]), 0) << "still refusing";
    Stop();
    std::remove(control.c_str());
}

TEST_F(MonCtlTest, SecondInstanceFindsTheAddressTaken) {
    Start();
    Child second({NUVAK_MONCTL_BIN, "--no-grid"});
    EXPECT_EQ(second.Wait(), 1);
    Stop();
}

TEST(MonCtlArgs, BadArgumentsGiveAOneLineReason) {
    Child bad({NUVAK_MONCTL_BIN, "--seize", "maybe"});
    EXPECT_EQ(bad.Wait(), 2);
    Child help({NUVAK_MONCTL_BIN, "--help"});
    std::string line;
    ASSERT_TRUE(help.NextLine("", &line));
    EXPECT_EQ(line.rfind("usage: nuvak-monctl", 0), 0u);
    EXPECT_EQ(help.Wait(), 0);
}

}  // namespace
