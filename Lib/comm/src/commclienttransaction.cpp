#include "commclienttransaction.h"

CommClientTransaction::CommClientTransaction(ICommClientSessionCallBack* session, IFrameWorkServer* worker,
                                             OPCODE_TYPE opCode, unsigned short transactionId,
                                             unsigned short sourceUnitId, unsigned short remoteUnitId,
                                             unsigned long remoteIPA, unsigned short remotePort,
                                             unsigned short maxRetry, unsigned long retryPeriod,
                                             unsigned short transmitCount)
    : CommTransaction(opCode, transactionId, sourceUnitId, remoteUnitId, remoteIPA, remotePort),
      _maxRetry(maxRetry),
      _retryPeriod(retryPeriod),
      _transmitCount(transmitCount),
      _session(session),
      _worker(worker) {
    if (_session == nullptr) _error = 4;
}

CommClientTransaction::~CommClientTransaction() { StopTimer(); }

bool CommClientTransaction::OnEvent(EVENTTYPE type, unsigned int /*value*/) {
    if (type == EVENT_TIMER) OnTimerEvent();
    return true;
}

void CommClientTransaction::StartTimer() {
    if (_session != nullptr) _session->ScheduleTransaction(this, _retryPeriod);
}

void CommClientTransaction::StopTimer() {
    if (_session != nullptr && _dueSeq != 0) _session->CancelTransaction(this);
}

void CommClientTransaction::OnTimerEvent() {
    if (_transmitCount < _maxRetry) {
        ++_transmitCount;
        // 0: the client has told the user and destroyed this transaction;
        // nothing of it may be touched any more.
        if (_session->SendRetransmit(this) == 0) return;
        StartTimer();
        return;
    }
    // The last repeat had its period: give up (this object is deleted).
    _session->NotifyUser(this);
}
