#include "commserver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
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
    _holders.clear();
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

CommServerSession* CommServer::FindStored(const Key& key, std::uint64_t digest, bool& other) {
    other = false;
    auto range = _store.equal_range(key);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second->RequestDigest() == digest) return it->second.get();
        other = true;
    }
    return nullptr;
}

std::size_t CommServer::HeldFor(unsigned long ipa) const {
    const auto it = _holders.find(ipa);
    return it == _holders.end() ? 0 : it->second.count;
}

std::size_t CommServer::ShareOf(unsigned long ipa) const {
    const std::size_t others = _holders.size() - (HeldFor(ipa) != 0 ? 1 : 0);
    return _maxStored / (others + 2);
}

void CommServer::SetStoreBounds(std::size_t answers, std::size_t bytes) {
    _maxStored = std::min(answers, kMaxStored);
    _maxStoredBytes = std::min(bytes, kMaxStoredBytes);
}

bool CommServer::MayStore(unsigned long ipa, bool& full) const {
    full = _store.size() >= _maxStored || _stats.storedBytes >= _maxStoredBytes;
    if (full) return false;
    const auto it = _holders.find(ipa);
    if (it == _holders.end()) return true;  // the part kept free for a newcomer
    const std::size_t parts = _holders.size() + 1;  // the other holders, this one, a newcomer
    return it->second.count < ShareOf(ipa) && it->second.bytes < _maxStoredBytes / parts;
}

void CommServer::Account(unsigned long ipa, long count, long bytes) {
    Holder& h = _holders[ipa];
    h.count = static_cast<std::size_t>(static_cast<long>(h.count) + count);
    h.bytes = static_cast<std::size_t>(static_cast<long>(h.bytes) + bytes);
    _stats.storedBytes = static_cast<std::size_t>(static_cast<long>(_stats.storedBytes) + bytes);
    if (h.count == 0) _holders.erase(ipa);
}

void CommServer::NoteRefusal(unsigned long ipa, bool full) {
    ++(full ? _stats.refusedFull : _stats.refusedShare);
    ++_refusedSinceLine;
    const std::uint64_t now = NowMs();
    if (_refusalLineAt != 0 && now - _refusalLineAt < kRefusalLineMs) return;
    char line[320];
    std::snprintf(line, sizeof line,
                  "comm server (port %u): refusing exactly-once requests from %lu.%lu.%lu.%lu: %s "
                  "(%zu answers held for it, its share %zu, %zu stored in all; %lu refused since the last line)",
                  Port(), (ipa >> 24) & 0xFF, (ipa >> 16) & 0xFF, (ipa >> 8) & 0xFF, ipa & 0xFF,
                  full ? "the store of answers is full" : "it holds its share of the store", HeldFor(ipa),
                  ShareOf(ipa), _store.size(), _refusedSinceLine);
    std::fprintf(stderr, "%s\n", line);
    _refusalLineAt = now;
    _refusedSinceLine = 0;
}

void CommServer::OnReceive() {
    unsigned long ipa = 0;
    unsigned int port = 0, count = 0;
    _ep.socket->GetSource(ipa, port);
    const unsigned char* bytes = _ep.socket->GetBuffer(count);
    Receive(ipa, port, bytes, bytes != nullptr ? count : 0);
}

void CommServer::Receive(unsigned long ipa, unsigned int port, const unsigned char* bytes, unsigned int count) {
    ExpireDue();
    if (bytes != nullptr)
        _received.assign(reinterpret_cast<const char*>(bytes), count);
    else
        _received.clear();
    CommDecoder decoder(ipa, port, count, _received);
    if (decoder.ValidateErr() != 0) {
        ++_stats.dropped;
        return;
    }
    _currentTransaction.emplace(decoder.GetCommTransaction());
    const OPCODE_TYPE op = _currentTransaction->OpCode();
    if (op == OPCODE_SERVER_RESPONSE || op == OPCODE_SERVER_ACKNOWLEDGE || port == kServicePort || port == Port()) {
        // An answer, or a request from a server's own port: never a
        // requester's. Answering it could start a loop between servers.
        ++_stats.droppedAnswers;
        ClearCurrent();
        return;
    }
    ++_stats.received;
    std::string data = decoder.GetData();
    _currentSession.emplace(decoder.GetCommSession());
    _answered = 0;
    _currentStored = nullptr;
    const bool exactlyOnce = _currentSession->TransmissionType() == TRANSMISSION_EXACTLY_ONCE;
    if (exactlyOnce) {
        _currentDigest = Digest(data);
        const Key key{ipa, static_cast<unsigned short>(port), _currentSession->SessionID(),
                      _currentTransaction->TransactionID()};
        bool other = false;
        if (CommServerSession* stored = FindStored(key, _currentDigest, other)) {
            // A repeat: answered from the store, never handed to the user.
            // A failed re-send keeps the answer for the next repeat.
            ++_stats.repeats;
            if (SendAcknowledge(stored) == 0) ++_stats.sendFailures;
            stored->ResetTimeToLive(_timeToLive);
            stored->HoldUntil(NowMs() + kRequesterWindowMs);
            ClearCurrent();
            return;
        }
        if (other) {
            // The key of a held answer with another payload: a forgery, or
            // a requester reusing its ids too soon. Dropped unanswered; the
            // held answer stays as it is until its hold ends.
            ++_stats.droppedConflicts;
            ClearCurrent();
            return;
        }
        bool full = false;
        if (!MayStore(ipa, full)) {
            // No room to keep the answer: taking the request now could make
            // a repeat reach the user again. The requester repeats it later.
            NoteRefusal(ipa, full);
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
            const long before = static_cast<long>(_currentStored->GetMsgData().size());
            _currentStored->SetMsgData(std::move(data));
            Account(_currentStored->GetTransaction()->RemoteIPA(), 0,
                    static_cast<long>(_currentStored->GetMsgData().size()) - before);
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
        CommServerSession* stored = s.get();
        Account(t->RemoteIPA(), 1, static_cast<long>(stored->GetMsgData().size()));
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
    Account(s->GetTransaction()->RemoteIPA(), -1, -static_cast<long>(s->GetMsgData().size()));
    _store.erase(it);
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

void SetCommServerStoreBound(ICommServer* server, std::size_t answers) {
    CommServer* s = dynamic_cast<CommServer*>(server);
    if (s != nullptr) s->SetStoreBounds(answers, CommServer::kMaxStoredBytes);
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
