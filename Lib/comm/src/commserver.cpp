#include "commserver.h"

#include <chrono>
#include <new>

#include <sys/socket.h>

#include "commdecoder.h"
#include "commencoder.h"
#include "itmgr.h"

namespace {

constexpr unsigned long kLoopback = 0x7F000001ul;
constexpr unsigned int kTickMs = 100;  // the framework timer's resolution

// Length of a period in timer ticks, as the framework's timer module counts
// it: ms / 100 truncated, at least 1, at most 65535.
std::uint64_t PeriodMs(unsigned long ms) {
    std::uint64_t ticks = ms > kTickMs ? ms / kTickMs : 1;
    if (ticks > 65535) ticks = 65535;
    return ticks * kTickMs;
}

// FNV-1a over the request payload.
std::uint64_t Digest(const std::string& s) {
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

}  // namespace

CommServer::CommServer(IFrameWork& fw, ICommServerUser& user, unsigned short localUnitId, unsigned short port,
                       unsigned short& error, unsigned short timeToLive, unsigned long triggerPeriod,
                       bool useTaskManager)
    : _user(&user), _triggerPeriod(triggerPeriod), _timeToLive(timeToLive) {
    _port = port;
    _localUnitId = localUnitId;
    error = OpenCommEndpoint(_ep, fw, *this, *this, "comm server", port, useTaskManager,
                             CommWorkerOrder::SessionFirst, PRIORITY_LOW);
}

CommServer::~CommServer() {
    _ep.DestroySocket();
    ClearCurrent();
    _expiry.clear();
    _store.clear();  // deletes every stored answer
    _ep.Close();
}

std::uint64_t CommServer::NowMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

unsigned int CommServer::Port() const { return _ep.socket != nullptr ? _ep.socket->GetPort() : _port; }

bool CommServer::IsLocalIPA(unsigned long ipa) const { return _ep.IsLocal(ipa); }

CommServer::Key CommServer::KeyOf(const CommServerSession& s) {
    const CommServerTransaction* t = s.GetTransaction();
    return Key{t->RemoteIPA(), t->RemotePort(), s.SessionID(), t->TransactionID()};
}

CommServerStats CommServer::Stats() const {
    CommServerStats s = _stats;
    s.stored = _store.size();
    return s;
}

bool CommServer::OnEvent(EVENTTYPE type, unsigned int value) {
    if (type == EVENT_SOCKET) {
        // An event queued before the socket was destroyed is ignored.
        if (_ep.socket != nullptr && static_cast<int>(value) == _ep.socket->GetSocketId()) OnReceive();
    } else if (type == EVENT_TIMER) {
        if (_ep.timer != nullptr && value == _ep.timer->GetSignalValue()) ExpireDue();
    }
    return true;
}

void CommServer::ClearCurrent() {
    _currentSession.reset();
    _currentTransaction.reset();
    _currentStored = nullptr;
    _answered = 0;
}

CommServerSession* CommServer::FindStored(const Key& key, std::uint64_t digest) {
    auto range = _store.equal_range(key);
    for (auto it = range.first; it != range.second; ++it)
        if (it->second->RequestDigest() == digest) return it->second.get();
    return nullptr;
}

void CommServer::OnReceive() {
    ExpireDue();
    unsigned long ipa = 0;
    unsigned int port = 0, count = 0;
    _ep.socket->GetSource(ipa, port);
    const unsigned char* bytes = _ep.socket->GetBuffer(count);
    if (bytes != nullptr)
        _received.assign(reinterpret_cast<const char*>(bytes), count);
    else
        _received.clear();
    CommDecoder decoder(ipa, port, count, _received);
    if (decoder.ValidateErr() != 0) {
        ++_stats.dropped;
        return;
    }
    ++_stats.received;
    std::string data = decoder.GetData();
    _currentSession.emplace(decoder.GetCommSession());
    _currentTransaction.emplace(decoder.GetCommTransaction());
    _answered = 0;
    _currentStored = nullptr;
    const bool exactlyOnce = _currentSession->TransmissionType() == TRANSMISSION_EXACTLY_ONCE;
    if (exactlyOnce) {
        _currentDigest = Digest(data);
        const Key key{ipa, static_cast<unsigned short>(port), _currentSession->SessionID(),
                      _currentTransaction->TransactionID()};
        if (CommServerSession* stored = FindStored(key, _currentDigest)) {
            // A repeat: answered from the store, never handed to the user.
            // A failed re-send keeps the answer for the next repeat.
            ++_stats.repeats;
            if (SendAcknowledge(stored) == 0) ++_stats.sendFailures;
            stored->ResetTimeToLive(_timeToLive);
            stored->HoldUntil(NowMs() + kRequesterWindowMs);
            ClearCurrent();
            return;
        }
        if (_store.size() >= kMaxStored || _stats.storedBytes >= kMaxStoredBytes) {
            // No room to keep the answer: taking the request now could make
            // a repeat reach the user again. The requester repeats it later.
            ++_stats.refusedFull;
            ClearCurrent();
            return;
        }
    }
    if (_currentSession->AcknowledgeType() == ACKNOWLEDGE_SHALLOW) {
        if (_currentSession->TransmissionType() != TRANSMISSION_AT_MOST_ONCE)
            SendResponse(_currentTransaction->SourceUnitID(), ACKNOWLEDGE_SHALLOW, std::string());
        _answered = 0xFFFF;  // the user's own SendResponse sends nothing
    }
    ++_stats.delivered;
    _user->OnRequest(std::move(data));
    ClearCurrent();
}

unsigned short CommServer::SendResponse(unsigned short /*unitId*/, ACKNOWLEDGE_TYPE /*ack*/, std::string data) {
    if (_answered != 0 || !_currentSession || !_currentTransaction) return COMM_TRUE;
    if (_currentSession->TransmissionType() == TRANSMISSION_EXACTLY_ONCE) {
        if (_currentStored != nullptr) {
            // A second answer to the same request replaces the stored one.
            _stats.storedBytes -= _currentStored->GetMsgData().size();
            _currentStored->SetMsgData(std::move(data));
            _stats.storedBytes += _currentStored->GetMsgData().size();
            return SendAcknowledge(_currentStored);
        }
        std::unique_ptr<CommServerSession> s(new (std::nothrow) CommServerSession(
            this, _ep.sessionWorker, _currentSession->SessionID(), _currentSession->AcknowledgeType(),
            _currentSession->TransmissionType()));
        if (!s || s->ErrorCheck() != 0) return COMM_FALSE;
        s->SetMsgData(std::move(data));
        s->RequestDigest(_currentDigest);
        s->HoldUntil(NowMs() + kRequesterWindowMs);
        CommServerTransaction* t = s->GetTransaction();
        t->OpCode(OPCODE_SERVER_ACKNOWLEDGE);
        t->TransactionID(_currentTransaction->TransactionID());
        t->SourceUnitID(_localUnitId);
        t->RemoteUnitID(_currentTransaction->SourceUnitID());
        if (IsLocalIPA(_currentTransaction->RemoteIPA())) {
            t->TriggerPeriod(kLocalTriggerPeriod);
            t->TimeToLive(kLocalTimeToLive);
        } else {
            t->TriggerPeriod(_triggerPeriod);
            t->TimeToLive(_timeToLive);
        }
        // Filed under the address the request came from, so that its
        // repeats (which come from there again) are recognised.
        t->RemoteIPA(_currentTransaction->RemoteIPA());
        t->RemotePort(_currentTransaction->RemotePort());
        const Key key = KeyOf(*s);
        RemoveStale(key);
        CommServerSession* stored = s.get();
        _stats.storedBytes += stored->GetMsgData().size();
        _store.emplace(key, std::move(s));
        if (_store.size() > _stats.storedPeak) _stats.storedPeak = _store.size();
        _currentStored = stored;
        // Kept even when it cannot be sent: the request has been acted on.
        const unsigned short sent = SendAcknowledge(stored);
        if (sent == 0) ++_stats.sendFailures;
        stored->StartTimer();
        return sent;
    }
    _currentTransaction->OpCode(OPCODE_SERVER_RESPONSE);
    _currentTransaction->SourceUnitID(_localUnitId);
    if (IsLocalIPA(_currentTransaction->RemoteIPA())) _currentTransaction->RemoteIPA(kLoopback);
    CommEncoder encoder(&*_currentSession, &*_currentTransaction, 1, data);
    if (encoder.ValidateErr() != 0 || _ep.socket == nullptr) return COMM_FALSE;
    unsigned int length = encoder.GetMsgSize();
    int err = 0;
    if (!_ep.socket->Send(_currentTransaction->RemoteIPA(), _currentTransaction->RemotePort(),
                          reinterpret_cast<const unsigned char*>(encoder.Msg().data()), length, err)) {
        ++_stats.sendFailures;
        return COMM_FALSE;
    }
    return COMM_TRUE;
}

unsigned short CommServer::SendAcknowledge(CommServerSession* session) {
    CommServerTransaction* t = session->GetTransaction();
    CommEncoder encoder(session, t, t->TimeToLive(), session->GetMsgData());
    if (encoder.ValidateErr() != 0 || _ep.socket == nullptr) return COMM_FALSE;
    unsigned int length = encoder.GetMsgSize();
    int err = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(encoder.Msg().data());
    return _ep.socket->Send(t->RemoteIPA(), t->RemotePort(), bytes, length, err) ? COMM_TRUE : COMM_FALSE;
}

CommServer::Store::iterator CommServer::Locate(CommServerSession* session) {
    auto range = _store.equal_range(KeyOf(*session));
    for (auto it = range.first; it != range.second; ++it)
        if (it->second.get() == session) return it;
    return _store.end();
}

void CommServer::Erase(Store::iterator it) {
    CommServerSession* s = it->second.get();
    if (s->ExpirySeq() != 0) _expiry.erase({s->ExpiryTick(), s->ExpirySeq()});
    if (s == _currentStored) _currentStored = nullptr;
    _stats.storedBytes -= s->GetMsgData().size();
    _store.erase(it);
}

void CommServer::RemoveStale(const Key& key) {
    // A stored answer under the same ids whose request differs: its
    // requester has finished with those ids and reused them.
    auto range = _store.equal_range(key);
    for (auto it = range.first; it != range.second;) Erase(it++);
}

void CommServer::DestroySession(CommServerSession* session) {
    const auto it = Locate(session);
    if (it != _store.end()) Erase(it);
}

void CommServer::ScheduleSession(CommServerSession* session, unsigned long milliseconds) {
    File(session, NowMs() + PeriodMs(milliseconds));
}

void CommServer::File(CommServerSession* session, std::uint64_t due) {
    if (session->ExpirySeq() != 0) _expiry.erase({session->ExpiryTick(), session->ExpirySeq()});
    session->ExpiryTick(due);
    session->ExpirySeq(++_expirySeq);
    _expiry.emplace(std::make_pair(due, session->ExpirySeq()), session);
    if (!_expiryRunning && _ep.timer != nullptr) {
        unsigned int value = 0;
        _expiryRunning = _ep.timer->Start(kTickMs, &value);
    }
}

void CommServer::ExpireDue() {
    const std::uint64_t now = NowMs();
    while (!_expiry.empty() && _expiry.begin()->first.first <= now) {
        CommServerSession* s = _expiry.begin()->second;
        _expiry.erase(_expiry.begin());
        s->ExpirySeq(0);
        if (s->GetTransaction()->TimeToLive() == 0 && s->HoldUntil() > now) {
            File(s, s->HoldUntil());  // its requester may still repeat
            continue;
        }
        s->OnEvent(EVENT_TIMER, 0);  // ends the period: destroys it or files the next
    }
    if (_expiry.empty() && _expiryRunning) {
        _ep.timer->Stop();
        _expiryRunning = false;
    }
}

// ---- creation functions and factory ----

namespace {
CommServer* g_currentServer = nullptr;

// The creation calls: the server, or null with 0xFFFF when out of memory.
CommServer* NewCommServer(IFrameWork& fw, ICommServerUser& user, unsigned short localUnitId, unsigned short port,
                          unsigned short& error, unsigned short timeToLive, unsigned long triggerPeriod,
                          bool useTaskManager = true) {
    error = 0;
    CommServer* s =
        new (std::nothrow) CommServer(fw, user, localUnitId, port, error, timeToLive, triggerPeriod, useTaskManager);
    if (s == nullptr) error = 0xFFFF;
    return s;
}
}  // namespace

CommServerStats GetCommServerStats(const ICommServer* server) {
    const CommServer* s = dynamic_cast<const CommServer*>(server);
    return s != nullptr ? s->Stats() : CommServerStats();
}

unsigned int GetCommServerPort(const ICommServer* server) {
    const CommServer* s = dynamic_cast<const CommServer*>(server);
    return s != nullptr ? s->Port() : 0;
}

ICommServer* CreateCommServer(IFrameWork& fw, ICommServerUser& user, unsigned short localUnitId,
                              unsigned short port, unsigned short& error, unsigned short timeToLive,
                              unsigned long triggerPeriod) {
    CommServer* s = NewCommServer(fw, user, localUnitId, port, error, timeToLive, triggerPeriod);
    if (s == nullptr) return nullptr;
    g_currentServer = s;
    return s;
}

unsigned short CreateCommServer(ICommServer** server, IFrameWork& fw, ICommServerUser& user,
                                unsigned short localUnitId, unsigned short port, unsigned short timeToLive,
                                unsigned long triggerPeriod) {
    if (server == nullptr) return COMM_FALSE;
    if (g_currentServer == nullptr) {
        unsigned short error = 0;
        CommServer* s = NewCommServer(fw, user, localUnitId, port, error, timeToLive, triggerPeriod);
        if (s == nullptr || error != 0) {
            delete s;
            *server = nullptr;
            return COMM_FALSE;
        }
        g_currentServer = s;
    }
    *server = g_currentServer;
    return COMM_TRUE;
}

unsigned short DestroyCommServer(ICommServer** server) {
    if (server == nullptr) return COMM_FALSE;
    delete *server;
    g_currentServer = nullptr;
    return COMM_TRUE;
}

ICommServer* CreateCommServerStandalone(IFrameWork& fw, ICommServerUser& user, unsigned short localUnitId,
                                        unsigned short port, unsigned short& error, unsigned short timeToLive,
                                        unsigned long triggerPeriod) {
    return NewCommServer(fw, user, localUnitId, port, error, timeToLive, triggerPeriod, false);
}

CommServer_SingletonFactory* CommServer_SingletonFactory::_instance = nullptr;

CommServer_SingletonFactory* CommServer_SingletonFactory::Instance() {
    if (_instance == nullptr) _instance = new CommServer_SingletonFactory();
    return _instance;
}

ICommServer* CommServer_SingletonFactory::CreateCommServer(IFrameWork& fw, ICommServerUser& user,
                                                           unsigned short localUnitId, unsigned short port,
                                                           unsigned short& error, unsigned short timeToLive,
                                                           unsigned long triggerPeriod) {
    CommServer* s = NewCommServer(fw, user, localUnitId, port, error, timeToLive, triggerPeriod);
    if (s == nullptr) return nullptr;
    _servers.push_back(s);
    return s;
}

void CommServer_SingletonFactory::DestroyCommServer(ICommServer* server) {
    if (server == nullptr) return;
    bool found = false;
    for (ICommServer*& s : _servers)
        if (s == server) {
            s = nullptr;
            found = true;
        }
    if (found) delete server;
}

CommServer_SingletonFactory::~CommServer_SingletonFactory() {
    for (ICommServer* s : _servers) delete s;
    _servers.clear();
    if (_instance == this) _instance = nullptr;
}
