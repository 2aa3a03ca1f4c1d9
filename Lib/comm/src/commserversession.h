// A stored answer: the answer to an exactly-once request, kept so that
// repeats of the request are answered again without reaching the user.
//
// Life: started with time to live t and trigger period q it lives (t+1)*q:
// at each period's end, t == 0 destroys it, otherwise t is decremented. A
// repeat restores t (ResetTimeToLive) without moving the current period's end.
// On top of that the server holds it until its hold time (HoldUntil): a
// period that ends with t == 0 before then ends the life only at the hold
// time (t stays 0, so the TTL counts on the wire are unchanged).
//
// Stored answers have no timer of their own. The server keeps them on one
// queue ordered by period end, driven by a single periodic timer, so that the
// number of stored answers is not bounded by the framework's timer table
// (2048 timers) and an expiry signal lost under load cannot leave an answer
// stored for ever. StartTimer() files the next period end on that queue.
#ifndef COMMSERVERSESSION_H
#define COMMSERVERSESSION_H

#include <cstdint>
#include <memory>
#include <string>

#include "commservertransaction.h"
#include "commsession.h"
#include "framework.h"

class CommServerSession;

// What a stored answer calls on the comm server.
class ICommServerCallBack {
public:
    virtual ~ICommServerCallBack() {}
    // Removes the stored answer from the store and deletes it.
    virtual void DestroySession(CommServerSession* session) = 0;
    // Files the end of the stored answer's current period, `milliseconds`
    // from now, on the server's expiry queue.
    virtual void ScheduleSession(CommServerSession* session, unsigned long milliseconds) = 0;
};

class CommServerSession : public CommSession, public IFrameWorkObserver {
public:
    // Error 2 when the transaction cannot be allocated.
    CommServerSession(ICommServerCallBack* server, IFrameWorkServer* worker, unsigned short sessionId,
                      ACKNOWLEDGE_TYPE ack, TRANSMISSION_TYPE trans);
    ~CommServerSession() override = default;
    CommServerSession(const CommServerSession&) = delete;
    CommServerSession& operator=(const CommServerSession&) = delete;

    CommServerTransaction* GetTransaction() const { return _transaction.get(); }
    const std::string& GetMsgData() const { return _data; }
    void SetMsgData(std::string data) { _data = std::move(data); }
    unsigned short ErrorCheck() const { return _error; }
    void StartTimer();
    void ResetTimeToLive(unsigned short timeToLive);
    // EVENT_TIMER: the current period has ended (may delete this object).
    bool OnEvent(EVENTTYPE type, unsigned int value) override;

    // Fingerprint of the request this answers: a datagram under the same
    // ids with another payload is not its repeat (and is dropped).
    std::uint64_t RequestDigest() const { return _requestDigest; }
    void RequestDigest(std::uint64_t d) { _requestDigest = d; }
    // The server's filing position of this answer (set and used only by it).
    std::uint64_t ExpirySeq() const { return _expirySeq; }
    void ExpirySeq(std::uint64_t s) { _expirySeq = s; }
    std::uint64_t ExpiryTick() const { return _expiryTick; }
    void ExpiryTick(std::uint64_t t) { _expiryTick = t; }
    // Steady-clock milliseconds before which the answer is not destroyed.
    std::uint64_t HoldUntil() const { return _holdUntil; }
    void HoldUntil(std::uint64_t ms) { _holdUntil = ms; }

private:
    void OnTimerEvent();

    IFrameWorkServer* _worker;      // not owned; kept for the interface's shape
    ICommServerCallBack* _server;   // not owned
    unsigned short _error = 0;
    std::unique_ptr<CommServerTransaction> _transaction;
    std::string _data;
    std::uint64_t _requestDigest = 0;
    std::uint64_t _expirySeq = 0;
    std::uint64_t _expiryTick = 0;
    std::uint64_t _holdUntil = 0;
};

#endif
