// Comm client and server over real UDP on loopback, on the real framework
// loop, inside private namespaces (ports 5010/5110, keys 0x1001/0x1006).
// Times are counted in the loop's 100 ms ticks with generous bounds.
#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "commclient.h"
#include "commdecoder.h"
#include "commheaderutility.h"
#include "commserver.h"
#include "commtestutil.h"
#include "dmunitmgr.h"
#include "icommclient.h"
#include "icommserver.h"
#include "taskmanager.h"

using namespace commtest;

namespace {

constexpr unsigned long kLo = 0x7F000001ul;

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
    std::vector<Answer> answers;

private:
    const Loop* loop_;
    ICommClient* const* client_;
};

// Answers every request with "echo:" + payload and counts what reached it.
class EchoUser : public ICommServerUser {
public:
    void OnRequest(std::string data) override {
        ++seen[data];
        ++calls;
        if (answer) lastResult = server->SendResponse(0, ACKNOWLEDGE_DEEP, answerEmpty ? "" : "echo:" + data);
        if (answerTwice) secondResult = server->SendResponse(0, ACKNOWLEDGE_DEEP, "again");
    }
    ICommServer* server = nullptr;
    bool answer = true, answerEmpty = false, answerTwice = false;
    unsigned short lastResult = 0, secondResult = 0;
    std::map<std::string, int> seen;
    int calls = 0;
};

class CommLoop : public ::testing::Test {
protected:
    void SetUp() override {
        T_TMGRIF_cfg cfg{};
        cfg.unit_id = 1;
        T_TMGRIF_HostInfo host{};
        host.if_ipa = 0x0A4D0001ul;
        tm = std::make_unique<nuvak::tmgrtest::TestDataModule>(cfg, std::vector<T_TMGRIF_HostInfo>{host});
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
    void MakeServer(unsigned short unit = 2) {
        unsigned short err = 1;
        server = CreateCommServer(*fw, echo, unit, 5110, err, 1, 1500);
        ASSERT_EQ(err, 0);
        echo.server = server;
    }
    void MakeClient(unsigned short maxRetry = 3, unsigned long period = 1000) {
        unsigned short err = 1;
        client = CreateCommClient(*fw, nullptr, 1, 5010, err, maxRetry, period);
        ASSERT_EQ(err, 0);
    }
    CommServerStats Stats() const { return GetCommServerStats(server); }

    std::unique_ptr<nuvak::tmgrtest::TestDataModule> tm;
    IFrameWork* fw = nullptr;
    std::unique_ptr<Loop> loop;
    ICommClient* client = nullptr;
    ICommServer* server = nullptr;
    EchoUser echo;
};

TEST_F(CommLoop, RetransmissionScheduleThenEmptyVerdict) {
    MakeClient(3, 1000);
    RawPeer peer(5110);
    RecordingUser user(loop.get(), &client);
    std::vector<Datagram> got;
    loop->Run(
        [&](unsigned tick) {
            if (tick == 0) {
                EXPECT_EQ(client->SendRequest(&user, kLo, 5110, TRANSMISSION_EXACTLY_ONCE, ACKNOWLEDGE_DEEP, "q"),
                          COMM_TRUE);
            }
            for (auto& d : peer.Drain(loop->Elapsed())) got.push_back(d);
            return !user.answers.empty() && loop->Elapsed() > user.answers[0].tick + 5;
        },
        150);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(FirstLine(got[0].text), "OpCode: Client Request");
    EXPECT_EQ(FirstLine(got[1].text), "OpCode: Client Retransmit Count=1");
    EXPECT_EQ(FirstLine(got[2].text), "OpCode: Client Retransmit Count=2");
    EXPECT_EQ(FirstLine(got[3].text), "OpCode: Client Max Retry Count=3");
    for (unsigned k = 1; k < 4; ++k) {
        EXPECT_GE(got[k].tick, 10 * k) << k;
        EXPECT_LE(got[k].tick, 10 * k + 8) << k;
        EXPECT_EQ(got[k].port, 5010u);
        // Every repeat carries the same session, transaction and payload.
        EXPECT_EQ(CommHeaderUtility::decodeSessionID(got[k].text), CommHeaderUtility::decodeSessionID(got[0].text));
        EXPECT_EQ(CommHeaderUtility::decodeData(got[k].text), "q");
    }
    ASSERT_EQ(user.answers.size(), 1u);
    EXPECT_EQ(user.answers[0].unit, 0);
    EXPECT_EQ(user.answers[0].data, "");
    EXPECT_FALSE(user.answers[0].offline);
    EXPECT_GE(user.answers[0].tick, 40u);
    EXPECT_LE(user.answers[0].tick, 50u);
    auto* c = dynamic_cast<CommClient*>(client);
    EXPECT_EQ(c->OpenSessions(), 0u);
    EXPECT_EQ(c->FreeSessionIds(), 4096u);
}

TEST_F(CommLoop, MaxRetryZeroAndRefusals) {
    MakeClient(0, 1000);
    RawPeer peer(5110);
    RecordingUser user(loop.get());
    std::vector<Datagram> got;
    loop->Run(
        [&](unsigned tick) {
            if (tick == 0) {
                // Refused: Deep without payload, oversize, empty unit list.
                EXPECT_EQ(client->SendRequest(&user, kLo, 5110, TRANSMISSION_EXACTLY_ONCE, ACKNOWLEDGE_DEEP, ""),
                          COMM_FALSE);
                EXPECT_EQ(client->SendRequest(&user, kLo, 5110, TRANSMISSION_EXACTLY_ONCE, ACKNOWLEDGE_DEEP,
                                              std::string(15400, 'x')),
                          COMM_FALSE);
                EXPECT_EQ(client->SendRequest(&user, std::vector<unsigned short>{}, 5110, TRANSMISSION_EXACTLY_ONCE,
                                              ACKNOWLEDGE_DEEP, "x"),
                          COMM_FALSE);
                EXPECT_EQ(client->SendBroadcast(&user, 5110, ACKNOWLEDGE_DEEP, "b"), COMM_FALSE);
                EXPECT_EQ(client->SendRequest(&user, kLo, 5110, TRANSMISSION_AT_LEAST_ONCE, ACKNOWLEDGE_DEEP, "z"),
                          COMM_TRUE);
            }
            for (auto& d : peer.Drain(tick)) got.push_back(d);
            return !user.answers.empty() && tick > 20;
        },
        60);
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(user.answers.size(), 1u);
    EXPECT_GE(user.answers[0].tick, 10u);
    EXPECT_LE(user.answers[0].tick, 18u);
    EXPECT_EQ(dynamic_cast<CommClient*>(client)->FreeSessionIds(), 4096u);
}

TEST_F(CommLoop, ExactlyOnceStoredAnswerAnswersRepeatsAndExpires) {
    MakeServer();
    RawPeer peer, other;
    const std::string first = Request(OPCODE_CLIENT_REQUEST, 0, 7, 5, 1, ACKNOWLEDGE_DEEP, TRANSMISSION_EXACTLY_ONCE, "x");
    const std::string repeat =
        Request(OPCODE_CLIENT_RETRANSMIT, 1, 7, 5, 1, ACKNOWLEDGE_DEEP, TRANSMISSION_EXACTLY_ONCE, "x");
    std::vector<Datagram> got, otherGot;
    int phase = 0;
    unsigned firstTick = 0;
    loop->Run(
        [&](unsigned tick) {
            for (auto& d : peer.Drain(tick)) got.push_back(d);
            for (auto& d : other.Drain(tick)) otherGot.push_back(d);
            switch (phase) {
                case 0:
                    peer.Send(first, 5110);
                    // The same ids from another requester are a request of their own.
                    other.Send(first, 5110);
                    firstTick = tick;
                    phase = 1;
                    break;
                case 1:
                    if (tick == firstTick + 3) {
                        peer.Send(repeat, 5110);
                        phase = 2;
                    }
                    break;
                case 2:
                    // Held 4.3 s after the latest copy (tick 3); wait well past it.
                    if (tick == firstTick + 55) {
                        EXPECT_EQ(Stats().stored, 0u);
                        peer.Send(repeat, 5110);
                        phase = 3;
                    }
                    break;
                case 3:
                    return tick > firstTick + 59;
            }
            return false;
        },
        100);
    ASSERT_EQ(got.size(), 3u);
    for (const auto& d : got) {
        EXPECT_EQ(FirstLine(d.text), "OpCode: Server Acknowledge TTL=1");
        EXPECT_EQ(CommHeaderUtility::decodeData(d.text), "echo:x");
        EXPECT_EQ(CommHeaderUtility::decodeSessionID(d.text), 5);
        EXPECT_EQ(CommHeaderUtility::decodeSourceUnitID(d.text), 2);
        EXPECT_NE(d.text.find("Transmission Type: Exactly Once\n"), std::string::npos);
    }
    ASSERT_EQ(otherGot.size(), 1u);
    // Two requesters, then the expired repeat: three deliveries, one repeat
    // answered from the store.
    EXPECT_EQ(echo.seen["x"], 3);
    EXPECT_EQ(Stats().repeats, 1u);
}

// A requester that loses every answer repeats its exactly-once request 3
// times, 1.0 s apart (the nominal period) or 1.1 s apart (the comm client's
// timing under the timer's ticks). Local and remote requesters, starts
// staggered over a second: every request reaches the user once and every
// copy is answered.
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
    loop->Run(
        [&](unsigned tick) {
            for (const Trial& t : trials) {
                if (tick < t.start || (tick - t.start) % t.spacing != 0 || (tick - t.start) / t.spacing > 3) continue;
                const auto k = static_cast<unsigned short>((tick - t.start) / t.spacing);
                const OPCODE_TYPE op = k == 0 ? OPCODE_CLIENT_REQUEST : k < 3 ? OPCODE_CLIENT_RETRANSMIT
                                                                             : OPCODE_CLIENT_MAX_RETRY;
                t.peer->Send(Request(op, k, 7, t.session, 1, ACKNOWLEDGE_DEEP, TRANSMISSION_EXACTLY_ONCE,
                                     "r" + std::to_string(t.session)),
                             5110);
            }
            answers += local.Drain(tick).size() + remote.Drain(tick).size();
            return tick > 10 + 3 * 11 + 3;
        },
        120);
    EXPECT_EQ(echo.calls, static_cast<int>(trials.size()));
    for (const auto& kv : echo.seen) EXPECT_EQ(kv.second, 1) << kv.first;
    EXPECT_EQ(answers, 4 * trials.size());
}

TEST_F(CommLoop, ReusedIdsWithAnotherRequestAreNotRepeats) {
    MakeServer();
    RawPeer peer;
    std::vector<Datagram> got;
    loop->Run(
        [&](unsigned tick) {
            if (tick == 1)
                peer.Send(Request(OPCODE_CLIENT_REQUEST, 0, 7, 9, 1, ACKNOWLEDGE_DEEP, TRANSMISSION_EXACTLY_ONCE, "a"),
                          5110);
            if (tick == 2)
                peer.Send(Request(OPCODE_CLIENT_REQUEST, 0, 7, 9, 1, ACKNOWLEDGE_DEEP, TRANSMISSION_EXACTLY_ONCE, "b"),
                          5110);
            for (auto& d : peer.Drain(tick)) got.push_back(d);
            return tick >= 4;
        },
        20);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(CommHeaderUtility::decodeData(got[1].text), "echo:b");
    EXPECT_EQ(Stats().stored, 1u);
}

TEST_F(CommLoop, AtLeastOnceShallowAndAtMostOnce) {
    MakeServer();
    RawPeer peer;
    std::vector<Datagram> got;
    unsigned short outside = 0;
    loop->Run(
        [&](unsigned tick) {
            if (tick == 1) {
                const std::string alo =
                    Request(OPCODE_CLIENT_REQUEST, 0, 7, 11, 1, ACKNOWLEDGE_DEEP, TRANSMISSION_AT_LEAST_ONCE, "L");
                peer.Send(alo, 5110);
                peer.Send(alo, 5110);
                peer.Send(Request(OPCODE_CLIENT_REQUEST, 0, 7, 12, 1, ACKNOWLEDGE_SHALLOW, TRANSMISSION_AT_LEAST_ONCE,
                                  "S"),
                          5110);
                peer.Send(Request(OPCODE_CLIENT_REQUEST, 0, 7, 13, 1, ACKNOWLEDGE_SHALLOW, TRANSMISSION_AT_MOST_ONCE,
                                  "M"),
                          5110);
                // Outside OnRequest nothing is sent.
                outside = server->SendResponse(0, ACKNOWLEDGE_DEEP, "nobody");
            }
            for (auto& d : peer.Drain(tick)) got.push_back(d);
            return tick >= 5;
        },
        20);
    EXPECT_EQ(outside, COMM_TRUE);
    EXPECT_EQ(echo.seen["L"], 2);
    EXPECT_EQ(echo.seen["S"], 1);
    EXPECT_EQ(echo.seen["M"], 1);
    ASSERT_EQ(got.size(), 3u);
    int responses = 0, shallow = 0;
    for (const auto& d : got) {
        EXPECT_EQ(FirstLine(d.text), "OpCode: Server Response");
        const unsigned short sid = CommHeaderUtility::decodeSessionID(d.text);
        if (sid == 11) {
            ++responses;
            EXPECT_EQ(CommHeaderUtility::decodeData(d.text), "echo:L");
        } else {
            EXPECT_EQ(sid, 12);
            EXPECT_EQ(CommHeaderUtility::decodeData(d.text), "");
            ++shallow;
        }
    }
    EXPECT_EQ(responses, 2);
    EXPECT_EQ(shallow, 1);
    // The user's answer to the shallow request sent nothing and reported success.
    EXPECT_EQ(echo.lastResult, COMM_TRUE);
}

TEST_F(CommLoop, EmptyDeepAnswerIsRefusedButRequestIsNotActedOnTwice) {
    MakeServer();
    echo.answerEmpty = true;
    RawPeer peer;
    std::vector<Datagram> got;
    loop->Run(
        [&](unsigned tick) {
            if (tick >= 1 && tick <= 3)
                peer.Send(Request(tick == 1 ? OPCODE_CLIENT_REQUEST : OPCODE_CLIENT_RETRANSMIT, tick - 1, 7, 20, 1,
                                  ACKNOWLEDGE_DEEP, TRANSMISSION_EXACTLY_ONCE, "E"),
                          5110);
            for (auto& d : peer.Drain(tick)) got.push_back(d);
            return tick >= 5;
        },
        20);
    EXPECT_EQ(echo.lastResult, COMM_FALSE);
    EXPECT_EQ(echo.seen["E"], 1);
    EXPECT_TRUE(got.empty());
}

TEST_F(CommLoop, ClientAndServerEndToEnd) {
    MakeServer(2);
    MakeClient(3, 1000);
    RecordingUser user(loop.get()), shallowUser(loop.get()), amoUser(loop.get());
    client->SetICommClientUser(&amoUser);
    loop->Run(
        [&](unsigned tick) {
            if (tick == 0) {
                // A request to one of the client's own interface addresses goes to 127.0.0.1.
                EXPECT_EQ(client->SendRequest(&user, 0x0A4D0001ul, 5110, TRANSMISSION_EXACTLY_ONCE, ACKNOWLEDGE_DEEP,
                                              "deep"),
                          COMM_TRUE);
                EXPECT_EQ(client->SendRequest(&shallowUser, kLo, 5110, TRANSMISSION_AT_LEAST_ONCE,
                                              ACKNOWLEDGE_SHALLOW, "shallow"),
                          COMM_TRUE);
                EXPECT_EQ(client->SendRequest(&user, kLo, 5110, TRANSMISSION_AT_MOST_ONCE, ACKNOWLEDGE_DEEP, "amo"),
                          COMM_TRUE);
            }
            return tick >= 25;
        },
        40);
    ASSERT_EQ(user.answers.size(), 1u);
    EXPECT_EQ(user.answers[0].unit, 2);
    EXPECT_EQ(user.answers[0].data, "echo:deep");
    EXPECT_LE(user.answers[0].tick, 5u);
    EXPECT_TRUE(shallowUser.answers.empty());  // repeats stopped, user told nothing
    ASSERT_EQ(amoUser.answers.size(), 1u);
    EXPECT_EQ(amoUser.answers[0].data, "echo:amo");
    EXPECT_EQ(echo.seen["shallow"], 1);
    EXPECT_EQ(dynamic_cast<CommClient*>(client)->OpenSessions(), 0u);
}

TEST_F(CommLoop, OfflineUnitsAnsweredAfter250ms) {
    DMUnitMgr* units = DMUnitMgr::Instance();
    ASSERT_TRUE(units->Create());
    units->SetUnit(3, kLo, 1, "three");
    units->SetUnit(5, kLo, dmunit::kStatusIdle, "five");
    MakeClient(3, 1000);
    RawPeer unit3(5110);
    RecordingUser user(loop.get(), &client);
    std::vector<Datagram> got;
    loop->Run(
        [&](unsigned tick) {
            if (tick == 0) {
                EXPECT_EQ(client->IsUnitOnline(3), COMM_TRUE);
                EXPECT_EQ(client->IsUnitOnline(5), COMM_FALSE);
                EXPECT_EQ(client->IsUnitOnline(4), COMM_FALSE);
                EXPECT_EQ(client->SendRequest(&user, std::vector<unsigned short>{3, 0, 70, 5}, 5110,
                                              TRANSMISSION_EXACTLY_ONCE, ACKNOWLEDGE_DEEP, "units"),
                          COMM_TRUE);
            }
            for (auto& d : unit3.Drain(tick)) got.push_back(d);
            if (tick == 8) {
                // Unit 3 answers now.
                CommDecoder d(kLo, got[0].port, static_cast<unsigned>(got[0].text.size()), got[0].text);
                unit3.Send(Request(OPCODE_SERVER_ACKNOWLEDGE, 1, 3, d.GetCommSession().SessionID(),
                                   d.GetCommTransaction().TransactionID(), ACKNOWLEDGE_DEEP, TRANSMISSION_EXACTLY_ONCE,
                                   "from3"),
                           got[0].port);
            }
            return tick >= 14;
        },
        30);
    ASSERT_EQ(got.size(), 1u);  // only unit 3 is contacted
    ASSERT_EQ(user.answers.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(user.answers[i].data, "");
        EXPECT_TRUE(user.answers[i].offline);
        EXPECT_GE(user.answers[i].tick, 2u);  // 250 ms: 2 timer ticks after the request
        EXPECT_LE(user.answers[i].tick, 8u);
    }
    EXPECT_EQ(user.answers[0].unit, 0);
    EXPECT_EQ(user.answers[1].unit, 70);
    EXPECT_EQ(user.answers[2].unit, 5);
    EXPECT_EQ(user.answers[3].unit, 3);
    EXPECT_EQ(user.answers[3].data, "from3");
    EXPECT_EQ(dynamic_cast<CommClient*>(client)->OpenSessions(), 0u);
}

TEST_F(CommLoop, BroadcastAnswersReachTheBroadcastUser) {
    MakeServer(4);
    MakeClient();
    client->SetBroadcastIPA(0x7FFFFFFFul);  // 127.255.255.255
    RecordingUser user(loop.get());
    loop->Run(
        [&](unsigned tick) {
            if (tick == 0) {
                EXPECT_EQ(client->SendBroadcast(&user, 5110, ACKNOWLEDGE_DEEP, "hello"), COMM_TRUE);
            }
            return tick >= 5;
        },
        20);
    ASSERT_EQ(user.answers.size(), 1u);
    EXPECT_EQ(user.answers[0].unit, 4);
    EXPECT_EQ(user.answers[0].data, "echo:hello");
    EXPECT_EQ(dynamic_cast<CommClient*>(client)->FreeSessionIds(), 4096u);
}

TEST_F(CommLoop, BadInputIsDroppedAndStateStaysBounded) {
    MakeServer();
    RawPeer peer;
    std::mt19937 rng(12345);
    std::vector<Datagram> got;
    const std::string good = Request(OPCODE_CLIENT_REQUEST, 0, 7, 30, 1, ACKNOWLEDGE_DEEP, TRANSMISSION_EXACTLY_ONCE, "G");
    loop->Run(
        [&](unsigned tick) {
            if (tick == 1) {
                std::string noStatus = good;
                noStatus.replace(noStatus.find("RV640 OK"), 8, "RV640 KO");
                peer.Send(noStatus, 5110);
                std::string absurd = good;
                absurd.replace(absurd.find("Source Unit ID: 7"), 17, "Source Unit ID: 99999999999999999999999");
                peer.Send(absurd, 5110);  // saturates to 65535: a valid unit number on the wire
                peer.Send(Request(OPCODE_CLIENT_REQUEST, 0, 7, 31, 1, ACKNOWLEDGE_DEEP, TRANSMISSION_EXACTLY_ONCE, ""),
                          5110);
                peer.Send(Request(OPCODE_CLIENT_REQUEST, 0, 7, 32, 1, ACKNOWLEDGE_DEEP, TRANSMISSION_EXACTLY_ONCE,
                                  std::string(15500, 'b')),
                          5110);
                peer.Send(Request(OPCODE_CLIENT_REQUEST, 0, 0, 33, 1, ACKNOWLEDGE_DEEP, TRANSMISSION_EXACTLY_ONCE, "u"),
                          5110);
            }
            // Paced below the socket's receive buffer so that nothing is lost
            // on the way and every datagram is judged by the server.
            if (tick >= 2 && tick < 12) {
                for (int i = 0; i < 30; ++i) {
                    std::string g(rng() % 2000, '\0');
                    for (auto& c : g) c = static_cast<char>(rng());
                    peer.Send(g, 5110);
                }
                // A flood of repeats: one delivery, one stored answer.
                for (int i = 0; i < 100; ++i) peer.Send(good, 5110);
            }
            for (auto& d : peer.Drain(tick)) got.push_back(d);
            EXPECT_LE(Stats().stored, 2u);
            return tick >= 15;
        },
        40);
    EXPECT_EQ(echo.seen["G"], 1);
    // The copy with the absurd unit number decodes (unit 65535) and came
    // first; the flood of good copies are repeats of it, answered from the store.
    EXPECT_EQ(echo.calls, 1);
    const CommServerStats s = Stats();
    EXPECT_GE(s.dropped, 303u);
    EXPECT_GE(s.repeats, 999u);
}

// Exactly once beyond the framework's 2048 timers: distinct requests, each
// repeated two ticks later, with more than 2048 answers stored at once. Each
// must reach the user once and every repeat be answered from the store.
TEST_F(CommLoop, ExactlyOnceBurstBeyondTimerTableNeverActsTwice) {
    MakeServer();
    // Remote requesters (not one of the server's addresses): their answers
    // live 2 x 1500 ms, so well over 2048 are stored at once.
    ASSERT_EQ(std::system("ip addr add 10.99.0.2/32 dev lo && ip addr add 10.99.0.3/32 dev lo"), 0);
    RawPeer a(0, 0x0A630002ul), b(0, 0x0A630003ul);
    constexpr int kBatch = 60, kBatches = 50;  // per peer and tick, below the socket buffer
    auto send = [&](int batch, bool repeat) {
        const OPCODE_TYPE op = repeat ? OPCODE_CLIENT_RETRANSMIT : OPCODE_CLIENT_REQUEST;
        for (int i = batch * kBatch + 1; i <= (batch + 1) * kBatch; ++i) {
            const std::string payload = "req" + std::to_string(i);
            const auto sid = static_cast<unsigned short>(i);
            a.Send(Request(op, repeat, 7, sid, 1, ACKNOWLEDGE_DEEP, TRANSMISSION_EXACTLY_ONCE, payload), 5110);
            b.Send(Request(op, repeat, 8, sid, 1, ACKNOWLEDGE_DEEP, TRANSMISSION_EXACTLY_ONCE, payload + "b"), 5110);
        }
    };
    int answers = 0;
    loop->Run(
        [&](unsigned tick) {
            const int t = static_cast<int>(tick);
            if (t >= 1 && t <= kBatches) send(t - 1, false);
            if (t >= 11 && t <= kBatches + 10) send(t - 11, true);
            answers += static_cast<int>(a.Drain(tick).size() + b.Drain(tick).size());
            return t > kBatches + 10 && answers >= 4 * kBatch * kBatches;
        },
        150);
    const CommServerStats s = Stats();
    EXPECT_EQ(echo.calls, 2 * kBatch * kBatches);
    for (const auto& kv : echo.seen) ASSERT_EQ(kv.second, 1) << kv.first;
    EXPECT_GT(s.storedPeak, 2048u);
    EXPECT_EQ(s.repeats, static_cast<unsigned long>(2 * kBatch * kBatches));
    EXPECT_EQ(answers, 4 * kBatch * kBatches);
    EXPECT_EQ(s.refusedFull, 0u);
}

}  // namespace

namespace {

// More open requests than the framework has timers: each is accepted, and
// each is given up on schedule.
TEST_F(CommLoop, ClientKeepsMoreOpenRequestsThanTimers) {
    MakeClient(1, 500);
    RawPeer silent(5110);
    RecordingUser user(loop.get());
    constexpr int kRequests = 3000;
    int accepted = 0;
    std::size_t datagrams = 0;
    loop->Run(
        [&](unsigned tick) {
            if (tick == 0)
                for (int i = 0; i < kRequests; ++i)
                    accepted += client->SendRequest(&user, kLo, 5110, TRANSMISSION_AT_LEAST_ONCE, ACKNOWLEDGE_DEEP,
                                                    "r" + std::to_string(i)) != 0;
            datagrams += silent.Drain(tick).size();
            return user.answers.size() >= static_cast<std::size_t>(kRequests);
        },
        60);
    EXPECT_EQ(accepted, kRequests);
    ASSERT_EQ(user.answers.size(), static_cast<std::size_t>(kRequests));
    for (const Answer& a : user.answers) {
        EXPECT_GE(a.tick, 10u);  // two periods of 500 ms
        EXPECT_LE(a.tick, 25u);
    }
    EXPECT_EQ(dynamic_cast<CommClient*>(client)->FreeSessionIds(), 4096u);
    EXPECT_GT(datagrams, static_cast<std::size_t>(kRequests));  // first transmissions and repeats
}

}  // namespace
