#include "commserversession.h"

#include <new>

CommServerSession::CommServerSession(ICommServerCallBack* server, IFrameWorkServer* worker,
                                     unsigned short sessionId, ACKNOWLEDGE_TYPE ack, TRANSMISSION_TYPE trans)
    : CommSession(sessionId, ack, trans), _worker(worker), _server(server) {
    _transaction.reset(new (std::nothrow) CommServerTransaction(OPCODE_SERVER_ACKNOWLEDGE, 0, 0, 0, 0, 0, 1, 750));
    if (!_transaction) _error = 2;
}

void CommServerSession::StartTimer() { _server->ScheduleSession(this, _transaction->TriggerPeriod()); }

void CommServerSession::ResetTimeToLive(unsigned short timeToLive) { _transaction->TimeToLive(timeToLive); }

bool CommServerSession::OnEvent(EVENTTYPE type, unsigned int /*value*/) {
    if (type == EVENT_TIMER) OnTimerEvent();
    return true;
}

void CommServerSession::OnTimerEvent() {
    if (_transaction->TimeToLive() == 0) {
        _server->DestroySession(this);  // deletes this object
        return;
    }
    _transaction->TimeToLive(static_cast<unsigned short>(_transaction->TimeToLive() - 1));
    StartTimer();
}
