#include "nuvakserver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "dbif.h"
#include "groupids.h"
#include "systune.h"
#include "sysdefs.h"
#include "tableload.h"
#include "tmgrdm.h"
#include "ixmlcodec.h"

namespace mm = nuvak::monmsg;

namespace {
constexpr unsigned short kCommClientPort = 5010;
constexpr unsigned short kCommServerPort = 5110;
constexpr unsigned short kMailboxAddress = 13;
constexpr unsigned int kTourTimerMs = 1000;
constexpr unsigned short kStepsPerPass = 5;
constexpr unsigned long kNoKey = SYS_IDNULL_LONG;
constexpr std::uint64_t kDeafReportMs = 60000;

std::uint64_t NowMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// A block taken from the mailbox goes back to it and its wrapper is deleted
// however its handling ends.
struct ReleaseIpcMessage {
    void operator()(IPCMessage* message) const {
        message->Release();
        delete message;
    }
};
using OwnedIpcMessage = std::unique_ptr<IPCMessage, ReleaseIpcMessage>;
}  // namespace

NuvakServer::NuvakServer(unsigned short maxTours, unsigned short maxPresets, unsigned short unitId,
                         IFrameWork& fw, ITMGR& /*tmgr*/)
    : unitId_(unitId), fw_(&fw) {
    if (!fw.Register(*this, &worker_)) worker_ = nullptr;
    ReportMissingDatabase();
    // Tours, presets, cameras and monitors in one load pass, each table
    // applied only when read whole (tableload.h).
    presets_ = std::make_unique<GpresetTable>();
    tours_ = std::make_unique<NuvakTable>();
    nuvak::tables::LoadTables(tours_.get(), maxTours, presets_.get(), maxPresets, nuvak::tables::kAllTables,
                              "NuvakServer");
    T_TMGRIF_cfg cfg;
    std::memset(&cfg, 0, sizeof cfg);
    if (ITMGR::Getsize(&cfg) == 0 && cfg.user_operation == OPER_USER_LCFS) lcfs_ = TRUE;
    controls_ = std::make_unique<NuvakCntlTable>(nuvak::ids::kControlBlocks, tours_.get(), presets_.get(), worker_, unitId, lcfs_);
    database_ = std::make_unique<DatabaseMgr>(maxTours, maxPresets, tours_.get(), presets_.get(), unitId);
    // The endpoints say themselves, once, which step failed and why.
    unsigned short status = 0;
    commClient_ = CreateCommClient(fw, nullptr, unitId, kCommClientPort, status, 3, 1000);
    if (!OpenCommServer()) {
        deafSinceMs_ = NowMs();
        nextDeafReportMs_ = deafSinceMs_ + kDeafReportMs;
    }
    if (worker_ != nullptr) {
        if (worker_->CreateMailbox(*this, kMailboxAddress, PRIORITY_HIGH, &mailbox_) != 0) {
            ReportSetupFailure("NuvakServer: " + LastSetupError() + "; running without monitor messages");
            mailbox_ = nullptr;
        }
        if (!worker_->CreateTimer(*this, true, PRIORITY_HIGH, &tourTimer_)) {
            ReportSetupFailure("NuvakServer: tour timer: " + LastSetupError() + "; tours do not step");
            tourTimer_ = nullptr;
        }
        for (const auto& [code, priority] : {std::pair{NUVAK_UPDATE_SIG, PRIORITY_NORMAL},
                                             std::pair{MON_DBUPDATE_SIG, PRIORITY_NORMAL},
                                             std::pair{CAM_DBUPDATE_SIG, PRIORITY_HIGH},
                                             std::pair{GRPPRE_UPDATE_SIG, PRIORITY_HIGH}}) {
            if (!worker_->CreateSignalListener(*this, priority, code, SYS_IDNULL_LONG, 0))
                ReportSetupFailure("NuvakServer: " + LastSetupError() + "; that database update is not seen");
        }
    } else {
        ReportSetupFailure("NuvakServer: IFrameWork::Register refused; no mailbox, tour timer or update signals");
    }
    budget_ = 0;
    resumeKey_ = kNoKey;
}

// Managers first, then the control table (its monitor clients hold the
// worker, which goes with UnRegister).
NuvakServer::~NuvakServer() {
    managers_.clear();
    controls_.reset();
    fw_->UnRegister(worker_);
    worker_ = nullptr;
}

// The tables load from the database folder; without it (or a table's data
// file) the service answers every group as unknown. Said once, at start.
void NuvakServer::ReportMissingDatabase() {
    const std::string dir = DBIF_GetPath();
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) {
        ReportSetupFailure("NuvakServer: stat(" + dir + "): " + SystemReason(errno) +
                           "; no tours or group presets loaded");
        return;
    }
    std::string missing;  // "DIR/nuvak.dbf, cam.dbf": one line for all
    int reason = 0;
    for (const char* table : {"nuvak", "grppre", "cam", "mon"}) {
        const std::string file = std::string(table) + ".dbf";
        const int fd = open((dir + "/" + file).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            close(fd);
            continue;
        }
        if (missing.empty()) reason = errno;
        missing += missing.empty() ? dir + "/" + file : ", " + file;
    }
    if (!missing.empty()) ReportSetupFailure("NuvakServer: open(" + missing + "): " + SystemReason(reason));
}

void NuvakServer::OnInit() {
    if (tourTimer_ != nullptr && !tourTimer_->Start(kTourTimerMs, &tourTimerId_))
        std::printf("OnInit: the tour timer (%u ms, steps every tour) could not be started; no tour steps\n",
                    static_cast<unsigned>(kTourTimerMs));
}

void NuvakServer::OnTerm() {
    if (mailbox_ != nullptr && worker_ != nullptr) {
        worker_->DestroyMailbox();
        mailbox_ = nullptr;
    }
    if (commServer_ != nullptr) {
        DestroyCommServer(&commServer_);
        commServer_ = nullptr;
    }
    if (commClient_ != nullptr) {
        DestroyCommClient(&commClient_);
        commClient_ = nullptr;
    }
    for (auto& [key, manager] : managers_) manager->SetCommServer(nullptr);
    if (worker_ != nullptr) {
        worker_->DestroyTimer(tourTimer_);
        tourTimer_ = nullptr;
        worker_->DestroySignalListener(CAM_DBUPDATE_SIG);
        worker_->DestroySignalListener(NUVAK_UPDATE_SIG);
        worker_->DestroySignalListener(GRPPRE_UPDATE_SIG);
        worker_->DestroySignalListener(MON_DBUPDATE_SIG);
    }
    tours_.reset();
    presets_.reset();
    database_.reset();
}

bool NuvakServer::OnEvent(EVENTTYPE type, unsigned int value) {
    switch (type) {
        case EVENT_SIGNAL: OnSignalEvent(value); break;
        case EVENT_TIMER: OnTimerEvent(value); break;
        case EVENT_IPC: OnIpcEvent(); break;
        default: break;
    }
    return true;
}

Element* NuvakServer::CreateElement(const char* name, const char** attributes) {
    return CameraElementFactory::CreateElement(name, attributes);
}

void NuvakServer::DestroyElement(std::string, Element*) {}

void NuvakServer::OnRequest(std::string text) {
    if (text.empty()) return;
    IXMLCodec* codec = nullptr;
    if (CreateXMLCodec(&codec) == FALSE || codec == nullptr) return;
    Message* decoded = nullptr;
    codec->Decode(&text, this, &decoded);
    DestroyXMLCodec(&codec);
    std::unique_ptr<Message> owned(decoded);
    if (auto* message = dynamic_cast<CameraMessage*>(owned.get())) CsiSequence(message);
}

void NuvakServer::CsiSequence(CameraMessage* message) {
    if (message == nullptr) return;
    if (message->GetActionType() != "UPDATE_STANDBY" &&
        nuvak::ids::UnitOf(message->GetMonitorID()) != message->GetSourceUnit())
        return;
    const unsigned long groupId = GetGroupSequenceId(message);
    area_ = nuvak::ids::AreaOf(nuvak::ids::LocalOf(static_cast<T_uint_32>(groupId)));
    auto it = managers_.find(groupId);
    if (it != managers_.end()) {
        it->second->SetNuvakId(groupId);
        it->second->NuvakMessage(message);
        return;
    }
    auto manager = std::make_unique<NuvakMgr>(commClient_, commServer_, worker_, controls_.get(),
                                              message->GetMonitorID(), groupId, unitId_, area_);
    manager->NuvakMessage(message);
    // Keep managers only for groups that exist here: requests for made-up or
    // foreign ids must not make the map grow without bound.
    if (IsKnownGroup(groupId)) managers_.emplace(groupId, std::move(manager));
}

bool NuvakServer::IsKnownGroup(unsigned long groupId) const {
    if (nuvak::ids::UnitOf(static_cast<T_uint_32>(groupId)) != unitId_) return false;
    const T_uint_32 logical = nuvak::ids::LocalOf(static_cast<T_uint_32>(groupId));
    return (tours_ != nullptr && tours_->GetPhysicalNuvak(logical) != SYS_IDNULL) ||
           (presets_ != nullptr && presets_->GetPhysicalGpreset(logical) != SYS_IDNULL);
}

unsigned long NuvakServer::GetGroupSequenceId(CameraMessage* message) {
    unsigned long id = kNoKey;
    Variable* variable = nullptr;
    if (message->GetVariable(0, &variable) != FALSE && variable != nullptr) {
        if (variable->GetVariableType() == "CameraGroup") {
            if (auto* g = dynamic_cast<CameraVariableGroup*>(variable)) id = g->GetGroupID();
        } else if (variable->GetVariableType() == "CameraGroupMonitor") {
            if (auto* g = dynamic_cast<CameraVariableGroupMonitor*>(variable)) id = g->GetGroupID();
        }
    }
    resumeKey_ = id;
    return id;
}

void NuvakServer::OnTimerEvent(unsigned int id) {
    if (tourTimer_ == nullptr || id != tourTimerId_) return;
    if (!serving_) RetryCommServer();
    NuvakTimer();
}

bool NuvakServer::OpenCommServer() {
    // A server whose port could not be bound is still returned (error set);
    // it says itself, once, which call failed and why.
    unsigned short status = 0;
    commServer_ = CreateCommServer(*fw_, *this, unitId_, kCommServerPort, status, 1, 1500);
    serving_ = CommServerListening(commServer_);
    // The task manager hears "not serving" rather than "healthy" meanwhile.
    ITMGR::SetHealthStatus(serving_ ? PROC_STATE_OK : PROC_STATE_UNKNOWN);
    return serving_;
}

// Once a second while port 5110 is not bound (another process holds it):
// the deaf server is replaced by a new one. The managers are handed the new
// one at once (they answer only from inside OnRequest, which the deaf one
// never calls).
void NuvakServer::RetryCommServer() {
    DestroyCommServer(&commServer_);
    commServer_ = nullptr;
    const bool bound = OpenCommServer();
    for (auto& [key, manager] : managers_) manager->SetCommServer(commServer_);
    const std::uint64_t now = NowMs();
    const unsigned long seconds = static_cast<unsigned long>((now - deafSinceMs_) / 1000);
    if (bound) {
        std::printf("comm server (port %u): bound after %lu s; serving requests\n", kCommServerPort, seconds);
    } else if (now >= nextDeafReportMs_) {
        // The reason when it is the bind's (other causes were said at start).
        const std::string& why = LastSetupError();
        const std::string reason = why.rfind("bind(", 0) == 0 ? " (" + why + ")" : std::string();
        std::printf("comm server (port %u): still not bound after %lu s%s; retried every second, health "
                    "checks answered not serving\n",
                    kCommServerPort, seconds, reason.c_str());
        nextDeafReportMs_ = now + kDeafReportMs;
    } else {
        return;
    }
    std::fflush(stdout);
}

// At most five tours change step per pass; tours still counting down cost
// nothing. The walk starts at the resume key (the manager that follows the
// last one served, or the group of the latest request) and goes once round
// the whole map, so that a pass that starts in the middle still ticks every
// countdown; when the budget runs out the next pass resumes where it stopped.
void NuvakServer::NuvakTimer() {
    budget_ = kStepsPerPass;
    if (managers_.empty()) {
        resumeKey_ = kNoKey;
        return;
    }
    auto it = (resumeKey_ == kNoKey) ? managers_.begin() : managers_.lower_bound(resumeKey_);
    if (it == managers_.end()) it = managers_.begin();
    std::size_t visited = 0;
    while (visited < managers_.size() && budget_ != 0) {
        if (it->second->NuvakTimer(it->first) != 0) --budget_;
        ++visited;
        if (++it == managers_.end()) it = managers_.begin();
    }
    resumeKey_ = (visited < managers_.size()) ? it->second->GetNuvakId() : kNoKey;
}

void NuvakServer::OnIpcEvent() {
    if (mailbox_ == nullptr) return;
    if (IPCMessage* message = mailbox_->GetMessage()) OnMonitorBlock(message);
}

void NuvakServer::OnMonitorBlock(IPCMessage* message) {
    if (message == nullptr) return;
    const T_ipchdr* block = message->GetHandle();
    if (block == nullptr || mm::LoadLE16(IPC_block(block) + mm::kClass) != mm::kMonClass) {
        OwnedIpcMessage dropped(message);
        return;
    }
    CsiMonCam(message, block);
}

// The message reaches a client only when it answers that client's own
// exchange (NuvakMgr::Route); whether a manager serves the tour it names
// does not matter. Every block is released and its wrapper deleted.
void NuvakServer::CsiMonCam(IPCMessage* message, const T_ipchdr* block) {
    OwnedIpcMessage owned(message);
    T_MON_msg monitor;
    std::memcpy(monitor.bytes, IPC_block(block), sizeof monitor.bytes);
    NuvakMgr::Route(controls_.get(), &monitor);
}

void NuvakServer::OnSignalEvent(unsigned int code) {
    if (database_ == nullptr || database_->DatabaseUpdate(code) != 0) return;
    if (code == NUVAK_UPDATE_SIG || code == GRPPRE_UPDATE_SIG) AfterTourReload();
}

// After the tours were reloaded, every tour that holds monitors (running or
// held) must still be reachable by its logical id, or nobody could step,
// stop or take back its monitors:
//  - a tour the reload deleted, or whose logical id now belongs to another
//    tour that kept it, is ended as a Stop would end it; but only when the
//    tour table was read whole (a table caught half-written says nothing
//    about deletions: its tours stay as they are until a later reload);
//  - a tour given a new logical id goes on under it: its block and the
//    clients it holds send the new global id from now on, and a manager
//    serves it, so the timer pass keeps stepping it.
// Managers of group ids that no longer exist are dropped.
void NuvakServer::AfterTourReload() {
    if (controls_ == nullptr || tours_ == nullptr) return;
    const bool whole = database_ == nullptr || database_->ToursReadWhole();
    for (unsigned short id = 1; id <= SYS_NNUVAKS; ++id) {
        NuvakCntl* control = controls_->GetNuvakCntl(id);
        if (control == nullptr || control->GetState() == TOURSTATE_END) continue;
        const Nuvak* tour = tours_->GetNuvak(id);
        if (tour == nullptr || tours_->GetPhysicalNuvak(tour->GetLogicalTourId()) != id) {
            if (whole) control->ControlEnd(id);
            continue;
        }
        const auto logical = static_cast<T_uint_32>(tour->GetLogicalTourId());
        if (control->GetLogicalId() != logical) control->Renumber(logical);
        const unsigned long groupId = nuvak::ids::GlobalId(unitId_, logical);
        if (managers_.count(groupId) == 0)
            managers_.emplace(groupId, std::make_unique<NuvakMgr>(
                                           commClient_, commServer_, worker_, controls_.get(), 0, groupId, unitId_,
                                           nuvak::ids::AreaOf(logical)));
    }
    for (auto it = managers_.begin(); it != managers_.end();) {
        it = IsKnownGroup(it->first) ? std::next(it) : managers_.erase(it);
    }
}
