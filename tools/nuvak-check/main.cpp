// nuvak-check: a randomized, seeded checker of the tour service. It starts
// the task manager stand-in and the real service in private namespaces,
// takes IPC address 1 itself (so it sees every monitor message and decides
// each answer), and performs random operations: requests from several
// keyboards at several priorities, database edits written with the dBASE
// writer (whole, or half-written with an update signal in the middle). After
// every operation, and on every monitor message, it checks the invariants
// listed in docs/reliability.md. A failure prints the seed, the operation
// count, the invariant and the last events, and exits 1.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "model.h"
#include "monmsg.h"
#include "proc.h"
#include "rig.h"
#include "sysdefs.h"
#include "toolargs.h"

namespace {

using namespace nuvak::check;
namespace mm = nuvak::monmsg;
namespace rig = nuvak::rig;
namespace dbw = nuvak::dbw;
using nuvak::toolargs::NowMs;

const char kUsage[] =
    "usage: nuvak-check [--seed N] [--runs R] [--ops N] [--minutes M] [--unanswered P]\n"
    "                   [--ignore LIST] [--avoid LIST] [--trace N] [--keep] [--quiet]\n"
    "Drives the real tour service with random requests, database edits and\n"
    "monitor-control answers, and checks its invariants after every operation.\n"
    "Runs in private IPC, network and mount namespaces of its own (needs root).\n"
    "  --seed N        first seed (default 1); a failure names the seed to replay\n"
    "  --runs R        seeds N..N+R-1, each with a fresh installation (default 1)\n"
    "  --ops N         operations per run (default 150)\n"
    "  --minutes M     run until M minutes have passed, seed after seed (--runs\n"
    "                  and --ops then bound each run only)\n"
    "  --unanswered P  percent of monitor messages refused, suspended or dropped\n"
    "                  (default 4)\n"
    "  --ignore LIST   invariants not checked (names as printed on failure)\n"
    "  --avoid LIST    operations left out, to look past a known fault:\n"
    "                  ended-tours (stop/pause/start/inc/dec of ended tours),\n"
    "                  mixed-steps (steps of one tour on other monitors),\n"
    "                  half-writes, edits (no database edits at all),\n"
    "                  suspend, drop (monitor-control answers of that kind)\n"
    "  --trace N       events shown on failure (default 30)\n"
    "  --keep          keep the temporary folder (service output, database)\n"
    "  --quiet         only failures and the summary\n"
    "Binaries: NUVAK_BIN, NUVAK_TMGR_BIN (default: this build's). Exit status 0\n"
    "all runs clean, 1 an invariant failed, 2 bad arguments or set-up failure.\n";

struct Args {
    unsigned long seed = 1, runs = 1, ops = 150, minutes = 0, unanswered = 4, trace = 30;
    std::set<std::string> ignore, avoid;
    bool keep = false, quiet = false;
};

[[noreturn]] void BadArgs(const std::string& reason) {
    nuvak::toolargs::Fail("nuvak-check", reason + " (try --help)", 2);
}

const std::set<std::string> kInvariants = {
    "answered",   "held-after-stop", "held-by-deleted", "sent-after-stop", "camera-version", "shown-unseized",
    "taken-while-held", "released-other", "ended-answers", "one-step", "stepping", "bounded", "alive"};

const std::set<std::string> kAvoidable = {"ended-tours", "mixed-steps", "half-writes", "edits", "suspend", "drop"};

// SIGINT / SIGTERM: finish the operation under way, stop the service as
// usual, report what was done.
volatile sig_atomic_t gStop = 0;
void OnStopSignal(int) { gStop = 1; }

// Thrown by a failed invariant; caught by the run.
struct Failure {
    std::string invariant, detail;
};

std::vector<std::string> Split(const std::string& list) {
    std::vector<std::string> out(1);
    for (char c : list)
        if (c == ',') out.emplace_back();
        else out.back() += c;
    return out;
}

// ---- namespaces --------------------------------------------------------

void Must(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

void LoopbackUp() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    Must(fd >= 0, "socket");
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    const bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &ifr) == 0);
    close(fd);
    Must(ok, "bringing loopback up");
}

// A private mount namespace with /opt/cctv/database on `db`.
void PrivateDatabaseFolder(const std::string& db) {
    Must(unshare(CLONE_NEWNS) == 0, "unshare(CLONE_NEWNS)");
    Must(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "mount --make-rprivate /");
    struct stat st {};
    if (stat("/opt/cctv/database", &st) != 0) {
        Must(mount("tmpfs", "/opt", "tmpfs", 0, nullptr) == 0, "mount tmpfs /opt");
        Must(mkdir("/opt/cctv", 0755) == 0 && mkdir("/opt/cctv/database", 0755) == 0, "mkdir /opt/cctv/database");
    }
    Must(mount(db.c_str(), "/opt/cctv/database", nullptr, MS_BIND, nullptr) == 0, "bind /opt/cctv/database");
}

// ---- the checker -------------------------------------------------------

constexpr const char* kDb = "/opt/cctv/database";
constexpr double kSettleMs = 150, kAnswerMs = 3000;

struct Keyboard {
    std::uint16_t monitor, device, user;
};
const Keyboard kKeyboards[] = {{1, 0x0101, 21}, {6, 0x0102, 22}, {30, 0x0103, 23}, {31, 0x0104, 24}};

enum class TourState { Ended, Running, Held, Unknown };

struct TourModel {
    TourState state = TourState::Ended;
    double stableSince = 0;   // since when stepping is expected (run, start, edit)
    double lastShown = 0;     // last camera select for the tour
    int shownStep = -1, shownVersion = -1;
    bool noSend = false;      // ended and settled: nothing may be sent for it
    double endedAt = -1;
};

struct Pending {  // an answer of the monitor control waiting for its time
    double due;
    unsigned char block[mm::kBlockSize];
};

class Checker {
public:
    Checker(const Args& a, unsigned long seed, const std::string& dir)
        : a_(a), seed_(seed), dir_(dir), ops_(seed), answers_(seed ^ 0x9E3779B97F4A7C15ull), db_(ops_, a.avoid.count("mixed-steps") != 0) {}

    ~Checker() {
        if (service_ && service_->Running()) service_->Signal(SIGKILL);
        if (tmgr_) tmgr_->Signal(SIGINT), tmgr_->Wait(rig::Ms(3000));
        if (monFd_ >= 0) close(monFd_);
    }

    // The whole run: 0 clean, 1 an invariant failed.
    int Run(double deadlineMs) {
        try {
            Start();
            for (op_ = 1; op_ <= a_.ops && !gStop && (deadlineMs <= 0 || NowMs() < deadlineMs); ++op_) Step();
            Stop();
        } catch (const Failure& f) {
            std::printf("FAIL seed %lu op %lu invariant %s: %s\n", seed_, op_, f.invariant.c_str(), f.detail.c_str());
            std::printf("last events (ms since start):\n");
            for (const auto& l : trace_) std::printf("  %s\n", l.c_str());
            std::printf("replay: nuvak-check --seed %lu --ops %lu\n", seed_, op_);
            return 1;
        }
        if (!a_.quiet) std::printf("seed %lu: %lu operations, %lu monitor messages, clean\n", seed_, op_ - 1, msgs_);
        return 0;
    }

private:
    void Fail(const std::string& invariant, const std::string& detail) {
        if (a_.ignore.count(invariant) == 0) throw Failure{invariant, detail};
    }
    void Trace(const std::string& line) {
        char t[32];
        std::snprintf(t, sizeof t, "%8.0f ", NowMs() - t0_);
        trace_.push_back(t + line);
        if (trace_.size() > a_.trace) trace_.pop_front();
    }

    // ---- set-up and shutdown ----
    void WriteAll(const dbw::Installation& in, bool inPlace) {
        dbw::WriteOptions o;
        o.inPlace = inPlace;
        o.order = dbw::RecordOrder::kShuffled;
        o.seed = ops_.Range(1, 1000);
        std::string error;
        if (!dbw::WriteInstallation(kDb, in, {std::begin(dbw::kAllTables), std::end(dbw::kAllTables)}, o, &error))
            throw std::runtime_error("writing the database: " + error);
    }

    void Start() {
        t0_ = NowMs();
        WriteAll(db_.Current(), false);
        tmgr_ = std::make_unique<rig::Proc>(
            std::vector<std::string>{rig::Bin("nuvak-tmgr"), "--unit", std::to_string(kUnit), "--interval", "1"},
            dir_ + "/tmgr.out");
        if (!tmgr_->WaitFor("ready", rig::Ms(30000))) throw std::runtime_error("nuvak-tmgr not ready");
        monFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(12000 + mm::kMonCtlAddress);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int size = 4 << 20;
        setsockopt(monFd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        Must(bind(monFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0, "bind IPC address 1");
        service_ = std::make_unique<rig::Proc>(std::vector<std::string>{rig::Bin("nuvak")}, dir_ + "/nuvak.out");
        for (double end = NowMs() + 30000; NowMs() < end;) {
            if (Request(rig::CheckXml(kUnit, 1, MON_TOUR_TYP_GRP), nullptr, 500)) {
                rss0_ = rig::StatusKiB(service_->Pid(), "VmRSS");
                return;
            }
            if (!service_->Running()) break;
        }
        throw std::runtime_error("the service did not answer: " + service_->Output());
    }

    void Stop() {
        Pump(NowMs() + 500);
        service_->Signal(SIGINT);
        const int status = service_->Wait(rig::Ms(20000));
        const std::string report = rig::SanitizerReport(service_->Output());
        if (status != 0 || !report.empty())
            Fail("alive", "service exit status " + std::to_string(status) + "\n" + report);
    }

    // ---- the wire ----
    // Sends one request and waits for its answer; false when none came.
    bool Request(const std::string& xml, rig::Reply* out, double waitMs = kAnswerMs) {
        const unsigned short s = session_++ % 60000 + 1, t = transaction_++ % 60000 + 1;
        client_.SendTo(5110, rig::Datagram(kUnit, s, t, false, xml));
        const double end = NowMs() + waitMs;
        while (NowMs() < end) {
            rig::Reply r;
            if (!Pump(end, &r)) break;
            if (r.session == s && r.transaction == t) {
                if (out != nullptr) *out = r;
                return true;
            }
        }
        return false;
    }

    // Carries monitor messages and due answers until `until`, or until a comm
    // answer arrives (true, into *reply) when reply is given.
    bool Pump(double until, rig::Reply* reply = nullptr) {
        for (;;) {
            double now = NowMs();
            while (!pending_.empty() && pending_.front().due <= now) {
                SendAnswer(pending_.front().block);
                pending_.pop_front();
            }
            double next = until;
            if (!pending_.empty()) next = std::min(next, pending_.front().due);
            if (now >= until) return false;
            pollfd p[2] = {{monFd_, POLLIN, 0}, {client_.Fd(), POLLIN, 0}};
            const int n = poll(p, reply != nullptr ? 2 : 1, static_cast<int>(std::max(0.0, next - now)) + 1);
            if (n <= 0) continue;
            if (p[0].revents & POLLIN) {
                unsigned char block[mm::kBlockSize] = {};
                if (recv(monFd_, block, sizeof block, 0) > 0) OnMonitorMessage(block);
            }
            if (reply != nullptr && (p[1].revents & POLLIN)) {
                *reply = client_.Receive(rig::Ms(0));
                if (reply->received) return true;
            }
        }
    }

    void SendAnswer(const unsigned char* block) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(12000 + mm::kOwnAddress);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(monFd_, block, mm::kBlockSize, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    // ---- monitor messages: held and released on the wire ----
    // A monitor is held by tour-control block b from a seize (command 32)
    // naming b that was confirmed (or whose answer was lost: the monitor
    // control may have acted) until a release (33) or a tour stop (8, control
    // word 0x102, tour action 0) for that monitor naming b. A suspend
    // confirmation leaves the monitor as it was; a release or tour stop naming
    // another block than the holder changes nothing.
    void OnMonitorMessage(const unsigned char* b) {
        ++msgs_;
        ++opMsgs_;
        const std::uint16_t cmd = mm::LoadLE16(b + mm::kCommand), mon = mm::LoadLE16(b + mm::kMonitor);
        const std::uint16_t block = mm::LoadLE16(b + mm::kTourCntl), word = mm::LoadLE16(b + mm::kCtrlWord);
        const std::uint32_t target = mm::LoadLE32(b + mm::kTarget);
        const bool tourWord = cmd == mm::kCmdCamera && word >= mm::kCtrlTourBase;
        const bool tourStop = tourWord && (word == mm::kCtrlTourStop || mm::LoadLE16(b + mm::kTourAction) == 0);
        const char* kind = cmd == mm::kCmdSeize ? "seize" : cmd == mm::kCmdRelease ? "release"
                           : cmd != mm::kCmdCamera ? "unknown" : word == mm::kCtrlCamera ? "camera"
                           : word == mm::kCtrlPreset ? "preset" : tourStop ? "tour-stop" : tourWord ? "tour-pause" : "unknown";
        char line[200];
        std::snprintf(line, sizeof line, "  mon %-10s monitor %u block %u target %u user %u device 0x%04X pri %u", kind,
                      mon, block, target, mm::LoadLE16(b + mm::kUser), mm::LoadLE16(b + mm::kDevice),
                      mm::LoadLE32(b + mm::kPriority));
        Trace(line);
        if (cmd == mm::kCmdSeize || cmd == mm::kCmdRelease || tourWord) globalOf_[block] = target;

        TourModel* tm = block >= 1 && block <= 256 ? &tours_[block] : nullptr;
        if (tm != nullptr && tm->noSend)
            Fail("sent-after-stop", std::string(kind) + " on monitor " + std::to_string(mon) + " for tour block " +
                                        std::to_string(block) + " after it ended");
        const int holder = held_.count(mon) != 0 ? held_[mon] : 0;
        const bool holderLive =
            holder >= 1 && holder <= 256 && holder != block && tours_[holder].state != TourState::Ended;
        if (cmd == mm::kCmdSeize) {
            if (holderLive)
                Fail("taken-while-held", "monitor " + std::to_string(mon) + " seized for block " + std::to_string(block) +
                                             " while live tour block " + std::to_string(holder) + " holds it");
            unsigned r = answers_.Below(100);
            if (r < a_.unanswered / 2 + (a_.unanswered & 1) && a_.avoid.count("suspend") != 0) r = 100;
            if (r < a_.unanswered && a_.avoid.count("drop") != 0) r = 100;
            if (r < a_.unanswered / 2 + (a_.unanswered & 1)) {  // suspended: still held by whoever held it
                Answer(b, mm::kSuspendConfirm, 0), Dirty(mon);
                suspended_[mon] = block;
            } else {
                held_[mon] = block;
                if (r < a_.unanswered) Dirty(mon), Trace("  (seize answer dropped)");
                else Answer(b, mm::kSeizeConfirm, 0);
            }
        } else if (cmd == mm::kCmdRelease || tourStop) {
            // Ends the hold of the block it names. A release after a suspend
            // confirmation to that block is its due answer to the suspend.
            const bool afterSuspend = cmd == mm::kCmdRelease && suspended_.count(mon) != 0 && suspended_[mon] == block;
            suspended_.erase(mon);
            if (holderLive && !afterSuspend)
                Fail("released-other", std::string(kind) + " of monitor " + std::to_string(mon) + " for block " +
                                           std::to_string(block) + " while live tour block " + std::to_string(holder) +
                                           " holds it");
            if (holder == block) held_.erase(mon);
            if (tourStop && tm != nullptr && tm->state != TourState::Ended) {
                tm->state = TourState::Ended;  // a tour stop ends the tour (Stop or a take-over)
                tm->endedAt = NowMs();
            }
        } else if (word == mm::kCtrlCamera || word == mm::kCtrlPreset) {
            if (holder != block)
                Fail("shown-unseized", std::string(kind) + " on monitor " + std::to_string(mon) + " for block " +
                                           std::to_string(block) + " which does not hold it (holder " +
                                           std::to_string(holder) + ")");
            if (word == mm::kCtrlCamera) {
                const auto allowed = db_.Allowed(block, mon);
                if (allowed.count(target) == 0)
                    Fail("camera-version", "camera " + std::to_string(target) + " on monitor " + std::to_string(mon) +
                                               " for block " + std::to_string(block) +
                                               ": no recent whole database version puts it there");
                if (tm != nullptr) {
                    tm->lastShown = NowMs();
                    tm->shownStep = db_.StepOf(block, mon, target);
                    tm->shownVersion = half_ ? -1 : db_.Version();
                    if (opTour_ == block) opSteps_.insert(tm->shownStep);
                }
            }
            unsigned r = answers_.Below(100);
            if (r >= a_.unanswered / 2 && r < a_.unanswered && a_.avoid.count("drop") != 0) r = 100;
            if (r < a_.unanswered / 2) Answer(b, mm::kControlConfirm, 0), Dirty(mon);  // refused
            else if (r < a_.unanswered) Dirty(mon), Trace("  (control answer dropped)");
            else Answer(b, mm::kControlConfirm, 1);
        }
    }

    // Until every answer is out and no monitor message came for 100 ms (at most 3 s).
    void Quiesce() {
        for (const double end = NowMs() + 3000; NowMs() < end;) {
            const unsigned long before = msgs_;
            Pump(pending_.empty() ? NowMs() + 100 : pending_.back().due + 1);
            if (pending_.empty() && msgs_ == before) return;
        }
    }

    void Dirty(std::uint16_t mon) { dirty_[mon] = NowMs(); }

    // An answer as the monitor control sends it, now or a little later.
    void Answer(const unsigned char* req, std::uint16_t primitive, std::uint16_t result) {
        Pending p{};
        unsigned char* b = p.block;
        const std::uint16_t block = mm::LoadLE16(req + mm::kTourCntl);
        mm::StoreLE16(b + mm::kSender, mm::kMonCtlAddress);
        mm::StoreLE16(b + mm::kSender2, mm::kMonClass);
        mm::StoreLE16(b + mm::kDest, mm::kOwnAddress);
        mm::StoreLE16(b + mm::kClass, mm::kMonClass);
        mm::StoreLE16(b + mm::kLength, mm::kSize);
        mm::StoreLE16(b + mm::kCommand, primitive);
        mm::StoreLE32(b + mm::kPriority, mm::LoadLE32(req + mm::kPriority));
        mm::StoreLE16(b + mm::kMonitor, mm::LoadLE16(req + mm::kMonitor));
        mm::StoreLE16(b + mm::kDevice, mm::LoadLE16(req + mm::kDevice));
        mm::StoreLE16(b + mm::kUser, mm::LoadLE16(req + mm::kUser));
        mm::StoreLE16(b + mm::kTourCntl, block);
        mm::StoreLE16(b + mm::kResult, result);
        mm::StoreLE32(b + mm::kGlobalTour, globalOf_.count(block) != 0 ? globalOf_[block] : 0xFFFFFFFFu);
        mm::StoreLE16(b + mm::kTourType, block >= kFirstPresetBlock ? mm::kTourTypePreset : 1);
        p.due = NowMs() + (answers_.Percent(20) ? answers_.Range(20, 400) : 0);
        auto at = std::upper_bound(pending_.begin(), pending_.end(), p.due,
                                   [](double d, const Pending& x) { return d < x.due; });
        pending_.insert(at, p);
    }

    // ---- operations ----
    void Step() {
        opMsgs_ = 0;
        opTour_ = -1;
        opSteps_.clear();
        const double opStart = NowMs();
        const unsigned kind = ops_.Below(100);
        const bool edits = a_.avoid.count("edits") == 0, halves = edits && a_.avoid.count("half-writes") == 0;
        if (kind < 12 && edits) EditDatabase();
        else if (kind < 17 && halves) HalfWrite();
        else if (kind < 19) Signal(ops_.Percent(80) ? NUVAK_UPDATE_SIG : 0xBEEF);
        else if (kind < 27) Preset();
        else TourRequest();
        Pump(NowMs() + kSettleMs);
        CheckAfter(opStart);
        Pump(NowMs() + ops_.Range(0, 700));  // let tours step between operations
    }

    void Signal(unsigned value) {
        sigval v{};
        v.sival_int = static_cast<int>(value);
        sigqueue(service_->Pid(), SIGRTMAX - 25, v);
        char line[64];
        std::snprintf(line, sizeof line, "op %lu signal 0x%X", op_, value);
        Trace(line);
    }

    void Edited() {  // stepping is measured again from now on
        lastEdit_ = NowMs();
        for (auto& [id, t] : tours_) t.stableSince = NowMs();
    }

    void EditDatabase() {
        std::string what;
        const auto next = db_.Edited(ops_, &what);
        const bool inPlace = ops_.Percent(50);
        Trace("op " + std::to_string(op_) + " edit (" + (inPlace ? "in place" : "replaced") + "): " + what);
        WriteAll(next, inPlace);
        db_.Commit(next);
        Edited();
        Signal(ops_.Percent(85) ? NUVAK_UPDATE_SIG : GRPPRE_UPDATE_SIG);
        Pump(NowMs() + 300);
    }

    // A table half-written when the signal comes, then written whole.
    void HalfWrite() {
        std::string what;
        const auto next = db_.Edited(ops_, &what);
        const dbw::TableId tables[] = {dbw::TableId::kTours, dbw::TableId::kPresets, dbw::TableId::kCameras};
        const dbw::TableId table = tables[ops_.Below(3)];
        const std::string base = std::string(kDb) + "/" + dbw::TableFileName(table);
        dbw::TableImage img;
        std::string error;
        dbw::BuildTable(dbw::MakeTable(next, table), dbw::WriteOptions{}, static_cast<std::uint8_t>(ops_.Range(2, 250)),
                        &img, &error);
        const unsigned damage = ops_.Below(4);
        static const char* kDamage[] = {"data without its index", "index over the old data", "data truncated",
                                        "data unreadable"};
        Trace("op " + std::to_string(op_) + " half-write " + dbw::TableFileName(table) + " (" + kDamage[damage] +
              "): " + what);
        auto put = [](const std::string& path, const std::vector<std::uint8_t>& bytes, std::size_t len) {
            const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);  // in place: the inode stays
            if (fd < 0) return;
            if (write(fd, bytes.data(), len) < 0) {
            }
            if (ftruncate(fd, static_cast<off_t>(len)) != 0) {
            }
            close(fd);
        };
        half_ = true;
        Edited();
        if (damage == 0) put(base + ".dbf", img.dbf, img.dbf.size());
        if (damage == 1) put(base + ".mdx", img.mdx, img.mdx.size());
        if (damage == 2) put(base + ".dbf", img.dbf, ops_.Below(static_cast<unsigned>(img.dbf.size())));
        if (damage == 3) rename((base + ".dbf").c_str(), (base + ".away").c_str());
        Signal(NUVAK_UPDATE_SIG);
        Pump(NowMs() + ops_.Range(0, 300));
        if (damage == 3) rename((base + ".away").c_str(), (base + ".dbf").c_str());
        WriteAll(next, ops_.Percent(50));
        db_.Commit(next);
        half_ = false;
        Edited();
        Signal(NUVAK_UPDATE_SIG);
        Pump(NowMs() + 300);
    }

    const Keyboard& AnyKeyboard() { return kKeyboards[ops_.Below(4)]; }
    unsigned long AnyPriority() { return ops_.Percent(50) ? 10 : 50; }

    void Preset() {
        const auto logicals = db_.PresetLogicals();
        const std::uint32_t logical = logicals.empty() ? 20999 : logicals[ops_.Below(logicals.size())];
        const Keyboard& k = AnyKeyboard();
        const unsigned long pri = AnyPriority();
        char line[120];
        std::snprintf(line, sizeof line, "op %lu preset %u kb-monitor %u pri %lu", op_, logical, k.monitor, pri);
        Trace(line);
        rig::Reply r;
        if (!Request(rig::GroupXml(kUnit, logical, MON_TOUR_TYP_GRPPRE, MON_TOUR_ACT_RUN, pri, k.device, k.monitor,
                                   k.user),
                     &r))
            Fail("answered", std::string("no answer to: ") + line);
        Trace("  answer " + std::to_string(r.Num("ErrorStatus")));
    }

    void TourRequest() {
        // A tour of the current database, now and then a logical id it no longer has.
        const auto& tours = db_.Current().tours;
        std::uint32_t logical = tours.empty() ? 10001 : tours[ops_.Below(tours.size())].logical;
        if (ops_.Percent(4)) logical = 10000 + ops_.Range(1, 8);
        int block = -1;
        for (const auto& t : tours)
            if (t.logical == logical) block = static_cast<int>(t.id);
        static const unsigned short kActions[] = {MON_TOUR_ACT_RUN,  MON_TOUR_ACT_RUN, MON_TOUR_ACT_RUN,
                                                  MON_TOUR_ACT_DEL,  MON_TOUR_ACT_DEL, MON_TOUR_ACT_PAUSE,
                                                  MON_TOUR_ACT_PAUSE, MON_TOUR_ACT_INC, MON_TOUR_ACT_DEC,
                                                  MON_TOUR_ACT_NOP, 0xFFFE /* check */};
        static const char* kNames[] = {"run", "run", "run", "stop", "stop", "pause", "pause", "inc", "dec", "start", "check"};
        const unsigned ai = ops_.Below(11);
        const unsigned short action = kActions[ai];
        const Keyboard& k = AnyKeyboard();
        const unsigned long pri = AnyPriority();
        TourModel* tm = block > 0 ? &tours_[block] : nullptr;
        const bool byHand = action == MON_TOUR_ACT_PAUSE || action == MON_TOUR_ACT_NOP || action == MON_TOUR_ACT_INC ||
                            action == MON_TOUR_ACT_DEC;
        const bool ended = tm != nullptr && tm->state == TourState::Ended;
        if (ended && (byHand || action == MON_TOUR_ACT_DEL) && a_.avoid.count("ended-tours") != 0) return;
        char line[160];
        std::snprintf(line, sizeof line, "op %lu %s tour logical %u (block %d) kb-monitor %u pri %lu", op_,
                      kNames[ai], logical, block, k.monitor, pri);
        Trace(line);
        const bool wasQuiet = tm != nullptr && tm->noSend;
        if (tm != nullptr && action == MON_TOUR_ACT_RUN) tm->noSend = false;  // a Run may send for it again
        // Next and last on a held tour: the step to expect, when it is known.
        int expect = -1, before = -1;
        if (tm != nullptr && (action == MON_TOUR_ACT_INC || action == MON_TOUR_ACT_DEC) && tm->state == TourState::Held)
            Quiesce();  // a client still waiting for an answer shows nothing new (it is not a step lost)
        if (tm != nullptr && (action == MON_TOUR_ACT_INC || action == MON_TOUR_ACT_DEC) &&
            tm->state == TourState::Held && tm->shownStep >= 0 && tm->shownVersion == db_.Version() &&
            db_.Complete(block) && Clean(block, tm->stableSince)) {
            const int n = static_cast<int>(db_.Tour(block)->steps.size());
            expect = (tm->shownStep + (action == MON_TOUR_ACT_INC ? 1 : n - 1)) % n;
            before = tm->shownStep;
            opTour_ = block;
        }
        rig::Reply r;
        const std::string xml = action == 0xFFFE ? rig::CheckXml(kUnit, logical, MON_TOUR_TYP_GRP)
                                                 : rig::GroupXml(kUnit, logical, MON_TOUR_TYP_GRP, action, pri,
                                                                 k.device, k.monitor, k.user);
        if (!Request(xml, &r)) Fail("answered", std::string("no answer to: ") + line);
        const long status = r.Num("ErrorStatus");
        Trace("  answer " + std::to_string(status));
        if (tm == nullptr || action == 0xFFFE) return;
        const double now = NowMs();
        if (ended && byHand && status == 0)
            Fail("ended-answers", std::string(kNames[ai]) + " of ended tour block " + std::to_string(block) +
                                      " answered OK");
        if (action == MON_TOUR_ACT_RUN) {
            tm->state = status == 0 ? TourState::Running : tm->state == TourState::Ended ? TourState::Ended
                                                                                         : TourState::Unknown;
            if (status == 0) tm->stableSince = now, tm->endedAt = -1;
            else tm->noSend = wasQuiet;
        } else if (status != 0) {
            return;
        } else if (action == MON_TOUR_ACT_DEL) {
            if (tm->state != TourState::Ended) tm->endedAt = now;
            tm->state = TourState::Ended;
        } else if (action == MON_TOUR_ACT_PAUSE && tm->state != TourState::Ended) {
            tm->state = TourState::Held;
        } else if (action == MON_TOUR_ACT_NOP && tm->state == TourState::Held) {
            tm->state = TourState::Running;
            tm->stableSince = now;
        }
        if (expect >= 0) {
            Pump(NowMs() + kSettleMs);
            const std::set<int> want{expect};
            // A seize or camera select of this step refused, suspended or
            // dropped shows less (or, by a late answer, more): not a wrong step.
            if (opSteps_ != want && Clean(block, now)) {
                std::string seen;
                for (int s : opSteps_) seen += " " + std::to_string(s);
                Fail("one-step", std::string(kNames[ai]) + " on held tour block " + std::to_string(block) + " at step " +
                                     std::to_string(before) + " should show step " + std::to_string(expect) +
                                     " only; shown:" + (seen.empty() ? " nothing" : seen));
            }
        }
    }

    // True when no monitor of the tour had an answer refused, suspended or
    // dropped since `since` (or within the busy-client reset time before).
    bool Clean(int block, double since) {
        for (std::uint16_t m : db_.MonitorsOf(block)) {
            auto it = dirty_.find(m);
            if (it != dirty_.end() && it->second > std::min(since, NowMs() - 15000)) return false;
        }
        return true;
    }

    // ---- invariants after every operation ----
    void CheckAfter(double opStart) {
        const double now = NowMs();
        if (!service_->Running()) Fail("alive", "the service ended:\n" + service_->Output());
        // No monitor left held by an ended tour (or one whose definition a whole write deleted).
        for (const auto& [mon, block] : held_) {
            if (block < 1 || block > 256) continue;
            const TourModel& t = tours_[block];
            if (t.state == TourState::Ended && t.endedAt >= 0 && t.endedAt < now - kSettleMs / 2)
                Fail("held-after-stop", "monitor " + std::to_string(mon) + " still held by ended tour block " +
                                            std::to_string(block));
            if (db_.Tour(block) == nullptr && !half_ && lastEdit_ < now - 1500)
                Fail("held-by-deleted", "monitor " + std::to_string(mon) + " still held by tour block " +
                                            std::to_string(block) + ", deleted from the database");
        }
        for (auto& [block, t] : tours_)
            if (t.state == TourState::Ended && t.endedAt >= 0) t.noSend = true;
        // A running tour whose monitors answer changes step within its dwell + 2 s.
        unsigned running = 0;
        for (const auto& [block, t] : tours_) running += t.state == TourState::Running ? 1 : 0;
        for (auto& [block, t] : tours_) {
            if (t.state != TourState::Running || !db_.Complete(block) || !Clean(block, t.stableSince)) continue;
            const double bound = (db_.MaxDwell(block) + 2 + (running > 5 ? 1 : 0)) * 1000.0;
            const double since = std::max(t.lastShown, t.stableSince);
            if (now - since > bound)
                Fail("stepping", "running tour block " + std::to_string(block) + " (logical " +
                                     std::to_string(db_.Logical(block)) + ") showed nothing for " +
                                     std::to_string(static_cast<long>(now - since)) + " ms (bound " +
                                     std::to_string(static_cast<long>(bound)) + ")");
        }
        // Bounded output: monitor messages per second, service output, memory.
        const double secs = std::max(1.0, (now - opStart) / 1000.0);
        if (opMsgs_ / secs > 2000)
            Fail("bounded", std::to_string(opMsgs_) + " monitor messages in " + std::to_string(secs) + " s");
        const std::size_t outSize = service_->Output().size();
        if (outSize > (1u << 20)) Fail("bounded", "service output " + std::to_string(outSize) + " bytes");
        const long rss = rig::StatusKiB(service_->Pid(), "VmRSS");
        if (rss0_ > 0 && rss > rss0_ + 65536) Fail("bounded", "service VmRSS grew from " + std::to_string(rss0_) +
                                                                   " to " + std::to_string(rss) + " KiB");
    }

    const Args& a_;
    unsigned long seed_;
    std::string dir_;
    Prng ops_, answers_;
    Database db_;
    std::unique_ptr<rig::Proc> tmgr_, service_;
    rig::Client client_;
    int monFd_ = -1;
    unsigned short session_ = 0, transaction_ = 0;
    std::deque<Pending> pending_;
    std::deque<std::string> trace_;
    std::map<std::uint16_t, int> held_;           // monitor -> holding block (see OnMonitorMessage)
    std::map<std::uint16_t, int> suspended_;     // monitor -> block whose seize got a suspend
    std::map<std::uint16_t, double> dirty_;       // monitor -> last answer not given normally
    std::map<std::uint16_t, std::uint32_t> globalOf_;  // block -> global tour id it last sent
    std::map<int, TourModel> tours_;
    std::set<int> opSteps_;
    int opTour_ = -1;
    bool half_ = false;
    double t0_ = 0, lastEdit_ = 0;
    long rss0_ = -1;
    unsigned long op_ = 0, msgs_ = 0, opMsgs_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Args a;
    nuvak::toolargs::ReadAll(argc, argv, 1, kUsage, BadArgs, [&](nuvak::toolargs::Reader& r, const std::string& s) {
        if (s == "--seed") a.seed = r.Number(0, 0xFFFFFFFFul);
        else if (s == "--runs") a.runs = r.Number(1, 100000);
        else if (s == "--ops") a.ops = r.Number(1, 10000000);
        else if (s == "--minutes") a.minutes = r.Number(1, 100000);
        else if (s == "--unanswered") a.unanswered = r.Number(0, 50);
        else if (s == "--keep") a.keep = true;
        else if (s == "--trace") a.trace = r.Number(1, 100000);
        else if (s == "--avoid") {
            for (const auto& name : Split(r.Value()))
                if (kAvoidable.count(name) == 0) BadArgs("--avoid: nothing named '" + name + "'");
                else a.avoid.insert(name);
        }
        else if (s == "--quiet") a.quiet = true;
        else if (s == "--ignore") {
            for (const auto& name : Split(r.Value()))
                if (kInvariants.count(name) == 0) BadArgs("--ignore: no invariant named '" + name + "'");
                else a.ignore.insert(name);
        } else BadArgs("unknown argument '" + s + "'");
    });
    if (geteuid() != 0) nuvak::toolargs::Fail("nuvak-check", "needs root for its private namespaces", 2);
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    char tmpl[] = "/tmp/nuvak-check.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) nuvak::toolargs::Fail("nuvak-check", "mkdtemp failed", 2);
    const std::string dir = tmpl, db = dir + "/db";
    int failed = 0;
    unsigned long done = 0;
    try {
        mkdir(db.c_str(), 0755);
        PrivateDatabaseFolder(db);
        const double deadline = a.minutes > 0 ? NowMs() + a.minutes * 60000.0 : 0;
        for (unsigned long seed = a.seed; !gStop && (a.minutes > 0 ? NowMs() < deadline : done < a.runs);
             ++seed, ++done) {
            // Fresh IPC and network namespaces per run: nothing of the last run's
            // shared memory, mailboxes or sockets is left.
            Must(unshare(CLONE_NEWIPC | CLONE_NEWNET) == 0, "unshare(CLONE_NEWIPC|CLONE_NEWNET)");
            LoopbackUp();
            rig::RunToEnd({"/bin/sh", "-c", "rm -f /opt/cctv/database/*"});
            const std::string runDir = dir + "/run" + std::to_string(seed);
            mkdir(runDir.c_str(), 0755);
            Checker c(a, seed, runDir);
            failed += c.Run(deadline);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "nuvak-check: %s\n", e.what());
        return 2;
    }
    std::printf("%lu run(s) from seed %lu, %d failed%s%s\n", done, a.seed, failed, a.keep ? "; kept " : "",
                a.keep ? dir.c_str() : "");
    if (!a.keep) rig::RunToEnd({"/bin/rm", "-rf", dir});
    return failed == 0 ? 0 : 1;
}
