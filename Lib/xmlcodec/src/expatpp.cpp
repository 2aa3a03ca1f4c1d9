// The object wrapper around Expat: static callbacks that find the object in
// the parser's user data and call its virtual operation.
#include "expatpp.h"

namespace {

// The user data is always the expatpp subobject (set from inside expatpp),
// so the cast back is exact whatever else the object derives from.
expatpp* Self(void* user) { return static_cast<expatpp*>(user); }

// Nothing may unwind through Expat's C frames: a throwing handler stops
// the parser, which then reports the document as failed.
template <class F>
void Guard(expatpp* self, F&& call) {
    try {
        call();
    } catch (...) {
        if (self->parser()) XML_StopParser(self->parser(), XML_FALSE);
    }
}

void XMLCALL OnStart(void* user, const XML_Char* name, const XML_Char** attributes) {
    expatpp* self = Self(user);
    Guard(self, [&] { self->startElement(name, attributes); });
}
void XMLCALL OnEnd(void* user, const XML_Char* name) {
    expatpp* self = Self(user);
    Guard(self, [&] { self->endElement(name); });
}
void XMLCALL OnCharData(void* user, const XML_Char* text, int length) {
    expatpp* self = Self(user);
    Guard(self, [&] { self->charData(text, length); });
}
void XMLCALL OnProcessingInstruction(void* user, const XML_Char* target, const XML_Char* data) {
    expatpp* self = Self(user);
    Guard(self, [&] { self->processingInstruction(target, data); });
}
void XMLCALL OnDefault(void* user, const XML_Char* text, int length) {
    expatpp* self = Self(user);
    Guard(self, [&] { self->defaultHandler(text, length); });
}
int XMLCALL OnNotStandalone(void* user) {
    expatpp* self = Self(user);
    int answer = 0;
    Guard(self, [&] { answer = self->notStandaloneHandler(); });
    return answer;
}
void XMLCALL OnUnparsedEntityDecl(void* user, const XML_Char* entityName, const XML_Char* base,
                                  const XML_Char* systemId, const XML_Char* publicId,
                                  const XML_Char* notationName) {
    expatpp* self = Self(user);
    Guard(self, [&] { self->unparsedEntityDecl(entityName, base, systemId, publicId, notationName); });
}
void XMLCALL OnNotationDecl(void* user, const XML_Char* notationName, const XML_Char* base,
                            const XML_Char* systemId, const XML_Char* publicId) {
    expatpp* self = Self(user);
    Guard(self, [&] { self->notationDecl(notationName, base, systemId, publicId); });
}
void XMLCALL OnStartNamespace(void* user, const XML_Char* prefix, const XML_Char* uri) {
    expatpp* self = Self(user);
    Guard(self, [&] { self->startNamespace(prefix, uri); });
}
void XMLCALL OnEndNamespace(void* user, const XML_Char* prefix) {
    expatpp* self = Self(user);
    Guard(self, [&] { self->endNamespace(prefix); });
}

}  // namespace

expatpp::expatpp(bool createParser) {
    if (!createParser) return;
    m_Parser = XML_ParserCreate(nullptr);
    if (!m_Parser) return;
    XML_SetUserData(m_Parser, this);
    XML_SetElementHandler(m_Parser, OnStart, OnEnd);
    XML_SetCharacterDataHandler(m_Parser, OnCharData);
    XML_SetProcessingInstructionHandler(m_Parser, OnProcessingInstruction);
    // Installing a default handler also stops Expat from expanding internal
    // entity references in content; they reach the default handler instead.
    XML_SetDefaultHandler(m_Parser, OnDefault);
    XML_SetUnparsedEntityDeclHandler(m_Parser, OnUnparsedEntityDecl);
    XML_SetNotationDeclHandler(m_Parser, OnNotationDecl);
    XML_SetNotStandaloneHandler(m_Parser, OnNotStandalone);
    XML_SetNamespaceDeclHandler(m_Parser, OnStartNamespace, OnEndNamespace);
}

expatpp::~expatpp() {
    if (m_Parser) XML_ParserFree(m_Parser);
}

void expatpp::startElement(const char*, const char**) {}
void expatpp::endElement(const char*) {}
void expatpp::charData(const char*, int) {}
void expatpp::processingInstruction(const char*, const char*) {}
void expatpp::defaultHandler(const char*, int) {}
int expatpp::notStandaloneHandler() { return 0; }
void expatpp::unparsedEntityDecl(const char*, const char*, const char*, const char*, const char*) {}
void expatpp::notationDecl(const char*, const char*, const char*, const char*) {}
void expatpp::startNamespace(const char*, const char*) {}
void expatpp::endNamespace(const char*) {}

XML_Status expatpp::XML_Parse(const char* text, int length, int isFinal) {
    if (!m_Parser) return XML_STATUS_ERROR;
    return ::XML_Parse(m_Parser, text, length, isFinal);
}

XML_Error expatpp::XML_GetErrorCode() const {
    return m_Parser ? ::XML_GetErrorCode(m_Parser) : XML_ERROR_NO_MEMORY;
}

// Nesting variant.

expatppNesting::expatppNesting() : expatpp(true) {
    if (m_Parser) OwnCallbacks();
}

expatppNesting::expatppNesting(expatppNesting* parent) : expatpp(false), m_Parent(parent) {
    if (parent) m_Parser = parent->m_Parser;
    if (m_Parser) OwnCallbacks();
}

expatppNesting::~expatppNesting() {
    if (m_Parent) {
        // Give the callbacks back if the child goes before its sub-tree ends.
        if (m_Parser && XML_GetUserData(m_Parser) == static_cast<expatpp*>(this)) {
            m_Parent->OwnCallbacks();
        }
        m_Parser = nullptr;  // borrowed: the parent frees it
    }
}

void expatppNesting::nestedChildDone(expatppNesting*) {}

void expatppNesting::OwnCallbacks() {
    XML_SetUserData(m_Parser, static_cast<expatpp*>(this));
    XML_SetElementHandler(m_Parser, NestStart, NestEnd);
}

void XMLCALL expatppNesting::NestStart(void* user, const XML_Char* name,
                                       const XML_Char** attributes) {
    auto* self = static_cast<expatppNesting*>(Self(user));
    ++self->m_Depth;
    Guard(self, [&] { self->startElement(name, attributes); });
}

void XMLCALL expatppNesting::NestEnd(void* user, const XML_Char* name) {
    auto* self = static_cast<expatppNesting*>(Self(user));
    if (self->m_Depth == 0 && self->m_Parent) {
        // The end tag of the sub-tree the child was made for: the parent
        // takes the callbacks back and sees the tag it opened. The parent may
        // delete the child in nestedChildDone, so nothing touches it after.
        expatppNesting* parent = self->m_Parent;
        parent->OwnCallbacks();
        NestEnd(static_cast<expatpp*>(parent), name);
        Guard(parent, [&] { parent->nestedChildDone(self); });
        return;
    }
    if (self->m_Depth > 0) --self->m_Depth;
    Guard(self, [&] { self->endElement(name); });
}
