#include "nuvakmgr.h"

#include <algorithm>
#include <utility>

#include "cameramessage.h"
#include "gpresettable.h"
#include "nuvakcntl.h"
#include "nuvakcntltable.h"
#include "nuvaktable.h"
#include "groupids.h"
#include "sysdefs.h"
#include "systune.h"

namespace mm = nuvak::monmsg;

using nuvak::ids::PresetBlock;

NuvakMgr::NuvakMgr(ICommClient* /*client*/, ICommServer* server, IFrameWorkServer* worker,
                   NuvakCntlTable* table, unsigned long userMonitor, unsigned long tourId,
                   unsigned short unit, unsigned short area)
    : commServer_(server), worker_(worker), table_(table),
      tourId_(static_cast<T_uint_32>(tourId)), unit_(unit), userMonitor_(static_cast<T_uint_32>(userMonitor)),
      area_(area) {}

void NuvakMgr::OnResponse(unsigned short, std::string) {}

bool NuvakMgr::ForThisUnit(T_uint_32 groupId) const { return nuvak::ids::UnitOf(groupId) == unit_; }

// The requesting user's monitor as this unit sees it: a monitor of another
// unit (a keyboard there, or a standby update naming one) is none of this
// unit's monitors, so it is given as a monitor number no group holds, never
// as the local monitor of the same number.
T_uint_32 NuvakMgr::UserMonitorHere() const {
    return ForThisUnit(userMonitor_) ? userMonitor_ : static_cast<T_uint_32>(SYS_IDNULL);
}

unsigned short NuvakMgr::NuvakMessage(CameraMessage* message) {
    if (message == nullptr) return NUVAKERR_INVALPTR;
    // A message without variables (or whose first slot is empty) is answered
    // like any request of another kind: status 0, nothing done.
    Variable* variable = nullptr;
    if (message->GetVariable(0, &variable) == FALSE) variable = nullptr;
    userMonitor_ = static_cast<T_uint_32>(message->GetMonitorID());
    unsigned short status = 0;
    if (variable != nullptr && variable->GetVariableType() == "CameraGroup") {
        auto* group = dynamic_cast<CameraVariableGroup*>(variable);
        if (group == nullptr) return NUVAKERR_INVALPTR;
        status = ProcessRequest(group);
    } else if (variable != nullptr && variable->GetVariableType() == "CameraGroupMonitor") {
        auto* check = dynamic_cast<CameraVariableGroupMonitor*>(variable);
        if (check == nullptr) return NUVAKERR_INVALPTR;
        status = ProcessCheck(check);
    }
    if (status == NUVAKERR_VARNOT4UNIT && variable != nullptr) message->RemoveElement(variable);
    message->SetErrorStatus(status);
    NuvakResponse(message);
    return status;
}

unsigned short NuvakMgr::NuvakResponse(CameraMessage* message) {
    if (message == nullptr) return NUVAKERR_INVALPTR;
    message->SetActionType("SET_RESPONSE");
    const auto destination = nuvak::ids::UnitOf(message->GetMonitorID());
    if (commServer_ != nullptr) {
        std::string text;
        message->SerializeElement(text, 0);
        if (commServer_->SendResponse(destination, ACKNOWLEDGE_DEEP, std::move(text)) == FALSE)
            return NUVAKERR_SENDFAIL;
    }
    return 0;
}

unsigned short NuvakMgr::ProcessRequest(CameraVariableGroup* variable) {
    unsigned short status;
    switch (variable->GetGroupType()) {
        case MON_TOUR_TYP_GRP: status = ProcessSequence(variable); break;
        case MON_TOUR_TYP_GRPPRE: status = ProcessPreset(variable); break;
        case MON_TOUR_TYP_SEIZE: status = ProcessSeize(variable); break;
        default: status = NUVAKERR_INVTYPE; break;
    }
    variable->SetReturnCode(status);
    return status;
}

// The control block of the tour a group request names: its physical id and
// block, or the status that answers the request (another unit's tour, an
// unknown logical id, a missing table or block).
unsigned short NuvakMgr::FindTour(T_uint_32 groupId, unsigned short& id, NuvakCntl*& control) const {
    if (!ForThisUnit(groupId)) return NUVAKERR_VARNOT4UNIT;
    if (table_ == nullptr || table_->GetNuvakTable() == nullptr) return NUVAKERR_INVALPTR;
    id = table_->GetNuvakTable()->GetPhysicalNuvak(nuvak::ids::LocalOf(groupId));
    if (id == SYS_IDNULL) return NUVAKERR_INVALID;
    control = table_->GetNuvakCntl(id);
    return control == nullptr ? NUVAKERR_INVALPTR : 0;
}

unsigned short NuvakMgr::ProcessSequence(CameraVariableGroup* variable) {
    const T_uint_32 groupId = variable->GetGroupID();
    const T_uint_32 logical = nuvak::ids::LocalOf(groupId);
    unsigned short id = SYS_IDNULL;
    NuvakCntl* control = nullptr;
    if (unsigned short status = FindTour(groupId, id, control)) return status;
    if (variable->GetAction() == MON_TOUR_ACT_RUN && CheckActiveTours(control, variable, id) != 0)
        return NUVAKERR_INVALPTR;
    control->SetUserData(variable->GetUserID(), variable->GetDeviceID(), variable->GetPriority(), UserMonitorHere());
    control->SetNuvakArea(nuvak::ids::AreaOf(logical));
    control->SetLogicalId(logical);
    unsigned short state = 0;
    const unsigned short status = control->ControlSequence(id, variable->GetAction(), state);
    variable->SetState(control->GetState());
    variable->SetReturnCode(status);
    return status;
}

unsigned short NuvakMgr::CheckActiveTours(NuvakCntl*, CameraVariableGroup* variable, unsigned short id) {
    // The tours to stop, without repeats. The list grows as needed: a tour's
    // steps together may name more tours than the 128 monitors of one preset.
    std::vector<unsigned short> list;
    GpresetTable* presets = table_->GetPresetTable();
    if (presets == nullptr) return NUVAKERR_INVALPTR;
    if (variable->GetGroupType() == MON_TOUR_TYP_GRP) {
        Nuvak* tour = table_->GetNuvakTable() ? table_->GetNuvakTable()->GetNuvak(id) : nullptr;
        if (tour == nullptr) return NUVAKERR_INVALPTR;
        if (tour->GetNumStep() == 0) return NUVAKERR_INVSTEP;
        for (unsigned short s = 0; s < tour->GetNumStep(); ++s) {
            T_NUVAK_step* step = tour->GetTourStep(s);
            if (step == nullptr) return NUVAKERR_INVSTEP;
            Gpreset* preset = presets->GetGpreset(step->grp_id);
            if (preset == nullptr) return NUVAKERR_INVALPTR;
            if (GetNuvaks(preset, id, list, variable) != 0) return NUVAKERR_INVSTATE;
        }
    } else if (variable->GetGroupType() == MON_TOUR_TYP_GRPPRE) {
        Gpreset* preset = presets->GetGpreset(nuvak::ids::PhysicalOfBlock(id));
        if (preset == nullptr) return NUVAKERR_INVALPTR;
        if (GetNuvaks(preset, id, list, variable) != 0) return NUVAKERR_INVSTATE;
    }
    for (unsigned short tour : list)
        if (NuvakCntl* block = table_->GetNuvakCntl(tour)) block->ControlStop(tour);
    return 0;
}

// A monitor is in the way when a running or held tour holds it (its record,
// not what its client last did): the request is refused by the identity the
// monitor is held under, or that tour joins the list of tours to stop.
unsigned short NuvakMgr::GetNuvaks(Gpreset* preset, unsigned short, std::vector<unsigned short>& list,
                                   CameraVariableGroup* variable) {
    for (unsigned short i = 0; i < preset->GetNumElement(); ++i) {
        T_GROUP_element* el = preset->GetPresetElement(i);
        if (el == nullptr) return NUVAKERR_INVALPTR;
        const NuvakCntl* holder = table_->HolderOf(el->mon_id);
        if (holder == nullptr) continue;
        const auto entry = holder->HeldMonitors().find(el->mon_id);
        if (entry == holder->HeldMonitors().end()) continue;
        const NuvakCntl::Held& held = entry->second;
        if (held.priority < variable->GetPriority()) return NUVAKERR_INVSTATE;
        if (variable->GetDeviceID() != held.deviceId && held.priority == variable->GetPriority())
            return NUVAKERR_INVSTATE;
        if (held.deviceId == SYS_DEVICE_NOUSER) return NUVAKERR_INVSTATE;
        if (std::find(list.begin(), list.end(), holder->GetNuvakId()) == list.end())
            list.push_back(holder->GetNuvakId());
    }
    return 0;
}

unsigned short NuvakMgr::ProcessPreset(CameraVariableGroup* variable) {
    const T_uint_32 groupId = variable->GetGroupID();
    if (!ForThisUnit(groupId)) return NUVAKERR_VARNOT4UNIT;
    if (table_ == nullptr || table_->GetPresetTable() == nullptr) return NUVAKERR_INVALPTR;
    const T_uint_32 logical = nuvak::ids::LocalOf(groupId);
    const unsigned short p = table_->GetPresetTable()->GetPhysicalGpreset(logical);
    if (p == SYS_IDNULL) return NUVAKERR_INVGRPPREID;
    const unsigned short block = PresetBlock(p);
    NuvakCntl* control = table_->GetNuvakCntl(block);
    if (control == nullptr) return NUVAKERR_INVALPTR;
    if (CheckActiveTours(control, variable, block) != 0) return NUVAKERR_INVALPTR;
    control->SetUserData(variable->GetUserID(), variable->GetDeviceID(), variable->GetPriority(), UserMonitorHere());
    control->SetNuvakArea(nuvak::ids::AreaOf(logical));
    control->SetLogicalId(logical);
    control->SetNuvakId(block);
    const unsigned short status = control->ProcessGroupPreset(p);
    variable->SetReturnCode(status);
    return status;
}

unsigned short NuvakMgr::ProcessSeize(CameraVariableGroup* variable) {
    unsigned short id = SYS_IDNULL;
    NuvakCntl* control = nullptr;
    if (unsigned short status = FindTour(variable->GetGroupID(), id, control)) return status;
    const T_uint_32 userMonitor = UserMonitorHere();
    const auto userMon = static_cast<unsigned short>(nuvak::ids::LocalOf(userMonitor));
    if (control->GetState() == TOURSTATE_END) {
        control->SendTourStop(id, userMon);
        return NUVAKERR_INVSTATE;
    }
    unsigned short status;
    const unsigned short device = variable->GetDeviceID();
    if ((device >> 8) == SYS_DEVTYPE_NUVAK) {
        if (userMon != control->GetUserMonId()) return 0;
        control->SetUserData(SYS_IDNULL, SYS_IDNULL, SYS_IDNULL_LONG, userMonitor);
        status = control->ProcessAllMons(id);
    } else if (variable->GetPriority() >= control->GetPriority() && userMon != control->GetUserMonId()) {
        if (device == control->GetDeviceId()) {
            control->SetUserData(variable->GetUserID(), device, variable->GetPriority(), userMonitor);
            status = control->ProcessSeize(id);
        } else if (variable->GetPriority() != control->GetPriority()) {
            status = control->ProcessRelease(id, userMon);
        } else {
            status = control->ControlStop(id);
        }
    } else {
        control->SetUserData(variable->GetUserID(), device, variable->GetPriority(), userMonitor);
        status = control->ProcessAllMons(id);
    }
    variable->SetReturnCode(status);
    return status;
}

unsigned short NuvakMgr::ProcessCheck(CameraVariableGroupMonitor* variable) {
    const T_uint_32 groupId = variable->GetGroupID();
    const T_uint_32 logical = nuvak::ids::LocalOf(groupId);
    unsigned short status;
    if (variable->GetGroupType() == MON_TOUR_TYP_GRP) {
        if (!ForThisUnit(groupId)) return NUVAKERR_VARNOT4UNIT;
        if (table_ == nullptr || table_->GetNuvakTable() == nullptr) return NUVAKERR_INVALPTR;
        const unsigned short id = table_->GetNuvakTable()->GetPhysicalNuvak(logical);
        NuvakCntl* control = id == SYS_IDNULL ? nullptr : table_->GetNuvakCntl(id);
        if (id == SYS_IDNULL)
            status = NUVAKERR_INVALID;
        else if (control == nullptr)
            status = NUVAKERR_INVALPTR;
        else
            status = control->ControlCheck(id, variable);
    } else if (variable->GetGroupType() == MON_TOUR_TYP_GRPPRE) {
        if (!ForThisUnit(groupId)) return NUVAKERR_VARNOT4UNIT;
        if (table_ == nullptr || table_->GetPresetTable() == nullptr) return NUVAKERR_INVALPTR;
        const unsigned short p = table_->GetPresetTable()->GetPhysicalGpreset(logical);
        NuvakCntl* control =
            p == SYS_IDNULL ? nullptr : table_->GetNuvakCntl(PresetBlock(p));
        if (p == SYS_IDNULL)
            status = NUVAKERR_INVGRPPREID;
        else if (control == nullptr)
            status = NUVAKERR_INVALPTR;
        else
            status = control->PresetCheck(p, variable);
    } else {
        status = NUVAKERR_INVTYPE;
    }
    variable->SetReturnCode(status);
    return status;
}

unsigned short NuvakMgr::NuvakTimer(unsigned long key) {
    if (table_ == nullptr || table_->GetNuvakTable() == nullptr) return 0;
    const unsigned short id =
        table_->GetNuvakTable()->GetPhysicalNuvak(nuvak::ids::LocalOf(static_cast<T_uint_32>(key)));
    if (id == SYS_IDNULL) return 0;
    NuvakCntl* control = table_->GetNuvakCntl(id);
    return control ? control->NuvakTimer(id) : 0;
}

bool NuvakMgr::IsGroupPreset(const T_MON_msg* message) {
    return mm::LoadLE32(message->bytes + mm::kGlobalTour) != SYS_IDNULL_LONG &&
           mm::LoadLE16(message->bytes + mm::kTourType) == mm::kTourTypePreset;
}

void NuvakMgr::CsiMonCam(const T_MON_msg* message) { Route(table_, message); }

// The block id and the global tour id a message names, not the tables, say
// which exchange it answers: the logical id may belong to another tour since
// a reload, and a preset and a tour may share one.
bool NuvakMgr::Route(NuvakCntlTable* table, const T_MON_msg* message) {
    if (table == nullptr || message == nullptr) return false;
    const unsigned char* b = message->bytes;
    const MonClient* client = table->GetMonClient(mm::LoadLE16(b + mm::kMonitor), 0);
    const unsigned short block = mm::LoadLE16(b + mm::kTourCntl);
    if (client == nullptr || !client->Answers(block, mm::LoadLE32(b + mm::kGlobalTour))) return false;
    NuvakCntl* control = table->GetNuvakCntl(block);
    if (control == nullptr) return false;
    Dispatch(control, nuvak::ids::PhysicalOfBlock(block), message);
    return true;
}

void NuvakMgr::Dispatch(NuvakCntl* control, unsigned short id, const T_MON_msg* message) {
    if (control == nullptr || message == nullptr) return;
    const unsigned char* b = message->bytes;
    const unsigned short monitor = mm::LoadLE16(b + mm::kMonitor);
    switch (mm::LoadLE16(b + mm::kCommand)) {
        case mm::kSeizeInd: control->CsiSeizeInd(monitor, id); break;
        case mm::kSeizeConfirm: control->CsiSeizeConfirm(monitor, id); break;
        case mm::kSuspendInd: control->CsiSuspendInd(monitor, id); break;
        case mm::kSuspendConfirm:
            control->CsiSuspendConfirm(monitor, id, mm::LoadLE16(b + mm::kSuspendA), mm::LoadLE16(b + mm::kSuspendB));
            break;
        case mm::kReleaseConfirm: control->CsiReleaseConfirm(monitor, id); break;
        case mm::kControlInd:
        case mm::kControlInd2: control->CsiControlInd(monitor, id); break;
        case mm::kControlConfirm: control->CsiControlConfirm(monitor, id, mm::LoadLE16(b + mm::kResult)); break;
        default: break;
    }
}
