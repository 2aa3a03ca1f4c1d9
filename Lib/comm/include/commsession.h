// Per-request header values shared by both ends of a comm exchange.
#ifndef COMMSESSION_H
#define COMMSESSION_H

#include "commtypes.h"

class CommSession {
public:
    CommSession(unsigned short sessionId, ACKNOWLEDGE_TYPE ack, TRANSMISSION_TYPE trans)
        : _sessionId(sessionId), _ack(ack), _trans(trans) {}
    CommSession(const CommSession&) = default;
    CommSession& operator=(const CommSession&) = default;
    virtual ~CommSession() = default;

    unsigned short SessionID() const { return _sessionId; }
    ACKNOWLEDGE_TYPE AcknowledgeType() const { return _ack; }
    TRANSMISSION_TYPE TransmissionType() const { return _trans; }
    void SessionID(unsigned short id) { _sessionId = id; }
    void AcknowledgeType(ACKNOWLEDGE_TYPE a) { _ack = a; }
    void TransmissionType(TRANSMISSION_TYPE t) { _trans = t; }

private:
    unsigned short _sessionId;  // 0 = none
    ACKNOWLEDGE_TYPE _ack;
    TRANSMISSION_TYPE _trans;
};

#endif
