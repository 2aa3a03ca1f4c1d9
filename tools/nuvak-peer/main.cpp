// nuvak-peer: a requesting unit built from the real comm client and server,
// so that every datagram goes through the protocol's own retries, repeat
// detection and stored answers. It is the requesting and the counting side of
// the multi-unit tests and benchmarks (run inside a unit of the simulated
// network, netsim.sh exec) and the server the requester's tests talk to.
// Its usage text (kUsage) describes every mode.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <deque>
#include <atomic>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cameramessage.h"
#include "commencoder.h"
#include "framework.h"
#include "icommclient.h"
#include "icommserver.h"
#include "itmgr.h"
#include "ixmlcodec.h"
#include "sysdefs.h"
#include "toolargs.h"
#include "byteorder.h"

namespace {

using nuvak::toolargs::BadArgs;
using nuvak::toolargs::NowMs;

const char kUsage[] =
    "usage: nuvak-peer [serve] [--port P] [--unit N] [--status CODE] [--state N] [--store N]\n"
    "       nuvak-peer send (--unit N | --to ADDRESS) [--port P] [--count N] [--window W]\n"
    "               [--type once|least|most] [--tag T] [--service GROUP] [--max-retry N]\n"
    "               [--retry-period MS] [--rate R] [--latencies] [--local-port P]\n"
    "       nuvak-peer forge --to ADDRESS --from ADDRESS --from-port P [--port P]\n"
    "               [--op OPCODE] [--type once|least|most] [--session N] [--transaction N]\n"
    "               [--unit N] [--tag PAYLOAD | --service GROUP]\n"
    "       nuvak-peer broadcast [--port P] [--wait MS]\n"
    "       nuvak-peer udp-echo [--port P]\n"
    "       nuvak-peer udp-ping --to ADDRESS [--port P] [--count N] [--service GROUP]\n"
    "       nuvak-peer switch --unit N --service TOUR --log FILE [--count N] [--port P]\n"
    "\n"
    "A requesting unit of the comm protocol. The port is 5111 unless --port\n"
    "gives another (the tour service's is 5110). Numbers are decimal or 0x hex.\n"
    "\n"
    "  serve      (the default, also with no arguments) a comm server that\n"
    "             prints 'listening port P', then 'got PAYLOAD' for every request\n"
    "             it hands on (a request acted on twice shows as two equal lines;\n"
    "             line breaks in PAYLOAD shown as \\n). A camera message is\n"
    "             answered as the tour service would: SET_RESPONSE with error\n"
    "             status --status (default 0) and state --state (default 1);\n"
    "             any other payload comes back unchanged. It serves as the task\n"
    "             manager's unit, or without one as --unit N (default 1), until\n"
    "             SIGINT or SIGTERM, then prints its delivered, repeat, dropped\n"
    "             and refused counts; --store N keeps at most N answers\n"
    "  send       N requests (default 100), at most W unresolved (default 16) and\n"
    "             at most R a second (default: as the window allows); each answer\n"
    "             must be its own request's: the payload TAG-I back, or with\n"
    "             --service a check of GROUP answered with the request's id.\n"
    "             Prints one JSON line: sent, answered, unanswered, wrong, late,\n"
    "             refused, seconds, p50_ms, p99_ms (--latencies: every figure);\n"
    "             --local-port binds the client to P (its first request is session 1,\n"
    "             transaction 1).\n"
    "             Exactly once (--type once, and switch) holds only while every\n"
    "             copy arrives within the 4.3 s the server keeps its answer:\n"
    "             MAX-RETRY x (RETRY-PERIOD + 100) + 1000, the period in whole\n"
    "             100 ms, must not exceed 4300 (3 repeats: at most 1000 ms apart,\n"
    "             the default); a longer schedule is refused\n"
    "  forge      one comm datagram as another host would forge it: source\n"
    "             --from:--from-port, to --to:--port (a broadcast address too),\n"
    "             op-code request, retransmit, maxretry, broadcast, response or\n"
    "             acknowledge (default request), session and transaction (default\n"
    "             1), unit in the header (default 1), payload --tag or a check of\n"
    "             --service GROUP; needs root (a raw socket)\n"
    "  broadcast  a check to every unit at the task manager's broadcast address;\n"
    "             prints 'answer unit U status S' for every answer within --wait\n"
    "             (default 2000 ms)\n"
    "  udp-echo   a bare UDP echo, and udp-ping its timer: the floor of the round\n"
    "  udp-ping   trip figures; with --service the timer sends the service's own\n"
    "             comm request (a check of GROUP) from a plain socket instead\n"
    "  switch     N times a Stop then a Run of TOUR at unit N, from a keyboard of\n"
    "             this unit, timed to the first camera select in that unit's\n"
    "             monitor control log FILE; prints one JSON line (median, p99)\n"
    "Exit status 0, or 1 with a one-line reason on bad arguments or failure.\n";

[[noreturn]] void Fail(const std::string& why) { nuvak::toolargs::Fail("nuvak-peer", why); }

struct Args {
    std::string mode = "serve", to, tag = "r", type = "once", from, op = "request";
    unsigned short unit = 0, port = 5111, maxRetry = 3, localPort = 0, fromPort = 0;
    unsigned short session = 1, transaction = 1;
    unsigned long store = 0;  // serve: bound on stored answers, 0 the server's own
    unsigned short status = 0, state = 1;  // serve: what a camera message is answered with
    unsigned long count = 100, window = 16, retryPeriod = 1000, waitMs = 2000;
    double rate = 0;  // requests per second, 0: as fast as the window allows
    unsigned long service = 0;  // global group id checked at the service
    std::string log;            // monitor control log (switch)
    bool latencies = false;
};

Args Parse(int argc, char** argv) {
    static const char* const kModes[] = {"serve", "send", "broadcast", "udp-echo", "udp-ping", "switch", "forge"};
    Args a;
    int first = 1;
    if (argc > 1 && argv[1][0] != '-') a.mode = argv[first++];
    nuvak::toolargs::ReadAll(argc, argv, first, kUsage, Fail, [&](nuvak::toolargs::Reader& r, const std::string& k) {
        if (k == "--latencies") a.latencies = true;
        else if (k == "--port") a.port = r.Number<unsigned short>(0, 65535);
        else if (k == "--unit") a.unit = r.Number<unsigned short>(1, 64);
        else if (k == "--to") a.to = r.Value();
        else if (k == "--count") a.count = r.Number(1, 10000000);
        else if (k == "--window") a.window = r.Number(1, 100000);
        else if (k == "--type") a.type = r.Value();
        else if (k == "--tag") a.tag = r.Value();
        else if (k == "--service") a.service = r.Number(1, 0xFFFFFFFFul);
        else if (k == "--max-retry") a.maxRetry = r.Number<unsigned short>(0, 100);
        else if (k == "--retry-period") a.retryPeriod = r.Number(1, 600000);
        else if (k == "--wait") a.waitMs = r.Number(0, 600000);
        else if (k == "--log") a.log = r.Value();
        else if (k == "--rate") a.rate = r.Number<double>(0, 1000000);
        else if (k == "--local-port") a.localPort = r.Number<unsigned short>(1, 65535);
        else if (k == "--from") a.from = r.Value();
        else if (k == "--from-port") a.fromPort = r.Number<unsigned short>(1, 65535);
        else if (k == "--op") a.op = r.Value();
        else if (k == "--session") a.session = r.Number<unsigned short>(1, 65535);
        else if (k == "--transaction") a.transaction = r.Number<unsigned short>(0, 65535);
        else if (k == "--store") a.store = r.Number(1, 131072);
        else if (k == "--status") a.status = r.Number<unsigned short>(0, 0xFFFF);
        else if (k == "--state") a.state = r.Number<unsigned short>(0, 0xFFFF);
        else if (k[0] == '-') throw BadArgs("unknown option " + k + " (try --help)");
        else throw BadArgs("unexpected argument " + k + " (try --help)");
    });
    if (std::find(std::begin(kModes), std::end(kModes), a.mode) == std::end(kModes))
        Fail("unknown mode " + a.mode + " (try --help)");
    if (a.type != "once" && a.type != "least" && a.type != "most") Fail("--type takes once, least or most");
    // Exactly once holds only while every copy arrives within the server's hold.
    const bool exactlyOnce = a.mode == "switch" || (a.mode == "send" && a.type == "once");
    if (exactlyOnce && !CommExactlyOnceFits(a.maxRetry, a.retryPeriod)) {
        const unsigned long most = CommExactlyOnceMaxPeriod(a.maxRetry);
        Fail("--max-retry " + std::to_string(a.maxRetry) + " --retry-period " + std::to_string(a.retryPeriod) +
             ": exactly-once copies would span " + std::to_string(CommRetrySpanMs(a.maxRetry, a.retryPeriod)) +
             " ms, beyond the server's hold of " + std::to_string(COMM_EXACTLY_ONCE_HOLD_MS) + " ms less " +
             std::to_string(COMM_EXACTLY_ONCE_MARGIN_MS) + " ms margin; " +
             (most == 0 ? std::string("use fewer repeats")
                        : "with " + std::to_string(a.maxRetry) + " repeats at most " + std::to_string(most) + " ms"));
    }
    static const char* const kOps[] = {"request", "retransmit", "maxretry", "broadcast", "response", "acknowledge"};
    if (std::find(std::begin(kOps), std::end(kOps), a.op) == std::end(kOps))
        Fail("--op takes request, retransmit, maxretry, broadcast, response or acknowledge");
    return a;
}

unsigned long Address(const std::string& text) {
    in_addr in{};
    if (inet_pton(AF_INET, text.c_str(), &in) != 1) Fail("not an IPv4 address: " + text);
    return ntohl(in.s_addr);
}

unsigned short OwnUnit() {
    T_TMGRIF_cfg cfg{};
    if (ITMGR::Getsize(&cfg) != 0) Fail("no task manager data module in this unit");
    return cfg.unit_id;
}

// A check request of a group at the service, carrying `requestId`.
std::string CheckRequest(unsigned short source, unsigned long group, unsigned short requestId) {
    CameraMessage m("GET", requestId, source, 0, source * 10000000ul + 1, 0, 0);
    m.AddElement(new CameraVariableGroupMonitor(static_cast<T_uint_32>(group), 1, "", 0));
    std::string text;
    m.SerializeElement(text, 0);
    return text;
}

std::string Attr(const std::string& text, const std::string& name) {
    const std::string key = " " + name + "=\"";
    const auto p = text.find(key);
    if (p == std::string::npos) return "";
    const auto e = text.find('"', p + key.size());
    return e == std::string::npos ? "" : text.substr(p + key.size(), e - p - key.size());
}

// Stops the loop from inside it (the framework's own stop path).
void StopLoop() { kill(getpid(), SIGINT); }

// ---- serve ----

// The payload on one line: line breaks as \n.
std::string OneLine(const std::string& data) {
    std::string line;
    for (char c : data) {
        if (c == '\n') line += "\\n";
        else if (c == '\r') line += "\\r";
        else line += c;
    }
    return line;
}

class Server : public ICommServerUser {
public:
    explicit Server(const Args& a) : a_(a) {}
    void OnRequest(std::string data) override {
        std::printf("got %s\n", OneLine(data).c_str());
        std::fflush(stdout);
        if (server->SendResponse(0, ACKNOWLEDGE_DEEP, Answer(data)) == 0)
            std::fprintf(stderr, "nuvak-peer: an answer was not sent\n");
    }
    ICommServer* server = nullptr;

private:
    // A camera message comes back as the service's answer; anything else unchanged.
    std::string Answer(const std::string& data) const {
        IXMLCodec* codec = nullptr;
        if (CreateXMLCodec(&codec) != TRUE) return data;
        CameraElementFactory factory;
        Message* message = nullptr;
        std::string text = data;
        codec->Decode(&text, &factory, &message);
        DestroyXMLCodec(&codec);
        if (message == nullptr) return data;
        std::unique_ptr<Message> owned(message);
        message->SetActionType("SET_RESPONSE");
        message->SetErrorStatus(a_.status);
        Variable* v = nullptr;
        if (message->GetVariable(0, &v) == TRUE && v != nullptr) {
            if (auto* g = dynamic_cast<CameraVariableGroup*>(v)) {
                g->SetReturnCode(a_.status);
                g->SetState(a_.state);
            } else if (auto* m = dynamic_cast<CameraVariableGroupMonitor*>(v)) {
                m->SetReturnCode(a_.status);
                m->SetMonList("   1   2  17");
            }
        }
        std::string answer;
        message->SerializeElement(answer, 0);
        return answer;
    }
    const Args& a_;
};

int Serve(const Args& a) {
    // SIGTERM stops the loop as SIGINT does (the framework's stop path).
    signal(SIGTERM, [](int) { kill(getpid(), SIGINT); });
    IFrameWork* fw = CreateFrameWork();
    T_TMGRIF_cfg cfg{};
    const bool tm = ITMGR::Getsize(&cfg) == 0;
    const unsigned short unit = tm && a.unit == 0 ? cfg.unit_id : std::max<unsigned short>(a.unit, 1);
    Server user(a);
    unsigned short err = 0;
    user.server = tm ? CreateCommServer(*fw, user, unit, a.port, err, 1, 1500)
                     : CreateCommServerStandalone(*fw, user, unit, a.port, err, 1, 1500);
    if (user.server == nullptr || err != 0) Fail("cannot open the comm server on port " + std::to_string(a.port));
    if (a.store != 0) SetCommServerStoreBound(user.server, a.store);
    std::printf("listening port %u unit %u\n", GetCommServerPort(user.server), unit);
    std::fflush(stdout);
    fw->Run();
    const CommServerStats st = GetCommServerStats(user.server);
    std::printf("delivered %lu repeats %lu dropped %lu answers %lu conflicts %lu refused %lu\n", st.delivered,
                st.repeats, st.dropped, st.droppedAnswers, st.droppedConflicts, st.refusedFull + st.refusedShare);
    DestroyCommServer(&user.server);
    DestroyFrameWork();
    return 0;
}

// ---- send and broadcast ----

class Sender : public IFrameWorkClient, public IFrameWorkObserver {
public:
    struct Slot : ICommClientUser {
        Sender* owner = nullptr;
        std::size_t index = 0;
        void OnResponse(unsigned short unit, std::string data) override { owner->Done(index, unit, data); }
    };
    Sender(IFrameWork& fw, const Args& a, unsigned short source) : fw_(fw), a_(a), source_(source) {
        slots_.resize(a.count);
        start_.assign(a.count, 0);
        state_.assign(a.count, 0);
        for (std::size_t i = 0; i < a.count; ++i) slots_[i].owner = this, slots_[i].index = i;
        if (a.type == "least") trans_ = TRANSMISSION_AT_LEAST_ONCE;
        else if (a.type == "most") trans_ = TRANSMISSION_AT_MOST_ONCE;
        else if (a.type != "once") Fail("--type once, least or most");
    }
    ~Sender() override {
        if (worker_ == nullptr) return;
        if (timer_ != nullptr) worker_->DestroyTimer(timer_);
        fw_.UnRegister(worker_);
    }
    bool Open(ICommClient* c) {
        client_ = c;
        if (trans_ == TRANSMISSION_AT_MOST_ONCE) c->SetICommClientUser(&mostOnce_);
        mostOnce_.owner = this;
        return fw_.Register(*this, &worker_) && worker_->CreateTimer(*this, true, PRIORITY_NORMAL, &timer_);
    }
    void OnInit() override {
        unsigned int v = 0;
        timer_->Start(100, &v);
        Fill();
    }
    bool OnEvent(EVENTTYPE type, unsigned int value) override {
        if (type != EVENT_TIMER || value != timer_->GetSignalValue()) return true;
        ++ticks_;
        // At most once: nothing tells the requester about a lost one; it is
        // given up one second after it was sent.
        if (trans_ == TRANSMISSION_AT_MOST_ONCE)
            for (std::size_t i = 0; i < sent_; ++i)
                if (state_[i] == 1 && NowMs() - start_[i] > 1000) Resolve(i, false);
        Fill();
        if (ticks_ > 10 * (a_.count / 50 + (a_.maxRetry + 3) * a_.retryPeriod / 1000 + 60)) StopLoop();
        return true;
    }
    std::string Payload(std::size_t i) const {
        if (a_.service != 0) return CheckRequest(source_, a_.service, static_cast<unsigned short>(i + 1));
        return a_.tag + "-" + std::to_string(i);
    }
    void Done(std::size_t i, unsigned short /*unit*/, const std::string& data) {
        if (i >= state_.size() || state_[i] != 1) {
            if (!data.empty()) ++late_;
            return;
        }
        if (data.empty()) {
            Resolve(i, false);
            return;
        }
        bool right = data == Payload(i);
        if (a_.service != 0)
            right = Attr(data, "RequestID") == std::to_string((i + 1) & 0xFFFF) && Attr(data, "ErrorStatus") == "0";
        if (!right) ++wrong_;
        latency_.push_back(NowMs() - start_[i]);
        Resolve(i, true);
        Fill();  // the next request goes out at once, not at the next tick
    }
    // An at-most-once answer names its request only by its payload.
    struct MostOnce : ICommClientUser {
        Sender* owner = nullptr;
        void OnResponse(unsigned short unit, std::string data) override {
            std::size_t i = 0;
            if (owner->a_.service != 0) {
                i = std::strtoul(Attr(data, "RequestID").c_str(), nullptr, 10) - 1;
            } else {
                const auto dash = data.rfind('-');
                i = dash == std::string::npos ? ~0ul : std::strtoul(data.c_str() + dash + 1, nullptr, 10);
            }
            owner->Done(i, unit, data);
        }
    };
    void Report() const {
        std::vector<double> l = latency_;
        std::sort(l.begin(), l.end());
        auto pct = [&](double p) { return l.empty() ? 0.0 : l[std::min(l.size() - 1, std::size_t(p / 100 * l.size()))]; };
        std::printf("{\"sent\":%zu,\"answered\":%zu,\"unanswered\":%zu,\"wrong\":%zu,\"late\":%zu,\"refused\":%zu,"
                    "\"seconds\":%.3f,\"p50_ms\":%.3f,\"p99_ms\":%.3f}\n",
                    sent_, answered_, unanswered_, wrong_, late_, refused_, (end_ - begin_) / 1000.0, pct(50), pct(99));
        if (a_.latencies)
            for (double v : latency_) std::printf("latency %.3f\n", v);
    }

private:
    void Resolve(std::size_t i, bool answered) {
        state_[i] = 2;
        --open_;
        (answered ? answered_ : unanswered_) += 1;
        end_ = NowMs();
        if (answered_ + unanswered_ + refused_ == a_.count) StopLoop();
    }
    void Fill() {
        if (begin_ == 0) begin_ = NowMs();
        const double allowed = a_.rate > 0 ? (NowMs() - begin_) / 1000.0 * a_.rate + 1 : 1e18;
        while (sent_ < a_.count && open_ < a_.window && static_cast<double>(sent_) < allowed) {
            const std::size_t i = sent_++;
            start_[i] = NowMs();
            state_[i] = 1;
            ++open_;
            const unsigned short ok =
                a_.unit != 0 ? client_->SendRequest(&slots_[i], std::vector<unsigned short>{a_.unit}, a_.port, trans_,
                                                    ACKNOWLEDGE_DEEP, Payload(i))
                             : client_->SendRequest(&slots_[i], Address(a_.to), a_.port, trans_, ACKNOWLEDGE_DEEP,
                                                    Payload(i));
            if (ok == 0) {
                state_[i] = 2;
                --open_;
                ++refused_;
            }
        }
        if (answered_ + unanswered_ + refused_ == a_.count) StopLoop();
    }

    IFrameWork& fw_;
    const Args& a_;
    unsigned short source_;
    TRANSMISSION_TYPE trans_ = TRANSMISSION_EXACTLY_ONCE;
    IFrameWorkServer* worker_ = nullptr;
    ITimer* timer_ = nullptr;
    ICommClient* client_ = nullptr;
    std::vector<Slot> slots_;
    MostOnce mostOnce_;
    std::vector<double> start_, latency_;
    std::vector<int> state_;  // 0 not sent, 1 open, 2 resolved
    std::size_t sent_ = 0, open_ = 0, answered_ = 0, unanswered_ = 0, wrong_ = 0, late_ = 0, refused_ = 0;
    unsigned long ticks_ = 0;
    double begin_ = 0, end_ = 0;
};

int Send(const Args& a) {
    if ((a.unit == 0) == a.to.empty()) Fail("send needs --unit N or --to ADDRESS");
    IFrameWork* fw = CreateFrameWork();
    unsigned short err = 0;
    ICommClient* client = CreateCommClient(*fw, nullptr, OwnUnit(), a.localPort, err, a.maxRetry, a.retryPeriod);
    if (client == nullptr || err != 0) Fail("cannot open the comm client");
    auto sender = std::make_unique<Sender>(*fw, a, OwnUnit());
    if (!sender->Open(client)) Fail("cannot register with the framework");
    fw->Run();
    sender->Report();
    DestroyCommClient(&client);
    sender.reset();
    DestroyFrameWork();
    return 0;
}

// Sends the broadcast from inside the loop and listens for `waitMs` of
// wall-clock time (a periodic tick checks the clock).
class Listener : public ICommClientUser, public IFrameWorkClient, public IFrameWorkObserver {
public:
    Listener(ICommClient*& client, const Args& a, unsigned short unit) : client_(client), a_(a), unit_(unit) {}
    void OnResponse(unsigned short unit, std::string data) override {
        std::printf("answer unit %u status %s\n", unit, Attr(data, "ErrorStatus").c_str());
        std::fflush(stdout);
    }
    void OnInit() override {
        unsigned int v = 0;
        timer->Start(100, &v);
        start_ = NowMs();
        // A check of this unit's tour 1: the other units answer that it is not theirs.
        if (client_->SendBroadcast(this, a_.port, ACKNOWLEDGE_DEEP,
                                   CheckRequest(unit_, unit_ * 10000000ul + unit_ * 1000ul + 1, 1)) == 0) {
            std::fprintf(stderr, "nuvak-peer: the broadcast could not be sent\n");
            StopLoop();
        }
    }
    bool OnEvent(EVENTTYPE type, unsigned int value) override {
        if (type == EVENT_TIMER && value == timer->GetSignalValue() && NowMs() - start_ >= a_.waitMs) StopLoop();
        return true;
    }
    ITimer* timer = nullptr;

private:
    ICommClient*& client_;
    const Args& a_;
    unsigned short unit_;
    double start_ = 0;
};

int Broadcast(const Args& a) {
    IFrameWork* fw = CreateFrameWork();
    const unsigned short unit = OwnUnit();
    T_TMGRIF_HostInfo host{};
    if (ITMGR::Gethost(0, &host) != 0 || host.broadcast_ipa == 0) Fail("the task manager gives no broadcast address");
    unsigned short err = 0;
    ICommClient* client = nullptr;
    Listener listener(client, a, unit);
    client = CreateCommClient(*fw, &listener, unit, 0, err, 3, 1000);
    if (client == nullptr || err != 0) Fail("cannot open the comm client");
    client->SetBroadcastIPA(host.broadcast_ipa);
    IFrameWorkServer* worker = nullptr;
    if (!fw->Register(listener, &worker) || !worker->CreateTimer(listener, true, PRIORITY_NORMAL, &listener.timer))
        Fail("cannot register with the framework");
    fw->Run();
    worker->DestroyTimer(listener.timer);
    fw->UnRegister(worker);
    DestroyCommClient(&client);
    DestroyFrameWork();
    return 0;
}

// ---- command to switch ----

// A tour request (run or stop) from a keyboard at monitor 1 of `source`.
std::string TourRequest(unsigned short source, unsigned long tour, unsigned short action, unsigned short requestId) {
    CameraMessage m("SET_REQUEST", requestId, source, 0, source * 10000000ul + 1, 0, 0);
    m.AddElement(new CameraVariableGroup(static_cast<T_uint_32>(tour), MON_TOUR_TYP_GRP,
                                         static_cast<unsigned short>(0x0100 + source), source, 10, action, 0, 0));
    std::string text;
    m.SerializeElement(text, 0);
    return text;
}

// Watches the log from a thread of its own (with every signal blocked, so
// the framework's signals reach the loop): the time the first camera select
// appears after `armed` was set.
class LogWatch {
public:
    explicit LogWatch(std::string path) : path_(std::move(path)) {
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &old);
        thread_ = std::thread([this] { Watch(); });
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
    ~LogWatch() {
        stop_ = true;
        thread_.join();
    }
    void Arm() {
        seen_ = 0;
        armed_ = true;
    }
    double Seen() const { return seen_; }

private:
    void Watch() {
        std::ifstream in(path_);
        std::string line;
        while (!stop_) {
            if (std::getline(in, line)) {
                if (armed_ && line.find("\"camera_select\"") != std::string::npos) {
                    seen_ = NowMs();
                    armed_ = false;
                }
                continue;
            }
            in.clear();
            usleep(100);
        }
    }
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stop_{false}, armed_{false};
    std::atomic<double> seen_{0};
};

class Switcher : public ICommClientUser, public IFrameWorkClient, public IFrameWorkObserver {
public:
    Switcher(IFrameWork& fw, const Args& a, ICommClient* c, unsigned short source)
        : fw_(fw), a_(a), client_(c), source_(source), watch_(a.log) {}
    ~Switcher() override {
        if (worker_ == nullptr) return;
        if (timer_ != nullptr) worker_->DestroyTimer(timer_);
        fw_.UnRegister(worker_);
    }
    bool Open() { return fw_.Register(*this, &worker_) && worker_->CreateTimer(*this, true, PRIORITY_NORMAL, &timer_); }
    void OnInit() override {
        unsigned int v = 0;
        timer_->Start(100, &v);
    }
    void OnResponse(unsigned short, std::string data) override {
        if (step_ == 1) step_ = 2;  // stopped (or given up): settle, then run
        else if (step_ == 3) runAnswered_ = true, runOk_ = !data.empty();
    }
    bool OnEvent(EVENTTYPE type, unsigned int value) override {
        if (type != EVENT_TIMER || value != timer_->GetSignalValue()) return true;
        ++ticks_;
        if (step_ == 0) {
            step_ = 1;
            Send(MON_TOUR_ACT_DEL);
        } else if (step_ == 2 && ++settle_ >= 3) {
            settle_ = 0;
            step_ = 3;
            runAnswered_ = false;
            watch_.Arm();
            t0_ = NowMs();
            Send(MON_TOUR_ACT_RUN);
        } else if (step_ == 3 && runAnswered_ && (watch_.Seen() != 0 || NowMs() - t0_ > 6000)) {
            if (watch_.Seen() != 0) latency_.push_back(watch_.Seen() - t0_);
            else ++missed_;
            step_ = ++done_ < a_.count ? 0 : 4;
            if (step_ == 4) StopLoop();
        }
        if (ticks_ > 10 * 60 * 20) StopLoop();
        return true;
    }
    void Report() const {
        std::vector<double> l = latency_;
        std::sort(l.begin(), l.end());
        auto pct = [&](double p) { return l.empty() ? 0.0 : l[std::min(l.size() - 1, std::size_t(p / 100 * l.size()))]; };
        std::printf("{\"trials\":%lu,\"switched\":%zu,\"missed\":%lu,\"p50_ms\":%.3f,\"p99_ms\":%.3f,\"max_ms\":%.3f}\n",
                    done_, l.size(), missed_, pct(50), pct(99), l.empty() ? 0.0 : l.back());
    }

private:
    void Send(unsigned short action) {
        client_->SendRequest(this, std::vector<unsigned short>{a_.unit}, a_.port, TRANSMISSION_EXACTLY_ONCE,
                             ACKNOWLEDGE_DEEP, TourRequest(source_, a_.service, action, ++requestId_));
    }
    IFrameWork& fw_;
    const Args& a_;
    ICommClient* client_;
    unsigned short source_;
    LogWatch watch_;
    IFrameWorkServer* worker_ = nullptr;
    ITimer* timer_ = nullptr;
    int step_ = 0, settle_ = 0;
    bool runAnswered_ = false, runOk_ = false;
    unsigned short requestId_ = 0;
    unsigned long ticks_ = 0, done_ = 0, missed_ = 0;
    double t0_ = 0;
    std::vector<double> latency_;
};

int Switch(const Args& a) {
    if (a.unit == 0 || a.service == 0 || a.log.empty()) Fail("switch needs --unit, --service and --log");
    IFrameWork* fw = CreateFrameWork();
    unsigned short err = 0;
    ICommClient* client = CreateCommClient(*fw, nullptr, OwnUnit(), 0, err, a.maxRetry, a.retryPeriod);
    if (client == nullptr || err != 0) Fail("cannot open the comm client");
    {
        Switcher s(*fw, a, client, OwnUnit());
        if (!s.Open()) Fail("cannot register with the framework");
        fw->Run();
        s.Report();
    }
    DestroyCommClient(&client);
    DestroyFrameWork();
    return 0;
}

// ---- the bare UDP floor ----

int UdpSocket(unsigned short port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) Fail("cannot bind UDP port");
    return fd;
}

int UdpEcho(const Args& a) {
    const int fd = UdpSocket(a.port);
    std::printf("listening port %u\n", a.port);
    std::fflush(stdout);
    char buf[65536];
    for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n >= 0) sendto(fd, buf, static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
}

int UdpPing(const Args& a) {
    const int fd = UdpSocket(0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(a.port);
    to.sin_addr.s_addr = htonl(Address(a.to));
    // Without --service: as long as a comm request of the service (a check
    // and its header). With it: that comm request itself, at least once,
    // each with its own session id, straight to the service's port.
    std::string payload(420, 'x');
    const unsigned short unit = a.service != 0 ? OwnUnit() : 0;
    std::vector<double> l;
    char buf[65536];
    std::size_t lost = 0;
    for (unsigned long i = 0; i < a.count; ++i) {
        if (a.service != 0) {
            CommSession session(static_cast<unsigned short>(i % 60000 + 1), ACKNOWLEDGE_DEEP, TRANSMISSION_AT_LEAST_ONCE);
            CommTransaction t(OPCODE_CLIENT_REQUEST, 1, unit, 0, 0, a.port);
            CommEncoder enc(&session, &t, 0, CheckRequest(unit, a.service, static_cast<unsigned short>(i + 1)));
            payload = enc.Msg();
        }
        const double t0 = NowMs();
        sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) {
            ++lost;
            continue;
        }
        recv(fd, buf, sizeof buf, 0);
        l.push_back(NowMs() - t0);
    }
    std::sort(l.begin(), l.end());
    auto pct = [&](double p) { return l.empty() ? 0.0 : l[std::min(l.size() - 1, std::size_t(p / 100 * l.size()))]; };
    std::printf("{\"sent\":%lu,\"answered\":%zu,\"unanswered\":%zu,\"p50_ms\":%.3f,\"p99_ms\":%.3f}\n", a.count,
                l.size(), lost, pct(50), pct(99));
    return 0;
}

// ---- a forged datagram ----

// One comm datagram in an IPv4/UDP packet written by hand, so that its source
// address and port are whatever --from and --from-port say.
int Forge(const Args& a) {
    if (a.to.empty() || a.from.empty() || a.fromPort == 0) Fail("forge needs --to, --from and --from-port");
    static const std::pair<const char*, OPCODE_TYPE> kOps[] = {
        {"request", OPCODE_CLIENT_REQUEST},  {"retransmit", OPCODE_CLIENT_RETRANSMIT},
        {"maxretry", OPCODE_CLIENT_MAX_RETRY}, {"broadcast", OPCODE_CLIENT_BROADCAST},
        {"response", OPCODE_SERVER_RESPONSE}, {"acknowledge", OPCODE_SERVER_ACKNOWLEDGE}};
    OPCODE_TYPE op = OPCODE_CLIENT_REQUEST;
    for (const auto& o : kOps)
        if (a.op == o.first) op = o.second;
    const TRANSMISSION_TYPE trans = a.type == "least" ? TRANSMISSION_AT_LEAST_ONCE
                                    : a.type == "most" ? TRANSMISSION_AT_MOST_ONCE
                                                       : TRANSMISSION_EXACTLY_ONCE;
    const unsigned short unit = std::max<unsigned short>(a.unit, 1);
    const std::string payload = a.service != 0 ? CheckRequest(unit, a.service, 1) : a.tag;
    CommSession session(a.session, ACKNOWLEDGE_DEEP, trans);
    CommTransaction t(op, a.transaction, unit, 0, 0, 0);
    CommEncoder enc(&session, &t, op == OPCODE_CLIENT_REQUEST ? 0 : 1, payload);
    if (enc.ValidateErr() != 0) Fail("the datagram cannot be encoded");
    const std::string& d = enc.Msg();
    std::vector<unsigned char> p(28 + d.size(), 0);
    p[0] = 0x45;  // IPv4, 20-byte header
    nuvak::StoreBE16(&p[2], static_cast<std::uint16_t>(p.size()));
    p[8] = 64;  // time to live
    p[9] = IPPROTO_UDP;
    nuvak::StoreBE32(&p[12], static_cast<std::uint32_t>(Address(a.from)));
    nuvak::StoreBE32(&p[16], static_cast<std::uint32_t>(Address(a.to)));
    std::uint32_t sum = 0;
    for (int i = 0; i < 20; i += 2) sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    nuvak::StoreBE16(&p[10], static_cast<std::uint16_t>(~sum));
    nuvak::StoreBE16(&p[20], a.fromPort);
    nuvak::StoreBE16(&p[22], a.port);
    nuvak::StoreBE16(&p[24], static_cast<std::uint16_t>(8 + d.size()));  // checksum 0: none
    std::memcpy(&p[28], d.data(), d.size());
    const int fd = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    if (fd < 0) Fail(std::string("raw socket: ") + std::strerror(errno) + " (needs root)");
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(static_cast<std::uint32_t>(Address(a.to)));
    const bool sent = sendto(fd, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
                      static_cast<ssize_t>(p.size());
    const int e = errno;
    close(fd);
    if (!sent) Fail(std::string("sendto: ") + std::strerror(e));
    std::printf("forged %zu bytes %s:%u -> %s:%u\n", d.size(), a.from.c_str(), a.fromPort, a.to.c_str(), a.port);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Args a = Parse(argc, argv);
    if (a.mode == "serve") return Serve(a);
    if (a.mode == "send") return Send(a);
    if (a.mode == "broadcast") return Broadcast(a);
    if (a.mode == "udp-echo") return UdpEcho(a);
    if (a.mode == "udp-ping") return UdpPing(a);
    if (a.mode == "switch") return Switch(a);
    if (a.mode == "forge") return Forge(a);
    Fail("unknown mode " + a.mode + " (try --help)");
}
