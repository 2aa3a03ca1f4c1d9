// The abstract message: its header fields.
#include "message.h"

Message::Message(std::string headerType, std::string actionType, unsigned short requestId,
                 unsigned short sourceUnit, unsigned short errorStatus)
    : m_HeaderType(std::move(headerType)),
      m_ActionType(std::move(actionType)),
      m_RequestID(requestId),
      m_SourceUnit(sourceUnit),
      m_ErrorStatus(errorStatus) {}

// Children are owned by the concrete message and never copied with the header.
Message::Message(const Message& other)
    : Element(),
      m_HeaderType(other.m_HeaderType),
      m_ActionType(other.m_ActionType),
      m_RequestID(other.m_RequestID),
      m_SourceUnit(other.m_SourceUnit),
      m_ErrorStatus(other.m_ErrorStatus) {}

Message& Message::operator=(const Message& other) {
    if (this != &other) {
        m_HeaderType = other.m_HeaderType;
        m_ActionType = other.m_ActionType;
        m_RequestID = other.m_RequestID;
        m_SourceUnit = other.m_SourceUnit;
        m_ErrorStatus = other.m_ErrorStatus;
    }
    return *this;
}
