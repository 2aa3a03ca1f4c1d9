// nuvak-request: the command-line face of the comm protocol. Sends a group
// request (or raw XML) through a real comm client (deep acknowledgement,
// exactly once, with its retries) to a unit or an address, waits for the
// answer and prints it decoded; or sends N requests at a rate and reports
// answered, lost and latency percentiles.
//
// Without a task manager data module on the machine the client is built
// without it (only 127.0.0.1 counts as a local address); --unit needs the
// unit table (tools/nuvak-units writes one).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "commencoder.h"
#include "framework.h"
#include "icommclient.h"
#include "itmgr.h"
#include "request.h"
#include "sysdefs.h"
#include "toolargs.h"

using namespace nuvak::request;

namespace {

const char kUsage[] =
    "usage: nuvak-request [--to ADDRESS | --unit N] [--port 5110] [--monitor ID] [--user N]\n"
    "                     [--device N] [--priority N] [--json] [--dry-run] ACTION GROUP\n"
    "       nuvak-request [options] --xml FILE\n"
    "\n"
    "Sends a group request to the tour service of a unit (port 5110) as a \"Camera\"\n"
    "message, deep and exactly once with retries, and prints the decoded answer.\n"
    "\n"
    "  ACTION          run, pause, next, prev, resume, stop (a group tour),\n"
    "                  preset (show a group preset), seize (take the monitors of a\n"
    "                  running tour), check (list the monitors of a tour; --type 3\n"
    "                  for a group preset)\n"
    "  GROUP           global group id: unit * 10000000 + logical id\n"
    "  --to ADDRESS    the server's IPv4 address or host name (default 127.0.0.1)\n"
    "  --unit N        the server's unit (1..64), looked up in the unit table\n"
    "  --port P        the server's UDP port (default 5110)\n"
    "  --monitor ID    the requester's global monitor id (default source*10000000+1)\n"
    "  --user N        user id (default 1)\n"
    "  --device N      device id (default 1)\n"
    "  --priority N    priority, lower is stronger (default 10)\n"
    "  --action N      send this raw action value instead of the ACTION's\n"
    "  --type N        send this raw group type instead of the ACTION's\n"
    "  --xml FILE      send the file's text as the request ('-' for stdin)\n"
    "  --json          print the answer as JSON\n"
    "  --dry-run       print the datagram that would be sent, byte for byte\n"
    "  --count N       send N requests (load test; default 1)\n"
    "  --rate R        requests per second for --count (default 100)\n"
    "  --source N      source unit (default: the task manager's unit, else the\n"
    "                  unit of --monitor, else the unit of GROUP)\n"
    "  --max-retry N   repeats after the first transmission (default 3)\n"
    "  --retry-period MS  time between transmissions (default 1000)\n"
    "                  Exactly once holds only while every copy arrives within\n"
    "                  the 4.3 s the server keeps its answer: N x (MS + 100) + 1000,\n"
    "                  MS in whole 100 ms, must not exceed 4300 (3 repeats: at most\n"
    "                  1000 ms; 1 repeat: 3200 ms); a longer schedule is refused\n"
    "  --local-port P  the client's own UDP port (default: any free port); each run\n"
    "                  takes session ids and RequestIDs from the clock, so a run\n"
    "                  soon after another from the same port is acted on anew\n"
    "Numbers are decimal or 0x hex.\n"
    "Exit status: 0 answered with status 0; 2 answered with an error status;\n"
    "3 no answer (or, for --count, any request lost); 1 bad arguments or failure.\n";

[[noreturn]] void Fail(const std::string& reason) { nuvak::toolargs::Fail("nuvak-request", reason); }

using nuvak::toolargs::NowMs;

// Drives the sending on the framework loop: a 100 ms timer releases the
// requests at the asked rate; every answer or give-up is recorded; the loop
// is stopped (SIGINT, the framework's stop path) when all are resolved.
class Requester : public IFrameWorkClient, public IFrameWorkObserver {
public:
    struct Pending : ICommClientUser {
        Requester* owner = nullptr;
        std::size_t index = 0;
        void OnResponse(unsigned short unitId, std::string data) override {
            owner->Done(index, unitId, data, CommClientGaveUpOffline(owner->client_));
        }
    };
    struct Result {
        bool sent = false, refused = false, resolved = false, answered = false;
        bool offline = false;  // the client gave the unit up as offline, sending nothing
        double start = 0, latency = 0;
        unsigned short unit = 0;
        unsigned short status = 0;  // load runs keep only the answer's error status
        std::string data;           // single requests keep the whole answer
    };

    Requester(IFrameWork& fw, const Options& o, unsigned short source, RunIds ids)
        : fw_(fw), o_(o), source_(source), ids_(ids) {
        results_.resize(o.count);
        pending_.resize(o.count);
        for (std::size_t i = 0; i < o.count; ++i) pending_[i].owner = this, pending_[i].index = i;
    }
    ~Requester() override {
        if (worker_ != nullptr) {
            if (timer_ != nullptr) worker_->DestroyTimer(timer_);
            fw_.UnRegister(worker_);
        }
    }
    bool Open(ICommClient* client) {
        client_ = client;
        return fw_.Register(*this, &worker_) && worker_->CreateTimer(*this, true, PRIORITY_NORMAL, &timer_);
    }
    void OnInit() override {
        unsigned int v = 0;
        timer_->Start(100, &v);
        SendDue();
    }
    bool OnEvent(EVENTTYPE type, unsigned int value) override {
        if (type == EVENT_TIMER && value == timer_->GetSignalValue() && !stopping_) {
            ++ticks_;
            SendDue();
            const double budgetTicks =
                static_cast<double>(o_.count) / o_.rate * 10.0 + (o_.maxRetry + 2.0) * o_.retryPeriod / 100.0 + 50.0;
            if (ticks_ > budgetTicks) Stop();
        }
        return true;
    }
    void Done(std::size_t i, unsigned short unit, const std::string& data, bool offline) {
        Result& r = results_[i];
        if (r.resolved) return;
        r.resolved = true;
        r.answered = !data.empty();
        r.offline = !r.answered && offline;
        r.latency = NowMs() - r.start;
        r.unit = unit;
        if (o_.count == 1)
            r.data = data;
        else if (r.answered)
            r.status = ParseAnswer(data).ErrorStatus();
        ++resolved_;
        if (resolved_ == o_.count) Stop();
    }
    const std::vector<Result>& Results() const { return results_; }

private:
    void Stop() {
        if (stopping_) return;
        stopping_ = true;
        kill(getpid(), SIGINT);
    }
    void SendDue() {
        credit_ += o_.rate / 10.0;
        if (next_ == 0 && credit_ < 1.0) credit_ = 1.0;
        while (next_ < o_.count && credit_ >= 1.0) {
            credit_ -= 1.0;
            const std::size_t i = next_++;
            Result& r = results_[i];
            const std::string xml = BuildRequest(o_, source_, RequestIdOf(ids_, i));
            r.start = NowMs();
            unsigned short ok;
            if (o_.unit != 0)
                ok = client_->SendRequest(&pending_[i], std::vector<unsigned short>{o_.unit}, o_.port,
                                          TRANSMISSION_EXACTLY_ONCE, ACKNOWLEDGE_DEEP, xml);
            else
                ok = client_->SendRequest(&pending_[i], o_.toIpa, o_.port, TRANSMISSION_EXACTLY_ONCE,
                                          ACKNOWLEDGE_DEEP, xml);
            r.sent = ok != 0;
            if (!r.sent) {
                r.refused = true;
                r.resolved = true;
                if (++resolved_ == o_.count) Stop();
            }
        }
    }

    IFrameWork& fw_;
    const Options& o_;
    unsigned short source_;
    RunIds ids_;
    IFrameWorkServer* worker_ = nullptr;
    ITimer* timer_ = nullptr;
    ICommClient* client_ = nullptr;
    std::vector<Result> results_;
    std::vector<Pending> pending_;
    std::size_t next_ = 0, resolved_ = 0;
    double credit_ = 0;
    unsigned long ticks_ = 0;
    bool stopping_ = false;
};

unsigned short SourceUnit(const Options& o, bool& haveTaskManager) {
    T_TMGRIF_cfg cfg{};
    haveTaskManager = ITMGR::Getsize(&cfg) == 0;
    if (o.source != 0) return o.source;
    if (haveTaskManager && cfg.unit_id != 0) return cfg.unit_id;
    const unsigned long fromMonitor = o.monitor / SYS_GLOBAL_GROUP_FACTOR;
    if (fromMonitor >= 1 && fromMonitor <= 64) return static_cast<unsigned short>(fromMonitor);
    const unsigned long fromGroup = o.group / SYS_GLOBAL_GROUP_FACTOR;
    if (fromGroup >= 1 && fromGroup <= 64) return static_cast<unsigned short>(fromGroup);
    return 1;
}

int ReportOne(const Options& o, const Requester::Result& r) {
    if (r.refused) {
        std::fprintf(stderr, "nuvak-request: the comm client refused the request (too long, or no session free)\n");
        return 1;
    }
    if (!r.answered) {
        const std::string peer =
            o.unit != 0 ? "unit " + std::to_string(o.unit) : (o.to.empty() ? "127.0.0.1" : o.to);
        // The client's own verdict: a unit the table reports offline is given
        // up without a transmission (after 250 ms, whatever the retry period).
        const bool offline = r.offline;
        if (o.json)
            std::printf("{\"answered\":false,\"unit\":%u,\"peer\":%s,\"offline\":%s}\n", o.unit,
                        JsonString(peer).c_str(), offline ? "true" : "false");
        else if (offline)
            std::printf("no answer: unit %u is offline (no address in the unit table, or IDLE)\n", o.unit);
        else
            std::printf("no answer from %s port %u after %u transmissions\n", peer.c_str(), o.port, o.maxRetry + 1u);
        return 3;
    }
    const Answer a = ParseAnswer(r.data);
    const std::string out = o.json ? FormatJson(a, r.unit, r.latency, r.data) : FormatText(a, r.unit, r.latency);
    std::fputs(out.c_str(), stdout);
    return a.wellFormed && a.ErrorStatus() == 0 ? 0 : 2;
}

int ReportLoad(const Options& o, const std::vector<Requester::Result>& results, double seconds) {
    std::size_t answered = 0, refused = 0, lost = 0;
    std::map<unsigned short, std::size_t> statuses;
    std::vector<double> lat;
    for (const auto& r : results) {
        if (r.refused) {
            ++refused;
        } else if (r.answered) {
            ++answered;
            lat.push_back(r.latency);
            ++statuses[r.status];
        } else {
            ++lost;
        }
    }
    std::sort(lat.begin(), lat.end());
    const double p50 = Percentile(lat, 50), p90 = Percentile(lat, 90), p99 = Percentile(lat, 99),
                 max = lat.empty() ? 0.0 : lat.back();
    if (o.json) {
        std::printf(
            "{\"sent\":%zu,\"rate\":%.1f,\"seconds\":%.3f,\"answered\":%zu,\"lost\":%zu,\"refused\":%zu,"
            "\"latency_ms\":{\"p50\":%.3f,\"p90\":%.3f,\"p99\":%.3f,\"max\":%.3f},\"statuses\":{",
            results.size(), o.rate, seconds, answered, lost, refused, p50, p90, p99, max);
        bool first = true;
        for (const auto& kv : statuses) {
            const char* n = NuvakErrorName(kv.first);
            std::printf("%s%s:%zu", first ? "" : ",", JsonString(n != nullptr ? n : "UNKNOWN").c_str(), kv.second);
            first = false;
        }
        std::printf("}}\n");
    } else {
        std::printf("sent %zu at %.1f/s in %.3f s: answered %zu, lost %zu, refused %zu\n", results.size(), o.rate,
                    seconds, answered, lost, refused);
        std::printf("latency ms: p50 %.3f p90 %.3f p99 %.3f max %.3f\n", p50, p90, p99, max);
        for (const auto& kv : statuses) std::printf("status %s: %zu\n", StatusText(kv.first).c_str(), kv.second);
    }
    return lost == 0 && refused == 0 ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    Options o;
    std::string reason;
    if (!ParseOptions(argc, argv, o, reason)) Fail(reason);
    if (o.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (o.to.empty() && o.unit == 0) o.toIpa = 0x7F000001ul;
    if (!LoadXml(o, reason)) Fail(reason);

    bool haveTaskManager = false;
    const unsigned short source = SourceUnit(o, haveTaskManager);
    if (source == 0) Fail("no source unit: give --source N");

    if (o.dryRun) {
        const std::string xml = BuildRequest(o, source, 1);
        CommSession s(1, ACKNOWLEDGE_DEEP, TRANSMISSION_EXACTLY_ONCE);
        CommTransaction t(OPCODE_CLIENT_REQUEST, 1, source, o.unit, o.toIpa, o.port);
        CommEncoder e(&s, &t, 0, xml);
        if (e.ValidateErr() != 0) Fail("the datagram cannot be sent (empty payload or longer than 15499 bytes)");
        std::fwrite(e.Msg().data(), 1, e.Msg().size(), stdout);
        return 0;
    }

    IFrameWork* fw = CreateFrameWork();
    if (fw == nullptr) Fail("cannot create the framework");
    int rc = 1;
    {
        unsigned short err = 0;
        ICommClient* client =
            haveTaskManager
                ? CreateCommClient(*fw, nullptr, source, o.localPort, err, o.maxRetry, o.retryPeriod)
                : CreateCommClientStandalone(*fw, nullptr, source, o.localPort, err, o.maxRetry, o.retryPeriod);
        if (client == nullptr || err != 0) {
            if (client != nullptr) DestroyCommClient(&client);
            DestroyFrameWork();
            const std::string why = LastSetupError();
            Fail("cannot open the comm client" + (why.empty() ? std::string() : ": " + why));
        }
        // Ids of this run, distinct from those of runs shortly before it
        // (the steady clock is the machine's, shared by every process).
        const RunIds ids = SeedIds(static_cast<std::uint64_t>(NowMs()));
        CommClientStartSessionsAt(client, ids.firstSession);
        auto requester = std::make_unique<Requester>(*fw, o, source, ids);
        if (!requester->Open(client)) {
            DestroyCommClient(&client);
            DestroyFrameWork();
            Fail("cannot set up the request timer: " + LastSetupError());
        }
        const double start = NowMs();
        fw->Run();
        const double seconds = (NowMs() - start) / 1000.0;
        if (o.count == 1)
            rc = ReportOne(o, requester->Results()[0]);
        else
            rc = ReportLoad(o, requester->Results(), seconds);
        DestroyCommClient(&client);
        requester.reset();
    }
    DestroyFrameWork();
    std::fflush(stdout);
    return rc;
}
