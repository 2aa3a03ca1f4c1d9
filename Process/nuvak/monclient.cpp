#include "monclient.h"

#include <cstdio>
#include <cstring>

#include "camstate.h"
#include "idlestate.h"
#include "ipc.h"
#include "monmsg.h"
#include "monstate.h"
#include "presetstate.h"
#include "groupids.h"
#include "sysdefs.h"

namespace mm = nuvak::monmsg;

namespace {
constexpr unsigned short kWatchdogTicks = 19;  // reset on the 20th armed tick
}  // namespace

MonClient::MonClient(unsigned short monitorId, unsigned short tourId, IFrameWorkServer* server)
    : monitorId_(monitorId), tourId_(tourId), server_(server) {
    states_[IDLESTATE] = std::make_unique<IdleState>();
    states_[MONSELECTSTATE] = std::make_unique<MonSelectState>();
    states_[MONSEIZESTATE] = std::make_unique<MonSeizeState>();
    states_[CAMSTATE] = std::make_unique<CamState>();
    states_[PRESETSTATE] = std::make_unique<PresetState>();
    current_ = states_[IDLESTATE].get();
}

MonClient::MonClient() : MonClient(SYS_IDNULL, SYS_IDNULL, nullptr) {}

MonClient::~MonClient() = default;

void MonClient::SetUserData(unsigned short userId, unsigned short deviceId, unsigned long priority,
                            unsigned long userMonitor) {
    userId_ = userId;
    deviceId_ = deviceId;
    priority_ = static_cast<T_uint_32>(priority);
    userMonitor_ = static_cast<T_uint_32>(userMonitor);
}

void MonClient::SetStartTimer(unsigned short v) {
    watchdogFlag_ = v;
    if (v == 0) watchdogCount_ = 0;
}

void MonClient::MonitorSelect() { current_->MonitorSelect(this); }
void MonClient::MonitorSeize() { current_->MonitorSeize(this); }
void MonClient::MonitorRelease() { current_->MonitorRelease(this); }
unsigned short MonClient::CameraSelect() { return current_->CameraSelect(this); }
unsigned short MonClient::CameraPreset() { return current_->CameraPreset(this); }
void MonClient::TourStop() { current_->TourStop(this); }
void MonClient::TourPause() { current_->TourPause(this); }
void MonClient::CsiSeizeConfirm() { current_->CsiSeizeConfirm(this); }
void MonClient::CsiSuspendConfirm() { current_->CsiSuspendConfirm(this); }
void MonClient::CsiReleaseConfirm() { current_->CsiReleaseConfirm(this); }
void MonClient::CsiControlConfirm(unsigned short result) { current_->CsiControlConfirm(this, result); }
void MonClient::CsiSeizeInd() { current_->CsiSeizeInd(this); }
void MonClient::CsiSuspendInd() { current_->CsiSuspendInd(this); }
void MonClient::CsiControlInd() { current_->CsiControlInd(this); }

// Entering idle runs what was asked for during the exchange: first a pending
// seize, then a pending select (which leaves the client in MonSelectState).
// A one-shot preset's client acting for the group device gives its monitor
// back each time it becomes idle. The recursion this can cause is bounded:
// the pending flags are cleared before anything re-enters idle.
void MonClient::ChangeState(int s) {
    if (s < IDLESTATE || s > PRESETSTATE) {
        current_ = states_[IDLESTATE].get();
        return;
    }
    if (s != IDLESTATE) {
        current_ = states_[s].get();
        SetStartTimer(TRUE);
        return;
    }
    current_ = states_[IDLESTATE].get();
    if (callMonSeize_ == TRUE) {
        callMonSeize_ = 0;
        current_->MonitorSeize(this);
    }
    if (callMonSelect_ == TRUE) {
        callMonSelect_ = 0;
        current_->MonitorSelect(this);
        current_ = states_[MONSELECTSTATE].get();
    }
    // A one-shot preset (its clients carry tour state END) gives back the
    // monitors it took for the group device once its exchange is over.
    if (tourId_ > SYS_NNUVAKS && tourState_ == TOURSTATE_END && nuvak::ids::IsGroupDevice(deviceId_))
        current_->MonitorRelease(this);
    SetStartTimer(0);
}

bool MonClient::Answers(unsigned short tourCntl, unsigned long globalTour) const {
    if (!sentAny_ || tourCntl != sentTourId_) return false;
    const auto global = static_cast<T_uint_32>(globalTour);
    return global == sentGlobalTourId_ || (tourCntl == tourId_ && global == globalTourId_);
}

unsigned short MonClient::GetCurrentState() const {
    for (unsigned short i = 0; i < 5; ++i)
        if (states_[i].get() == current_) return i;
    return IDLESTATE;
}

void MonClient::DisplayState() const {
    std::printf("DisplayState: monitor %u tour %u state %s mon %u cam %u\n", monitorId_, tourId_,
                current_->Name(), monState_, camState_);
}

void MonClient::MonClientTimer() {
    if (watchdogFlag_ == 0) return;
    ++watchdogCount_;
    if (watchdogCount_ > kWatchdogTicks) {
        watchdogCount_ = 0;
        watchdogFlag_ = 0;
        if (GetCurrentState() != IDLESTATE) ChangeState(IDLESTATE);
    }
}

unsigned short MonClient::SendMonitorSelect(bool* built) { return Send(Request::Select, built); }
unsigned short MonClient::SendMonitorSeize(bool* built) { return Send(Request::Seize, built); }
unsigned short MonClient::SendMonitorRelease(bool* built) { return Send(Request::Release, built); }
unsigned short MonClient::SendCameraSelect(bool* built) { return Send(Request::Camera, built); }
unsigned short MonClient::SendCameraPreset(bool* built) { return Send(Request::Preset, built); }
unsigned short MonClient::SendTourStop(bool* built) { return Send(Request::Stop, built); }
unsigned short MonClient::SendTourPause(bool* built) { return Send(Request::Pause, built); }

// Fills the process's one IPC block and sends it to the monitor control
// process. The message object is released and deleted within this call, so no
// block is kept between calls (the IPC layer has one block per process).
unsigned short MonClient::Send(Request r, bool* built) {
    *built = false;
    if (server_ == nullptr) return NUVAKERR_INVALPTR;
    std::unique_ptr<IPCMessage> msg(server_->CreateMessage(mm::kOwnAddress, static_cast<int>(mm::kSize)));
    if (!msg) return NUVAKERR_INVALPTR;
    T_ipchdr* hdr = msg->GetHandle();
    if (hdr == nullptr) {
        msg->Release();
        return NUVAKERR_INVALHNDL;
    }
    if ((r == Request::Camera && cameraId_ == SYS_IDNULL_LONG) ||
        (r == Request::Preset && (cameraId_ == SYS_IDNULL_LONG || camPresetId_ == 0 || camPresetId_ == SYS_IDNULL))) {
        msg->Release();
        return NUVAKERR_INVALID;
    }
    unsigned char* block = IPC_block(hdr);
    static_assert(sizeof(T_ipchdr) == mm::kBlockSize, "the IPC block carries the monitor message");
    std::memset(block, 0, mm::kBlockSize);
    mm::StoreLE16(block + mm::kSender, mm::kOwnAddress);
    mm::StoreLE16(block + mm::kSender2, mm::kOwnAddress);
    mm::StoreLE16(block + mm::kDest, mm::kMonCtlAddress);
    mm::StoreLE16(block + mm::kClass, 0);
    mm::StoreLE16(block + mm::kLength, static_cast<std::uint16_t>(mm::kSize));
    std::uint16_t command = mm::kCmdCamera;
    if (r == Request::Select || r == Request::Seize) command = mm::kCmdSeize;
    if (r == Request::Release) command = mm::kCmdRelease;
    mm::StoreLE16(block + mm::kCommand, command);
    mm::StoreLE32(block + mm::kPriority, priority_);
    mm::StoreLE16(block + mm::kMonitor, monitorId_);
    mm::StoreLE16(block + mm::kDevice, deviceId_);
    mm::StoreLE16(block + mm::kUser, userId_);
    mm::StoreLE16(block + mm::kTourCntl, tourId_);
    switch (r) {
        case Request::Select:
        case Request::Seize:
        case Request::Release:
            mm::StoreLE16(block + mm::kCtrlWord, static_cast<std::uint16_t>(mm::kCtrlTourBase + tourState_));
            mm::StoreLE16(block + mm::kCtrlValue, 1);
            mm::StoreLE32(block + mm::kTarget, globalTourId_);
            mm::StoreLE16(block + mm::kTourAction, MON_TOUR_ACT_NONE);
            break;
        case Request::Camera:
            mm::StoreLE16(block + mm::kCtrlWord, mm::kCtrlCamera);
            mm::StoreLE16(block + mm::kCtrlValue, 0);
            mm::StoreLE32(block + mm::kTarget, cameraId_);
            break;
        case Request::Preset:
            mm::StoreLE16(block + mm::kCtrlWord, mm::kCtrlPreset);
            mm::StoreLE16(block + mm::kCtrlValue, camPresetId_);
            mm::StoreLE16(block + mm::kZero94, 0);
            mm::StoreLE16(block + mm::kTarget, 0);
            break;
        case Request::Stop:
            mm::StoreLE16(block + mm::kCtrlWord, mm::kCtrlTourStop);
            mm::StoreLE16(block + mm::kCtrlValue, 1);
            mm::StoreLE32(block + mm::kTarget, globalTourId_);
            mm::StoreLE16(block + mm::kTourAction, MON_TOUR_ACT_DEL);
            break;
        case Request::Pause:
            mm::StoreLE16(block + mm::kCtrlWord, mm::kCtrlTourBase);
            mm::StoreLE16(block + mm::kCtrlValue, 1);
            mm::StoreLE32(block + mm::kTarget, globalTourId_);
            mm::StoreLE16(block + mm::kTourAction, MON_TOUR_ACT_PAUSE);
            break;
    }
    *built = true;
    sentAny_ = true;
    sentTourId_ = tourId_;
    if (r != Request::Camera && r != Request::Preset) sentGlobalTourId_ = globalTourId_;
    if (!msg->Send(mm::LoadLE16(block + mm::kDest))) {
        msg->Release();
        return NUVAKERR_SENDFAIL;
    }
    return 0;
}
