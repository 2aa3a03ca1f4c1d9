#include "rig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "cameramessage.h"
#include "commdecoder.h"
#include "commencoder.h"
#include "sysdefs.h"

namespace nuvak::rig {

using namespace std::chrono_literals;

namespace {

std::string FromEnv(const char* var, const char* fallback) {
    const char* v = std::getenv(var);
    return (v != nullptr && *v != '\0') ? v : fallback;
}

// The framework signal (SIGRTMAX - 25) without linking the framework.
int FrameworkSignal() { return SIGRTMAX - 25; }

}  // namespace

std::string Bin(const std::string& name) {
    if (name == "nuvak") return FromEnv("NUVAK_BIN", NUVAK_BIN);
    if (name == "nuvak-tmgr") return FromEnv("NUVAK_TMGR_BIN", NUVAK_TMGR_BIN);
    if (name == "nuvak-monctl") return FromEnv("NUVAK_MONCTL_BIN", NUVAK_MONCTL_BIN);
    if (name == "nuvak-dbtool") return FromEnv("NUVAK_DBTOOL_BIN", NUVAK_DBTOOL_BIN);
    return name;
}

// ---- requests and answers ----

std::string Reply::Attr(const std::string& name) const {
    const std::string key = " " + name + "=\"";
    const auto p = text.find(key);
    if (p == std::string::npos) return "";
    const auto b = p + key.size();
    const auto e = text.find('"', b);
    return e == std::string::npos ? "" : text.substr(b, e - b);
}

long Reply::Num(const std::string& name) const {
    const std::string v = Attr(name);
    return v.empty() ? -1 : std::strtol(v.c_str(), nullptr, 10);
}

std::string GroupXml(unsigned short unit, unsigned long logical, unsigned short type, unsigned short action,
                     unsigned long priority, unsigned short device, unsigned short monitor, unsigned short user,
                     int groupUnit) {
    const unsigned long gu = groupUnit < 0 ? unit : static_cast<unsigned long>(groupUnit);
    CameraMessage m("SET", 1, unit, 0, unit * 10000000ul + monitor, 0, 0);
    m.AddElement(new CameraVariableGroup(static_cast<T_uint_32>(gu * 10000000ul + logical), type, device, user,
                                         static_cast<T_uint_32>(priority), action, 0, 0));
    std::string text;
    m.SerializeElement(text, 0);
    return text;
}

std::string CheckXml(unsigned short unit, unsigned long logical, unsigned short type, int groupUnit) {
    const unsigned long gu = groupUnit < 0 ? unit : static_cast<unsigned long>(groupUnit);
    CameraMessage m("GET", 1, unit, 0, unit * 10000000ul + 1, 0, 0);
    m.AddElement(new CameraVariableGroupMonitor(static_cast<T_uint_32>(gu * 10000000ul + logical), type, "", 0));
    std::string text;
    m.SerializeElement(text, 0);
    return text;
}

std::string Datagram(unsigned short unit, unsigned short session, unsigned short transaction, bool exactlyOnce,
                     const std::string& payload) {
    CommSession s(session, ACKNOWLEDGE_DEEP, exactlyOnce ? TRANSMISSION_EXACTLY_ONCE : TRANSMISSION_AT_LEAST_ONCE);
    CommTransaction t(OPCODE_CLIENT_REQUEST, transaction, unit, unit, 0x7F000001ul, 5110);
    CommEncoder enc(&s, &t, 1, payload);
    return enc.Msg();
}

// ---- Client ----

Client::Client() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    const int size = 8 << 20;
    // FORCE needs CAP_NET_ADMIN (root in the test namespace); plain as fallback.
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (setsockopt(fd_, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error(std::string("bind: ") + std::strerror(errno));
}

Client::~Client() {
    if (fd_ >= 0) close(fd_);
}

void Client::SendTo(unsigned short port, const std::string& bytes) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

Reply Client::Receive(Ms wait) const {
    Reply r;
    const auto end = std::chrono::steady_clock::now() + wait;
    static thread_local char buf[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<Ms>(end - std::chrono::steady_clock::now()).count();
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, left > 0 ? static_cast<int>(left) : 0) <= 0) return r;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n <= 0) continue;
        CommDecoder dec(ntohl(from.sin_addr.s_addr), ntohs(from.sin_port), static_cast<unsigned>(n),
                        std::string(buf, static_cast<std::size_t>(n)));
        if (dec.ValidateErr() != 0) continue;
        r.received = true;
        r.session = dec.GetCommSession().SessionID();
        r.transaction = dec.GetCommTransaction().TransactionID();
        r.text = dec.GetData();
        return r;
    }
}

// ---- monitor control log ----

MonMatch Kind(const std::string& kind, unsigned long monitor) {
    return [kind, monitor](const MonLine& l) { return l.dir == "in" && l.kind == kind && l.Get("monitor") == monitor; };
}

namespace {

std::vector<MonLine> ParseMonLog(const std::string& text) {
    // {"dir":"in","time":"2026-12-07T02:08:01.123Z","kind":"seize","command":32,...}
    std::vector<MonLine> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        MonLine l;
        std::size_t pos = 0;
        while ((pos = line.find('"', pos)) != std::string::npos) {
            const std::size_t end = line.find('"', pos + 1);
            if (end == std::string::npos || end + 2 > line.size()) break;
            const std::string key = line.substr(pos + 1, end - pos - 1);
            if (line[end + 1] != ':') {
                pos = end + 1;
                continue;
            }
            const std::size_t v = end + 2;
            if (v < line.size() && line[v] == '"') {
                const std::size_t ve = line.find('"', v + 1);
                if (ve == std::string::npos) break;
                const std::string value = line.substr(v + 1, ve - v - 1);
                if (key == "dir") l.dir = value;
                if (key == "kind") l.kind = value;
                if (key == "time" && value.size() >= 23) {
                    const long long h = std::atoll(value.c_str() + 11), m = std::atoll(value.c_str() + 14),
                                    s = std::atoll(value.c_str() + 17), ms = std::atoll(value.c_str() + 20);
                    l.ms = ((h * 60 + m) * 60 + s) * 1000 + ms;
                }
                pos = ve + 1;
            } else {
                l.f[key] = std::strtoul(line.c_str() + v, nullptr, 10);
                pos = v;
            }
        }
        if (!l.dir.empty()) lines.push_back(std::move(l));
    }
    return lines;
}

}  // namespace

// ---- Installation ----

Installation::Installation(const Options& o) : unit_(o.unit), opts_(o) {
    char tmpl[] = "/tmp/nuvak-rel.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    if (!WriteDatabase(o.description, false)) throw std::runtime_error("nuvak-dbtool refused the description");
    std::vector<std::string> tmgrArgs{Bin("nuvak-tmgr"), "--unit", std::to_string(o.unit), "--interval", "1"};
    tmgrArgs.insert(tmgrArgs.end(), o.tmgrArgs.begin(), o.tmgrArgs.end());
    tmgr_ = std::make_unique<Proc>(tmgrArgs, dir_ + "/tmgr.out");
    if (!tmgr_->WaitFor("ready", o.readyLimit)) throw std::runtime_error("nuvak-tmgr not ready: " + tmgr_->Output());
    StartMonctl();
    service_ = std::make_unique<Proc>(std::vector<std::string>{Bin("nuvak")}, dir_ + "/nuvak.out",
                                      o.serviceSigpending);
    const auto end = std::chrono::steady_clock::now() + o.readyLimit;
    while (std::chrono::steady_clock::now() < end) {
        if (Check(1, MON_TOUR_TYP_GRP, Ms(500)).received) return;
        if (!service_->Running()) break;
    }
    throw std::runtime_error("the service did not answer: " + service_->Output());
}

Installation::~Installation() {
    if (service_ && service_->Running()) StopService(Ms(10000));
    service_.reset();
    if (monctl_) monctl_->Signal(SIGINT);
    monctl_.reset();
    if (tmgr_) tmgr_->Signal(SIGINT);
    if (tmgr_) tmgr_->Wait(Ms(3000));
    tmgr_.reset();
    const char* keep = std::getenv("NUVAK_RIG_KEEP");
    if (keep == nullptr || std::string(keep) != "1") RunToEnd({"/bin/rm", "-rf", dir_});
}

unsigned short Installation::NextSession() {
    if (session_ == 0) session_ = 1;
    return session_++;
}

unsigned short Installation::NextTransaction() {
    if (transaction_ == 0) transaction_ = 1;
    return transaction_++;
}

Reply Installation::Request(const std::string& xml, Ms wait, bool exactlyOnce) {
    const unsigned short s = NextSession(), t = NextTransaction();
    client_.SendTo(5110, Datagram(unit_, s, t, exactlyOnce, xml));
    const auto end = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const auto left = std::chrono::duration_cast<Ms>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return Reply{};
        Reply r = client_.Receive(left);
        if (!r.received) return r;
        if (r.session == s && r.transaction == t) return r;  // else a late answer to an earlier request
    }
}

Reply Installation::Group(unsigned long logical, unsigned short type, unsigned short action, unsigned long priority,
                          unsigned short device, unsigned short monitor, int groupUnit) {
    return Request(GroupXml(unit_, logical, type, action, priority, device, monitor, 21, groupUnit));
}

Reply Installation::Check(unsigned long logical, unsigned short type, Ms wait) {
    return Request(CheckXml(unit_, logical, type), wait);
}

Installation::BurstResult Installation::Burst(const BurstPlan& plan) {
    using Clock = std::chrono::steady_clock;
    using Key = std::pair<unsigned short, unsigned short>;  // session, transaction
    struct Pending {
        Clock::time_point sent;
        int repeats = 0;
    };
    std::map<Key, Pending> pending;
    std::set<Key> done;
    const std::string xml = CheckXml(unit_, 10001, MON_TOUR_TYP_GRP);
    auto key = [&](std::size_t i) -> Key {
        if (plan.transaction != 0) return {static_cast<unsigned short>(1 + i), plan.transaction};
        return {static_cast<unsigned short>(1 + i % 65000), static_cast<unsigned short>(1 + i / 65000)};
    };
    auto send = [&](const Key& k) { client_.SendTo(5110, Datagram(unit_, k.first, k.second, plan.exactlyOnce, xml)); };
    BurstResult r;
    std::size_t next = 0;
    const auto start = Clock::now();
    while (done.size() < plan.count && Clock::now() - start < plan.limit) {
        while (pending.size() < plan.window && next < plan.count) {
            const Key k = key(next++);
            send(k);
            pending[k] = Pending{Clock::now(), 0};
        }
        Reply a = client_.Receive(Ms(20));
        while (a.received) {
            const Key k{a.session, a.transaction};
            if (pending.erase(k) == 1) {
                done.insert(k);
                ++r.answered;
                if (a.Num("ErrorStatus") != 0 || (!plan.monList.empty() && a.Attr("GroupMonitor") != plan.monList))
                    ++r.wrong;
            } else if (done.count(k) != 0) {
                ++r.duplicates;
            }
            a = client_.Receive(Ms(0));
        }
        const auto now = Clock::now();
        for (auto& [k, p] : pending)
            if (plan.retry.count() > 0 && p.repeats < plan.maxRepeats && now - p.sent > plan.retry) {
                send(k);
                p.sent = now;
                ++p.repeats;
                ++r.resent;
            }
        // Once nothing more can come (no repeats), stop waiting.
        if (next == plan.count && !pending.empty() && plan.retry.count() == 0 &&
            std::all_of(pending.begin(), pending.end(), [&](const auto& kv) { return now - kv.second.sent > 10s; }))
            break;
    }
    r.unanswered = plan.count - done.size();
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return r;
}

int Installation::QueueSignal(unsigned int value) {
    sigval v{};
    v.sival_int = static_cast<int>(value);
    return sigqueue(service_->Pid(), FrameworkSignal(), v) == 0 ? 0 : errno;
}

bool Installation::WriteDatabase(const std::string& description, bool inPlace) {
    const std::string file = dir_ + "/db.txt";
    std::ofstream(file) << description;
    std::vector<std::string> args{Bin("nuvak-dbtool"), inPlace ? "rewrite" : "write"};
    if (inPlace) args.push_back("--in-place");
    args.push_back(file);
    args.push_back("/opt/cctv/database");
    return RunToEnd(args, dir_ + "/dbtool.out") == 0;
}

std::vector<MonLine> Installation::MonLog() const { return ParseMonLog(ReadFile(dir_ + "/monctl.log")); }

bool Installation::WaitMon(std::size_t n, const MonMatch& match, Ms timeout, std::size_t from) const {
    const auto end = std::chrono::steady_clock::now() + timeout;
    do {
        const auto log = MonLog();
        std::size_t count = 0;
        for (std::size_t i = from; i < log.size(); ++i) count += match(log[i]) ? 1 : 0;
        if (count >= n) return true;
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

void Installation::StartMonctl() {
    std::vector<std::string> args{Bin("nuvak-monctl"), "--no-grid"};
    if (opts_.monctlLog) {
        args.push_back("--log");
        args.push_back(dir_ + "/monctl.log");
    }
    args.insert(args.end(), opts_.monctlArgs.begin(), opts_.monctlArgs.end());
    monctl_ = std::make_unique<Proc>(args, dir_ + "/monctl." + std::to_string(monctlStarts_++) + ".out");
    if (!monctl_->WaitFor("ready", opts_.readyLimit))
        throw std::runtime_error("nuvak-monctl not ready: " + monctl_->Output());
}

void Installation::KillMonctl(int sig) {
    if (!monctl_) return;
    monctl_->Signal(sig);
    monctl_->Wait(Ms(10000));
}

int Installation::StopService(Ms limit) {
    service_->Signal(SIGINT);
    return service_->Wait(limit);
}

std::string Installation::Shutdown() {
    std::string report;
    if (!service_->Running()) report += "the service had ended before the shutdown\n";
    const int status = StopService();
    if (status != 0) report += "service exit status " + std::to_string(status) + "\n";
    for (Proc* p : {monctl_.get(), tmgr_.get()}) {
        p->Signal(SIGINT);
        p->Wait(Ms(10000));
    }
    for (Proc* p : {service_.get(), monctl_.get(), tmgr_.get()}) report += SanitizerReport(p->Output());
    if (!report.empty()) report += "service output:\n" + service_->Output();
    return report;
}

// ---- /proc ----

double CpuSeconds(pid_t pid) {
    // schedstat counts nanoseconds on the CPU (stat only clock ticks of
    // 10 ms, too coarse for a fraction of a percent). Single-threaded
    // processes: the main task is the process.
    {
        std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
        unsigned long long ns = 0;
        if (in >> ns) return static_cast<double>(ns) / 1e9;
    }
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // Fields after the name: state(3) ... utime(14) stime(15).
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long UdpReceiveBufferDrops() {
    // Two "Udp:" lines: the field names, then the values.
    std::istringstream in(ReadFile("/proc/net/snmp"));
    std::string line, names;
    while (std::getline(in, line)) {
        if (line.compare(0, 4, "Udp:") != 0) continue;
        if (names.empty()) {
            names = line;
            continue;
        }
        std::istringstream n(names), v(line);
        std::string name, value;
        while (n >> name && v >> value)
            if (name == "RcvbufErrors") return std::strtol(value.c_str(), nullptr, 10);
        return -1;
    }
    return -1;
}

long StatusKiB(pid_t pid, const char* field) {
    std::istringstream in(ReadFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.compare(0, key.size(), key) == 0) return std::strtol(line.c_str() + key.size(), nullptr, 10);
    return -1;
}

}  // namespace nuvak::rig
