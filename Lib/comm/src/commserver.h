// The comm server (see icommserver.h for the contract).
//
// Store of answers to exactly-once requests. A stored answer is found by
// (requester address, requester port, session id, transaction id) and the
// fingerprint of the request payload; each is kept until its life runs out
// (see commserversession.h). Repeats are answered from the store and never
// reach the user. The store is bounded (kMaxStored answers, kMaxStoredBytes
// of payload): when full, a new exactly-once request is dropped before it
// reaches the user (its requester repeats it later), so that no request is
// ever acted on twice for want of room.
//
// Expiry: one periodic 100 ms timer drives an ordered queue of period ends;
// the due entries are also collected on every received datagram, so the
// store stays bounded even when timer events are late.
//
// Hold: the TTL periods alone (2 x 700 ms for a local requester under the
// timer's 100 ms ticks) end before a requester that lost the answer has
// sent its last repeat (the comm client repeats 3 times, each period ending
// up to a tick late: 1.1, 2.2, 3.3 s), and that repeat would reach the user
// a second time. So every answer is also held kRequesterWindowMs after the
// latest copy of its request arrived, for local and remote requesters alike.
#ifndef COMMSERVER_H
#define COMMSERVER_H

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "commserversession.h"
#include "commendpoint.h"
#include "framework.h"
#include "icommserver.h"

class CommServer : public ICommServer, public ICommServerCallBack, public IFrameWorkClient, public IFrameWorkObserver {
public:
    static constexpr std::size_t kMaxStored = 65536;
    static constexpr std::size_t kMaxStoredBytes = 128u << 20;
    static constexpr unsigned long kLocalTriggerPeriod = 750;
    static constexpr unsigned short kLocalTimeToLive = 1;
    // A requester's whole retry window: 3 repeats of 1000 ms, each period
    // up to one 100 ms tick late, and one more period of margin.
    static constexpr unsigned long kRequesterWindowMs = 3 * (1000 + 100) + 1000;

    CommServer(IFrameWork& fw, ICommServerUser& user, unsigned short localUnitId, unsigned short port,
               unsigned short& error, unsigned short timeToLive, unsigned long triggerPeriod,
               bool useTaskManager = true);
    ~CommServer() override;
    CommServer(const CommServer&) = delete;
    CommServer& operator=(const CommServer&) = delete;

    // ICommServer
    unsigned short SendResponse(unsigned short unitId, ACKNOWLEDGE_TYPE ack, std::string data) override;
    void SetTimeToLive(unsigned short v) override { _timeToLive = v; }
    void SetTriggerPeriod(unsigned long v) override { _triggerPeriod = v; }

    // ICommServerCallBack
    void DestroySession(CommServerSession* session) override;
    void ScheduleSession(CommServerSession* session, unsigned long milliseconds) override;

    // IFrameWorkObserver: EVENT_SOCKET runs the receive path; the expiry
    // timer's EVENT_TIMER ends the due periods.
    bool OnEvent(EVENTTYPE type, unsigned int value) override;

    CommServerStats Stats() const;
    unsigned int Port() const;

private:
    struct Key {
        unsigned long ipa;
        unsigned short port;
        unsigned short sessionId;
        unsigned short transactionId;
        bool operator<(const Key& o) const {
            return std::tie(ipa, port, sessionId, transactionId) <
                   std::tie(o.ipa, o.port, o.sessionId, o.transactionId);
        }
    };
    using Store = std::multimap<Key, std::unique_ptr<CommServerSession>>;

    static Key KeyOf(const CommServerSession& s);
    bool IsLocalIPA(unsigned long ipa) const;
    void OnReceive();
    unsigned short SendAcknowledge(CommServerSession* session);
    CommServerSession* FindStored(const Key& key, std::uint64_t digest);
    void RemoveStale(const Key& key);
    Store::iterator Locate(CommServerSession* session);
    void Erase(Store::iterator it);
    void ExpireDue();
    void File(CommServerSession* session, std::uint64_t due);
    void ClearCurrent();
    static std::uint64_t NowMs();

    ICommServerUser* _user;
    CommEndpoint _ep;  // workers, expiry timer, socket, host addresses
    bool _expiryRunning = false;
    unsigned short _port = 0;
    unsigned short _localUnitId = 0;
    unsigned long _triggerPeriod;
    unsigned short _timeToLive;
    unsigned short _answered = 0;
    Store _store;
    std::map<std::pair<std::uint64_t, std::uint64_t>, CommServerSession*> _expiry;  // (due ms, seq)
    std::uint64_t _expirySeq = 0;
    // The request being handled (only inside the receive path).
    std::optional<CommSession> _currentSession;
    std::optional<CommTransaction> _currentTransaction;
    std::string _received;  // the datagram being decoded; its capacity is reused
    std::uint64_t _currentDigest = 0;
    CommServerSession* _currentStored = nullptr;
    CommServerStats _stats;
};

#endif
