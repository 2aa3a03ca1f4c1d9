// The object wrapper around Expat: static callbacks that find the object in
// the parser's user data and call its virtual operation.
#include "expatpp.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <vector>

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

// ---- hash salt ----
//
// Expat keys the hashes of its name tables with a salt so that a document
// cannot be built to make every name collide. Left to itself it takes a new
// salt for every parser at the first parse: a getrandom() system call and a
// getenv("EXPAT_ENTROPY_DEBUG") walk of the environment, per document. Here
// one 64-bit secret is taken from the kernel once per process and every
// parser gets its own salt derived from it (a counter mixed by the SplitMix64
// finaliser, a bijection): salts still differ from parser to parser and
// cannot be guessed without the secret, which never leaves the process.

std::uint64_t ProcessSecret() {
    std::uint64_t secret = 0;
    if (getrandom(&secret, sizeof secret, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof secret)) {
        // No entropy yet (very early boot): mix what differs between runs.
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        secret = static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(now.tv_sec) << 32) ^
                 (static_cast<std::uint64_t>(getpid()) << 16) ^ reinterpret_cast<std::uintptr_t>(&now);
    }
    return secret;
}

unsigned long NextHashSalt() {
    static const std::uint64_t secret = ProcessSecret();
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t x = secret + (counter.fetch_add(1, std::memory_order_relaxed) + 1) * 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    return x != 0 ? static_cast<unsigned long>(x) : 1ul;  // 0 would make Expat draw its own
}

// ---- parser reuse ----
//
// A service decodes one small document per request with a new codec, and
// so a new parser, each time. Creating and freeing an Expat parser costs
// about as much as parsing such a document (its structure, buffers, name
// tables and string pools are allocated and freed again). A freed parser is
// therefore reset (XML_ParserReset: every handler, the user data, the DTD,
// the salt and the parse state cleared, as in a new parser; the memory kept)
// and kept as this thread's one spare, which the next object takes. Parsers
// that were given more than kMaxSpareDocument bytes, at once or in all, are
// freed instead, so the spare never holds on to a large document's buffer.

constexpr int kMaxSpareDocument = 64 * 1024;

struct SpareParser {
    XML_Parser parser = nullptr;
    std::vector<XML_Parser> oversized;  // live parsers that must not become the spare
    ~SpareParser() {
        if (parser) XML_ParserFree(parser);
        parser = nullptr;
    }
};

// Plain thread-local flag (no destructor): still readable while objects of
// static duration are destroyed, after the thread's spare has gone.
thread_local bool tSpareGone = false;

SpareParser& Spare() {
    struct Owner {
        SpareParser spare;
        ~Owner() { tSpareGone = true; }
    };
    thread_local Owner owner;
    return owner.spare;
}

XML_Parser TakeParser() {
    if (!tSpareGone) {
        SpareParser& spare = Spare();
        if (XML_Parser p = spare.parser) {
            spare.parser = nullptr;
            return p;
        }
    }
    return XML_ParserCreate(nullptr);
}

void GiveBackParser(XML_Parser parser) {
    if (!tSpareGone) {
        SpareParser& spare = Spare();
        auto it = std::find(spare.oversized.begin(), spare.oversized.end(), parser);
        if (it != spare.oversized.end()) {
            spare.oversized.erase(it);
        } else if (spare.parser == nullptr && XML_GetCurrentByteIndex(parser) <= kMaxSpareDocument &&
                   XML_ParserReset(parser, nullptr) == XML_TRUE) {
            spare.parser = parser;
            return;
        }
    }
    XML_ParserFree(parser);
}

void NoteDocumentSize(XML_Parser parser, int length) {
    if (length <= kMaxSpareDocument || tSpareGone) return;
    SpareParser& spare = Spare();
    if (std::find(spare.oversized.begin(), spare.oversized.end(), parser) == spare.oversized.end()) {
        try {
            spare.oversized.push_back(parser);
        } catch (...) {
            // Without the note the parser may become the spare with its
            // large buffer: more memory kept, nothing wrong.
        }
    }
}

}  // namespace

expatpp::expatpp(bool createParser) {
    if (!createParser) return;
    m_Parser = TakeParser();
    if (!m_Parser) return;
    XML_SetHashSalt(m_Parser, NextHashSalt());
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
    if (m_Parser) GiveBackParser(m_Parser);
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
    NoteDocumentSize(m_Parser, length);
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
