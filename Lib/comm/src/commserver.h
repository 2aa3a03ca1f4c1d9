// The comm server (see icommserver.h for the contract).
//
// What is dropped on receipt, before the repeat check: datagrams that carry
// an answer's op-code ("Server Response", "Server Acknowledge": no requester
// sends them to a server) and requests from a comm server's own port (this
// server's, or the service port 5110). Answering either could start a loop
// between two servers that answer each other for ever.
//
// Store of answers to exactly-once requests. A stored answer is found by
// (requester address, requester port, session id, transaction id); the
// fingerprint of the request payload tells a repeat from a datagram that
// reuses the key with another payload. Each answer is kept until its life
// runs out (see commserversession.h), whatever arrives under its key: a
// datagram with the key of a held answer and another payload is dropped
// (answering it would hand a forger's answer to the requester under its own
// ids, and replacing the answer would let the real request act twice).
//
// The store is bounded (kMaxStored answers, kMaxStoredBytes of payload) and
// shared fairly between requesting addresses: with n other addresses
// holding answers, one address may hold at most 1/(n + 2) of either bound
// (one part for each holder and one kept free for a newcomer). A new
// exactly-once request beyond that, or when the store is full, is dropped
// before it reaches the user (its requester repeats it later), so that no
// request is ever acted on twice for want of room; one line a minute names
// the address refused.
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
#include <unordered_map>

#include "commserversession.h"
#include "commendpoint.h"
#include "framework.h"
#include "icommserver.h"

class CommServer : public ICommServer, public ICommServerCallBack, public IFrameWorkClient, public IFrameWorkObserver {
public:
    static constexpr std::size_t kMaxStored = 131072;
    static constexpr std::size_t kMaxStoredBytes = 128u << 20;
    // The tour service's port: a request from it is another server's answer.
    static constexpr unsigned short kServicePort = 5110;
    static constexpr std::uint64_t kRefusalLineMs = 60000;
    static constexpr unsigned long kLocalTriggerPeriod = 750;
    static constexpr unsigned short kLocalTimeToLive = 1;
    // A requester's whole retry window (commtypes.h): 3 repeats of 1000 ms,
    // each period up to one 100 ms tick late, and one more period of margin.
    static constexpr unsigned long kRequesterWindowMs = COMM_EXACTLY_ONCE_HOLD_MS;

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
    // The receive path for one datagram as the socket reports it (also the
    // entry point of the receive-path fuzz target).
    void Receive(unsigned long ipa, unsigned int port, const unsigned char* bytes, unsigned int count);
    // Stored answers held for one requesting address, and what one address
    // may hold now.
    std::size_t HeldFor(unsigned long ipa) const;
    std::size_t ShareOf(unsigned long ipa) const;
    // Smaller bounds for tests (at most the defaults).
    void SetStoreBounds(std::size_t answers, std::size_t bytes);

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

    struct Holder {
        std::size_t count = 0;
        std::size_t bytes = 0;
    };

    static Key KeyOf(const CommServerSession& s);
    bool MayStore(unsigned long ipa, bool& full) const;
    void NoteRefusal(unsigned long ipa, bool full);
    void Account(unsigned long ipa, long count, long bytes);
    bool IsLocalIPA(unsigned long ipa) const;
    void OnReceive();
    unsigned short SendAcknowledge(CommServerSession* session);
    // The answer stored under `key`, or null; `other` is set when one is
    // stored there for another payload.
    CommServerSession* FindStored(const Key& key, std::uint64_t digest, bool& other);
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
    std::size_t _maxStored = kMaxStored;
    std::size_t _maxStoredBytes = kMaxStoredBytes;
    std::unordered_map<unsigned long, Holder> _holders;  // addresses holding answers
    std::uint64_t _refusalLineAt = 0;                    // when the last refusal line was printed
    unsigned long _refusedSinceLine = 0;
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
