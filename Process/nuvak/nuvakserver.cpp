#include "nuvakserver.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "databasemgr.h"
#include "gpresettable.h"
#include "nuvakcntltable.h"
#include "nuvakmgr.h"
#include "nuvaktable.h"
#include "sysdefs.h"
#include "tmgrdm.h"
#include "xmlcodec.h"

namespace mm = nuvak::monmsg;

namespace {
constexpr unsigned short kControlBlocks = 512;
constexpr unsigned short kCommClientPort = 5010;
constexpr unsigned short kCommServerPort = 5110;
constexpr unsigned short kMailboxAddress = 13;
constexpr unsigned int kTourTimerMs = 1000;
constexpr unsigned short kStepsPerPass = 5;
constexpr unsigned long kNoKey = 0xFFFFFFFFul;
}  // namespace

NuvakServer::NuvakServer(unsigned short maxTours, unsigned short maxPresets, unsigned short unitId,
                         IFrameWork& fw, ITMGR& tmgr)
    : tmgr_(tmgr), unitId_(unitId), fw_(&fw) {
    if (!fw.Register(*this, &worker_)) worker_ = nullptr;
    presets_ = new GpresetTable(maxPresets);
    tours_ = new NuvakTable(maxTours);
    T_TMGRIF_cfg cfg;
    std::memset(&cfg, 0, sizeof cfg);
    if (ITMGR::Getsize(&cfg) == 0 && cfg.user_operation == OPER_USER_LCFS) lcfs_ = 0xFFFF;
    controls_ = new NuvakCntlTable(kControlBlocks, tours_, presets_, worker_, unitId, lcfs_);
    database_ = new DatabaseMgr(maxTours, maxPresets, tours_, presets_, unitId);
    unsigned short status = 0;
    commClient_ = CreateCommClient(fw, nullptr, unitId, kCommClientPort, status, 3, 1000);
    if (status != 0) std::printf("NuvakServer: comm client on port %u failed (0x%x)\n", kCommClientPort, status);
    status = 0;
    commServer_ = CreateCommServer(fw, *this, unitId, kCommServerPort, status, 1, 1500);
    if (status != 0) std::printf("NuvakServer: comm server on port %u failed (0x%x)\n", kCommServerPort, status);
    if (worker_ != nullptr) {
        if (worker_->CreateMailbox(*this, kMailboxAddress, PRIORITY_HIGH, &mailbox_) != 0) {
            std::printf("NuvakServer: CreateMailbox(%u) failed; running without monitor messages\n",
                        kMailboxAddress);
            mailbox_ = nullptr;
        }
        if (!worker_->CreateTimer(*this, true, PRIORITY_HIGH, &tourTimer_)) tourTimer_ = nullptr;
        worker_->CreateSignalListener(*this, PRIORITY_NORMAL, NUVAK_UPDATE_SIG, 0xFFFFFFFF, 0);
        worker_->CreateSignalListener(*this, PRIORITY_NORMAL, MON_DBUPDATE_SIG, 0xFFFFFFFF, 0);
        worker_->CreateSignalListener(*this, PRIORITY_HIGH, CAM_DBUPDATE_SIG, 0xFFFFFFFF, 0);
        worker_->CreateSignalListener(*this, PRIORITY_HIGH, GRPPRE_UPDATE_SIG, 0xFFFFFFFF, 0);
    }
    budget_ = 0;
    resumeKey_ = kNoKey;
}

// Managers first, then the control table (its monitor clients hold the
// worker, which goes with UnRegister).
NuvakServer::~NuvakServer() {
    for (auto& [key, manager] : managers_) delete manager;
    managers_.clear();
    delete controls_;
    controls_ = nullptr;
    fw_->UnRegister(worker_);
    worker_ = nullptr;
}

void NuvakServer::OnInit() {
    if (tourTimer_ != nullptr && !tourTimer_->Start(kTourTimerMs, &tourTimerId_))
        std::printf("OnInit: the tour timer could not be started!\n");
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
    delete tours_;
    tours_ = nullptr;
    delete presets_;
    presets_ = nullptr;
    delete database_;
    database_ = nullptr;
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
        message->GetMonitorID() / SYS_GLOBAL_GROUP_FACTOR != message->GetSourceUnit())
        return;
    const unsigned long groupId = GetGroupSequenceId(message);
    area_ = static_cast<unsigned short>((groupId % SYS_GLOBAL_GROUP_FACTOR) / SYS_AREA_FACTOR);
    auto it = managers_.find(groupId);
    if (it != managers_.end()) {
        it->second->SetNuvakId(groupId);
        it->second->NuvakMessage(message);
        return;
    }
    auto* manager = new NuvakMgr(commClient_, commServer_, worker_, controls_, message->GetMonitorID(), groupId,
                                 unitId_, area_);
    managers_.emplace(groupId, manager);
    manager->NuvakMessage(message);
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
    if (tourTimer_ != nullptr && id == tourTimerId_) NuvakTimer();
}

// At most five tours change step per pass; the walk resumes next second at
// the manager where it stopped. Tours still counting down cost nothing.
void NuvakServer::NuvakTimer() {
    budget_ = kStepsPerPass;
    auto it = (resumeKey_ == kNoKey) ? managers_.begin() : managers_.find(resumeKey_);
    while (it != managers_.end() && budget_ != 0) {
        if (it->second->NuvakTimer(it->first) != 0) --budget_;
        ++it;
    }
    resumeKey_ = (it != managers_.end()) ? it->second->GetNuvakId() : kNoKey;
}

void NuvakServer::OnIpcEvent() {
    if (mailbox_ == nullptr) return;
    IPCMessage* message = mailbox_->GetMessage();
    if (message == nullptr) return;
    const T_ipchdr* block = message->GetHandle();
    if (block == nullptr || mm::LoadLE16(IPC_block(block) + mm::kClass) != mm::kMonClass) {
        message->Release();
        delete message;
        return;
    }
    CsiMonCam(message, block);
}

void NuvakServer::CsiMonCam(IPCMessage* message, const T_ipchdr* block) {
    T_MON_msg monitor;
    std::memcpy(monitor.bytes, IPC_block(block), sizeof monitor.bytes);
    auto it = managers_.find(mm::LoadLE32(monitor.bytes + mm::kGlobalTour));
    if (it != managers_.end()) it->second->CsiMonCam(&monitor);
    message->Release();
    delete message;
}

void NuvakServer::OnSignalEvent(unsigned int code) {
    if (database_ != nullptr) database_->DatabaseUpdate(code);
}
