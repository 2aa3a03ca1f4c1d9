// The camera message and the camera element factory.
#include <cstring>
#include <limits>

#include "cameramessage.h"
#include "fields.h"

namespace {
constexpr std::size_t kReservedSlots = 64;  // a capacity hint, not a limit
// GetElementCount and GetVariable speak 16-bit indices.
constexpr std::size_t kMaxSlots = std::numeric_limits<T_uint_16>::max();
}  // namespace

CameraMessage::CameraMessage(std::string actionType, unsigned short requestId,
                             unsigned short sourceUnit, unsigned short errorStatus,
                             unsigned long monitorId, unsigned short switchId,
                             unsigned short monDevType)
    : Message("Camera", std::move(actionType), requestId, sourceUnit, errorStatus),
      m_MonitorID(static_cast<T_uint_32>(monitorId)),
      m_MonSwitchID(switchId),
      m_MonDevType(monDevType) {
    m_Elements.reserve(kReservedSlots);
}

CameraMessage::CameraMessage(const char** attributes) : Message("Camera", "", 0, 0, 0) {
    using nuvak::msg::ParseU16;
    using nuvak::msg::ParseU32;
    if (!attributes) return;
    for (const char** a = attributes; a[0] != nullptr; a += 2) {
        const char* name = a[0];
        const char* value = a[1] ? a[1] : "";
        if (std::strcmp(name, "ActionType") == 0) {
            m_ActionType = value;
        } else if (std::strcmp(name, "RequestID") == 0) {
            m_RequestID = ParseU16(value);
        } else if (std::strcmp(name, "SourceUnit") == 0) {
            m_SourceUnit = ParseU16(value);
        } else if (std::strcmp(name, "ErrorStatus") == 0) {
            m_ErrorStatus = ParseU16(value);
        } else if (std::strcmp(name, "MonitorID") == 0) {
            m_MonitorID = ParseU32(value);
        } else if (std::strcmp(name, "MonSwitchID") == 0) {
            m_MonSwitchID = ParseU16(value);
        } else if (std::strcmp(name, "MonDevType") == 0) {
            m_MonDevType = ParseU16(value);
        }
    }
}

CameraMessage::~CameraMessage() = default;

unsigned short CameraMessage::AddElement(Element* child) {
    if (!child || m_Elements.size() >= kMaxSlots) return FALSE;
    if (!dynamic_cast<Variable*>(child)) return FALSE;
    m_Elements.emplace_back(child);
    return TRUE;
}

unsigned short CameraMessage::SerializeElement(std::string& out, unsigned short depth) const {
    // Written straight into `out`: the text of XMLDeclaration("encoding=\"UTF-8\""),
    // then the header, the variables and the end tag of XMLEndElementTag.
    static constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\n";
    const unsigned short inner = static_cast<unsigned short>(depth + 1);
    const std::size_t wanted = out.size() + 512;
    if (out.capacity() < wanted) out.reserve(wanted);  // a hint: never shrinks
    out += kDeclaration;
    SerializeUtility::appendTabOf(out, depth);
    out += '<';
    out += m_HeaderType;
    out += ' ';
    out += "ActionType=\"";
    SerializeUtility::appendEscaped(out, m_ActionType);
    out += "\" ";
    const std::pair<const char*, T_uint_32> header[] = {
        {"RequestID", m_RequestID},     {"SourceUnit", m_SourceUnit},
        {"ErrorStatus", m_ErrorStatus}, {"MonitorID", m_MonitorID},
        {"MonSwitchID", m_MonSwitchID}, {"MonDevType", m_MonDevType},
    };
    for (const auto& [name, value] : header) {
        SerializeUtility::appendTabOf(out, inner);
        out += name;
        out += "=\"";
        SerializeUtility::appendNum(out, value);
        out += "\" ";
    }
    out += '>';
    for (const auto& element : m_Elements) {
        if (element) element->SerializeElement(out, inner);
    }
    if (m_HeaderType == "/") {
        out += "/>";
    } else if (m_HeaderType.empty()) {
        out += '>';
    } else {
        if (depth == 0)
            out += '\n';
        else
            SerializeUtility::appendTabOf(out, depth);
        out += "</";
        out += m_HeaderType;
        out += '>';
    }
    return TRUE;
}

unsigned short CameraMessage::GetElementCount() const {
    return static_cast<unsigned short>(m_Elements.size());
}

unsigned short CameraMessage::GetVariable(unsigned short index, Variable** out) {
    if (!out || index >= m_Elements.size()) return FALSE;
    *out = dynamic_cast<Variable*>(m_Elements[index].get());
    return TRUE;
}

void CameraMessage::RemoveElement(Element* element) {
    if (!element) return;
    for (auto& slot : m_Elements) {
        if (slot.get() == element) {
            slot.reset();
            return;
        }
    }
}

void CameraMessage::RemoveElement() { m_Elements.clear(); }

namespace {

template <class C>
Element* Build(const char** attributes) {
    return new C(attributes);
}

struct TagEntry {
    const char* name;
    Element* (*build)(const char** attributes);
};

constexpr TagEntry kTags[] = {
    {"Camera", Build<CameraMessage>},
    {"CameraSeize", Build<CameraVariableSeize>},
    {"CameraPreset", Build<CameraVariablePreset>},
    {"CameraReceiver", Build<CameraVariableReceiver>},
    {"CameraMenu", Build<CameraVariableMenu>},
    {"CameraSequence", Build<CameraVariableSequence>},
    {"CameraControl", Build<CameraVariableControl>},
    {"MonitorStatus", Build<CameraVariableMonstat>},
    {"CameraDvrControl", Build<CameraVariableDvrControl>},
    {"CameraFunctionCode", Build<CameraVariableFuncCode>},
    {"CameraGroup", Build<CameraVariableGroup>},
    {"CameraGroupMonitor", Build<CameraVariableGroupMonitor>},
};

}  // namespace

Element* CameraElementFactory::CreateElement(const char* name, const char** attributes) {
    if (!name) return nullptr;
    for (const TagEntry& tag : kTags) {
        if (std::strcmp(tag.name, name) == 0) return tag.build(attributes);
    }
    return nullptr;
}

void CameraElementFactory::DestroyElement(std::string /*name*/, Element* /*element*/) {}
