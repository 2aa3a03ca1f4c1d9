// One addressed peer of a client request: the header values of its
// datagrams, its retry budget and its one-shot retransmission timer.
//
// Timer schedule with max retry m and retry period p: sent at 0, p, ..., m*p
// (repeats carry counts 1..m), and the session is told at (m+1)*p that no
// answer came, unless an answer ends the transaction first.
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
};

class CommClientTransaction : public CommTransaction, public IFrameWorkObserver {
public:
    // Creates the timer on `worker` (error 4 when it cannot be had).
    CommClientTransaction(ICommClientSessionCallBack* session, IFrameWorkServer* worker, OPCODE_TYPE opCode,
                          unsigned short transactionId, unsigned short sourceUnitId, unsigned short remoteUnitId,
                          unsigned long remoteIPA, unsigned short remotePort, unsigned short maxRetry,
                          unsigned long retryPeriod, unsigned short transmitCount);
    ~CommClientTransaction() override;
    CommClientTransaction(const CommClientTransaction&) = delete;
    CommClientTransaction& operator=(const CommClientTransaction&) = delete;

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

private:
    void OnTimerEvent();

    unsigned short _maxRetry;
    unsigned long _retryPeriod;
    unsigned short _transmitCount;
    ICommClientSessionCallBack* _session;  // the owning session (not owned)
    IFrameWorkServer* _worker;             // where the timer lives (not owned)
    ITimer* _timer = nullptr;              // destroyed through _worker
    unsigned short _error = 0;
};

#endif
