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
using Bytes = std::vector<unsigned char>;
using Strings = std::vector<std::string>;
using Values = std::vector<unsigned>;

sockaddr_in Address(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

struct Req {
    std::uint16_t command, monitor, tourCntl, ctrlWord, ctrlValue;
    std::uint32_t target;
    std::uint16_t action = 0xFFFF;
    std::uint16_t user = 9, device = 0x0201;
};

// A request as the service's monitor client writes it.
Bytes Block(const Req& r) {
    Bytes b(256, 0);
    StoreLE16(&b[kSender], kOwnAddress);
    StoreLE16(&b[kSender2], kOwnAddress);
    StoreLE16(&b[kDest], kMonCtlAddress);
    StoreLE16(&b[kLength], kSize);
    StoreLE16(&b[kCommand], r.command);
    StoreLE32(&b[kPriority], 50);
    StoreLE16(&b[kMonitor], r.monitor);
    StoreLE16(&b[kDevice], r.device);
    StoreLE16(&b[kUser], r.user);
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

// The 16-bit fields of an answer at `offsets`.
Values Load16(const Bytes& a, std::initializer_list<std::size_t> offsets) {
    Values v;
    for (std::size_t o : offsets) v.push_back(LoadLE16(&a[o]));
    return v;
}

// The value of `key` in a log line (quotes dropped), or "?" when absent.
std::string Field(const std::string& line, const std::string& key) {
    const std::string tag = "\"" + key + "\":";
    std::size_t at = line.find(tag);
    if (at == std::string::npos) return "?";
    at += tag.size();
    if (line[at] == '"') return line.substr(at + 1, line.find('"', at + 1) - at - 1);
    return line.substr(at, line.find_first_of(",}", at) - at);
}

Strings Fields(const std::string& line, const Strings& keys) {
    Strings values;
    for (const std::string& k : keys) values.push_back(Field(line, k));
    return values;
}

Strings Column(const Strings& lines, const std::string& key) {
    Strings values;
    for (const std::string& l : lines) values.push_back(Field(l, key));
    return values;
}

// The fixture is the tour service's side: a UDP socket on port 12013.
class MonCtlTest : public ::testing::Test {
protected:
    MonCtlTest() {
        sockaddr_in a = Address(12000 + kOwnAddress);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~MonCtlTest() override {
        close(fd_);
        std::remove(log.c_str());
    }
    void Start(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {NUVAK_MONCTL_BIN, "--no-grid", "--log", log};
        argv.insert(argv.end(), extra.begin(), extra.end());
        monctl = std::make_unique<Child>(argv);
        std::string line;
        ASSERT_TRUE(monctl->NextLine("ready", &line)) << "nuvak-monctl did not start";
        EXPECT_TRUE(nuvak::rig::StampedLine(line, "ready address 1 pid ")) << line;
    }
    void Stop() {
        monctl->Signal(SIGINT);
        EXPECT_EQ(monctl->Wait(), 0);
    }
    void Send(const Bytes& bytes) {
        sockaddr_in a = Address(12000 + kMonCtlAddress);
        ASSERT_EQ(sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
                  static_cast<ssize_t>(bytes.size()));
    }
    // True when nothing arrives within `ms`.
    bool Silent(int ms = 300) {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, ms) == 0;
    }
    // The next answer; one missing or not 256 bytes fails the test and reads as zeros.
    Bytes Answer(int ms = 2000) {
        Bytes b(1024, 0);
        ssize_t n = Silent(ms) ? 0 : recv(fd_, b.data(), b.size(), 0);
        EXPECT_EQ(n, 256) << "an answer of 256 bytes";
        b.resize(256);
        return b;
    }
    Bytes Ask(const Req& r) {
        Send(Block(r));
        return Answer();
    }
    // Stops monctl; the lines of its log.
    Strings StopAndReadLog() {
        Stop();
        Strings lines;
        std::ifstream in(log);
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }

    int fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    std::string log = TempPath("monctl-log");
    std::unique_ptr<Child> monctl;
};

TEST_F(MonCtlTest, AnswersRequestsDropsBadDatagramsAndLogsEveryMessage) {
    Start();
    Child second({NUVAK_MONCTL_BIN, "--no-grid"});
    EXPECT_EQ(second.Wait(), 1) << "a second instance finds the address taken";
    // Unanswered: datagrams not of 256 bytes, a block not of a monitor
    // message's length, an unknown command.
    Send(Bytes(100, 0xFF));
    Send(Bytes(300, 0xFF));
    Bytes wrongLength = Block(Seize(1, 1, 1));
    StoreLE16(&wrongLength[kLength], 60);
    Send(wrongLength);
    Send(Block({77, 1, 1, 0x101, 1, 1}));
    EXPECT_TRUE(Silent());

    // A tour (control 3, global 40000007) takes monitor 5 and shows camera 100042 at preset 4.
    Bytes a = Ask(Seize(5, 3, 40000007));
    EXPECT_EQ(Load16(a, {kSender, kDest, kClass, kLength, kCommand, kMonitor, kTourCntl, kTourType}),
              (Values{kMonCtlAddress, kOwnAddress, kMonClass, kSize, kSeizeConfirm, 5, 3, 1}));
    EXPECT_EQ(LoadLE32(&a[kGlobalTour]), 40000007u);

    a = Ask(Select(5, 3, 100042));
    EXPECT_EQ(Load16(a, {kCommand, kResult}), (Values{kControlConfirm, 1}));
    EXPECT_EQ(LoadLE32(&a[kGlobalTour]), 40000007u) << "learnt from the seize of control 3";
    EXPECT_EQ(Load16(Ask(Preset(5, 3, 4)), {kCommand, kResult}), (Values{kControlConfirm, 1}));

    // A group preset's block (control 300 > 256) is answered with tour type 2.
    a = Ask(Seize(6, 300, 40000012));
    EXPECT_EQ(LoadLE16(&a[kTourType]), kTourTypePreset);
    EXPECT_EQ(LoadLE32(&a[kGlobalTour]), 40000012u);

    // Tour stop, pause and release stay unanswered; a camera request of an
    // unknown tour-control id carries no global tour id.
    Send(Block({kCmdCamera, 5, 3, kCtrlTourStop, 1, 40000007, 0}));
    Send(Block({kCmdCamera, 5, 3, kCtrlTourBase, 1, 40000007, 2}));
    Send(Block({kCmdRelease, 6, 300, 0x102, 1, 40000012}));
    a = Ask(Select(7, 99, 100001));
    EXPECT_EQ(LoadLE16(&a[kMonitor]), 7) << "only the select is answered";
    EXPECT_EQ(LoadLE32(&a[kGlobalTour]), 0xFFFFFFFFu);
    EXPECT_TRUE(Silent());

    const Strings lines = StopAndReadLog();
    ASSERT_EQ(lines.size(), 15u);
    EXPECT_EQ(Column(lines, "kind"),
              (Strings{"not_monitor_message", "unknown", "seize", "seize_confirm", "camera_select", "control_confirm",
                       "camera_preset", "control_confirm", "seize", "seize_confirm", "tour_stop", "tour_pause",
                       "release", "camera_select", "control_confirm"}));
    EXPECT_EQ(Column(lines, "dir"),
              (Strings{"in", "in", "in", "out", "in", "out", "in", "out", "in", "out", "in", "in", "in", "in", "out"}));
    EXPECT_EQ(Field(lines[0], "length"), "60");
    EXPECT_EQ(Field(lines[1], "command"), "77");
    EXPECT_EQ(Fields(lines[2], {"monitor", "tour_cntl", "target", "ctrl_word", "user", "device"}),
              (Strings{"5", "3", "40000007", "257", "9", "513"}));
    EXPECT_NE(Field(lines[2], "time"), "?");
    EXPECT_EQ(Field(lines[5], "result"), "1");
    EXPECT_EQ(Field(lines[6], "ctrl_value"), "4");
    EXPECT_EQ(Field(lines[14], "global_tour"), "4294967295");
}

// A group preset's block (control 265) seizing monitor 6 for a tour without
// a user (device 767): the wall says both in words.
TEST_F(MonCtlTest, WallNamesPresetBlocksAndToursWithoutUser) {
    Start({});
    Req noUser = Seize(6, 265, 10020009);
    noUser.user = 1;
    noUser.device = 0x02FF;
    EXPECT_EQ(LoadLE16(&Ask(noUser)[kCommand]), kSeizeConfirm);
    monctl->Signal(SIGUSR2);
    EXPECT_TRUE(monctl->WaitFor("| M6     SEIZED  preset 265", nuvak::rig::Ms(5000))) << monctl->Output();
    EXPECT_TRUE(monctl->WaitFor("| (no user) seize", nuvak::rig::Ms(5000))) << monctl->Output();
    EXPECT_EQ(monctl->Output().find("tour 265"), std::string::npos) << monctl->Output();
    Stop();
}

TEST_F(MonCtlTest, SuspendRefuseAndDropModes) {
    Start({"--seize", "suspend", "--control", "refuse", "--refuse-result", "3"});
    EXPECT_EQ(LoadLE16(&Ask(Seize(5, 3, 40000007))[kCommand]), kSuspendConfirm);
    EXPECT_EQ(Load16(Ask(Select(5, 3, 100042)), {kCommand, kResult}), (Values{kControlConfirm, 3}));
    // The wall draws the sender of the last request, not the holder of the
    // last seize (user 9, device 0x0201): a take-back goes on without a seize.
    Req takeBack = Select(5, 3, 100043);
    takeBack.user = 1;
    takeBack.device = 0x0101;
    Ask(takeBack);
    monctl->Signal(SIGUSR2);
    EXPECT_TRUE(monctl->WaitFor("| u1 d0x0101 camera_select", nuvak::rig::Ms(5000)))
        << "the wall names the last sender";
    Stop();

    Start({"--seize", "drop", "--control", "drop"});
    Send(Block(Seize(5, 3, 40000007)));
    Send(Block(Preset(5, 3, 2)));
    EXPECT_TRUE(Silent());
    const Strings lines = StopAndReadLog();
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(Fields(lines[7], {"dir", "kind"}), (Strings{"dropped", "seize_confirm"}));
    EXPECT_EQ(Fields(lines[9], {"dir", "sent"}), (Strings{"dropped", "false"}));
}

TEST_F(MonCtlTest, DelayAndControlFileAtRunTime) {
    std::string control = TempPath("monctl-control");
    { std::ofstream(control) << "# answers late\ndelay 400\n"; }
    Start({"--control-file", control});
    auto sent = std::chrono::steady_clock::now();
    Send(Block(Seize(5, 3, 40000007)));
    EXPECT_TRUE(Silent(150)) << "not before the delay";
    Answer(5000);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent).count();
    EXPECT_GE(ms, 350);

    // Switch to refusing without a delay, and ask for a seize indication.
    { std::ofstream(control) << "delay 0\ncontrol refuse\nindicate seize 5\n"; }
    monctl->Signal(SIGUSR1);
    Bytes a = Answer(5000);
    EXPECT_EQ(Load16(a, {kCommand, kMonitor, kClass}), (Values{kSeizeInd, 5, kMonClass}));
    EXPECT_EQ(LoadLE32(&a[kGlobalTour]), 40000007u);
    EXPECT_EQ(LoadLE16(&Ask(Select(5, 3, 100042))[kResult]), 0);

    // A bad line at run time keeps the settings as they were.
    { std::ofstream(control) << "control sideways\n"; }
    monctl->Signal(SIGUSR1);
    EXPECT_EQ(LoadLE16(&Ask(Select(5, 3, 100043))[kResult]), 0) << "still refusing";
    Stop();
    std::remove(control.c_str());
}

TEST(MonCtlArgs, BadArgumentsGiveAOneLineReason) {
    EXPECT_EQ(Child({NUVAK_MONCTL_BIN, "--seize", "maybe"}).Wait(), 2);
    Child help({NUVAK_MONCTL_BIN, "--help"});
    std::string line;
    ASSERT_TRUE(help.NextLine("", &line));
    EXPECT_EQ(line.rfind("usage: nuvak-monctl", 0), 0u);
    EXPECT_EQ(help.Wait(), 0);
}

}  // namespace
