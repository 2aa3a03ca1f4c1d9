// One addressed peer of a client request: the header values of its
// datagrams, its retry budget and its one-shot retransmission timer.
//
// Timer schedule with max retry m and retry period p: sent at 0, p, ..., m*p
// (repeats carry counts 1..m), and the session is told at (m+1)*p that no
// answer came, unless an answer ends the transaction first.
//
// Transactions have no framework timer of their own: StartTimer() files the
// end of the current period on the comm client's queue, which one periodic
// 100 ms timer drives (see commclient.h). So the number of open requests is
// not bounded by the framework's timer table, which the whole process shares.
#include <cstdint>
#ifndef COMMCLIENTTRANSACTION_H
#define COMMCLIENTTRANSACTION_H

#include "commtransaction.h"
#include "framework.h"

class CommClientTransaction;

// What a transaction calls on its session.
class ICommClientSessionCallBack {
public:
    virtual ~ICommClientSessionCallBack() {}
    virtual void NotifyUser(CommClientTransaction* transaction) = 0;
    virtual void DestroyTransaction(CommClientTransaction* transaction) = 0;
    // 0xFFFF sent; 0 failed (the transaction has then been destroyed).
    virtual unsigned short SendRetransmit(CommClientTransaction* transaction) = 0;
    // Files the end of the transaction's current period, `milliseconds` from
    // now (replacing any earlier one); Cancel removes it.
    virtual void ScheduleTransaction(CommClientTransaction* transaction, unsigned long milliseconds) = 0;
    virtual void CancelTransaction(CommClientTransaction* transaction) = 0;
};

class CommClientTransaction : public CommTransaction, public IFrameWorkObserver {
public:
    // Error 4 when there is no session to time it.
    CommClientTransaction(ICommClientSessionCallBack* session, IFrameWorkServer* worker, OPCODE_TYPE opCode,
                          unsigned short transactionId, unsigned short sourceUnitId, unsigned short remoteUnitId,
                          unsigned long remoteIPA, unsigned short remotePort, unsigned short maxRetry,
                          unsigned long retryPeriod, unsigned short transmitCount);
    ~CommClientTransaction() override;
    CommClientTransaction(const CommClientTransaction&) = delete;
    CommClientTransaction& operator=(const CommClientTransaction&) = delete;

    // EVENT_TIMER: the current period has ended (may delete this object).
    bool OnEvent(EVENTTYPE type, unsigned int value) override;

    unsigned short MaxRetry() const { return _maxRetry; }
    void MaxRetry(unsigned short v) { _maxRetry = v; }
    unsigned long RetryPeriod() const { return _retryPeriod; }
    void RetryPeriod(unsigned long v) { _retryPeriod = v; }
    unsigned short TransmitCount() const { return _transmitCount; }
    void TransmitCount(unsigned short v) { _transmitCount = v; }
    unsigned short ErrorCheck() const { return _error; }
    void StartTimer();
    void StopTimer();

    // The client's filing position of the period end (set and used only by it).
    std::uint64_t DueMs() const { return _dueMs; }
    std::uint64_t DueSeq() const { return _dueSeq; }
    void Due(std::uint64_t ms, std::uint64_t seq) { _dueMs = ms, _dueSeq = seq; }

private:
    void OnTimerEvent();

    unsigned short _maxRetry;
    unsigned long _retryPeriod;
    unsigned short _transmitCount;
    ICommClientSessionCallBack* _session;  // the owning session (not owned)
    IFrameWorkServer* _worker;             // the session worker (not owned)
    unsigned short _error = 0;
    std::uint64_t _dueMs = 0, _dueSeq = 0;  // _dueSeq 0: not filed
};

#endif
