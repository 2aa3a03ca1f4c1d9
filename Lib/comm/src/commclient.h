// The comm client (see icommclient.h for the contract).
//
// Ownership: the client owns its open sessions (map by session id), each
// session owns its transactions.
//
// Retransmission timing: every transaction files the end of its current
// period on one queue ordered by due time; a single periodic 100 ms timer
// (running only while the queue is not empty) ends the due periods. The
// schedule is the one a one-shot timer per transaction would give (the
// framework's timers also count in 100 ms ticks), without using one of the
// process's 2048 timers per open request. The socket
// belongs to the framework and is destroyed through the socket worker.
// Invariant: every session in the map holds an id taken from the pool, at
// least one transaction with a running timer, and is not at most once.
#ifndef COMMCLIENT_H
#define COMMCLIENT_H

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "commclientsession.h"
#include "commsession.h"
#include "commtransaction.h"
#include "commendpoint.h"
#include "framework.h"
#include "icommclient.h"

class DMUnitMgr;

class CommClient : public ICommClient, public ICommClientCallBack, public IFrameWorkClient, public IFrameWorkObserver {
public:
    static constexpr unsigned short kSessionIds = 4096;
    static constexpr unsigned short kPlaceholderBase = 4196;  // offline units; never on the wire
    static constexpr unsigned long kOfflinePeriod = 250;

    // useTaskManager false: local addresses other than 127.0.0.1 are unknown
    // and the task manager's data module is not read.
    CommClient(IFrameWork& fw, ICommClientUser* user, unsigned short localUnitId, unsigned short port,
               unsigned short& error, unsigned short maxRetry, unsigned long retryPeriod,
               bool useTaskManager = true);
    ~CommClient() override;
    CommClient(const CommClient&) = delete;
    CommClient& operator=(const CommClient&) = delete;

    // ICommClient
    void SetICommClientUser(ICommClientUser* user) override { _defaultUser = user; }
    void SetBroadcastIPA(unsigned long ipa) override { _broadcastIPA = ipa; }
    void SetMaxRetry(unsigned short v) override { _maxRetry = v; }
    void SetRetryPeriod(unsigned long v) override { _retryPeriod = v; }
    unsigned short SendBroadcast(ICommClientUser* user, unsigned short port, ACKNOWLEDGE_TYPE ack,
                                 std::string data) override;
    unsigned short SendRequest(ICommClientUser* user, unsigned long ipa, unsigned short port,
                               TRANSMISSION_TYPE trans, ACKNOWLEDGE_TYPE ack, std::string data) override;
    unsigned short SendRequest(ICommClientUser* user, std::vector<unsigned short> unitIds, unsigned short port,
                               TRANSMISSION_TYPE trans, ACKNOWLEDGE_TYPE ack, std::string data) override;
    unsigned short IsUnitOnline(unsigned short unitId) override;

    // ICommClientCallBack
    void NotifyUser(CommClientSession* session, CommClientTransaction* transaction) override;
    void DestroySession(CommClientSession* session) override;
    unsigned short SendRetransmit(CommClientSession* session, CommClientTransaction* transaction) override;
    void ScheduleTransaction(CommClientTransaction* transaction, unsigned long milliseconds) override;
    void CancelTransaction(CommClientTransaction* transaction) override;

    // IFrameWorkObserver: EVENT_SOCKET runs the receive path.
    bool OnEvent(EVENTTYPE type, unsigned int value) override;

    std::size_t OpenSessions() const { return _sessions.size(); }
    // Ids ready for a new session, and those still resting (see ReturnSessionID).
    std::size_t FreeSessionIds() const { return _idPool.size() + _resting.size(); }
    bool GaveUpOffline() const { return _gaveUpOffline; }
    // See CommClientStartSessionsAt (icommclient.h).
    void StartSessionsAt(unsigned short first);

private:
    bool IsLocalIPA(unsigned long ipa) const;
    unsigned long Destination(unsigned long ipa) const;
    // 0 when no id is free: every id is in use or still resting.
    void GenerateSessionID(unsigned short& id);
    // An exactly-once session's id rests for the server's hold before it is
    // used again: the server keys its stored answer by address, port and ids,
    // so a new request under a held key would be taken for a forgery and
    // dropped. Other ids go back to the pool at once.
    void ReturnSessionID(unsigned short id, TRANSMISSION_TYPE trans);
    void ValidateUnitID(const std::vector<unsigned short>& in, std::vector<unsigned short>& online,
                        std::vector<unsigned short>& offline);
    // Encodes and sends one datagram; false when refused or not sent.
    bool Transmit(CommSession* session, CommTransaction* transaction, unsigned short count,
                  const std::string& data);
    std::unique_ptr<CommClientSession> NewSession(ICommClientUser* user, TRANSMISSION_TYPE trans,
                                                  ACKNOWLEDGE_TYPE ack, const std::string& data);
    // Finishes a request: files the session, or releases it (failure, at most once).
    unsigned short FinishRequest(std::unique_ptr<CommClientSession> session, bool failed);
    void OnReceive();
    void ExpireDue();
    // False (and one line per schedule) for an exactly-once request whose
    // copies would outlast the server's hold (commtypes.h).
    bool ScheduleFits(TRANSMISSION_TYPE trans);

    ICommClientUser* _defaultUser;
    CommEndpoint _ep;  // workers, retry timer, socket, host addresses
    DMUnitMgr* _units = nullptr;
    unsigned short _localUnitId = 0;
    unsigned long _broadcastIPA = 0;
    unsigned short _maxRetry;
    unsigned long _retryPeriod;
    std::map<unsigned short, std::unique_ptr<CommClientSession>> _sessions;
    std::deque<unsigned short> _idPool;
    std::deque<std::pair<std::uint64_t, unsigned short>> _resting;  // (free from ms, id), oldest first
    bool _retryRunning = false;
    std::map<std::pair<std::uint64_t, std::uint64_t>, CommClientTransaction*> _due;  // (due ms, seq)
    std::uint64_t _dueSeq = 0;
    bool _gaveUpOffline = false;  // set while a user is told of an offline unit
    unsigned short _refusedMaxRetry = 0;  // the schedule last reported as refused
    unsigned long _refusedPeriod = 0;
};

#endif
