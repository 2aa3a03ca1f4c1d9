// Per-datagram header values of a comm exchange, plus the peer's address.
#ifndef COMMTRANSACTION_H
#define COMMTRANSACTION_H

#include "commtypes.h"

class CommTransaction {
public:
    CommTransaction(OPCODE_TYPE opCode, unsigned short transactionId, unsigned short sourceUnitId,
                    unsigned short remoteUnitId, unsigned long remoteIPA, unsigned short remotePort)
        : _opCode(opCode),
          _transactionId(transactionId),
          _sourceUnitId(sourceUnitId),
          _remoteUnitId(remoteUnitId),
          _remoteIPA(remoteIPA),
          _remotePort(remotePort) {}
    CommTransaction(const CommTransaction&) = default;
    CommTransaction& operator=(const CommTransaction&) = default;
    virtual ~CommTransaction() = default;

    OPCODE_TYPE OpCode() const { return _opCode; }
    unsigned short TransactionID() const { return _transactionId; }
    unsigned short SourceUnitID() const { return _sourceUnitId; }
    unsigned short RemoteUnitID() const { return _remoteUnitId; }
    unsigned long RemoteIPA() const { return _remoteIPA; }
    unsigned short RemotePort() const { return _remotePort; }
    void OpCode(OPCODE_TYPE v) { _opCode = v; }
    void TransactionID(unsigned short v) { _transactionId = v; }
    void SourceUnitID(unsigned short v) { _sourceUnitId = v; }
    void RemoteUnitID(unsigned short v) { _remoteUnitId = v; }
    void RemoteIPA(unsigned long v) { _remoteIPA = v; }
    void RemotePort(unsigned short v) { _remotePort = v; }

private:
    OPCODE_TYPE _opCode;
    unsigned short _transactionId;
    unsigned short _sourceUnitId;   // the unit that sends the datagram
    unsigned short _remoteUnitId;   // the unit at the other end; 0 = addressed by address only
    unsigned long _remoteIPA;       // IPv4, host byte order (127.0.0.1 = 0x7F000001)
    unsigned short _remotePort;
};

#endif
