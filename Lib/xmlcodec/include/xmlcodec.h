// The XML codec on Expat. See ixmlcodec.h for the contract.
//
// Decoding builds objects as the parser reports tags: every start tag is
// handed to the factory and the element pushed on a stack; every end tag pops
// the element and attaches it to the new innermost one. A tag the factory
// does not build is skipped with everything inside it. The work per tag is
// constant and nothing recurses, so the C++ stack does not grow with the
// document.
//
// Refused outright (Decode answers FALSE, the last error text says why):
// malformed XML, an empty text, text after the root element, a document that
// is not standalone (external markup declared), any entity declaration (the
// messages never need one; this stops entity-expansion bombs at the first
// declaration), element nesting deeper than kMaxNesting levels, and texts
// longer than an int can count.
#ifndef XMLCODEC_H
#define XMLCODEC_H

#include <deque>
#include <list>
#include <memory>
#include <string>

#include "expatpp.h"
#include "ixmlcodec.h"

class XMLCodec : public IXMLCodec, public expatpp {
public:
    // Elements open at once, known or skipped. Camera messages use two.
    static constexpr unsigned short kMaxNesting = 256;

    XMLCodec();
    // Deletes every element still built but not handed out.
    ~XMLCodec() override;

    unsigned short Decode(std::string* text, ElementFactory* factory,
                          Message** message) override;
    unsigned short Encode(std::string& text, Message* message) override;

    // Text of the last failed decode, empty after a success.
    const std::string& GetLastErrorString() const { return m_LastErrorString; }
    // Expat's code of the last failed decode, XML_ERROR_NONE after a success.
    XML_Error GetLastErrorCode() const { return m_LastErrorCode; }

    void startElement(const char* name, const char** attributes) override;
    void endElement(const char* name) override;

private:
    static void XMLCALL EntityDecl(void* user, const XML_Char* entityName, int isParameterEntity,
                                   const XML_Char* value, int valueLength, const XML_Char* base,
                                   const XML_Char* systemId, const XML_Char* publicId,
                                   const XML_Char* notationName);
    void Abort(const char* reason);
    void DiscardAll();

    ElementFactory* m_Factory = nullptr;    // given to the current Decode; not owned
    std::unique_ptr<Message> m_Result;       // the completed root until handed out
    std::deque<std::unique_ptr<Element>> m_Stack;  // open elements, innermost first
    T_uint_16 m_SkipDepth = 0;             // depth inside a skipped element
    T_uint_16 m_Skipping = FALSE;          // TRUE while skipping
    unsigned short m_Depth = 0;            // elements open, known or skipped
    std::string m_LastErrorString;
    XML_Error m_LastErrorCode = XML_ERROR_NONE;
    const char* m_AbortReason = nullptr;   // set when a handler stopped the parser
};

// The registry of codecs made through it; one per process, made on first use.
class XMLCodec_SingletonFactory {
public:
    static XMLCodec_SingletonFactory& Instance();

    // A new codec recorded in the registry, or null when none could be made.
    IXMLCodec* CreateXMLCodec();
    // Removes `codec` from the registry and deletes it.
    void DestroyXMLCodec(IXMLCodec* codec);

    XMLCodec_SingletonFactory(const XMLCodec_SingletonFactory&) = delete;
    XMLCodec_SingletonFactory& operator=(const XMLCodec_SingletonFactory&) = delete;

private:
    XMLCodec_SingletonFactory() = default;
    // Deletes every codec still recorded.
    ~XMLCodec_SingletonFactory();

    std::list<IXMLCodec*> m_Codecs;  // owned
};

#endif
