#include "nuvakcntl.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "cameramessage.h"
#include "gpresettable.h"
#include "nuvakcntltable.h"
#include "nuvaktable.h"
#include "groupids.h"
#include "sysdefs.h"
#include "systune.h"

namespace {
constexpr unsigned short kNoUserDevice = SYS_DEVICE_NOUSER;  // 767: a tour without a user
constexpr unsigned short kBusyResetChecks = 5;

unsigned short NextIndex(unsigned short index, unsigned short count) {
    return (index + 1u >= count) ? 0 : static_cast<unsigned short>(index + 1);
}
unsigned short PrevIndex(unsigned short index, unsigned short count) {
    if (count == 0) return 0;
    if (index == 0 || index > count) return static_cast<unsigned short>(count - 1);
    return static_cast<unsigned short>(index - 1);
}
using nuvak::ids::GroupDevice;
}  // namespace

template <class Fn>
bool NuvakCntl::ForEachClient(const Gpreset& preset, Fn fn) const {
    for (unsigned short i = 0; i < preset.GetNumElement(); ++i) {
        T_GROUP_element* el = preset.GetPresetElement(i);
        if (el == nullptr) return false;
        fn(*el, owner_->GetMonClient(el->mon_id, tourId_));
    }
    return true;
}

NuvakCntl::NuvakCntl(unsigned short tourId, unsigned short state, unsigned short mode,
                     unsigned short stepIndex, unsigned short timeTick, NuvakCntlTable* owner)
    : tourId_(tourId), blockId_(tourId), state_(state), mode_(mode), stepIndex_(stepIndex), timeTick_(timeTick),
      owner_(owner) {}

void NuvakCntl::SetUserData(unsigned short userId, unsigned short deviceId, unsigned long priority,
                            unsigned long userMonitor) {
    userId_ = userId;
    deviceId_ = deviceId;
    // The weakest priority is kept one above "none", so that a user-less
    // command still differs from an empty block.
    priority_ = (static_cast<T_uint_32>(priority) == SYS_IDNULL_LONG) ? 0xFFFFFFFEu
                                                                 : static_cast<T_uint_32>(priority);
    userMonitor_ = static_cast<unsigned short>(nuvak::ids::LocalOf(static_cast<T_uint_32>(userMonitor)));
}

unsigned short NuvakCntl::ControlSequence(unsigned short id, unsigned short action, unsigned short& state) {
    unsigned short result = 0;
    if (id == SYS_IDNULL) {
        state = state_;
        return NUVAKERR_INVALID;
    }
    switch (action) {
        case MON_TOUR_ACT_DEL: result = ControlStop(id); break;
        case MON_TOUR_ACT_RUN:
            tourId_ = id;
            result = ControlRun(id, 0);
            break;
        case MON_TOUR_ACT_PAUSE: result = ControlPause(id); break;
        case MON_TOUR_ACT_INC: result = ControlInc(id); break;
        case MON_TOUR_ACT_DEC: result = ControlDec(id); break;
        case MON_TOUR_ACT_REV: result = 0; break;
        case MON_TOUR_ACT_NOP: result = ControlStart(id); break;
        case MON_TOUR_ACT_SKIP: result = ControlSkip(id); break;
        default: result = NUVAKEER_INVTOURCMD; break;
    }
    if (result == 0) tourId_ = id;
    state = state_;
    return result;
}

unsigned short NuvakCntl::ControlRun(unsigned short id, unsigned short mode) {
    mode_ = mode;
    if (!Guard(id)) return NUVAKERR_INVALID;
    Nuvak* tour = owner_ ? owner_->GetNuvakTable()->GetNuvak(id) : nullptr;
    if (tour == nullptr) return NUVAKERR_INVALPTR;
    const unsigned short count = tour->GetNumStep();
    T_NUVAK_step* step = count ? tour->GetTourStep(stepIndex_) : nullptr;
    if (step == nullptr) return NUVAKERR_INVSTEP;
    const unsigned short presetId = step->grp_id;
    indexOnScreen_ = state_ == TOURSTATE_END;
    stepIndex_ = indexOnScreen_ ? 0 : NextIndex(stepIndex_, count);
    state_ = TOURSTATE_RUNNING;
    timeTick_ = 0;
    return ProcessGroupPreset(TRUE, presetId);
}

unsigned short NuvakCntl::ControlStop(unsigned short id) {
    if (!Guard(id)) return NUVAKERR_INVALID;
    state_ = TOURSTATE_END;
    mode_ = 0;
    stepIndex_ = 0;
    timeTick_ = 0;
    ProcessTourStop(id);
    tourId_ = SYS_IDNULL;
    logicalId_ = SYS_IDNULL_LONG;
    return 0;
}

// An ended tour is not held (it holds nothing): Pause answers it as Start,
// Inc and Dec do.
unsigned short NuvakCntl::ControlPause(unsigned short id) {
    if (!Guard(id)) return NUVAKERR_INVALID;
    if (state_ == TOURSTATE_END) return NUVAKERR_INVSTATE;
    state_ = TOURSTATE_STOPPED;
    Nuvak* tour = owner_ ? owner_->GetNuvakTable()->GetNuvak(id) : nullptr;
    if (tour == nullptr) return NUVAKERR_INVALPTR;
    if (tour->GetNumStep() == 0) return NUVAKERR_INVSTEP;
    timeTick_ = 0;
    if (!indexOnScreen_) stepIndex_ = PrevIndex(stepIndex_, tour->GetNumStep());
    indexOnScreen_ = true;
    ProcessTourPause(id);
    return 0;
}

unsigned short NuvakCntl::ControlStart(unsigned short id) {
    if (!Guard(id)) return NUVAKERR_INVALID;
    if (state_ != TOURSTATE_STOPPED) return NUVAKERR_INVSTATE;
    state_ = TOURSTATE_RUNNING;
    mode_ = 0;
    stepIndex_ = 0;
    indexOnScreen_ = false;
    timeTick_ = 0;
    return 0;
}

unsigned short NuvakCntl::ControlInc(unsigned short id) { return StepByHand(id, true); }

unsigned short NuvakCntl::ControlDec(unsigned short id) { return StepByHand(id, false); }

// Steps a held tour forward (an index past the end stays on the last step) or
// backward, and shows that step on the monitors it holds.
unsigned short NuvakCntl::StepByHand(unsigned short id, bool forward) {
    if (!Guard(id)) return NUVAKERR_INVALID;
    if (state_ != TOURSTATE_STOPPED) return NUVAKERR_INVSTATE;
    Nuvak* tour = owner_ ? owner_->GetNuvakTable()->GetNuvak(id) : nullptr;
    if (tour == nullptr) return NUVAKERR_INVALPTR;
    const unsigned short count = tour->GetNumStep();
    if (count == 0) return NUVAKERR_INVSTEP;
    if (forward) {
        stepIndex_ = NextIndex(stepIndex_, count);
        if (stepIndex_ >= count) stepIndex_ = static_cast<unsigned short>(count - 1);
    } else {
        stepIndex_ = PrevIndex(stepIndex_, count);
    }
    T_NUVAK_step* step = tour->GetTourStep(stepIndex_);
    if (step == nullptr) return NUVAKERR_INVSTEP;
    timeTick_ = 0;
    indexOnScreen_ = true;
    return ProcessGroupPreset(0, step->grp_id);
}

unsigned short NuvakCntl::ControlSkip(unsigned short) { return 0; }

unsigned short NuvakCntl::NuvakUserUpdate(const Gpreset* preset) const {
    for (unsigned short i = 0; i < preset->GetNumElement(); ++i) {
        const T_GROUP_element* el = const_cast<Gpreset*>(preset)->GetPresetElement(i);
        if (el == nullptr) break;
        if (el->mon_id == userMonitor_) return TRUE;
    }
    return 0;
}

// Shows a tour step: flag 0xFFFF for the first showing by Run (seize, then
// camera and preset), 0 for the timer and stepping by hand (camera and preset
// on monitors already held).
unsigned short NuvakCntl::ProcessGroupPreset(unsigned short flag, unsigned short presetId) {
    return ShowPreset(presetId, flag == TRUE ? Showing::kFirst : Showing::kStep);
}

// Shows a group preset once: every monitor is seized for the commanding user
// and, the exchange done, the client ends it with a tour stop.
unsigned short NuvakCntl::ProcessGroupPreset(unsigned short presetId) {
    return ShowPreset(presetId, Showing::kOnce);
}

// Fills the monitor client of every element of the preset (creating it on
// first use) and starts its exchange with the monitor control process:
//   kFirst  the tour's first showing: user data, seize, camera, preset;
//   kStep   a later step: camera and preset on the monitors already held; a
//           monitor not held yet is seized first, as in a first showing;
//   kOnce   a one-shot preset: like kFirst, the clients end with a tour stop.
// Every monitor seized is entered in the record with its identity. A monitor
// that another running or held tour holds is left alone: it is that tour's
// until it ends. A tour whose user is not a member of the preset runs without
// a user afterwards; a one-shot preset keeps the commanding user.
unsigned short NuvakCntl::ShowPreset(unsigned short presetId, Showing how) {
    if (owner_ == nullptr) return NUVAKERR_INVALPTR;
    GpresetTable* presets = owner_->GetPresetTable();
    Gpreset* preset = presets ? presets->GetGpreset(presetId) : nullptr;
    if (preset == nullptr) return NUVAKERR_INVALPTR;
    const T_uint_32 globalTour =
        nuvak::ids::GlobalId(owner_->GetSourceUnit(), logicalId_);
    // A one-shot preset's clients gave back what they took when their last
    // showing ended: its record starts afresh.
    if (how == Showing::kOnce) ForgetAll();
    // The user is a member at a monitor of this preset or at one the tour
    // holds (a step on other monitors seizes them in the same user's name).
    const unsigned short member = (NuvakUserUpdate(preset) != 0 || Holds(userMonitor_)) ? TRUE : 0;
    const bool whole = ForEachClient(*preset, [&](const T_GROUP_element& el, MonClient* client) {
        const NuvakCntl* holder = owner_->HolderOf(el.mon_id);
        if (holder != nullptr && holder != this) return;
        if (client == nullptr)
            client = owner_->AddMonClient(el.mon_id, tourId_,
                                          new MonClient(el.mon_id, tourId_, owner_->GetIFrameWorkServer()));
        client->SetMonitorId(el.mon_id);
        client->SetCameraId(owner_->GetGlobalCameraId(presets->GetLogCam(el.cam_id)));
        client->SetGlobalTourId(globalTour);
        client->SetCamPresetId(el.preset);
        const auto held = held_.find(el.mon_id);
        const bool fresh = how != Showing::kStep || held == held_.end();
        // A held monitor whose seize was answered with a suspend was given
        // back at once (the client released it): the tour does not have it
        // and seizes it again before it shows a camera there.
        const bool seize = fresh || held->second.lost || client->GetMonState() == CONNST_SUSPENDED;
        if (fresh) {
            Hold(client, el.mon_id, FirstShowing(el.mon_id, member));
        } else {
            held->second.lost = false;
            client->SetUserData(held->second.userId, held->second.deviceId, held->second.priority,
                                held->second.userMonitor);
        }
        // A one-shot preset's clients carry tour state END: they end their
        // exchange with a tour stop.
        client->SetTourState(how == Showing::kOnce ? static_cast<unsigned short>(TOURSTATE_END) : state_);
        client->SetTourId(tourId_);
        if (seize)
            client->MonitorSelect();
        else
            client->CameraSelect();
    });
    if (!whole) return NUVAKERR_INVALPTR;
    if (member == 0 && how != Showing::kOnce) {
        deviceId_ = kNoUserDevice;
        userId_ = SYS_IDNULL;
        priority_ = SYS_IDNULL_LONG;
    }
    return 0;
}

NuvakCntl::Held NuvakCntl::FirstShowing(unsigned short monitor, unsigned short member) const {
    if (member == 0) return {monitor, kNoUserDevice, SYS_IDNULL_LONG, monitor};
    if (monitor == userMonitor_) return {userId_, deviceId_, priority_, userMonitor_};
    return {monitor, GroupDevice(deviceId_), owner_->IsLCFS() == 0 ? Weaker(priority_) : priority_, monitor};
}

void NuvakCntl::Hold(MonClient* client, unsigned short monitor, const Held& held) {
    client->SetUserData(held.userId, held.deviceId, held.priority, held.userMonitor);
    held_[monitor] = held;
    owner_->NoteHeld(monitor, blockId_);
}

MonClient* NuvakCntl::HeldClient(unsigned short monitor, const Held& held) const {
    MonClient* client = owner_->GetMonClient(monitor, tourId_);
    if (client != nullptr) client->SetUserData(held.userId, held.deviceId, held.priority, held.userMonitor);
    return client;
}

void NuvakCntl::ForgetAll() {
    if (owner_ != nullptr)
        for (const auto& entry : held_) owner_->NoteReleased(entry.first, blockId_);
    held_.clear();
}

void NuvakCntl::Renumber(unsigned long logicalId) {
    logicalId_ = static_cast<T_uint_32>(logicalId);
    area_ = nuvak::ids::AreaOf(logicalId_);
    if (owner_ == nullptr) return;
    const T_uint_32 global = nuvak::ids::GlobalId(owner_->GetSourceUnit(), logicalId_);
    for (const auto& entry : held_)
        if (MonClient* client = owner_->GetMonClient(entry.first, tourId_)) client->SetGlobalTourId(global);
}

// The tour ends: every monitor of the record is stopped under the identity
// it is held under, whatever the tables now say of the tour's steps.
unsigned short NuvakCntl::ProcessTourStop(unsigned short) {
    if (owner_ == nullptr) return NUVAKERR_INVALPTR;
    for (const auto& [monitor, held] : held_)
        if (MonClient* client = HeldClient(monitor, held)) StopClient(client, monitor);
    ForgetAll();
    return 0;
}

// One monitor of a tour that ends: the client takes the block's state, gets
// the tour stop and gives back a monitor taken for the group device; the
// commanding user's own monitor goes back to that user.
void NuvakCntl::StopClient(MonClient* client, unsigned short monitor) {
    client->SetTourState(state_);
    client->SetTourId(tourId_);
    const bool groupDevice = nuvak::ids::IsGroupDevice(client->GetDeviceId());
    if (monitor == userMonitor_ && client->GetUserId() != userId_) {
        if (groupDevice) client->MonitorRelease();
        client->SetUserData(userId_, deviceId_, priority_, userMonitor_);
        client->TourStop();
    } else {
        client->TourStop();
        if (groupDevice) client->MonitorRelease();
    }
}

// Ends a block whose tour a reload took away (deleted, or its logical id now
// another tour's), as a Stop would: on the monitors of its record.
unsigned short NuvakCntl::ControlEnd(unsigned short id) {
    if (owner_ == nullptr) return NUVAKERR_INVALPTR;
    if (id == SYS_IDNULL) return NUVAKERR_INVALID;
    tourId_ = id;
    state_ = TOURSTATE_END;
    mode_ = 0;
    stepIndex_ = 0;
    timeTick_ = 0;
    retry_ = 0;
    ProcessTourStop(id);
    tourId_ = SYS_IDNULL;
    logicalId_ = SYS_IDNULL_LONG;
    return 0;
}

// Only a user at one of the held monitors pauses the clients.
unsigned short NuvakCntl::ProcessTourPause(unsigned short) {
    if (!Holds(userMonitor_)) return NUVAKERR_INVALHNDL;
    for (const auto& [monitor, held] : held_) {
        MonClient* client = HeldClient(monitor, held);
        if (client == nullptr) continue;
        client->SetTourState(state_);
        client->SetTourId(tourId_);
        client->TourPause();
    }
    return 0;
}

unsigned short NuvakCntl::CheckMonClientState(unsigned short presetId) {
    Gpreset* preset = owner_->GetPresetTable()->GetGpreset(presetId);
    if (preset == nullptr) return NUVAKERR_INVALPTR;
    // TRUE when every client is idle; a missing element counts as busy.
    // Only the clients this tour holds: a monitor another tour holds is
    // that tour's business.
    const MonClient* busy = nullptr;
    const bool whole = ForEachClient(*preset, [&](const T_GROUP_element& el, MonClient* client) {
        if (busy == nullptr && client != nullptr && Holds(el.mon_id) && client->GetCurrentState() != IDLESTATE)
            busy = client;
    });
    if (busy != nullptr) NoteBusy(busy, 1, 0);
    return (whole && busy == nullptr) ? TRUE : FALSE;
}

void NuvakCntl::ResetMonClientState(unsigned short presetId) {
    Gpreset* preset = owner_->GetPresetTable()->GetGpreset(presetId);
    if (preset == nullptr) return;
    ForEachClient(*preset, [this](const T_GROUP_element& el, MonClient* client) {
        const auto held = held_.find(el.mon_id);
        if (client == nullptr || held == held_.end() || client->GetCurrentState() == IDLESTATE) return;
        held->second.lost = true;
        NoteBusy(client, 0, 1);
        client->SetCallMonSeize(0);
        client->SetCallMonSelect(0);
        client->ChangeState(IDLESTATE);
    });
}

// Busy checks and forced resets are counted, not printed one by one (a
// silent monitor control process would make every busy tour print a line
// a second): the first after a quiet minute is shown at once, the rest in
// one summary line per tour per minute of timer ticks (ReportBusy).
void NuvakCntl::NoteBusy(const MonClient* client, unsigned short checks, unsigned short resets) {
    busyChecks_ += checks;
    busyResets_ += resets;
    busyMonitor_ = client->GetMonitorId();
    busyState_ = client->GetCurrentState();
    busyMonState_ = client->GetMonState();
    busyCamState_ = client->GetCamState();
    if (reportTicks_ >= kBusyReportTicks) ReportBusy();
}

void NuvakCntl::ReportBusy() {
    if (busyChecks_ == 0 && busyResets_ == 0) return;
    std::printf("DisplayState: tour %u: %lu busy checks, %lu clients reset (last: monitor %u state %u mon %u "
                "cam %u)\n",
                tourId_, busyChecks_, busyResets_, busyMonitor_, busyState_, busyMonState_, busyCamState_);
    busyChecks_ = 0;
    busyResets_ = 0;
    reportTicks_ = 0;
}

void NuvakCntl::ResetTimeTick() {
    Nuvak* tour = owner_->GetNuvakTable()->GetNuvak(tourId_);
    T_NUVAK_step* step = tour ? tour->GetTourStep(stepIndex_) : nullptr;
    timeTick_ = step ? static_cast<unsigned short>(step->dwell - 1) : 0;
}

unsigned short NuvakCntl::NuvakTimer(unsigned short id) {
    if (owner_ == nullptr || owner_->GetNuvakTable() == nullptr || owner_->GetPresetTable() == nullptr)
        return 0;
    Nuvak* tour = owner_->GetNuvakTable()->GetNuvak(id);
    if (tour == nullptr || state_ != TOURSTATE_RUNNING) return 0;
    if (reportTicks_ < kBusyReportTicks && ++reportTicks_ == kBusyReportTicks) ReportBusy();
    if (timeTick_ > 0) {
        --timeTick_;
        return 0;
    }
    T_NUVAK_step* step = tour->GetTourStep(stepIndex_);
    if (step == nullptr) {
        stepIndex_ = 0;
        indexOnScreen_ = false;
        return 0;
    }
    const unsigned short presetId = step->grp_id;
    if (CheckMonClientState(presetId) == 0) {
        // A client is still busy: look again every second tick, and after
        // five busy looks force the clients idle.
        timeTick_ = 1;
        if (++retry_ >= kBusyResetChecks) {
            ResetMonClientState(presetId);
            retry_ = 0;
        }
        return 0;
    }
    retry_ = 0;
    stepIndex_ = NextIndex(stepIndex_, tour->GetNumStep());
    indexOnScreen_ = false;
    if (ProcessGroupPreset(0, presetId) != 0) return 0;
    ResetTimeTick();
    return TRUE;
}

// The seize requests work on the held monitors. A user at one of them takes
// them all: that user's own monitor in the user's name, the others seized
// again for the group device.
unsigned short NuvakCntl::ProcessAllMons(unsigned short) {
    if (owner_ == nullptr) return NUVAKERR_INVALID;
    if (!Holds(userMonitor_)) return NUVAKERR_INVALHNDL;
    const bool lcfs = owner_->IsLCFS() != 0;
    for (auto& [monitor, held] : held_) {
        MonClient* client = HeldClient(monitor, held);
        if (client == nullptr) continue;
        client->MonitorRelease();
        if (deviceId_ != SYS_IDNULL && monitor == userMonitor_ && userId_ != SYS_IDNULL) {
            held = {userId_, deviceId_, priority_, userMonitor_};
            client->SetUserData(held.userId, held.deviceId, held.priority, held.userMonitor);
            continue;
        }
        const bool weaker = deviceId_ != SYS_IDNULL && !lcfs;
        held = {monitor, GroupDevice(deviceId_), weaker ? Weaker(priority_) : priority_, monitor};
        client->SetUserData(held.userId, held.deviceId, held.priority, held.userMonitor);
        client->MonitorSeize();
    }
    return 0;
}

// The user takes back the own monitor (one of the held ones).
unsigned short NuvakCntl::ProcessSeize(unsigned short) {
    if (owner_ == nullptr) return NUVAKERR_INVALID;
    auto it = held_.find(userMonitor_);
    if (it == held_.end()) return NUVAKERR_INVALHNDL;
    if (MonClient* client = HeldClient(it->first, it->second)) {
        if (client->GetMonState() != 0) client->MonitorRelease();
        it->second = {userId_, deviceId_, priority_, userMonitor_};
        client->SetUserData(userId_, deviceId_, priority_, userMonitor_);
    }
    return 0;
}

// A held monitor a weaker user of another device asked for is seized again
// for the group device.
unsigned short NuvakCntl::ProcessRelease(unsigned short, unsigned long monitor) {
    if (owner_ == nullptr) return NUVAKERR_INVALPTR;
    const bool lcfs = owner_->IsLCFS() != 0;
    for (auto& [m, held] : held_) {
        MonClient* client = HeldClient(m, held);
        if (client == nullptr) continue;
        client->SetTourState(state_);
        client->SetTourId(tourId_);
        if (m == monitor) {
            held = {m, GroupDevice(deviceId_), lcfs ? priority_ : Weaker(priority_), m};
            client->SetUserData(held.userId, held.deviceId, held.priority, held.userMonitor);
            client->MonitorSeize();
        }
    }
    return 0;
}

// Tells the user's monitor again that the tour ended, unless another tour
// now holds that monitor (the stop would end that tour's showing there).
unsigned short NuvakCntl::SendTourStop(unsigned short, unsigned long monitor) {
    if (owner_ == nullptr) return NUVAKERR_INVALPTR;
    if (owner_->HolderOf(static_cast<unsigned short>(monitor)) != nullptr) return 0;
    if (MonClient* client = owner_->GetMonClient(monitor, tourId_)) client->TourStop();
    return 0;
}

unsigned short NuvakCntl::GetPresetMon(std::vector<unsigned short>& list, unsigned short max,
                                       unsigned short presetId) const {
    list.clear();
    if (owner_ == nullptr || owner_->GetPresetTable() == nullptr) return 0;
    Gpreset* preset = owner_->GetPresetTable()->GetGpreset(presetId);
    if (preset == nullptr) return 0;
    const unsigned short count = preset->GetNumElement();
    list.reserve(std::min(count, max));
    for (unsigned short i = 0; i < count; ++i) {
        T_GROUP_element* el = preset->GetPresetElement(i);
        if (el == nullptr) {
            list.clear();
            return 0;
        }
        if (i < max) list.push_back(el->mon_id);
    }
    return count;
}

std::string NuvakCntl::MonListText(const std::vector<unsigned short>& list, unsigned short count) {
    // Each id as printf's "%4d" writes it: right-aligned in four columns,
    // wider when it has five digits.
    std::string text;
    const std::size_t n = std::min<std::size_t>(count, list.size());
    text.reserve(n * 4);
    char buf[8];
    for (std::size_t i = 0; i < n; ++i) {
        const auto r = std::to_chars(buf, buf + sizeof buf, static_cast<unsigned int>(list[i]));
        const auto width = static_cast<std::size_t>(r.ptr - buf);
        if (width < 4) text.append(4 - width, ' ');
        text.append(buf, width);
    }
    return text;
}

unsigned short NuvakCntl::ControlCheck(unsigned short id, CameraVariableGroupMonitor* variable) {
    if (id == SYS_IDNULL) return NUVAKERR_INVALID;
    if (owner_ == nullptr || owner_->GetNuvakTable() == nullptr) return NUVAKERR_INVALPTR;
    Nuvak* tour = owner_->GetNuvakTable()->GetNuvak(id);
    if (tour == nullptr) return NUVAKERR_INVALPTR;
    if (tour->GetNumStep() == 0) return NUVAKERR_INVSTEP;
    return ProcessCheck(tour, variable);
}

// Every step of a consistent tour uses the monitors of step 0.
unsigned short NuvakCntl::ProcessCheck(Nuvak* tour, CameraVariableGroupMonitor* variable) {
    if (variable == nullptr) return NUVAKERR_INVVAR;
    T_NUVAK_step* first = tour->GetTourStep(0);
    if (first == nullptr) return NUVAKERR_INVALPTR;
    std::vector<unsigned short> list;
    const unsigned short count = GetPresetMon(list, SYS_NGPRESETELM, first->grp_id);
    for (unsigned short s = 1; s < tour->GetNumStep(); ++s) {
        T_NUVAK_step* step = tour->GetTourStep(s);
        Gpreset* preset = step ? owner_->GetPresetTable()->GetGpreset(step->grp_id) : nullptr;
        if (preset == nullptr) return NUVAKERR_INVALPTR;
        if (preset->GetNumElement() != count) return NUVAKERR_INVSTEP;
        for (unsigned short i = 0; i < preset->GetNumElement(); ++i) {
            T_GROUP_element* el = preset->GetPresetElement(i);
            if (el == nullptr || std::find(list.begin(), list.end(), el->mon_id) == list.end())
                return NUVAKERR_INVSTEP;
        }
    }
    variable->SetMonList(MonListText(list, count));
    return 0;
}

unsigned short NuvakCntl::PresetCheck(unsigned short presetId, CameraVariableGroupMonitor* variable) {
    if (variable == nullptr) return NUVAKERR_INVVAR;
    std::vector<unsigned short> list;
    const unsigned short count = GetPresetMon(list, SYS_NGPRESETELM, presetId);
    if (count == 0) return NUVAKERR_INVGRPPREID;
    variable->SetMonList(MonListText(list, count));
    return 0;
}

template <class Fn>
void NuvakCntl::ForClient(unsigned long monitor, Fn fn) {
    if (owner_ == nullptr) return;
    if (MonClient* client = owner_->GetMonClient(monitor, tourId_)) fn(client);
}

void NuvakCntl::CsiSeizeInd(unsigned long monitor, unsigned short) {
    ForClient(monitor, [](MonClient* c) { c->CsiSeizeInd(); });
}
void NuvakCntl::CsiSeizeConfirm(unsigned long monitor, unsigned short) {
    ForClient(monitor, [](MonClient* c) { c->CsiSeizeConfirm(); });
}
void NuvakCntl::CsiSuspendInd(unsigned long monitor, unsigned short) {
    ForClient(monitor, [](MonClient* c) { c->CsiSuspendInd(); });
}
void NuvakCntl::CsiSuspendConfirm(unsigned long monitor, unsigned short, unsigned short, unsigned short) {
    ForClient(monitor, [](MonClient* c) { c->CsiSuspendConfirm(); });
}
void NuvakCntl::CsiReleaseConfirm(unsigned long monitor, unsigned short) {
    ForClient(monitor, [](MonClient* c) { c->CsiReleaseConfirm(); });
}
void NuvakCntl::CsiControlInd(unsigned long monitor, unsigned short) {
    ForClient(monitor, [](MonClient* c) { c->CsiControlInd(); });
}
void NuvakCntl::CsiControlConfirm(unsigned long monitor, unsigned short, unsigned short result) {
    ForClient(monitor, [result](MonClient* c) { c->CsiControlConfirm(result); });
}
