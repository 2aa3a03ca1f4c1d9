// Comm client and server over real UDP on loopback, on the real framework
// loop, inside private namespaces (ports 5010/5110, keys 0x1001/0x1006).
// Times are counted in the loop's 100 ms ticks with generous bounds.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "commclient.h"
#include "commdecoder.h"
#include "commencoder.h"
#include "commheaderutility.h"
#include "commserver.h"
#include "dmunitmgr.h"
#include "framework.h"
#include "icommclient.h"
#include "icommserver.h"
#include "taskmanager.h"

namespace {

// Drives the framework's loop: a periodic 100 ms timer calls `step` with the
// number of ticks since Run() started; when it returns true, or after
// maxTicks, the loop is stopped by SIGINT, the real stop path.
class Loop : public IFrameWorkClient, public IFrameWorkObserver {
public:
    explicit Loop(IFrameWork& fw) : fw_(fw) {
        if (fw_.Register(*this, &worker_)) worker_->CreateTimer(*this, true, PRIORITY_NORMAL, &timer_);
    }
    ~Loop() override {
        if (worker_ == nullptr) return;
        if (timer_ != nullptr) worker_->DestroyTimer(timer_);
        fw_.UnRegister(worker_);
    }
    void Run(unsigned maxTicks, const std::function<bool(unsigned tick)>& step) {
        step_ = step;
        maxTicks_ = maxTicks;
        tick_ = 0;
        stopping_ = false;
        start_ = std::chrono::steady_clock::now();
        unsigned int value = 0;
        if (timer_ == nullptr || !timer_->Start(100, &value)) return;
        if (step_(0)) Stop();
        fw_.Run();
        timer_->Stop();
    }
    // Wall-clock time since Run() started, in 100 ms ticks: for assertions on
    // timing, which stay right when a loaded machine merges timer ticks.
    unsigned Elapsed() const {
        return static_cast<unsigned>((std::chrono::steady_clock::now() - start_) / std::chrono::milliseconds(100));
    }
    bool OnEvent(EVENTTYPE type, unsigned int value) override {
        if (type != EVENT_TIMER || timer_ == nullptr || value != timer_->GetSignalValue() || stopping_) return true;
        if (step_(++tick_) || tick_ >= maxTicks_) Stop();
        return true;
    }

private:
    void Stop() {
        stopping_ = true;
        kill(getpid(), SIGINT);
    }
    IFrameWork& fw_;
    IFrameWorkServer* worker_ = nullptr;
    ITimer* timer_ = nullptr;
    std::function<bool(unsigned)> step_;
    unsigned tick_ = 0, maxTicks_ = 0;
    std::chrono::steady_clock::time_point start_;
    bool stopping_ = false;
};

struct Datagram {
    std::string text;
    unsigned int port;  // the sender's
    unsigned tick;
};

// A plain non-blocking UDP socket outside the framework: a fake peer.
class RawPeer {
public:
    explicit RawPeer(unsigned short port = 0, unsigned long bindIpa = 0) : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
        int one = 1, big = 8 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        const sockaddr_in a = Address(port, bindIpa);
        if (bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "bind " << port;
        fcntl(fd_, F_SETFL, O_NONBLOCK);
    }
    ~RawPeer() { close(fd_); }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;
    void Send(const std::string& text, unsigned short port = 5110) const {  // by default to the server
        const sockaddr_in a = Address(port, 0x7F000001ul);
        sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    // What has arrived, stamped with `tick`.
    std::vector<Datagram> Drain(unsigned tick = 0) {
        std::vector<Datagram> out;
        static char buf[65536];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        for (ssize_t n; (n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len)) >= 0;)
            out.push_back({std::string(buf, static_cast<std::size_t>(n)), ntohs(from.sin_port), tick});
        return out;
    }

private:
    static sockaddr_in Address(unsigned short port, unsigned long ipa) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(static_cast<uint32_t>(ipa));
        return a;
    }
    int fd_;
};

// One comm datagram as a requester (unit 7 unless said) would send it.
std::string Request(unsigned short sessionId, const std::string& data, OPCODE_TYPE op = OPCODE_CLIENT_REQUEST,
                           unsigned short count = 0, TRANSMISSION_TYPE trans = TRANSMISSION_EXACTLY_ONCE,
                           ACKNOWLEDGE_TYPE ack = ACKNOWLEDGE_DEEP, unsigned short unit = 7,
                           unsigned short transactionId = 1) {
    CommSession s(sessionId, ack, trans);
    CommTransaction t(op, transactionId, unit, 0, 0, 0);
    return CommEncoder(&s, &t, count, data).GetMsg();
}

// First line of a datagram ("OpCode: ...").
std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

using U = CommHeaderUtility;
constexpr unsigned long kLo = 0x7F000001ul;

// "first line|session|source unit|payload" of an answer.
std::string Brief(const Datagram& d) {
    return FirstLine(d.text) + "|" + std::to_string(U::decodeSessionID(d.text)) + "|" +
           std::to_string(U::decodeSourceUnitID(d.text)) + "|" + U::decodeData(d.text);
}

struct Answer {
    unsigned short unit;
    std::string data;
    unsigned tick;
    bool offline;  // the client's verdict: given up as offline
};

class RecordingUser : public ICommClientUser {
public:
    explicit RecordingUser(const Loop* loop, ICommClient* const* client = nullptr) : loop_(loop), client_(client) {}
    void OnResponse(unsigned short unitId, std::string data) override {
        const bool offline = client_ != nullptr && CommClientGaveUpOffline(*client_);
        answers.push_back({unitId, std::move(data), loop_->Elapsed(), offline});
    }
    // "unit:data" per answer (":offline" added for that verdict), space-separated.
    std::string Summary() const {
        std::string s;
        for (const Answer& a : answers)
            s += (s.empty() ? "" : " ") + std::to_string(a.unit) + ":" + a.data + (a.offline ? ":offline" : "");
        return s;
    }
    std::vector<Answer> answers;

private:
    const Loop* loop_;
    ICommClient* const* client_;
};

// Answers every request with "echo:" + payload (an empty payload to
// `emptyFor`), counts what reached it and keeps what SendResponse returned.
class EchoUser : public ICommServerUser {
public:
    void OnRequest(std::string data) override {
        ++seen[data];
        result[data] = server->SendResponse(0, ACKNOWLEDGE_DEEP, data == emptyFor ? "" : "echo:" + data);
    }
    ICommServer* server = nullptr;
    std::string emptyFor;
    std::map<std::string, unsigned short> result;
    std::map<std::string, int> seen;
};

class CommLoop : public ::testing::Test {
protected:
    void SetUp() override {
        T_TMGRIF_cfg cfg{};
        cfg.unit_id = 1;
        const std::vector<T_TMGRIF_HostInfo> hosts{{0x0A4D0001ul, 0, 0, ""}};  // an address of this unit
        tm = std::make_unique<nuvak::tmgrtest::TestDataModule>(cfg, hosts);
        fw = CreateFrameWork();
        ASSERT_NE(fw, nullptr);
        loop = std::make_unique<Loop>(*fw);
    }
    void TearDown() override {
        if (client != nullptr) DestroyCommClient(&client);
        if (server != nullptr) DestroyCommServer(&server);
        loop.reset();
        DestroyFrameWork();
        tm.reset();
        DMUnitMgr::Instance()->Unlink();
        const int id = shmget(dmunit::kKey, 0, 0);
        if (id >= 0) shmctl(id, IPC_RMID, nullptr);
    }
    void MakeServer() {  // unit 2
        unsigned short err = 1;
        server = CreateCommServer(*fw, echo, 2, 5110, err, 1, 1500);
        ASSERT_EQ(err, 0);
        echo.server = server;
    }
    void MakeClient() {  // unit 1, 3 repeats 1 s apart
        unsigned short err = 1;
        client = CreateCommClient(*fw, nullptr, 1, 5010, err, 3, 1000);
        ASSERT_EQ(err, 0);
    }
    // Runs the loop; before each step what `peer` received is added to `got`,
    // stamped with the elapsed ticks.
    void Run(RawPeer& peer, unsigned maxTicks, const std::function<bool(unsigned)>& step) {
        loop->Run(maxTicks, [&](unsigned tick) {
            for (auto& d : peer.Drain(loop->Elapsed())) got.push_back(std::move(d));
            return step(tick);
        });
    }
    CommServerStats Stats() const { return GetCommServerStats(server); }
    std::size_t FreeIds() const { return dynamic_cast<CommClient*>(client)->FreeSessionIds(); }
    // A request to the server's port at an address or to a list of units.
    template <typename To>
    unsigned short Ask(ICommClientUser& user, To to, TRANSMISSION_TYPE trans, ACKNOWLEDGE_TYPE ack, std::string data) {
        return client->SendRequest(&user, to, 5110, trans, ack, std::move(data));
    }

    std::unique_ptr<nuvak::tmgrtest::TestDataModule> tm;
    IFrameWork* fw = nullptr;
    std::unique_ptr<Loop> loop;
    ICommClient* client = nullptr;
    ICommServer* server = nullptr;
    EchoUser echo;
    std::vector<Datagram> got;
};

// The schedules the client lets exactly once use all end within the
// server's hold of its answer (one constant for both sides).
static_assert(CommServer::kRequesterWindowMs == COMM_EXACTLY_ONCE_HOLD_MS, "one hold for client and server");
TEST(CommSchedule, ExactlyOnceCopiesWithinTheServerHold) {
    for (unsigned short retry = 0; retry <= 40; ++retry) {
        const unsigned long most = CommExactlyOnceMaxPeriod(retry);
        for (unsigned long period : {1ul, 99ul, 100ul, 199ul, 1000ul, 1099ul, 1100ul, 3200ul, 5000ul, 600000ul}) {
            const bool fits = CommExactlyOnceFits(retry, period);
            // Worst case: first and last copy arrive, those between are lost,
            // each period a tick late; the last must come within the hold.
            const unsigned long long lastCopy = retry * ((period < 200 ? 100 : period / 100 * 100) + 100ull);
            EXPECT_EQ(fits, lastCopy + 1000 <= 4300) << retry << " x " << period;
            if (retry > 0 && most > 0) {
                EXPECT_EQ(fits, period < most + 100) << retry << " x " << period;
            } else if (retry > 0) {
                EXPECT_FALSE(fits) << retry << " x " << period;
            }
        }
    }
    EXPECT_EQ(CommExactlyOnceMaxPeriod(3), 1000u);
    EXPECT_EQ(CommExactlyOnceMaxPeriod(1), 3200u);
    EXPECT_TRUE(CommExactlyOnceFits(0, 600000));
}

// Refused requests send nothing and keep no session id; an exactly-once
// request nobody answers is repeated on schedule, then given up empty. The
// same with more requests open than the framework has timers.
TEST_F(CommLoop, RetransmissionScheduleThenEmptyVerdict) {
    MakeClient();
    RawPeer peer(5110), silent(5111);
    RecordingUser user(loop.get(), &client), many(loop.get());
    constexpr std::size_t kMany = 3000;
    std::size_t accepted = 0, manyGot = 0;
    auto send = [&](auto to, std::string data) {
        return Ask(user, to, TRANSMISSION_EXACTLY_ONCE, ACKNOWLEDGE_DEEP, std::move(data));
    };
    Run(peer, 150, [&](unsigned tick) {
        manyGot += silent.Drain().size();
        if (tick == 0) {
            // Deep without payload, oversize, empty unit list, broadcast without an address.
            EXPECT_EQ(send(kLo, ""), COMM_FALSE);
            EXPECT_EQ(send(kLo, std::string(15400, 'x')), COMM_FALSE);
            EXPECT_EQ(send(std::vector<unsigned short>{}, "x"), COMM_FALSE);
            EXPECT_EQ(client->SendBroadcast(&user, 5110, ACKNOWLEDGE_DEEP, "b"), COMM_FALSE);
            // Exactly once with copies spread beyond the server's hold.
            client->SetRetryPeriod(1100);
            EXPECT_EQ(send(kLo, "slow"), COMM_FALSE);
            EXPECT_EQ(send(std::vector<unsigned short>{2}, "slow"), COMM_FALSE);
            client->SetMaxRetry(1);
            client->SetRetryPeriod(3300);
            EXPECT_EQ(send(kLo, "slow"), COMM_FALSE);
            client->SetMaxRetry(3);
            client->SetRetryPeriod(1000);
            // Session ids from 4095 on, wrapping past 4096 to 1.
            CommClientStartSessionsAt(client, 4095);
            EXPECT_EQ(send(kLo, "q"), COMM_TRUE);
            for (std::size_t i = 0; i < kMany; ++i) {
                accepted += client->SendRequest(&many, kLo, 5111, TRANSMISSION_EXACTLY_ONCE, ACKNOWLEDGE_DEEP,
                                                "r" + std::to_string(i)) == COMM_TRUE;
            }
        }
        return many.answers.size() == kMany && !user.answers.empty() && loop->Elapsed() > user.answers[0].tick + 5;
    });
    ASSERT_EQ(got.size(), 4u);
    const char* const ops[] = {"Request", "Retransmit Count=1", "Retransmit Count=2", "Max Retry Count=3"};
    for (unsigned k = 0; k < 4; ++k) {
        EXPECT_EQ(FirstLine(got[k].text), std::string("OpCode: Client ") + ops[k]);
        EXPECT_TRUE(got[k].tick >= 10 * k && got[k].tick <= 10 * k + 8) << k << ": tick " << got[k].tick;
        EXPECT_EQ(got[k].port, 5010u);
        // Every repeat carries the same session and payload.
        EXPECT_EQ(U::decodeSessionID(got[k].text), 4095);
        EXPECT_EQ(U::decodeData(got[k].text), "q");
    }
    ASSERT_EQ(user.Summary(), "0:");
    EXPECT_TRUE(user.answers[0].tick >= 40 && user.answers[0].tick <= 50) << user.answers[0].tick;
    EXPECT_EQ(accepted, kMany);
    ASSERT_EQ(many.answers.size(), kMany);
    for (const Answer& a : many.answers) EXPECT_TRUE(a.tick >= 40 && a.tick <= 55) << a.tick;
    EXPECT_GT(manyGot, kMany);  // first transmissions and repeats
    EXPECT_EQ(FreeIds(), 4096u);
    // The ids of those exactly-once sessions rest for the server's hold
    // before they are used again (a request under a held key would be taken
    // for a forgery and dropped): only the 1095 others are free now.
    std::size_t fresh = 0;
    for (std::size_t i = 0; i <= 4096 - kMany - 1; ++i)
        fresh += Ask(many, kLo, TRANSMISSION_EXACTLY_ONCE, ACKNOWLEDGE_DEEP, "n" + std::to_string(i)) == COMM_TRUE;
    EXPECT_EQ(fresh, 4096 - kMany - 1);
}

// Repeats are answered from the store until it expires; the same ids from
// another requester are a request of their own. A datagram with a held
// answer's address, port and ids but another payload (a forgery) is dropped
// and leaves the answer as it was: the requester's next repeat is still
// answered from the store.
TEST_F(CommLoop, ExactlyOnceStoredAnswerAnswersRepeatsAndExpires) {
    MakeServer();
    RawPeer peer, other;
    const std::string first = Request(5, "x"), repeat = Request(5, "x", OPCODE_CLIENT_RETRANSMIT, 1);
    std::size_t otherGot = 0;
    Run(peer, 100, [&](unsigned tick) {
        otherGot += other.Drain().size();
        if (tick == 0) {
            peer.Send(first);
            other.Send(first);
        }
        if (tick == 3) peer.Send(repeat);
        // Held 4.3 s after the latest copy (tick 3); wait well past it.
        if (tick == 55) {
            EXPECT_EQ(Stats().stored, 0u);
            peer.Send(repeat);
        }
        if (tick == 57) {
            peer.Send(Request(5, "y"));
            peer.Send(Request(5, "z", OPCODE_CLIENT_MAX_RETRY, 3));
        }
        if (tick == 59) peer.Send(Request(5, "x", OPCODE_CLIENT_MAX_RETRY, 3));
        return tick > 61;
    });
    std::vector<std::string> answers;
    for (const auto& d : got) {
        answers.push_back(Brief(d));
        EXPECT_NE(d.text.find("Transmission Type: Exactly Once\n"), std::string::npos);
    }
    const std::string ack = "OpCode: Server Acknowledge TTL=1|5|2|echo:";
    EXPECT_EQ(answers, (std::vector<std::string>{ack + "x", ack + "x", ack + "x", ack + "x"}));
    EXPECT_EQ(otherGot, 1u);
    // Two requesters and the expired repeat; "y" and "z" never reached the user.
    EXPECT_EQ(echo.seen, (std::map<std::string, int>{{"x", 3}}));
    EXPECT_EQ(Stats().repeats, 2u);
    EXPECT_EQ(Stats().droppedConflicts, 2u);
    EXPECT_EQ(Stats().stored, 1u);
}

// A datagram with an answer's op-code, or a request from a comm server's own
// port, is dropped unanswered: a forged answer between two servers (here one
// that names the other server's port as its source) would otherwise be
// answered by each in turn for ever.
TEST_F(CommLoop, AnswersAndServerPortsAreNeverAnswered) {
    MakeServer();
    EchoUser echoB;
    unsigned short err = 1;
    ICommServer* b = CreateCommServerStandalone(*fw, echoB, 3, 0, err, 1, 1500);
    ASSERT_EQ(err, 0);
    echoB.server = b;
    const auto portB = static_cast<unsigned short>(GetCommServerPort(b));
    auto inject = [](ICommServer* to, unsigned int port, const std::string& d) {
        dynamic_cast<CommServer*>(to)->Receive(kLo, port, reinterpret_cast<const unsigned char*>(d.data()),
                                               static_cast<unsigned int>(d.size()));
    };
    RawPeer peer;
    Run(peer, 20, [&](unsigned tick) {
        if (tick == 1) {
            for (TRANSMISSION_TYPE t : {TRANSMISSION_AT_MOST_ONCE, TRANSMISSION_AT_LEAST_ONCE, TRANSMISSION_EXACTLY_ONCE}) {
                inject(server, portB, Request(40 + t, "loop", OPCODE_SERVER_RESPONSE, 0, t));
                peer.Send(Request(50 + t, "r", OPCODE_SERVER_RESPONSE, 1, t));
                peer.Send(Request(60 + t, "a", OPCODE_SERVER_ACKNOWLEDGE, 1, t));
            }
            inject(server, 5110, Request(70, "own port"));
            inject(b, 5110, Request(71, "service port", OPCODE_CLIENT_REQUEST, 0, TRANSMISSION_AT_LEAST_ONCE));
            inject(b, portB, Request(72, "own port", OPCODE_CLIENT_RETRANSMIT, 1));
            peer.Send(Request(80, "ok"));
        }
        return tick >= 10;
    });
    const CommServerStats sa = Stats(), sb = GetCommServerStats(b);
    DestroyCommServer(&b);
    EXPECT_EQ(echo.seen.size(), 1u);  // (a loop's payloads grow by "echo:" on every turn)
    EXPECT_EQ(echo.seen["ok"], 1);
    EXPECT_EQ(echoB.seen.size(), 0u);
    EXPECT_EQ(sa.droppedAnswers, 3u * 3u + 1u);
    EXPECT_EQ(sb.droppedAnswers, 2u);
    EXPECT_EQ(sa.received + sb.received, 1u);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(Brief(got[0]), "OpCode: Server Acknowledge TTL=1|80|2|echo:ok");
}

// Stored answers are shared between requesting addresses: while n other
// addresses hold answers one address may hold 1/(n + 2) of the store, so a
// flood from one address leaves room for the others. Refused requests never
// reach the user, repeats of stored ones are still answered, and refusing
// prints one line a minute naming the address.
TEST_F(CommLoop, StoreIsSharedFairlyBetweenAddresses) {
    MakeServer();
    auto* s = dynamic_cast<CommServer*>(server);
    s->SetStoreBounds(90, 1 << 20);
    auto inject = [&](unsigned long ipa, int i, OPCODE_TYPE op = OPCODE_CLIENT_REQUEST) {
        const std::string d = Request(static_cast<unsigned short>(i), std::to_string(ipa & 0xFF) + "-" + std::to_string(i), op);
        s->Receive(ipa, 6000, reinterpret_cast<const unsigned char*>(d.data()), static_cast<unsigned int>(d.size()));
    };
    const unsigned long a = 0x0AC80001ul, b = 0x0AC80002ul, c = 0x0AC80003ul;  // 10.200.0.x: no route
    testing::internal::CaptureStderr();
    for (int i = 1; i <= 100; ++i) inject(a, i);  // alone: half of 90
    EXPECT_EQ(s->HeldFor(a), 45u);
    EXPECT_EQ(Stats().refusedShare, 55u);
    for (int i = 1; i <= 40; ++i) inject(b, i);  // one other holder: a third
    EXPECT_EQ(s->HeldFor(b), 30u);
    inject(a, 101);  // a holds more than its share now
    EXPECT_EQ(s->HeldFor(a), 45u);
    for (int i = 1; i <= 20; ++i) inject(c, i);  // the 15 places left, then full
    EXPECT_EQ(s->HeldFor(c), 15u);
    EXPECT_EQ(Stats().refusedShare, 55u + 10u + 1u);
    EXPECT_EQ(Stats().refusedFull, 5u);
    inject(a, 7, OPCODE_CLIENT_RETRANSMIT);  // a repeat is answered from the store, full or not
    EXPECT_EQ(Stats().repeats, 1u);
    EXPECT_EQ(Stats().stored, 90u);
    EXPECT_EQ(echo.seen.size(), 90u);
    const std::string lines = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1) << lines;
    EXPECT_NE(lines.find("refusing exactly-once requests from 10.200.0.1: it holds its share"), std::string::npos)
        << lines;
}

// A requester that loses every answer repeats its exactly-once request 3
// times, 1.0 s apart (nominal) or 1.1 s apart (under the timer's ticks), local
// and remote requesters starting over a second: each request reaches the user
// once and every copy is answered.
TEST_F(CommLoop, ExactlyOnceOutlivesTheRequesterRetryWindow) {
    MakeServer();
    ASSERT_EQ(std::system("ip addr add 10.99.1.2/32 dev lo"), 0);
    RawPeer local, remote(0, 0x0A630102ul);
    struct Trial {
        RawPeer* peer;
        unsigned short session;
        unsigned start, spacing;
    };
    std::vector<Trial> trials;
    unsigned short session = 100;
    for (unsigned spacing : {10u, 11u})
        for (RawPeer* p : {&local, &remote})
            for (unsigned start = 1; start <= 10; ++start) trials.push_back({p, session++, start, spacing});
    std::size_t answers = 0;
    loop->Run(120, [&](unsigned tick) {
        for (const Trial& t : trials) {
            if (tick < t.start || (tick - t.start) % t.spacing != 0 || (tick - t.start) / t.spacing > 3) continue;
            const auto k = static_cast<unsigned short>((tick - t.start) / t.spacing);
            const OPCODE_TYPE op = k == 0 ? OPCODE_CLIENT_REQUEST : k < 3 ? OPCODE_CLIENT_RETRANSMIT
                                                                         : OPCODE_CLIENT_MAX_RETRY;
            t.peer->Send(Request(t.session, "r" + std::to_string(t.session), op, k));
        }
        answers += local.Drain(tick).size() + remote.Drain(tick).size();
        return tick > 10 + 3 * 11 + 3;
    });
    EXPECT_EQ(echo.seen.size(), trials.size());
    for (const auto& kv : echo.seen) EXPECT_EQ(kv.second, 1) << kv.first;
    EXPECT_EQ(answers, 4 * trials.size());
}

// At least once is never deduplicated; Shallow gets the server's own empty
// answer (at most once: none) and the user's answer, like one outside
// OnRequest, sends nothing and reports success; an empty Deep answer is
// refused, yet its exactly-once request is not acted on again.
TEST_F(CommLoop, ServerAnswersByAcknowledgeAndTransmissionType) {
    MakeServer();
    echo.emptyFor = "E";
    RawPeer peer;
    unsigned short outside = 0;
    Run(peer, 20, [&](unsigned tick) {
        if (tick == 1) {
            const std::string alo = Request(11, "L", OPCODE_CLIENT_REQUEST, 0, TRANSMISSION_AT_LEAST_ONCE);
            peer.Send(alo);
            peer.Send(alo);
            peer.Send(Request(12, "S", OPCODE_CLIENT_REQUEST, 0, TRANSMISSION_AT_LEAST_ONCE, ACKNOWLEDGE_SHALLOW));
            peer.Send(Request(13, "M", OPCODE_CLIENT_REQUEST, 0, TRANSMISSION_AT_MOST_ONCE, ACKNOWLEDGE_SHALLOW));
            outside = server->SendResponse(0, ACKNOWLEDGE_DEEP, "nobody");
        }
        if (tick >= 1 && tick <= 3)
            peer.Send(Request(20, "E", tick == 1 ? OPCODE_CLIENT_REQUEST : OPCODE_CLIENT_RETRANSMIT, tick - 1));
        return tick >= 5;
    });
    EXPECT_EQ(outside, COMM_TRUE);
    EXPECT_EQ(echo.seen, (std::map<std::string, int>{{"E", 1}, {"L", 2}, {"M", 1}, {"S", 1}}));
    EXPECT_EQ(echo.result, (std::map<std::string, unsigned short>{
                               {"E", COMM_FALSE}, {"L", COMM_TRUE}, {"M", COMM_TRUE}, {"S", COMM_TRUE}}));
    std::multiset<std::string> answers;
    for (const auto& d : got) answers.insert(Brief(d));
    const std::string l = "OpCode: Server Response|11|2|echo:L", s = "OpCode: Server Response|12|2|";
    EXPECT_EQ(answers, (std::multiset<std::string>{l, l, s}));
}

TEST_F(CommLoop, ClientAndServerEndToEnd) {
    MakeServer();
    MakeClient();
    client->SetBroadcastIPA(0x7FFFFFFFul);  // 127.255.255.255
    RecordingUser user(loop.get()), shallowUser(loop.get()), amoUser(loop.get()), broadcastUser(loop.get());
    client->SetICommClientUser(&amoUser);
    loop->Run(40, [&](unsigned tick) {
        if (tick == 0) {
            // A request to one of the client's own interface addresses goes to 127.0.0.1.
            EXPECT_EQ(Ask(user, 0x0A4D0001ul, TRANSMISSION_EXACTLY_ONCE, ACKNOWLEDGE_DEEP, "deep"), COMM_TRUE);
            EXPECT_EQ(Ask(shallowUser, kLo, TRANSMISSION_AT_LEAST_ONCE, ACKNOWLEDGE_SHALLOW, "shallow"), COMM_TRUE);
            EXPECT_EQ(Ask(user, kLo, TRANSMISSION_AT_MOST_ONCE, ACKNOWLEDGE_DEEP, "amo"), COMM_TRUE);
        }
        // The broadcast's user takes the place of the default user.
        if (tick == 10) {
            EXPECT_EQ(client->SendBroadcast(&broadcastUser, 5110, ACKNOWLEDGE_DEEP, "hello"), COMM_TRUE);
        }
        return tick >= 25;
    });
    ASSERT_EQ(user.Summary(), "2:echo:deep");
    EXPECT_LE(user.answers[0].tick, 5u);
    EXPECT_EQ(shallowUser.Summary(), "");  // repeats stopped, user told nothing
    EXPECT_EQ(amoUser.Summary(), "2:echo:amo");
    EXPECT_EQ(broadcastUser.Summary(), "2:echo:hello");
    EXPECT_EQ(echo.seen["shallow"], 1);
    EXPECT_EQ(FreeIds(), 4096u);
}

TEST_F(CommLoop, OfflineUnitsAnsweredAfter250ms) {
    DMUnitMgr* units = DMUnitMgr::Instance();
    ASSERT_TRUE(units->Create());
    units->SetUnit(3, kLo, 1, "three");
    units->SetUnit(5, kLo, dmunit::kStatusIdle, "five");
    MakeClient();
    RawPeer unit3(5110);
    RecordingUser user(loop.get(), &client);
    Run(unit3, 30, [&](unsigned tick) {
        if (tick == 0) {
            EXPECT_EQ(client->IsUnitOnline(3), COMM_TRUE);
            EXPECT_EQ(client->IsUnitOnline(5), COMM_FALSE);
            EXPECT_EQ(client->IsUnitOnline(4), COMM_FALSE);
            const std::vector<unsigned short> to{3, 0, 70, 5};
            EXPECT_EQ(Ask(user, to, TRANSMISSION_EXACTLY_ONCE, ACKNOWLEDGE_DEEP, "units"), COMM_TRUE);
        }
        if (tick == 8) {  // unit 3 answers now
            CommDecoder d(kLo, got[0].port, static_cast<unsigned>(got[0].text.size()), got[0].text);
            unit3.Send(Request(d.GetCommSession().SessionID(), "from3", OPCODE_SERVER_ACKNOWLEDGE, 1,
                               TRANSMISSION_EXACTLY_ONCE, ACKNOWLEDGE_DEEP, 3,
                               d.GetCommTransaction().TransactionID()),
                       got[0].port);
        }
        return tick >= 14;
    });
    ASSERT_EQ(got.size(), 1u);  // only unit 3 is contacted
    ASSERT_EQ(user.Summary(), "0::offline 70::offline 5::offline 3:from3");
    for (int i = 0; i < 3; ++i)  // 250 ms: 2 timer ticks after the request
        EXPECT_TRUE(user.answers[i].tick >= 2 && user.answers[i].tick <= 8) << user.answers[i].tick;
    EXPECT_EQ(dynamic_cast<CommClient*>(client)->OpenSessions(), 0u);
}

// Beyond the framework's 2048 timers: distinct exactly-once requests from
// remote requesters (answers kept 2 x 1500 ms), each repeated ten ticks later,
// and bad input among them. Each request reaches the user once, every repeat
// is answered from the store, and what the decoder refuses is dropped.
TEST_F(CommLoop, ExactlyOnceBurstBeyondTimerTableNeverActsTwice) {
    MakeServer();
    ASSERT_EQ(std::system("ip addr add 10.99.0.2/32 dev lo && ip addr add 10.99.0.3/32 dev lo"), 0);
    RawPeer a(0, 0x0A630002ul), b(0, 0x0A630003ul);
    constexpr int kBatch = 60, kBatches = 50;  // per peer and tick, below the socket buffer
    auto send = [&](int batch, bool repeat) {
        const OPCODE_TYPE op = repeat ? OPCODE_CLIENT_RETRANSMIT : OPCODE_CLIENT_REQUEST;
        for (int i = batch * kBatch + 1; i <= (batch + 1) * kBatch; ++i) {
            const std::string payload = "req" + std::to_string(i);
            const auto sid = static_cast<unsigned short>(i);
            a.Send(Request(sid, payload, op, repeat));
            b.Send(Request(sid, payload + "b", op, repeat));
        }
    };
    std::string noStatus = Request(1, "G"), noPayload = Request(2, "x");
    noStatus.replace(noStatus.find("RV640 OK"), 8, "RV640 KO");
    noPayload.pop_back();  // Deep without payload
    const std::string bad[] = {noStatus, noPayload, Request(3, std::string(15500, 'b')),
                               Request(4, "u", OPCODE_CLIENT_REQUEST, 0, TRANSMISSION_EXACTLY_ONCE,
                                       ACKNOWLEDGE_DEEP, 0)};
    std::mt19937 rng(12345);
    int answers = 0;
    loop->Run(150, [&](unsigned tick) {
        const int t = static_cast<int>(tick);
        if (t == 1)
            for (const std::string& d : bad) a.Send(d);
        for (int i = 0; t <= 10 && i < 30; ++i) {
            std::string g(1 + rng() % 2000, '\0');
            for (auto& c : g) c = static_cast<char>(rng());
            b.Send(g);
        }
        if (t >= 1 && t <= kBatches) send(t - 1, false);
        if (t >= 11 && t <= kBatches + 10) send(t - 11, true);
        answers += static_cast<int>(a.Drain(tick).size() + b.Drain(tick).size());
        return t > kBatches + 10 && answers >= 4 * kBatch * kBatches;
    });
    const CommServerStats s = Stats();
    EXPECT_EQ(echo.seen.size(), static_cast<std::size_t>(2 * kBatch * kBatches));
    for (const auto& kv : echo.seen) ASSERT_EQ(kv.second, 1) << kv.first;
    EXPECT_GT(s.storedPeak, 2048u);
    EXPECT_LE(s.storedPeak, static_cast<std::size_t>(2 * kBatch * kBatches));
    EXPECT_EQ(s.dropped, 4u + 11u * 30u);
    EXPECT_EQ(s.repeats, static_cast<unsigned long>(2 * kBatch * kBatches));
    EXPECT_EQ(answers, 4 * kBatch * kBatches);
    EXPECT_EQ(s.refusedFull, 0u);
}

}  // namespace
