#include "commclient.h"

#include <chrono>
#include <cstdio>
#include <new>
#include <string>

#include <sys/socket.h>

#include "commdecoder.h"
#include "commencoder.h"
#include "dmunitmgr.h"
#include "itmgr.h"

namespace {

constexpr unsigned long kLoopback = 0x7F000001ul;
// A unit list longer than this is refused: placeholder ids must stay 16-bit.
constexpr std::size_t kMaxUnitList = 1024;
constexpr unsigned int kTickMs = 100;  // the framework timer's resolution

// A period in whole timer ticks, as the framework's timer module counts it:
// ms / 100 truncated, at least 1, at most 65535.
std::uint64_t PeriodMs(unsigned long ms) {
    std::uint64_t ticks = ms > kTickMs ? ms / kTickMs : 1;
    if (ticks > 65535) ticks = 65535;
    return ticks * kTickMs;
}

std::uint64_t NowMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

CommClient::CommClient(IFrameWork& fw, ICommClientUser* user, unsigned short localUnitId, unsigned short port,
                       unsigned short& error, unsigned short maxRetry, unsigned long retryPeriod,
                       bool useTaskManager)
    : _defaultUser(user), _maxRetry(maxRetry), _retryPeriod(retryPeriod) {
    error = 0;
    _units = DMUnitMgr::Instance();
    // A failed link is not an error: every unit then counts as offline.
    _units->Link();
    _localUnitId = localUnitId;
    error = OpenCommEndpoint(_ep, fw, *this, *this, "comm client", port, useTaskManager,
                             CommWorkerOrder::SocketFirst, PRIORITY_NORMAL);
    if (_ep.socket == nullptr) return;
    for (unsigned short id = 1; id <= kSessionIds; ++id) _idPool.push_back(id);
}

CommClient::~CommClient() {
    if (_units != nullptr) _units->Unlink();
    _ep.DestroySocket();
    _sessions.clear();  // deletes sessions and transactions (which leave the queue)
    _idPool.clear();
    _resting.clear();
    _due.clear();
    _ep.Close();
}


void CommClient::StartSessionsAt(unsigned short first) {
    if (first < 1 || first > kSessionIds || !_sessions.empty() || _idPool.size() != kSessionIds) return;
    _idPool.clear();
    for (unsigned i = 0; i < kSessionIds; ++i)
        _idPool.push_back(static_cast<unsigned short>((first - 1u + i) % kSessionIds + 1u));
}

bool CommClient::IsLocalIPA(unsigned long ipa) const { return _ep.IsLocal(ipa); }

unsigned long CommClient::Destination(unsigned long ipa) const { return IsLocalIPA(ipa) ? kLoopback : ipa; }

void CommClient::GenerateSessionID(unsigned short& id) {
    const std::uint64_t now = NowMs();
    while (!_resting.empty() && _resting.front().first <= now) {
        _idPool.push_back(_resting.front().second);
        _resting.pop_front();
    }
    if (_idPool.empty()) {
        id = 0;
        return;
    }
    id = _idPool.front();
    _idPool.pop_front();
}

void CommClient::ReturnSessionID(unsigned short id, TRANSMISSION_TYPE trans) {
    if (trans == TRANSMISSION_EXACTLY_ONCE)
        _resting.emplace_back(NowMs() + COMM_EXACTLY_ONCE_HOLD_MS, id);
    else
        _idPool.push_back(id);
}

bool CommClient::Transmit(CommSession* session, CommTransaction* transaction, unsigned short count,
                          const std::string& data) {
    if (_ep.socket == nullptr) return false;
    CommEncoder encoder(session, transaction, count, data);
    if (encoder.ValidateErr() != 0) return false;
    unsigned int length = encoder.GetMsgSize();
    int err = 0;
    return _ep.socket->Send(transaction->RemoteIPA(), transaction->RemotePort(),
                            reinterpret_cast<const unsigned char*>(encoder.Msg().data()), length, err);
}

std::unique_ptr<CommClientSession> CommClient::NewSession(ICommClientUser* user, TRANSMISSION_TYPE trans,
                                                          ACKNOWLEDGE_TYPE ack, const std::string& data) {
    if (_ep.sessionWorker == nullptr) return nullptr;
    std::unique_ptr<CommClientSession> session(new (std::nothrow) CommClientSession(
        this, _ep.sessionWorker, 0, ACKNOWLEDGE_DEEP, TRANSMISSION_EXACTLY_ONCE));
    if (!session) return nullptr;
    unsigned short id = 0;
    GenerateSessionID(id);
    if (id == 0) return nullptr;
    session->SessionID(id);
    session->TransmissionType(trans);
    session->AcknowledgeType(ack);
    session->SetMsgData(data);
    // At-most-once answers go to the default user instead.
    if (trans != TRANSMISSION_AT_MOST_ONCE) session->SetIUser(user);
    return session;
}

unsigned short CommClient::FinishRequest(std::unique_ptr<CommClientSession> session, bool failed) {
    if (failed || session->TransmissionType() == TRANSMISSION_AT_MOST_ONCE || session->TransactionCount() == 0) {
        // Nothing stays behind: the session (with any transaction already
        // filed, whose user is not told) goes, its id returns to the pool.
        // A refused request sent nothing the server could hold: its id is free at once.
        ReturnSessionID(session->SessionID(), failed ? TRANSMISSION_AT_LEAST_ONCE : session->TransmissionType());
        session.reset();
        return failed ? COMM_FALSE : COMM_TRUE;
    }
    const unsigned short id = session->SessionID();
    _sessions[id] = std::move(session);
    return COMM_TRUE;
}

bool CommClient::ScheduleFits(TRANSMISSION_TYPE trans) {
    if (trans != TRANSMISSION_EXACTLY_ONCE || CommExactlyOnceFits(_maxRetry, _retryPeriod)) return true;
    // Said once per schedule (a requester that keeps it is refused silently).
    if (_refusedMaxRetry != _maxRetry || _refusedPeriod != _retryPeriod) {
        _refusedMaxRetry = _maxRetry;
        _refusedPeriod = _retryPeriod;
        const unsigned long most = CommExactlyOnceMaxPeriod(_maxRetry);
        std::printf("comm client (port %u): exactly-once requests refused: %u repeats %lu ms apart span up to "
                    "%llu ms, beyond the %lu ms the server holds an answer less %lu ms margin; %s\n",
                    _ep.socket != nullptr ? _ep.socket->GetPort() : 0u, _maxRetry, _retryPeriod,
                    CommRetrySpanMs(_maxRetry, _retryPeriod), COMM_EXACTLY_ONCE_HOLD_MS, COMM_EXACTLY_ONCE_MARGIN_MS,
                    most == 0 ? "use fewer repeats"
                              : ("with " + std::to_string(_maxRetry) + " repeats at most " + std::to_string(most) +
                                 " ms apart").c_str());
        std::fflush(stdout);
    }
    return false;
}

unsigned short CommClient::SendRequest(ICommClientUser* user, unsigned long ipa, unsigned short port,
                                       TRANSMISSION_TYPE trans, ACKNOWLEDGE_TYPE ack, std::string data) {
    if (!ScheduleFits(trans)) return COMM_FALSE;
    std::unique_ptr<CommClientSession> session = NewSession(user, trans, ack, data);
    if (!session) return COMM_FALSE;
    std::unique_ptr<CommClientTransaction> t = session->CreateTransaction();
    bool failed = !t;
    if (!failed) {
        t->RemoteIPA(Destination(ipa));
        t->SourceUnitID(_localUnitId);
        t->RemoteUnitID(0);
        t->RemotePort(port);
        t->MaxRetry(_maxRetry);
        t->RetryPeriod(_retryPeriod);
        failed = !Transmit(session.get(), t.get(), 0, session->GetMsgData());
        if (!failed && trans != TRANSMISSION_AT_MOST_ONCE) session->InsertTransaction(std::move(t));
    }
    t.reset();
    return FinishRequest(std::move(session), failed);
}

void CommClient::ValidateUnitID(const std::vector<unsigned short>& in, std::vector<unsigned short>& online,
                                std::vector<unsigned short>& offline) {
    for (unsigned short unit : in) {
        const bool up = DMUnitMgr::ValidId(unit) && _units->GetIPAById(unit) != 0 &&
                        _units->GetUnitStatusById(unit) != dmunit::kStatusIdle;
        (up ? online : offline).push_back(unit);
    }
}

unsigned short CommClient::SendRequest(ICommClientUser* user, std::vector<unsigned short> unitIds,
                                       unsigned short port, TRANSMISSION_TYPE trans, ACKNOWLEDGE_TYPE ack,
                                       std::string data) {
    if (unitIds.empty() || unitIds.size() > kMaxUnitList || !ScheduleFits(trans)) return COMM_FALSE;
    std::vector<unsigned short> online, offline;
    ValidateUnitID(unitIds, online, offline);
    std::unique_ptr<CommClientSession> session = NewSession(user, trans, ack, data);
    if (!session) return COMM_FALSE;
    bool failed = false;
    for (std::size_t i = 0; i < online.size() && !failed; ++i) {
        std::unique_ptr<CommClientTransaction> t = session->CreateTransaction();
        if (!t) {
            failed = true;
            break;
        }
        t->SourceUnitID(_localUnitId);
        t->RemoteUnitID(online[i]);
        t->RemoteIPA(Destination(_units->GetIPAById(online[i])));
        t->RemotePort(port);
        t->MaxRetry(_maxRetry);
        t->RetryPeriod(_retryPeriod);
        failed = !Transmit(session.get(), t.get(), 0, session->GetMsgData());
        if (!failed && trans != TRANSMISSION_AT_MOST_ONCE) session->InsertTransaction(std::move(t));
    }
    for (std::size_t i = 0; i < offline.size() && !failed; ++i) {
        // Nothing is sent for an offline unit: its user learns after 250 ms
        // that no answer came.
        std::unique_ptr<CommClientTransaction> t(new (std::nothrow) CommClientTransaction(
            session.get(), _ep.sessionWorker, OPCODE_CLIENT_REQUEST, static_cast<unsigned short>(kPlaceholderBase + i),
            _localUnitId, offline[i], 0, 0, 0, kOfflinePeriod, 0));
        if (!t || t->ErrorCheck() != 0) {
            failed = true;
            break;
        }
        if (trans != TRANSMISSION_AT_MOST_ONCE) session->InsertTransaction(std::move(t));
    }
    return FinishRequest(std::move(session), failed);
}

unsigned short CommClient::SendBroadcast(ICommClientUser* user, unsigned short port, ACKNOWLEDGE_TYPE ack,
                                         std::string data) {
    if (_broadcastIPA == 0) return COMM_FALSE;
    unsigned short id = 0;
    GenerateSessionID(id);
    if (id == 0) return COMM_FALSE;
    CommSession session(id, ack, TRANSMISSION_AT_MOST_ONCE);
    CommTransaction t(OPCODE_CLIENT_BROADCAST, 1, _localUnitId, _localUnitId, _broadcastIPA, port);
    // The answers of all units come back as at-most-once answers.
    _defaultUser = user;
    const bool sent = Transmit(&session, &t, 1, data);
    _idPool.push_back(id);
    return sent ? COMM_TRUE : COMM_FALSE;
}

unsigned short CommClient::SendRetransmit(CommClientSession* session, CommClientTransaction* t) {
    bool failed = false;
    if (t->RemoteUnitID() != 0) {
        // The unit may have moved or gone idle since the last transmission.
        const unsigned long ipa = _units->GetIPAById(t->RemoteUnitID());
        t->RemoteIPA(ipa);
        if (ipa == 0) failed = true;
    }
    if (!failed && t->RemoteIPA() != 0) {
        t->SourceUnitID(_localUnitId);
        t->OpCode(t->TransmitCount() == t->MaxRetry() ? OPCODE_CLIENT_MAX_RETRY : OPCODE_CLIENT_RETRANSMIT);
        t->RemoteIPA(Destination(t->RemoteIPA()));
        failed = !Transmit(session, t, t->TransmitCount(), session->GetMsgData());
    }
    if (failed) {
        session->NotifyUser(t);  // destroys t, and the session with its last transaction
        return COMM_FALSE;
    }
    return COMM_TRUE;
}

void CommClient::NotifyUser(CommClientSession* session, CommClientTransaction* transaction) {
    ICommClientUser* user = session->GetIUser();
    const unsigned short unit = transaction->RemoteUnitID();
    const ACKNOWLEDGE_TYPE ack = session->AcknowledgeType();
    // A placeholder (nothing sent), or a unit gone from the table by a
    // repeat, was given up as offline, not for want of an answer.
    const bool offline = transaction->TransactionID() >= kPlaceholderBase ||
                         (unit != 0 && transaction->RemoteIPA() == 0);
    session->DestroyTransaction(transaction);
    if (user != nullptr && ack == ACKNOWLEDGE_DEEP) {
        _gaveUpOffline = offline;
        user->OnResponse(unit, std::string());
        _gaveUpOffline = false;
    }
}

void CommClient::DestroySession(CommClientSession* session) {
    const unsigned short id = session->SessionID();
    const auto it = _sessions.find(id);
    if (it == _sessions.end() || it->second.get() != session) return;
    ReturnSessionID(id, session->TransmissionType());
    _sessions.erase(it);
}

unsigned short CommClient::IsUnitOnline(unsigned short unitId) {
    if (_units == nullptr) return COMM_FALSE;
    const unsigned long ipa = _units->GetIPAById(unitId);
    const unsigned short status = _units->GetUnitStatusById(unitId);
    if (ipa == 0 || status == 0 || status == dmunit::kStatusIdle) return COMM_FALSE;
    return COMM_TRUE;
}

bool CommClient::OnEvent(EVENTTYPE type, unsigned int value) {
    // A socket event queued before the socket was destroyed is ignored.
    if (type == EVENT_SOCKET && _ep.socket != nullptr && static_cast<int>(value) == _ep.socket->GetSocketId())
        OnReceive();
    else if (type == EVENT_TIMER && _ep.timer != nullptr && value == _ep.timer->GetSignalValue())
        ExpireDue();
    return true;
}

void CommClient::ScheduleTransaction(CommClientTransaction* t, unsigned long milliseconds) {
    CancelTransaction(t);
    const std::uint64_t due = NowMs() + PeriodMs(milliseconds);
    t->Due(due, ++_dueSeq);
    _due.emplace(std::make_pair(due, _dueSeq), t);
    if (!_retryRunning && _ep.timer != nullptr) {
        unsigned int value = 0;
        _retryRunning = _ep.timer->Start(kTickMs, &value);
    }
}

void CommClient::CancelTransaction(CommClientTransaction* t) {
    if (t->DueSeq() == 0) return;
    _due.erase({t->DueMs(), t->DueSeq()});
    t->Due(0, 0);
}

void CommClient::ExpireDue() {
    const std::uint64_t now = NowMs();
    while (!_due.empty() && _due.begin()->first.first <= now) {
        CommClientTransaction* t = _due.begin()->second;
        _due.erase(_due.begin());
        t->Due(0, 0);
        // Repeats, or gives up (which may delete t and its session).
        t->OnEvent(EVENT_TIMER, 0);
    }
    if (_due.empty() && _retryRunning) {
        _ep.timer->Stop();
        _retryRunning = false;
    }
}

void CommClient::OnReceive() {
    unsigned long ipa = 0;
    unsigned int port = 0, count = 0;
    _ep.socket->GetSource(ipa, port);
    _ep.socket->GetCount(count);
    const std::string text = _ep.socket->GetBuffer();
    CommDecoder decoder(ipa, port, count, text);
    if (decoder.ValidateErr() != 0) return;
    const CommSession answer = decoder.GetCommSession();
    const CommTransaction answerT = decoder.GetCommTransaction();
    const TRANSMISSION_TYPE trans = answer.TransmissionType();
    if (trans == TRANSMISSION_EXACTLY_ONCE || trans == TRANSMISSION_AT_LEAST_ONCE) {
        const auto it = _sessions.find(answer.SessionID());
        if (it == _sessions.end()) return;  // late or repeated answer
        CommClientSession* session = it->second.get();
        CommClientTransaction* t = session->GetTransactionByID(answerT.TransactionID());
        if (t == nullptr) return;
        const ACKNOWLEDGE_TYPE ack = session->AcknowledgeType();
        ICommClientUser* user = session->GetIUser();
        session->DestroyTransaction(t);  // may delete the session
        if (ack == ACKNOWLEDGE_DEEP && user != nullptr) user->OnResponse(answerT.SourceUnitID(), decoder.GetData());
    } else if (trans == TRANSMISSION_AT_MOST_ONCE) {
        if (answer.AcknowledgeType() == ACKNOWLEDGE_DEEP && _defaultUser != nullptr)
            _defaultUser->OnResponse(answerT.SourceUnitID(), decoder.GetData());
    }
}

// ---- creation functions and factory ----

namespace {
CommClient* g_currentClient = nullptr;

// The creation calls: the client, or null with 0xFFFF when out of memory.
CommClient* NewCommClient(IFrameWork& fw, ICommClientUser* user, unsigned short localUnitId, unsigned short port,
                          unsigned short& error, unsigned short maxRetry, unsigned long retryPeriod,
                          bool useTaskManager = true) {
    error = 0;
    CommClient* c =
        new (std::nothrow) CommClient(fw, user, localUnitId, port, error, maxRetry, retryPeriod, useTaskManager);
    if (c == nullptr) error = 0xFFFF;
    return c;
}
}  // namespace

ICommClient* CreateCommClient(IFrameWork& fw, ICommClientUser* user, unsigned short localUnitId,
                              unsigned short port, unsigned short& error, unsigned short maxRetry,
                              unsigned long retryPeriod) {
    CommClient* client = NewCommClient(fw, user, localUnitId, port, error, maxRetry, retryPeriod);
    if (client == nullptr) return nullptr;
    g_currentClient = client;
    return client;
}

unsigned short CreateCommClient(ICommClient** client, IFrameWork& fw, ICommClientUser* user,
                                unsigned short localUnitId, unsigned short port, unsigned short maxRetry,
                                unsigned long retryPeriod) {
    if (client == nullptr) return COMM_FALSE;
    if (g_currentClient == nullptr) {
        unsigned short error = 0;
        CommClient* c = NewCommClient(fw, user, localUnitId, port, error, maxRetry, retryPeriod);
        if (c == nullptr || error != 0) {
            delete c;
            *client = nullptr;
            return COMM_FALSE;
        }
        g_currentClient = c;
    }
    *client = g_currentClient;
    return COMM_TRUE;
}

unsigned short DestroyCommClient(ICommClient** client) {
    if (client == nullptr) return COMM_FALSE;
    if (*client == g_currentClient) g_currentClient = nullptr;
    delete *client;
    g_currentClient = nullptr;
    return COMM_TRUE;
}

ICommClient* CreateCommClientStandalone(IFrameWork& fw, ICommClientUser* user, unsigned short localUnitId,
                                        unsigned short port, unsigned short& error, unsigned short maxRetry,
                                        unsigned long retryPeriod) {
    return NewCommClient(fw, user, localUnitId, port, error, maxRetry, retryPeriod, false);
}

bool CommClientGaveUpOffline(const ICommClient* client) {
    const CommClient* c = dynamic_cast<const CommClient*>(client);
    return c != nullptr && c->GaveUpOffline();
}

void CommClientStartSessionsAt(ICommClient* client, unsigned short first) {
    if (CommClient* c = dynamic_cast<CommClient*>(client)) c->StartSessionsAt(first);
}

CommClient_SingletonFactory* CommClient_SingletonFactory::_instance = nullptr;

CommClient_SingletonFactory* CommClient_SingletonFactory::Instance() {
    if (_instance == nullptr) _instance = new CommClient_SingletonFactory();
    return _instance;
}

ICommClient* CommClient_SingletonFactory::CreateCommClient(IFrameWork& fw, ICommClientUser* user,
                                                           unsigned short localUnitId, unsigned short port,
                                                           unsigned short& error, unsigned short maxRetry,
                                                           unsigned long retryPeriod) {
    CommClient* c = NewCommClient(fw, user, localUnitId, port, error, maxRetry, retryPeriod);
    if (c == nullptr) return nullptr;
    _clients.push_back(c);
    return c;
}

void CommClient_SingletonFactory::DestroyCommClient(ICommClient* client) {
    if (client == nullptr) return;
    bool found = false;
    for (ICommClient*& c : _clients)
        if (c == client) {
            c = nullptr;
            found = true;
        }
    if (found) delete client;
}

CommClient_SingletonFactory::~CommClient_SingletonFactory() {
    for (ICommClient* c : _clients) delete c;
    _clients.clear();
    if (_instance == this) _instance = nullptr;
}
