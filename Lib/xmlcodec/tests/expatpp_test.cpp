// The Expat wrapper: callbacks reach the virtual operations, a throwing
// handler stops the parse, and the nesting variant hands a sub-tree over.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "expatpp.h"

namespace {

XML_Status Parse(expatpp& parser, const std::string& text) {
    return parser.XML_Parse(text.data(), static_cast<int>(text.size()), 1);
}

class Recorder : public expatpp {
public:
    std::string log;
    void startElement(const char* name, const char**) override { log += std::string("<") + name; }
    void endElement(const char* name) override { log += std::string(">") + name; }
    void charData(const char* text, int length) override { log += "[" + std::string(text, length) + "]"; }
    void processingInstruction(const char* target, const char*) override { log += std::string("?") + target; }
};

TEST(expatpp, WithoutAParserNothingParses) {
    expatpp none(false);
    EXPECT_EQ(none.parser(), nullptr);
    EXPECT_EQ(none.XML_Parse("<a/>", 4, 1), XML_STATUS_ERROR);
}

class Thrower : public expatpp {
public:
    int starts = 0;
    void startElement(const char*, const char**) override {
        if (++starts == 2) throw std::runtime_error("handler failed");
    }
};

TEST(expatpp, AThrowingHandlerStopsTheParseInsteadOfUnwindingThroughExpat) {
    Thrower t;
    EXPECT_EQ(Parse(t, "<a><b/><c/><d/></a>"), XML_STATUS_ERROR);
    EXPECT_EQ(t.XML_GetErrorCode(), XML_ERROR_ABORTED);
    EXPECT_EQ(t.starts, 2);
}

// A parent that hands every <sub> element's contents to a child object.
class Child : public expatppNesting {
public:
    Child(expatppNesting* parent, std::string& log) : expatppNesting(parent), m_Log(log) {}
    void startElement(const char* name, const char**) override { m_Log += std::string("c<") + name; }
    void endElement(const char* name) override { m_Log += std::string("c>") + name; }

private:
    std::string& m_Log;
};

class Parent : public expatppNesting {
public:
    std::string log;
    int done = 0;
    void startElement(const char* name, const char**) override {
        log += std::string("p<") + name;
        if (std::string(name) == "sub") m_Child = std::make_unique<Child>(this, log);
    }
    void endElement(const char* name) override { log += std::string("p>") + name; }
    void nestedChildDone(expatppNesting* child) override {
        ++done;
        if (child == m_Child.get()) m_Child.reset();
    }

private:
    std::unique_ptr<Child> m_Child;
};

TEST(expatppNesting, AChildTakesOverOneSubtreeAndHandsItBack) {
    Parent p;
    ASSERT_EQ(Parse(p, "<r><sub><x><y/></x></sub><z/><sub/></r>"), XML_STATUS_OK);
    EXPECT_EQ(p.log, "p<rp<subc<xc<yc>yc>xp>subp<zp>zp<subp>subp>r");
    EXPECT_EQ(p.done, 2);
}

// Parsers are recycled from one object to the next (reset, not freed): an
// object starts as with a new parser whatever the previous document left behind.
TEST(expatpp, EachObjectStartsCleanAfterAnyEarlierDocument) {
    {
        Recorder broken;
        EXPECT_EQ(Parse(broken, "<!DOCTYPE a [<!ENTITY e 'x'>]><a><b>&e;</a>"), XML_STATUS_ERROR);
        EXPECT_EQ(broken.XML_GetErrorCode(), XML_ERROR_TAG_MISMATCH);
    }
    {
        Recorder fresh;  // entity e was the previous document's
        EXPECT_EQ(Parse(fresh, "<a>&e;</a>"), XML_STATUS_ERROR);
        EXPECT_EQ(fresh.XML_GetErrorCode(), XML_ERROR_UNDEFINED_ENTITY);
        EXPECT_EQ(fresh.log, "<a");
    }
    {
        Thrower stopped;  // stopped by its handler
        EXPECT_EQ(Parse(stopped, "<a><b/><c/></a>"), XML_STATUS_ERROR);
    }
    {
        Recorder unfinished;  // destroyed with the document open
        EXPECT_EQ(unfinished.XML_Parse("<a><b>te", 8, 0), XML_STATUS_OK);
    }
    for (int i = 0; i < 3; ++i) {
        Recorder next;
        ASSERT_EQ(Parse(next, "<?xml version=\"1.0\" standalone=\"yes\"?><r>x<?t d?><s/></r>"), XML_STATUS_OK);
        EXPECT_EQ(next.log, "<r[x]?t<s>s>r");  // every callback reaches the object
        EXPECT_EQ(next.XML_GetErrorCode(), XML_ERROR_NONE);
    }
    {
        // Two objects at once have two parsers.
        Recorder a, b;
        EXPECT_NE(a.parser(), b.parser());
        EXPECT_EQ(a.XML_Parse("<a/>", 4, 1), XML_STATUS_OK);
        EXPECT_EQ(b.XML_Parse("<b/>", 4, 1), XML_STATUS_OK);
        EXPECT_EQ(a.log, "<a>a");
        EXPECT_EQ(b.log, "<b>b");
    }
}

}  // namespace
