// Builds one whole comm datagram at construction.
//
// Usage: construct, test ValidateErr(), and hand GetMsg() with GetMsgSize()
// bytes to the socket. Refused: an empty payload under Deep acknowledgement
// (no message is built), and a datagram longer than COMM_MAX_DATAGRAM bytes
// (the message is built, but ValidateErr() reports it).
#ifndef COMMENCODER_H
#define COMMENCODER_H

#include <string>

#include "commsession.h"
#include "commtransaction.h"

class CommEncoder {
public:
    // Time stamp taken from the clock once, at construction.
    CommEncoder(CommSession* session, CommTransaction* transaction, unsigned short count,
                const std::string& data);
    // As above with a given time stamp (seconds since 1970, UTC).
    CommEncoder(CommSession* session, CommTransaction* transaction, unsigned short count,
                const std::string& data, long unixTime);

    unsigned short ValidateErr() const;  // 0 may be sent, 0xFFFF otherwise
    std::string GetMsg() const { return _msg; }
    const std::string& Msg() const { return _msg; }  // the same, without a copy
    unsigned int GetMsgSize() const { return static_cast<unsigned int>(_msg.size()); }

private:
    void Build(const CommSession* session, const CommTransaction* transaction, unsigned short count,
               const std::string& data, long unixTime);

    std::string _msg;
    unsigned short _error;
};

#endif
