// Decoding: the worked example both ways, skipping, dropping, entities, the
// contract of Decode and the creation functions.
#include <gtest/gtest.h>

#include <new>

#include "codec_helpers.h"
#include "../../message/tests/workedexample.h"

namespace {

using nuvak::xmltest::DecodeText;
using nuvak::xmltest::EncodeMessage;

CameraElementFactory g_factory;

// The writer is held to the worked example by the message tests: every field
// decoded into the wrong place or not at all shows in the bytes written back.
TEST(XMLCodec, WorkedExampleDecodesAndEncodesToTheSameBytes) {
    auto d = DecodeText(kWorkedExample, g_factory);
    ASSERT_TRUE(d.message) << d.error;
    EXPECT_EQ(EncodeMessage(*d.message), kWorkedExample);
}

// Children the factory does not build are skipped with their subtrees;
// elements inside a variable, and messages inside a message, are dropped.
TEST(XMLCodec, UnknownChildrenAreSkippedAndNestedElementsDropped) {
    const char* text =
        "<Camera ActionType='SET' MonitorID='70000'>"
        "  <CameraGroup GroupID='10000001' Action='1'/>"
        "  <Foreign a='1'><CameraSeize Command='9'/><Deeper><CameraMenu/></Deeper></Foreign>"
        "  <CameraMSync MSyncType='1'/>"
        "  <CameraSeize Command='1'><CameraPreset CameraID='5'/>"
        "    <Camera ActionType='inner'><CameraMenu/></Camera></CameraSeize>"
        "  <Camera ActionType='nested'/>"
        "  <CameraGroupMonitor GroupID='10000002' GroupMonitor='   1   2'/>"
        "</Camera>";
    auto d = DecodeText(text, g_factory);
    ASSERT_TRUE(d.message) << d.error;
    CameraMessage want("SET", 0, 0, 0, 70000, 0, 0);
    want.AddElement(new CameraVariableGroup(10000001, 0, 0, 0, 0, 1, 0, 0));
    want.AddElement(new CameraVariableSeize(1, 0, 0, 0));
    want.AddElement(new CameraVariableGroupMonitor(10000002, 0, "   1   2", 0));
    EXPECT_EQ(EncodeMessage(*d.message), EncodeMessage(want));
}

TEST(XMLCodec, RootsTheFactoryDoesNotMakeAMessageOfGiveNoMessage) {
    for (const char* text : {"<Unknown><Camera ActionType='x'/></Unknown>",
                             "<CameraSeize Command='1'><CameraPreset/></CameraSeize>",
                             "<camera ActionType='x'/>"}) {
        auto d = DecodeText(text, g_factory);
        EXPECT_EQ(d.status, TRUE) << text << ": " << d.error;
        EXPECT_FALSE(d.message) << text;
    }
}

TEST(XMLCodec, EntitiesAndCharacterReferencesAreResolved) {
    const char* text =
        "<Camera ActionType='&lt;x&gt;'><CameraSeize StrCamTitle='&amp;amp; &quot;&apos;&#65;&#x263A;'/>"
        "</Camera>";
    auto d = DecodeText(text, g_factory);
    ASSERT_EQ(d.status, TRUE) << d.error;
    EXPECT_EQ(d.message->GetActionType(), "<x>");
    Variable* v = nullptr;
    d.message->GetVariable(0, &v);
    EXPECT_EQ(static_cast<CameraVariableSeize*>(v)->GetStrCamTitle(), "&amp; \"'A\xE2\x98\xBA");
}

TEST(XMLCodec, WhitespaceCommentsAndInstructionsBetweenElementsAreIgnored) {
    const char* text =
        "<?xml version='1.0'?>\n<!-- c -->\n<Camera ActionType='A'>\n\t text \n<?pi data?>"
        "<!-- <CameraMenu/> --><![CDATA[<CameraMenu/>]]>\r\n<CameraMenu/>\n</Camera>\n<!-- end -->\n";
    auto d = DecodeText(text, g_factory);
    ASSERT_EQ(d.status, TRUE) << d.error;
    EXPECT_EQ(d.message->GetElementCount(), 1);
}

// Among them text after a root that already holds a variable: the message
// built so far is freed.
TEST(XMLCodec, FailuresReturnNoMessageAndSayWhy) {
    for (const char* text : {"", "   ", "<Camera>", "<Camera></Camara>", "<Camera a='1' a='2'/>",
                             "<Camera/><Camera/>", "<Camera/>trailing", "text<Camera/>",
                             "<Camera ActionType='x\x01'/>", "<Camera ActionType='&nbsp;'/>",
                             "<Camera><CameraMenu/></Camera><CameraMenu/>", "<Camera><CameraMenu/></Camera>&amp;",
                             "<Camera><CameraMenu/></Camera><"}) {
        XMLCodec codec;
        std::string s = text;
        Message* m = reinterpret_cast<Message*>(0x1);
        EXPECT_EQ(codec.Decode(&s, &g_factory, &m), FALSE) << text;
        EXPECT_EQ(m, reinterpret_cast<Message*>(0x1)) << text;  // untouched
        EXPECT_FALSE(codec.GetLastErrorString().empty()) << text;
        EXPECT_NE(codec.GetLastErrorCode(), XML_ERROR_NONE) << text;
    }
}

TEST(XMLCodec, NullArgumentsAreRefusedAndACodecDecodesOneDocument) {
    XMLCodec codec;
    std::string s = kWorkedExample;
    Message* m = nullptr;
    EXPECT_EQ(codec.Decode(nullptr, &g_factory, &m), FALSE);
    EXPECT_EQ(codec.Decode(&s, nullptr, &m), FALSE);
    EXPECT_EQ(codec.Decode(&s, &g_factory, nullptr), FALSE);
    std::string out;
    EXPECT_EQ(codec.Encode(out, nullptr), FALSE);
    EXPECT_TRUE(out.empty());
    // The parser is still fresh after refusals, and takes one document only.
    ASSERT_EQ(codec.Decode(&s, &g_factory, &m), TRUE);
    std::unique_ptr<Message> first(m);
    EXPECT_EQ(codec.GetLastErrorString(), "");
    m = nullptr;
    EXPECT_EQ(codec.Decode(&s, &g_factory, &m), FALSE);
    EXPECT_EQ(m, nullptr);
    EXPECT_FALSE(codec.GetLastErrorString().empty());
}

// A factory that runs out of memory part-way through a document.
class FailingFactory : public CameraElementFactory {
public:
    explicit FailingFactory(int okCalls) : m_Left(okCalls) {}
    Element* CreateElement(const char* name, const char** attributes) override {
        if (m_Left-- <= 0) throw std::bad_alloc();
        return CameraElementFactory::CreateElement(name, attributes);
    }

private:
    int m_Left;
};

TEST(XMLCodec, AFactoryThatThrowsFailsTheDecodeCleanly) {
    FailingFactory factory(2);
    auto d = DecodeText("<Camera><CameraMenu/><CameraMenu/><CameraMenu/></Camera>", factory);
    EXPECT_EQ(d.status, FALSE);
    EXPECT_FALSE(d.message);
    EXPECT_EQ(d.error, "out of memory");
}

// The pointer form hands out the current codec until it is destroyed; the
// status form always makes a new one, which becomes the current codec.
TEST(XMLCodec, CreationFunctions) {
    EXPECT_EQ(CreateXMLCodec(static_cast<IXMLCodec**>(nullptr)), FALSE);
    EXPECT_EQ(DestroyXMLCodec(nullptr), FALSE);
    IXMLCodec *a = nullptr, *b = nullptr;
    ASSERT_EQ(CreateXMLCodec(&a), TRUE);
    ASSERT_EQ(CreateXMLCodec(&b), TRUE);
    EXPECT_EQ(a, b);
    std::string s = kWorkedExample;
    Message* m = nullptr;
    EXPECT_EQ(a->Decode(&s, &g_factory, &m), TRUE);
    delete m;
    EXPECT_EQ(DestroyXMLCodec(&a), TRUE);
    EXPECT_EQ(a, nullptr);
    ASSERT_EQ(CreateXMLCodec(&b), TRUE);
    m = nullptr;
    EXPECT_EQ(b->Decode(&s, &g_factory, &m), TRUE);  // a new parser, not the destroyed one
    delete m;
    EXPECT_EQ(DestroyXMLCodec(&b), TRUE);

    unsigned short status = FALSE;
    IXMLCodec* c1 = CreateXMLCodec(&status);
    EXPECT_EQ(status, TRUE);
    IXMLCodec* c2 = CreateXMLCodec(&status);
    EXPECT_NE(c1, c2);
    CreateXMLCodec(&a);
    EXPECT_EQ(a, c2);
    DestroyXMLCodec(&c2);
    XMLCodec_SingletonFactory::Instance().DestroyXMLCodec(c1);
}

}  // namespace
