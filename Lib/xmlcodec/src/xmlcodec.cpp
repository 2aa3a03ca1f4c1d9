// The XML codec: Expat reports tags, the factory builds elements, a stack of
// open elements hangs each finished one on its parent.
#include "xmlcodec.h"

#include <climits>
#include <new>

namespace {
IXMLCodec* g_CurrentCodec = nullptr;  // made by CreateXMLCodec; owned by the registry
}

XMLCodec::XMLCodec() : expatpp(true) {
    if (m_Parser) XML_SetEntityDeclHandler(m_Parser, EntityDecl);
}

XMLCodec::~XMLCodec() = default;

void XMLCALL XMLCodec::EntityDecl(void* user, const XML_Char*, int, const XML_Char*, int,
                                  const XML_Char*, const XML_Char*, const XML_Char*,
                                  const XML_Char*) {
    // The user data is the expatpp subobject.
    auto* self = static_cast<XMLCodec*>(static_cast<expatpp*>(user));
    self->Abort("entity declarations are not accepted");
}

void XMLCodec::Abort(const char* reason) {
    if (!m_AbortReason) m_AbortReason = reason;
    XML_StopParser(m_Parser, XML_FALSE);
}

void XMLCodec::DiscardAll() {
    m_Stack.clear();
    m_Result.reset();
    m_Skipping = FALSE;
    m_SkipDepth = 0;
    m_Depth = 0;
}

unsigned short XMLCodec::Decode(std::string* text, ElementFactory* factory, Message** message) {
    if (!text || !factory || !message) {
        m_LastErrorCode = XML_ERROR_NONE;
        m_LastErrorString = "null argument";
        return FALSE;
    }
    if (text->size() > static_cast<std::size_t>(INT_MAX)) {
        m_LastErrorCode = XML_ERROR_NONE;
        m_LastErrorString = "text too long";
        return FALSE;
    }
    m_Factory = factory;
    m_AbortReason = nullptr;
    DiscardAll();

    XML_Status status = XML_Parse(text->data(), static_cast<int>(text->size()), 1);
    m_Factory = nullptr;
    if (status != XML_STATUS_OK) {
        m_LastErrorCode = XML_GetErrorCode();
        if (m_AbortReason) {
            m_LastErrorString = m_AbortReason;
        } else if (m_LastErrorCode != XML_ERROR_NONE) {
            const XML_LChar* s = XML_ErrorString(m_LastErrorCode);
            m_LastErrorString = s ? s : "";
        } else {
            m_LastErrorString.clear();
        }
        DiscardAll();
        return FALSE;
    }
    m_LastErrorCode = XML_ERROR_NONE;
    m_LastErrorString.clear();
    *message = m_Result.release();
    DiscardAll();
    return TRUE;
}

unsigned short XMLCodec::Encode(std::string& text, Message* message) {
    if (!message) return FALSE;
    return message->SerializeElement(text, 0);
}

void XMLCodec::startElement(const char* name, const char** attributes) {
    if (m_AbortReason) return;
    if (m_Depth >= kMaxNesting) {
        Abort("elements nested too deeply");
        return;
    }
    ++m_Depth;
    if (m_Skipping) {
        ++m_SkipDepth;
        return;
    }
    try {
        std::unique_ptr<Element> element(m_Factory->CreateElement(name, attributes));
        if (!element) {
            // Unknown to the factory: skip it and everything inside it.
            m_Skipping = TRUE;
            m_SkipDepth = 1;
            return;
        }
        m_Stack.push_front(std::move(element));
    } catch (...) {
        Abort("out of memory");
    }
}

void XMLCodec::endElement(const char*) {
    if (m_AbortReason) return;  // Expat may still report the tag it stopped in
    if (m_Depth > 0) --m_Depth;
    if (m_Skipping) {
        if (m_SkipDepth == 1) {
            m_Skipping = FALSE;
            m_SkipDepth = 0;
        } else {
            --m_SkipDepth;
        }
        return;
    }
    if (m_Stack.empty()) return;
    std::unique_ptr<Element> popped = std::move(m_Stack.front());
    m_Stack.pop_front();
    try {
        if (m_Stack.empty()) {
            // The root: kept when it is a message, dropped otherwise.
            if (auto* root = dynamic_cast<Message*>(popped.get())) {
                popped.release();
                m_Result.reset(root);
            }
            return;
        }
        // A parent that refuses the child (a variable has no children)
        // leaves it with us, and it is dropped.
        if (m_Stack.front()->AddElement(popped.get()) == TRUE) popped.release();
    } catch (...) {
        Abort("out of memory");
    }
}

// Registry and free functions.

XMLCodec_SingletonFactory& XMLCodec_SingletonFactory::Instance() {
    static XMLCodec_SingletonFactory instance;
    return instance;
}

XMLCodec_SingletonFactory::~XMLCodec_SingletonFactory() {
    for (IXMLCodec* codec : m_Codecs) delete codec;
    m_Codecs.clear();
    g_CurrentCodec = nullptr;
}

IXMLCodec* XMLCodec_SingletonFactory::CreateXMLCodec() {
    try {
        auto codec = std::make_unique<XMLCodec>();
        if (!codec->parser()) return nullptr;
        m_Codecs.push_back(codec.get());
        return codec.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void XMLCodec_SingletonFactory::DestroyXMLCodec(IXMLCodec* codec) {
    if (!codec) return;
    m_Codecs.remove(codec);
    delete codec;
}

unsigned short CreateXMLCodec(IXMLCodec** codec) {
    if (!codec) return FALSE;
    if (!g_CurrentCodec) g_CurrentCodec = XMLCodec_SingletonFactory::Instance().CreateXMLCodec();
    *codec = g_CurrentCodec;
    return g_CurrentCodec ? TRUE : FALSE;
}

unsigned short DestroyXMLCodec(IXMLCodec** codec) {
    if (!codec) return FALSE;
    if (*codec) XMLCodec_SingletonFactory::Instance().DestroyXMLCodec(*codec);
    *codec = nullptr;
    g_CurrentCodec = nullptr;
    return TRUE;
}

IXMLCodec* CreateXMLCodec(unsigned short* status) {
    IXMLCodec* codec = XMLCodec_SingletonFactory::Instance().CreateXMLCodec();
    if (codec) g_CurrentCodec = codec;
    if (status) *status = codec ? TRUE : FALSE;
    return codec;
}
