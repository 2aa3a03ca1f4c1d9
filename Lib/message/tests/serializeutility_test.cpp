// Text pieces: numbers, escaping, and the tag forms with their indentation.
#include <gtest/gtest.h>

#include "message.h"

namespace {

using SU = SerializeUtility;

TEST(SerializeUtility, NumbersAreBareDecimalDigits) {
    EXPECT_EQ(SU::numFormat(0), "0");
    // Every digit-count boundary, up to 4294967295.
    unsigned long long p = 1;
    for (unsigned short digits = 1; digits <= 10; ++digits, p *= 10) {
        T_uint_32 low = static_cast<T_uint_32>(p);
        T_uint_32 high = static_cast<T_uint_32>(p * 10 - 1 > 0xFFFFFFFFull ? 0xFFFFFFFFull : p * 10 - 1);
        EXPECT_EQ(SU::digitCount(low), digits) << low;
        EXPECT_EQ(SU::digitCount(high), digits) << high;
        EXPECT_EQ(SU::numFormat(low), std::to_string(low));
        EXPECT_EQ(SU::numFormat(high), std::to_string(high));
    }
}

TEST(SerializeUtility, EscapesTheFiveCharactersOnce) {
    EXPECT_EQ(SU::stringFormat("a<b & \"c\""), "a&lt;b &amp; &quot;c&quot;");
    EXPECT_EQ(SU::stringFormat("&amp;"), "&amp;amp;");
    EXPECT_EQ(SU::stringFormat("<>'\"&"), "&lt;&gt;&apos;&quot;&amp;");
    EXPECT_EQ(SU::stringFormat(""), "");
    EXPECT_EQ(SU::stringFormat("Süd ☺"), "Süd ☺");  // UTF-8 passes unchanged
}

TEST(SerializeUtility, TagAndAttributeForms) {
    EXPECT_EQ(SU::XMLDeclaration("encoding=\"UTF-8\""),
              "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\n");
    EXPECT_EQ(SU::XMLStartElementTag("Camera", 0), "<Camera ");
    EXPECT_EQ(SU::XMLStartElementTag("CameraSeize", 1), "\n     <CameraSeize ");
    EXPECT_EQ(SU::XMLAttribString("A", "x<y", 0), "A=\"x&lt;y\" ");
    EXPECT_EQ(SU::XMLAttribString("A", "", 2), "\n          A=\"\" ");
    EXPECT_EQ(SU::XMLAttribInteger("N", 4294967295u, 1), "\n     N=\"4294967295\" ");
    EXPECT_EQ(SU::XMLAttribEndpoint("E", 1, 65535, 0, 4000000000u, 0), "E=\"1-65535-0-4000000000\" ");
    EXPECT_EQ(SU::XMLEndElementTag("/", 3), "/>");
    EXPECT_EQ(SU::XMLEndElementTag("", 3), ">");
    EXPECT_EQ(SU::XMLEndElementTag("Camera", 0), "\n</Camera>");
    EXPECT_EQ(SU::XMLEndElementTag("Camera", 1), "\n     </Camera>");
}

}  // namespace
