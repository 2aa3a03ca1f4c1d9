#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <set>
#include <stdexcept>

#include "cameramessage.h"
#include "commdecoder.h"
#include "commencoder.h"
#include "framework.h"
#include "ixmlcodec.h"
#include "sysdefs.h"

namespace e2e {

std::string Bin(const char* name) {
    const std::string n(name);
    if (n == "nuvak") return NUVAK_BIN;
    if (n == "nuvak-tmgr") return NUVAK_TMGR_BIN;
    if (n == "nuvak-monctl") return NUVAK_MONCTL_BIN;
    if (n == "nuvak-dbtool") return NUVAK_DBTOOL_BIN;
    return n;
}

namespace {
std::string g_reports;
}

std::string TakeServiceReports() {
    std::string r;
    r.swap(g_reports);
    return r;
}

namespace {
std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
int Run(std::vector<std::string> argv) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> a;
        for (auto& s : argv) a.push_back(s.data());
        a.push_back(nullptr);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        execv(a[0], a.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
}  // namespace

Child::Child(const std::string& name, std::vector<std::string> argv, const std::string& outFile)
    : name_(name), out_(outFile) {
    pid_ = fork();
    if (pid_ == 0) {
        int fd = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char*> a;
        for (auto& s : argv) a.push_back(s.data());
        a.push_back(nullptr);
        execv(a[0], a.data());
        _exit(127);
    }
}

Child::~Child() {
    if (pid_ > 0 && Running()) {
        kill(pid_, SIGKILL);
        Wait(std::chrono::milliseconds(2000));
    }
}

bool Child::Running() {
    if (pid_ <= 0 || status_ != -1) return false;
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return true;
}

void Child::Signal(int sig) {
    if (Running()) kill(pid_, sig);
}

int Child::Wait(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (Running()) {
        if (std::chrono::steady_clock::now() > end) return -1;
        usleep(10000);
    }
    return status_;
}

std::string Child::Output() const { return ReadFile(out_); }

bool Child::WaitFor(const std::string& text, std::chrono::milliseconds timeout) const {
    const auto end = std::chrono::steady_clock::now() + timeout;
    do {
        if (Output().find(text) != std::string::npos) return true;
        usleep(20000);
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

Installation::Installation(const Options& o) : unit_(o.unit), monctlArgs_(o.monctlArgs) {
    char tmpl[] = "/tmp/nuvak-e2e.XXXXXX";
    dir_ = mkdtemp(tmpl);
    RewriteDatabase(o.description, false);
    std::vector<std::string> tmgrArgs{Bin("nuvak-tmgr"), "--unit", std::to_string(o.unit), "--interval", "1"};
    if (o.lcfs) tmgrArgs.push_back("--lcfs");
    tmgr_ = std::make_unique<Child>("tmgr", tmgrArgs, dir_ + "/tmgr.out");
    if (!tmgr_->WaitFor("ready", std::chrono::seconds(10))) throw std::runtime_error("nuvak-tmgr not ready");
    RestartMonctl();
    service_ = std::make_unique<Child>("nuvak", std::vector<std::string>{Bin("nuvak")}, dir_ + "/nuvak.out");

    sock_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(sock_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    // Ready when it answers a check.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < end) {
        if (Check(1, MON_TOUR_TYP_GRP).received) return;
        if (!service_->Running()) break;
    }
    throw std::runtime_error("the service did not answer: " + service_->Output());
}

Installation::~Installation() {
    if (sock_ >= 0) close(sock_);
    // Orderly stop, so that a sanitizer build reports leaks at exit too.
    if (service_->Running()) {
        service_->Signal(SIGINT);
        const int status = service_->Wait(std::chrono::seconds(20));
        if (status != 0) g_reports += "service exit status " + std::to_string(status) + "\n";
    }
    const std::string out = service_->Output();
    for (const char* mark : {"Sanitizer", "runtime error:"}) {
        const auto at = out.find(mark);
        if (at != std::string::npos) g_reports += out.substr(at > 200 ? at - 200 : 0, 4000) + "\n";
    }
    service_.reset();
    monctl_.reset();
    tmgr_.reset();
    if (std::getenv("NUVAK_E2E_KEEP") == nullptr) Run({"/bin/rm", "-rf", dir_});
}

void Installation::RestartMonctl() {
    if (monctl_) {
        monctl_->Signal(SIGINT);
        monctl_->Wait(std::chrono::seconds(5));
    }
    std::vector<std::string> args{Bin("nuvak-monctl"), "--no-grid", "--log", dir_ + "/monctl.log"};
    args.insert(args.end(), monctlArgs_.begin(), monctlArgs_.end());
    monctl_ = std::make_unique<Child>("monctl", args, dir_ + "/monctl.out");
    if (!monctl_->WaitFor("ready", std::chrono::seconds(10))) throw std::runtime_error("nuvak-monctl not ready");
}

void Installation::RewriteDatabase(const std::string& description, bool inPlace) {
    const std::string file = dir_ + "/db.txt";
    std::ofstream(file) << description;
    std::vector<std::string> args{Bin("nuvak-dbtool"), "write"};
    if (inPlace) args.push_back("--in-place");
    args.push_back(file);
    args.push_back("/opt/cctv/database");
    if (Run(args) != 0) throw std::runtime_error("nuvak-dbtool write failed");
}

void Installation::Datagram(const std::string& bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(5110);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(sock_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

void Installation::IpcDatagram(unsigned short address, const std::string& bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(12000 + address));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(sock_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

Installation::BurstResult Installation::Burst(std::size_t count, std::size_t window, std::chrono::milliseconds retry,
                                              std::chrono::seconds limit) {
    using clock = std::chrono::steady_clock;
    CameraMessage m("GET", 1, unit_, 0, static_cast<unsigned long>(unit_) * 10000000ul + 1, 0, 0);
    m.AddElement(new CameraVariableGroupMonitor(static_cast<T_uint_32>(unit_ * 10000000ul + 10001),
                                                MON_TOUR_TYP_GRP, "", 0));
    std::string xml;
    m.SerializeElement(xml, 0);
    // Session ids 1..count (wrapping past 65535 with a new transaction id).
    struct Pending {
        clock::time_point sent;
        std::string bytes;
    };
    std::map<std::pair<unsigned short, unsigned short>, Pending> pending;
    std::set<std::pair<unsigned short, unsigned short>> done;
    BurstResult r;
    std::size_t next = 0;
    const auto start = clock::now();
    char buf[65536];
    while ((r.answered < count) && clock::now() - start < limit) {
        while (pending.size() < window && next < count) {
            const auto session = static_cast<unsigned short>(1 + next % 65000);
            const auto transaction = static_cast<unsigned short>(1 + next / 65000);
            CommSession s(session, ACKNOWLEDGE_DEEP, TRANSMISSION_AT_LEAST_ONCE);
            CommTransaction t(OPCODE_CLIENT_REQUEST, transaction, unit_, unit_, 0x7F000001ul, 5110);
            CommEncoder enc(&s, &t, 1, xml);
            Datagram(enc.Msg());
            pending[{session, transaction}] = Pending{clock::now(), enc.Msg()};
            ++next;
        }
        pollfd p{sock_, POLLIN, 0};
        if (poll(&p, 1, 20) > 0) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(sock_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n > 0) {
                CommDecoder dec(ntohl(from.sin_addr.s_addr), ntohs(from.sin_port), static_cast<unsigned>(n),
                                std::string(buf, static_cast<size_t>(n)));
                if (dec.ValidateErr() == 0) {
                    std::pair<unsigned short, unsigned short> key{dec.GetCommSession().SessionID(),
                                                                  dec.GetCommTransaction().TransactionID()};
                    if (pending.erase(key) == 1) {
                        ++r.answered;
                        done.insert(key);
                    } else if (done.count(key)) {
                        ++r.duplicates;
                    }
                }
            }
        }
        const auto now = clock::now();
        for (auto& [key, pend] : pending)
            if (now - pend.sent > retry) {
                Datagram(pend.bytes);
                pend.sent = now;
                ++r.resent;
            }
    }
    r.seconds = std::chrono::duration<double>(clock::now() - start).count();
    return r;
}

Answer Installation::Raw(const std::string& xml, std::chrono::milliseconds wait) {
    const unsigned short session = session_++;
    const unsigned short transaction = transaction_++;
    CommSession s(session, ACKNOWLEDGE_DEEP, TRANSMISSION_AT_LEAST_ONCE);
    CommTransaction t(OPCODE_CLIENT_REQUEST, transaction, unit_, unit_, 0x7F000001ul, 5110);
    CommEncoder enc(&s, &t, 1, xml);
    Datagram(enc.Msg());
    Answer answer;
    const auto end = std::chrono::steady_clock::now() + wait;
    char buf[65536];
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return answer;
        pollfd p{sock_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return answer;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(sock_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n <= 0) continue;
        CommDecoder dec(ntohl(from.sin_addr.s_addr), ntohs(from.sin_port), static_cast<unsigned>(n),
                        std::string(buf, static_cast<size_t>(n)));
        if (dec.ValidateErr() != 0) continue;
        if (dec.GetCommSession().SessionID() != session || dec.GetCommTransaction().TransactionID() != transaction)
            continue;  // a late answer to an earlier request
        answer.received = true;
        answer.text = dec.GetData();
        break;
    }
    IXMLCodec* codec = nullptr;
    CreateXMLCodec(&codec);
    CameraElementFactory factory;
    Message* m = nullptr;
    std::string text = answer.text;
    codec->Decode(&text, &factory, &m);
    DestroyXMLCodec(&codec);
    std::unique_ptr<Message> owned(m);
    if (auto* cm = dynamic_cast<CameraMessage*>(m)) {
        answer.action = cm->GetActionType();
        answer.error = cm->GetErrorStatus();
        Variable* v = nullptr;
        if (cm->GetVariable(0, &v) == TRUE && v != nullptr) {
            answer.hasVariable = true;
            if (auto* g = dynamic_cast<CameraVariableGroup*>(v)) {
                answer.returnCode = g->GetReturnCode();
                answer.state = g->GetState();
            } else if (auto* gm = dynamic_cast<CameraVariableGroupMonitor*>(v)) {
                answer.returnCode = gm->GetReturnCode();
                answer.monList = gm->GetMonList();
            }
        }
    }
    return answer;
}

Answer Installation::Group(unsigned long logical, unsigned short type, unsigned short action,
                           unsigned long priority, unsigned short device, unsigned short monitor,
                           unsigned short user, int unit) {
    const unsigned long u = unit < 0 ? unit_ : static_cast<unsigned long>(unit);
    CameraMessage m("SET", 1, unit_, 0, static_cast<unsigned long>(unit_) * 10000000ul + monitor, 0, 0);
    m.AddElement(new CameraVariableGroup(static_cast<T_uint_32>(u * 10000000ul + logical), type, device, user,
                                         static_cast<T_uint_32>(priority), action, 0, 0));
    std::string text;
    m.SerializeElement(text, 0);
    return Raw(text);
}

Answer Installation::Check(unsigned long logical, unsigned short type, int unit) {
    const unsigned long u = unit < 0 ? unit_ : static_cast<unsigned long>(unit);
    CameraMessage m("GET", 1, unit_, 0, static_cast<unsigned long>(unit_) * 10000000ul + 1, 0, 0);
    m.AddElement(new CameraVariableGroupMonitor(static_cast<T_uint_32>(u * 10000000ul + logical), type, "", 0));
    std::string text;
    m.SerializeElement(text, 0);
    return Raw(text, std::chrono::milliseconds(1000));
}

std::vector<MonLine> Installation::MonLog() const {
    std::vector<MonLine> lines;
    std::istringstream in(ReadFile(dir_ + "/monctl.log"));
    std::string line;
    while (std::getline(in, line)) {
        MonLine l;
        // {"dir":"in","time":"...","kind":"seize","command":32,...}
        size_t pos = 0;
        while ((pos = line.find('"', pos)) != std::string::npos) {
            size_t end = line.find('"', pos + 1);
            if (end == std::string::npos) break;
            std::string key = line.substr(pos + 1, end - pos - 1);
            if (end + 1 >= line.size() || line[end + 1] != ':') {
                pos = end + 1;
                continue;
            }
            size_t v = end + 2;
            if (line[v] == '"') {
                size_t ve = line.find('"', v + 1);
                std::string value = line.substr(v + 1, ve - v - 1);
                if (key == "dir") l.dir = value;
                if (key == "kind") l.kind = value;
                if (key == "time" && value.size() >= 23) {  // 2026-12-07T02:08:01.123Z
                    const unsigned long h = std::strtoul(value.c_str() + 11, nullptr, 10);
                    const unsigned long m = std::strtoul(value.c_str() + 14, nullptr, 10);
                    const unsigned long sec = std::strtoul(value.c_str() + 17, nullptr, 10);
                    const unsigned long ms = std::strtoul(value.c_str() + 20, nullptr, 10);
                    l.f["ms"] = ((h * 60 + m) * 60 + sec) * 1000 + ms;
                }
                pos = ve + 1;
            } else {
                l.f[key] = std::strtoul(line.c_str() + v, nullptr, 10);
                pos = v;
            }
        }
        lines.push_back(l);
    }
    return lines;
}

void Installation::QueueSignal(unsigned int value) {
    sigval v{};
    v.sival_int = static_cast<int>(value);
    sigqueue(service_->Pid(), FrameWorkSignal(), v);
}

bool Installation::IpcSlotTaken(unsigned short address) const {
    int id = shmget(0x1009, 0, 0);
    if (id < 0) return false;
    void* p = shmat(id, nullptr, SHM_RDONLY);
    if (p == reinterpret_cast<void*>(-1)) return false;
    const unsigned char* slot = static_cast<const unsigned char*>(p) + 284u * address;
    const bool taken = (slot[0] | (slot[1] << 8)) != 0;
    shmdt(p);
    return taken;
}

}  // namespace e2e
