// nuvak-request without the loop: command line, action table, request text,
// answer decoding and its text and JSON forms.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "request.h"

using namespace nuvak::request;

namespace {

bool Parse(std::vector<std::string> args, Options& o, std::string& reason) {
    args.insert(args.begin(), "nuvak-request");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    return ParseOptions(static_cast<int>(argv.size()), argv.data(), o, reason);
}

TEST(NuvakRequest, CommandLine) {
    Options o;
    std::string reason;
    ASSERT_TRUE(Parse({"--to", "10.1.2.3", "--port", "0x13f6", "--monitor", "20000005", "--priority", "3", "run",
                       "20000001"},
                      o, reason))
        << reason;
    EXPECT_EQ(o.toIpa, 0x0A010203ul);
    EXPECT_EQ(o.port, 5110);
    EXPECT_EQ(o.monitor, 20000005u);
    EXPECT_EQ(o.group, 20000001u);
    EXPECT_EQ(o.action, "run");

    const std::vector<std::vector<std::string>> bad = {
        {"run"},
        {"fly", "1"},
        {"run", "x1"},
        {"run", "1", "2"},
        {"--unit", "65", "run", "1"},
        {"--unit", "0", "run", "1"},
        {"--to", "127.0.0.1", "--unit", "3", "run", "1"},
        {"--port", "70000", "run", "1"},
        {"--port", "5110x", "run", "1"},
        {"--user", "-1", "run", "1"},
        {"--rate", "0", "--count", "5", "run", "1"},
        {"--bogus", "run", "1"},
        {"--monitor"},
        {"--xml", "f", "run", "1"},
        // Exactly-once copies spread beyond the server's hold.
        {"--retry-period", "5000", "run", "1"},
        {"--retry-period", "1100", "run", "1"},
        {"--max-retry", "1", "--retry-period", "3300", "run", "1"},
        {"--max-retry", "40", "--retry-period", "1", "run", "1"},
    };
    for (const auto& args : bad) {
        Options b;
        reason.clear();
        EXPECT_FALSE(Parse(args, b, reason)) << args[0];
        EXPECT_FALSE(reason.empty());
        EXPECT_EQ(reason.find('\n'), std::string::npos);
    }
}

TEST(NuvakRequest, ScheduleAndIdsOfARun) {
    Options o1, o2, o3;
    std::string reason;
    EXPECT_TRUE(Parse({"--max-retry", "1", "--retry-period", "3200", "run", "1"}, o1, reason)) << reason;
    EXPECT_TRUE(Parse({"--max-retry", "0", "--retry-period", "600000", "run", "1"}, o2, reason)) << reason;
    EXPECT_FALSE(Parse({"--retry-period", "5000", "run", "1"}, o3, reason));
    EXPECT_NE(reason.find("at most 1000 ms"), std::string::npos) << reason;

    // Runs 2 ms to 8 s apart never share a session id or a RequestID; the
    // ids stay in range.
    const std::uint64_t t0 = 1234567891ull;
    const RunIds first = SeedIds(t0);
    for (std::uint64_t dt = 2; dt < 8190; dt += 1) {
        const RunIds later = SeedIds(t0 + dt);
        ASSERT_NE(later.firstSession, first.firstSession) << dt;
        ASSERT_NE(later.firstRequestId, first.firstRequestId) << dt;
        ASSERT_TRUE(later.firstSession >= 1 && later.firstSession <= 4096);
        ASSERT_NE(later.firstRequestId, 0);
    }
    EXPECT_EQ(RequestIdOf({1, 65535}, 0), 65535);
    EXPECT_EQ(RequestIdOf({1, 65535}, 1), 1);
}

std::string Attr(const Element& e, const char* key) {
    const std::string* v = e.Find(key);
    return v != nullptr ? *v : "-";
}

TEST(NuvakRequest, RequestTextDecodesBack) {
    // Every action's variable as it goes on the wire: element, GroupType, Action.
    const char* const rows[][4] = {{"run", "CameraGroup", "1", "1"},    {"pause", "CameraGroup", "1", "2"},
                                   {"next", "CameraGroup", "1", "3"},   {"prev", "CameraGroup", "1", "4"},
                                   {"resume", "CameraGroup", "1", "6"}, {"stop", "CameraGroup", "1", "0"},
                                   {"preset", "CameraGroup", "3", "1"}, {"seize", "CameraGroup", "4", "1"},
                                   {"check", "CameraGroupMonitor", "1", "-"}};
    std::string reason;
    for (const auto& row : rows) {
        Options o;
        ASSERT_TRUE(Parse({row[0], "30000012"}, o, reason)) << reason;
        const Answer a = ParseAnswer(BuildRequest(o, 3, 1));
        ASSERT_EQ(a.variables.size(), 1u) << row[0];
        EXPECT_EQ(a.variables[0].name, row[1]) << row[0];
        EXPECT_EQ(Attr(a.variables[0], "GroupType"), row[2]) << row[0];
        EXPECT_EQ(Attr(a.variables[0], "Action"), row[3]) << row[0];
    }

    Options o;
    ASSERT_TRUE(Parse({"--user", "7", "--device", "0x0105", "--action", "9", "--type", "5", "pause", "30000012"}, o,
                      reason));
    const Answer a = ParseAnswer(BuildRequest(o, 3, 44));
    ASSERT_TRUE(a.wellFormed) << a.error;
    EXPECT_EQ(a.root.name, "Camera");
    EXPECT_EQ(Attr(a.root, "RequestID"), "44");
    EXPECT_EQ(Attr(a.root, "SourceUnit"), "3");
    EXPECT_EQ(Attr(a.root, "MonitorID"), "30000001");  // default: source unit * 10,000,000 + 1
    ASSERT_EQ(a.variables.size(), 1u);
    EXPECT_EQ(Attr(a.variables[0], "GroupID"), "30000012");
    EXPECT_EQ(Attr(a.variables[0], "DeviceID"), "261");
    EXPECT_EQ(Attr(a.variables[0], "Action"), "9");
    EXPECT_EQ(Attr(a.variables[0], "GroupType"), "5");
}

TEST(NuvakRequest, AnswerFormats) {
    const std::string xml =
        "<?xml version=\"1.0\"?><Camera ActionType=\"SET_RESPONSE\" RequestID=\"1\" ErrorStatus=\"2565\">"
        "<CameraGroup GroupID=\"10000001\" State=\"1\" VarReturnCode=\"0\"/></Camera>";
    const Answer a = ParseAnswer(xml);
    ASSERT_TRUE(a.wellFormed);
    EXPECT_EQ(a.ErrorStatus(), 0x0A05);
    const std::string text = FormatText(a, 2, 1.5);
    EXPECT_NE(text.find("ErrorStatus: NUVAKERR_INVALID (0x0A05)"), std::string::npos);
    EXPECT_NE(text.find("State: RUNNING (1)"), std::string::npos);
    EXPECT_NE(text.find("VarReturnCode: OK (0x0000)"), std::string::npos);
    const std::string json = FormatJson(a, 2, 1.5, xml);
    EXPECT_NE(json.find("\"error_name\":\"NUVAKERR_INVALID\""), std::string::npos);
    EXPECT_NE(json.find("\"ActionType\":\"SET_RESPONSE\""), std::string::npos);
    EXPECT_NE(json.find("\"GroupID\":10000001"), std::string::npos);
    EXPECT_NE(json.find("\"state_name\":\"RUNNING\""), std::string::npos);

    EXPECT_EQ(StatusText(0x0123), "UNKNOWN (0x0123)");
    EXPECT_EQ(StateText(2), "END (2)");
    EXPECT_EQ(JsonString("a\"b\\\n\x01"), "\"a\\\"b\\\\\\n\\u0001\"");
    const Answer broken = ParseAnswer("<Camera");
    EXPECT_FALSE(broken.wellFormed);
    EXPECT_NE(FormatJson(broken, 1, 0, "<Camera").find("\"well_formed\":false"), std::string::npos);

    const std::vector<double> v = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(Percentile(v, 50), 5);
    EXPECT_EQ(Percentile(v, 99), 10);
    EXPECT_EQ(Percentile({}, 50), 0);
}

}  // namespace
