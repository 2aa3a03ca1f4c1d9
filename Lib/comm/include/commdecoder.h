// Takes one received comm datagram apart at construction.
//
// Usage: construct from what the socket reports (source address, source port,
// byte count, text), test ValidateErr(), and only then use the copies and the
// payload. The decoder never reads outside the text; malformed fields decode
// as 0 and make ValidateErr() report 0xFFFF.
#ifndef COMMDECODER_H
#define COMMDECODER_H

#include <memory>
#include <string>

#include "commsession.h"
#include "commtransaction.h"

class CommDecoder {
public:
    CommDecoder(unsigned long sourceIPA, unsigned int sourcePort, unsigned int receivedCount,
                const std::string& text);

    unsigned short ValidateErr() const;  // 0 acceptable, 0xFFFF otherwise
    CommSession GetCommSession() const { return *_session; }
    CommTransaction GetCommTransaction() const { return *_transaction; }
    std::string GetHead() const;
    std::string GetData() const;

private:
    std::unique_ptr<CommSession> _session;
    std::unique_ptr<CommTransaction> _transaction;
    std::string _text;
    unsigned short _error;
};

#endif
