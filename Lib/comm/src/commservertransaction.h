// Header values of a stored answer and its remaining life: the number of
// trigger periods it still has to live after the current one.
#ifndef COMMSERVERTRANSACTION_H
#define COMMSERVERTRANSACTION_H

#include "commtransaction.h"

class CommServerTransaction : public CommTransaction {
public:
    CommServerTransaction(OPCODE_TYPE opCode, unsigned short transactionId, unsigned short sourceUnitId,
                          unsigned short remoteUnitId, unsigned long remoteIPA, unsigned short remotePort,
                          unsigned short timeToLive, unsigned long triggerPeriod)
        : CommTransaction(opCode, transactionId, sourceUnitId, remoteUnitId, remoteIPA, remotePort),
          _timeToLive(timeToLive),
          _triggerPeriod(triggerPeriod) {}

    unsigned short TimeToLive() const { return _timeToLive; }
    void TimeToLive(unsigned short v) { _timeToLive = v; }
    unsigned long TriggerPeriod() const { return _triggerPeriod; }
    void TriggerPeriod(unsigned long v) { _triggerPeriod = v; }

private:
    unsigned short _timeToLive;
    unsigned long _triggerPeriod;  // milliseconds
};

#endif
