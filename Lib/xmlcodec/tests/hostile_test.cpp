// Hostile text: every case ends with a bounded, clear outcome. The generous wall-time
// bound catches hangs and runaway expansion, not slowness.
#include <gtest/gtest.h>

#include <chrono>

#include "codec_helpers.h"

namespace {

using nuvak::xmltest::Decoded;
using nuvak::xmltest::DecodeText;

CameraElementFactory g_factory;

Decoded TimedDecode(const std::string& text) {
    auto start = std::chrono::steady_clock::now();
    Decoded d = DecodeText(text, g_factory);
    auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_LT(spent, std::chrono::seconds(20)) << text.substr(0, 80);
    return d;
}

std::string Repeat(const std::string& s, std::size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
}

// Billion laughs (in an attribute and in content), a quadratic blow-up, and
// parameter and external entities: any entity declaration ends the decode.
TEST(Hostile, EntityDeclarationsAndExternalMarkupAreRefused) {
    std::string laughs = "<!DOCTYPE Camera [<!ENTITY a0 'lol'>";
    for (int i = 1; i < 10; ++i)
        laughs += "<!ENTITY a" + std::to_string(i) + " '" + Repeat("&a" + std::to_string(i - 1) + ";", 10) + "'>";
    laughs += "]>";
    for (const std::string& text :
         {laughs + "<Camera ActionType='&a9;'/>", laughs + "<Camera>&a9;</Camera>",
          "<!DOCTYPE Camera [<!ENTITY big '" + std::string(100000, 'x') + "'>]><Camera ActionType='" +
              Repeat("&big;", 10000) + "'/>",
          std::string("<!DOCTYPE Camera [<!ENTITY % p 'x'>]><Camera/>"),
          std::string("<!DOCTYPE Camera [<!ENTITY % ext SYSTEM 'x.dtd'> %ext;]><Camera/>"),
          std::string("<?xml version='1.0' standalone='yes'?><!DOCTYPE Camera [<!ENTITY e SYSTEM "
                      "'file:///etc/passwd'>]><Camera ActionType='x'>&e;</Camera>")}) {
        Decoded d = TimedDecode(text);
        EXPECT_EQ(d.status, FALSE) << text.substr(0, 80);
        EXPECT_FALSE(d.message);
        EXPECT_EQ(d.error, "entity declarations are not accepted") << text.substr(0, 80);
    }
    // An external subset makes the document not standalone.
    for (const char* text : {"<!DOCTYPE Camera SYSTEM 'http://example.invalid/camera.dtd'><Camera/>",
                             "<!DOCTYPE Camera PUBLIC '-//x//y' 'camera.dtd'><Camera/>"}) {
        XMLCodec codec;
        std::string s = text;
        Message* m = nullptr;
        EXPECT_EQ(codec.Decode(&s, &g_factory, &m), FALSE) << text;
        EXPECT_EQ(codec.GetLastErrorCode(), XML_ERROR_NOT_STANDALONE) << text;
    }
    // A doctype without declarations is harmless.
    Decoded d = TimedDecode("<!DOCTYPE Camera [<!ELEMENT Camera ANY>]><Camera ActionType='A'/>");
    ASSERT_TRUE(d.message) << d.error;
    EXPECT_EQ(d.message->GetActionType(), "A");
}

TEST(Hostile, DeepNestingIsCutOffWithoutRecursion) {
    const std::size_t kLevels = 100000;
    // Unknown tags, known variables and a skipped subtree inside a message.
    for (const std::string& open : {std::string("<a>"), std::string("<CameraSeize>")}) {
        std::string close = open == "<a>" ? "</a>" : "</CameraSeize>";
        Decoded d = TimedDecode(Repeat(open, kLevels) + Repeat(close, kLevels));
        EXPECT_EQ(d.status, FALSE);
        EXPECT_EQ(d.error, "elements nested too deeply");
        d = TimedDecode("<Camera>" + Repeat(open, kLevels) + Repeat(close, kLevels) + "</Camera>");
        EXPECT_EQ(d.status, FALSE);
        EXPECT_FALSE(d.message);
    }
    // Just inside the bound is fine: skipped subtrees of any shape below it.
    const std::size_t inside = XMLCodec::kMaxNesting - 1;
    Decoded d = TimedDecode("<Camera>" + Repeat("<x>", inside) + Repeat("</x>", inside) +
                            "<CameraMenu/></Camera>");
    ASSERT_TRUE(d.message) << d.error;
    EXPECT_EQ(d.message->GetElementCount(), 1);
    d = TimedDecode("<Camera>" + Repeat("<x>", inside + 1) + Repeat("</x>", inside + 1) + "</Camera>");
    EXPECT_EQ(d.status, FALSE);
}

TEST(Hostile, MegabyteAttributesAreTakenWhole) {
    std::string big(4 << 20, 'x');
    Decoded d = TimedDecode("<Camera ActionType='" + big + "'><CameraSeize StrCamTitle='" + big +
                            "' Command='1'/><Skip v='" + big + "'/></Camera>");
    ASSERT_TRUE(d.message) << d.error;
    EXPECT_EQ(d.message->GetActionType().size(), big.size());
    EXPECT_EQ(d.message->GetElementCount(), 1);
    // A huge number is still just a number.
    d = TimedDecode("<Camera MonitorID='" + std::string(1 << 20, '9') + "' RequestID='" +
                    std::string(1 << 20, '9') + "'/>");
    ASSERT_TRUE(d.message);
    EXPECT_EQ(d.message->GetMonitorID(), 4294967295u);
    EXPECT_EQ(d.message->GetRequestID(), 65535);
}

TEST(Hostile, InvalidUtf8IsRefused) {
    for (const char* bad : {"\xC3", "\xFF", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80"}) {
        Decoded d = TimedDecode(std::string("<Camera ActionType='") + bad + "'/>");
        EXPECT_EQ(d.status, FALSE) << static_cast<int>(static_cast<unsigned char>(bad[0]));
        EXPECT_FALSE(d.message);
        d = TimedDecode(std::string("<Camera>") + bad + "</Camera>");
        EXPECT_EQ(d.status, FALSE);
    }
    // An embedded NUL is not XML either.
    EXPECT_EQ(TimedDecode(std::string("<Camera ActionType='a\0b'/>", 26)).status, FALSE);
}

TEST(Hostile, AnyVariableTypeIsKeptAndCannotInjectMarkup) {
    // Legal and illegal tag names, and an attempt at markup (escaped in the
    // attribute, so it reaches the message as text).
    for (const char* type : {"ns:Tag", "x y", "a&quot;/&gt;&lt;Camera"}) {
        Decoded d = TimedDecode(std::string("<Camera ActionType=\"SET\"><CameraGroup VariableType=\"") + type +
                                "\" GroupID=\"7\"/></Camera>");
        ASSERT_EQ(d.status, TRUE) << type << ": " << d.error;
        Variable* v = nullptr;
        ASSERT_EQ(d.message->GetVariable(0, &v), TRUE);
        EXPECT_NE(v->GetVariableType(), "CameraGroup") << "dispatched as a camera group: " << type;
        // The reply text is well formed and holds no element but the two.
        std::string text = nuvak::xmltest::EncodeMessage(*d.message);
        Decoded again = TimedDecode(text);
        EXPECT_EQ(again.status, TRUE) << text << ": " << again.error;
        std::size_t tags = 0;
        for (std::size_t at = 0; (at = text.find('<', at)) != std::string::npos; ++at) ++tags;
        EXPECT_EQ(tags, 4u) << text;  // declaration, root, variable, end of root
    }
}

TEST(Hostile, ManyChildrenStopAtTheLargestIndex) {
    const std::size_t kChildren = 70000;
    Decoded d = TimedDecode("<Camera>" + Repeat("<CameraMenu/>", kChildren) + "</Camera>");
    ASSERT_TRUE(d.message) << d.error;
    EXPECT_EQ(d.message->GetElementCount(), 65535);
    Variable* v = nullptr;
    EXPECT_EQ(d.message->GetVariable(65534, &v), TRUE);
    EXPECT_NE(v, nullptr);
}

}  // namespace
