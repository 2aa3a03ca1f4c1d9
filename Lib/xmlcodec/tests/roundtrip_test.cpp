// Generated messages (every class, numbers at their limits, texts with every escaped
// character and multi-byte UTF-8): encode -> decode -> encode gives identical text.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "codec_helpers.h"

namespace {

using nuvak::xmltest::DecodeText;
using nuvak::xmltest::EncodeMessage;

// Builds the seven classes the camera factory leaves out as well.
class FullFactory : public CameraElementFactory {
public:
    Element* CreateElement(const char* name, const char** attributes) override {
        if (!std::strcmp(name, "CameraMSync")) return new CameraVariableMSync(attributes);
        if (!std::strcmp(name, "CameraMSyncMonitor")) return new CameraVariableMSyncMonitor(attributes);
        if (!std::strcmp(name, "CameraClickCentering")) return new CameraVariableCamClick(attributes);
        if (!std::strcmp(name, "CameraBackFocus")) return new CameraVariableCamABF(attributes);
        if (!std::strcmp(name, "CameraImageSetup")) return new CameraVariableCamIMG(attributes);
        if (!std::strcmp(name, "CameraDragZoom")) return new CameraVariableCamDZM(attributes);
        if (!std::strcmp(name, "CameraOneShotZoom")) return new CameraVariableCamOSZM(attributes);
        return CameraElementFactory::CreateElement(name, attributes);
    }
};

class Generator {
public:
    explicit Generator(unsigned seed) : m_Rng(seed) {}

    unsigned short U16() {
        static const unsigned short kLimits[] = {0, 1, 9, 10, 255, 32767, 32768, 65534, 65535};
        if (Pick(2) == 0) return kLimits[Pick(std::size(kLimits))];
        return static_cast<unsigned short>(m_Rng());
    }
    T_uint_32 U32() {
        static const T_uint_32 kLimits[] = {0u, 1u, 65535u, 65536u, 70000u, 999999999u,
                                            1000000000u, 2147483648u, 4294967294u, 4294967295u};
        if (Pick(2) == 0) return kLimits[Pick(std::size(kLimits))];
        return static_cast<T_uint_32>(m_Rng());
    }
    std::string Text() {
        static const char* kPieces[] = {"&", "<", ">", "'", "\"", "&amp;", "&lt;x&gt;", " ",
                                        "a", "Z", "0", "Süd", "☺", "日本", "\xF0\x9F\x93\xB7",
                                        "   7", "]]>", "=", "/>", "</Camera>"};
        std::string s;
        std::size_t n = Pick(8);
        for (std::size_t i = 0; i < n; ++i) s += kPieces[Pick(std::size(kPieces))];
        return s;
    }
    std::size_t Pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(m_Rng); }

    Variable* AnyVariable(std::size_t kind) {
        switch (kind) {
            case 0: return new CameraVariableSeize(U16(), U32(), U16(), U16(), U32(), U16(), U32(),
                                                   U32(), U16(), U16(), U16(), U16(), U16(), U16(),
                                                   U16(), Text(), U16());
            case 1: return new CameraVariablePreset(U32(), U16(), U16(), U16(), U16());
            case 2: return new CameraVariableReceiver(U32(), U16(), U16(), U16(), U16());
            case 3: return new CameraVariableSequence(U32(), U16(), U16(), U16(), U16());
            case 4: return new CameraVariableMenu(U32(), U16(), U16());
            case 5: return new CameraVariableControl(U32(), U16(), U16(), U16(), U16());
            case 6: return new CameraVariableMonstat(U32(), U16(), U16());
            case 7: return new CameraVariableDvrControl(U32(), U16(), U32(), U16(), U16());
            case 8: return new CameraVariableFuncCode(U32(), U16(), U16());
            case 9: return new CameraVariableGroup(U32(), U16(), U16(), U16(), U32(), U16(), U16(), U16());
            case 10: return new CameraVariableGroupMonitor(U32(), U16(), Text(), U16());
            case 11: return new CameraVariableMSync(U16(), U16(), U16(), U32(), U16(), U16(), U16(),
                                                    Text(), U16());
            case 12: return new CameraVariableMSyncMonitor(U16(), Text(), U16(), Text(), U16());
            case 13: return new CameraVariableCamClick(U32(), U16(), U16(), U16(), U16());
            case 14: return new CameraVariableCamABF(U32(), U16(), U16(), U16());
            case 15: return new CameraVariableCamIMG(U32(), U16(), U16(), U16());
            case 16: return new CameraVariableCamDZM(U32(), U16(), U16(), U16(), U16(), U16(), U16());
            default: return new CameraVariableCamOSZM(U32(), U16(), U16(), U16(), U16(), U16());
        }
    }
    static constexpr std::size_t kKinds = 18;

private:
    std::mt19937 m_Rng;
};

TEST(RoundTrip, GeneratedMessagesWithEveryClassSurviveEncodeDecodeEncode) {
    FullFactory factory;
    Generator gen(20261207);
    std::vector<bool> seen(Generator::kKinds, false);
    for (int round = 0; round < 500; ++round) {
        CameraMessage m(gen.Text(), gen.U16(), gen.U16(), gen.U16(), gen.U32(), gen.U16(), gen.U16());
        std::size_t count = gen.Pick(6);
        if (round < static_cast<int>(Generator::kKinds)) count = 1;
        for (std::size_t i = 0; i < count; ++i) {
            std::size_t kind = round < static_cast<int>(Generator::kKinds) ? round : gen.Pick(Generator::kKinds);
            seen[kind] = true;
            ASSERT_EQ(m.AddElement(gen.AnyVariable(kind)), TRUE);
        }
        std::string first = EncodeMessage(m);
        auto d = DecodeText(first, factory);
        ASSERT_TRUE(d.message) << d.error << "\n" << first;
        EXPECT_EQ(d.message->GetActionType(), m.GetActionType());
        EXPECT_EQ(d.message->GetRequestID(), m.GetRequestID());
        EXPECT_EQ(d.message->GetMonitorID(), m.GetMonitorID());
        ASSERT_EQ(d.message->GetElementCount(), m.GetElementCount());
        ASSERT_EQ(EncodeMessage(*d.message), first);
    }
    for (std::size_t k = 0; k < Generator::kKinds; ++k) EXPECT_TRUE(seen[k]) << k;
}

}  // namespace
