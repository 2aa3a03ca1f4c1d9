// NuvakCntl: the run-time control block of one group tour (ids 1..256) or one
// group preset (257..512, preset p has block p + 256). It holds the tour's
// state, step index, countdown and the user of the last command, and shows a
// step by driving one MonClient per monitor of the step's group preset.
//
// Control block states:
//
//        Run (shows step 0)            Pause
//   END ------------------> RUNNING ---------> STOPPED
//    ^  <------ Stop ------   |  ^  <-- Run ---  | | Inc/Dec (shows next/prev)
//    |                        |  +-- Start ------+ +--> STOPPED
//    +------------ Stop ------+------------------+
//   Start/Inc/Dec outside STOPPED: NUVAKERR_INVSTATE, nothing changes.
//
// Step index: while running it names the step the next expiry shows; while
// held, the step on the screens. The countdown of a step is loaded from the
// dwell of the step that follows it (ResetTimeTick after moving the index).
//
// Held monitors: the block keeps a record of every monitor it has seized and
// not yet released, with the user, device and priority it holds it under. A
// step that shows a monitor the tour does not hold yet seizes it first (the
// first-showing treatment) and enters it; a monitor another running or held
// tour holds is left to that tour. The record is emptied only when the tour
// ends (Stop, end by a reload, a take-over), and Stop, Pause, the end and the
// seize requests act on exactly that record, never on a definition re-read
// from the tables (which an edit may have changed since the seize).
#ifndef NUVAK_NUVAKCNTL_H
#define NUVAK_NUVAKCNTL_H

#include <map>
#include <string>
#include <vector>

#include "groupids.h"
#include "systypes.h"

class NuvakCntlTable;
class Gpreset;
class Nuvak;
class CameraVariableGroupMonitor;
class MonClient;

class NuvakCntl {
public:
    // owner is borrowed (the table that holds this block).
    NuvakCntl(unsigned short tourId, unsigned short state, unsigned short mode,
              unsigned short stepIndex, unsigned short timeTick, NuvakCntlTable* owner);

    unsigned short ControlSequence(unsigned short id, unsigned short action, unsigned short& state);
    unsigned short ControlRun(unsigned short id, unsigned short mode);
    unsigned short ControlStop(unsigned short id);
    unsigned short ControlPause(unsigned short id);
    unsigned short ControlStart(unsigned short id);
    unsigned short ControlInc(unsigned short id);
    unsigned short ControlDec(unsigned short id);
    // Skip answers 0 and does nothing, and SendTourStop ignores its id: both
    // keep the signature the tour manager calls every operation with.
    unsigned short ControlSkip(unsigned short id);

    unsigned short ProcessGroupPreset(unsigned short presetId);  // one-shot preset
    unsigned short ProcessAllMons(unsigned short id);
    unsigned short ProcessSeize(unsigned short id);
    unsigned short ProcessRelease(unsigned short id, unsigned long monitor);
    unsigned short SendTourStop(unsigned short id, unsigned long monitor);
    // Ends the block as a Stop would when a reload took its tour away: every
    // monitor of its record gets the tour stop (and the release of what was
    // seized for the group device). 0, or NUVAKERR_INVALPTR without an owner
    // table.
    unsigned short ControlEnd(unsigned short id);
    unsigned short ControlCheck(unsigned short id, CameraVariableGroupMonitor* variable);
    unsigned short PresetCheck(unsigned short presetId, CameraVariableGroupMonitor* variable);
    // One tick; 0xFFFF when a step was applied, else 0.
    unsigned short NuvakTimer(unsigned short id);

    void CsiSeizeInd(unsigned long monitor, unsigned short id);
    void CsiSeizeConfirm(unsigned long monitor, unsigned short id);
    void CsiSuspendInd(unsigned long monitor, unsigned short id);
    void CsiSuspendConfirm(unsigned long monitor, unsigned short id, unsigned short a, unsigned short b);
    void CsiReleaseConfirm(unsigned long monitor, unsigned short id);
    void CsiControlInd(unsigned long monitor, unsigned short id);
    void CsiControlConfirm(unsigned long monitor, unsigned short id, unsigned short result);

    void SetUserData(unsigned short userId, unsigned short deviceId, unsigned long priority,
                     unsigned long userMonitor);
    void SetNuvakArea(unsigned short area) { area_ = area; }
    void SetLogicalId(unsigned long id) { logicalId_ = static_cast<T_uint_32>(id); }
    void SetNuvakId(unsigned short id) { tourId_ = id; }
    void SetState(unsigned short s) { state_ = s; }
    void SetMode(unsigned short m) { mode_ = m; }
    unsigned short GetState() const { return state_; }
    unsigned long GetPriority() const { return priority_; }
    unsigned short GetDeviceId() const { return deviceId_; }
    unsigned short GetUserId() const { return userId_; }
    unsigned short GetUserMonId() const { return userMonitor_; }
    unsigned short GetNuvakId() const { return tourId_; }
    unsigned long GetLogicalId() const { return logicalId_; }
    unsigned short GetStepIndex() const { return stepIndex_; }
    unsigned short GetTimeTick() const { return timeTick_; }
    unsigned short GetRetryCount() const { return retry_; }
    // What a monitor is held under: the identity its client seized it with.
    struct Held {
        unsigned short userId;
        unsigned short deviceId;
        T_uint_32 priority;
        T_uint_32 userMonitor;
        // The client was forced idle with its exchange unanswered: the
        // monitor control process may have lost the seize (a restart), so
        // the next showing seizes the monitor again under this identity.
        bool lost = false;
    };
    const std::map<unsigned short, Held>& HeldMonitors() const { return held_; }
    bool Holds(unsigned short monitor) const { return held_.count(monitor) != 0; }
    // The table moved the monitor to another block's record (this block had
    // ended): it is no longer this block's to release.
    void Forget(unsigned short monitor) { held_.erase(monitor); }
    // A reload gave the tour another logical id: the clients it holds send
    // the new global id from now on (a Stop before the next step included).
    void Renumber(unsigned long logicalId);
    unsigned short IsGroupPreset() const { return nuvak::ids::IsPresetBlock(tourId_) ? TRUE : FALSE; }

    // Monitors of a preset in element order (at most max); returns the element
    // count, 0 when an element is missing.
    unsigned short GetPresetMon(std::vector<unsigned short>& list, unsigned short max,
                                unsigned short presetId) const;

private:
    enum class Showing { kFirst, kStep, kOnce };
    unsigned short ProcessGroupPreset(unsigned short flag, unsigned short presetId);
    unsigned short ShowPreset(unsigned short presetId, Showing how);
    unsigned short StepByHand(unsigned short id, bool forward);
    unsigned short ProcessTourStop(unsigned short id);
    void StopClient(MonClient* client, unsigned short monitor);
    // The identity a first showing seizes a monitor under.
    Held FirstShowing(unsigned short monitor, unsigned short member) const;
    // Gives the client the identity and enters the monitor in the record.
    void Hold(MonClient* client, unsigned short monitor, const Held& held);
    // The client of a held monitor, set back to the identity it is held
    // under; null when the monitor has no client.
    MonClient* HeldClient(unsigned short monitor, const Held& held) const;
    // Empties the record (nothing is sent).
    void ForgetAll();
    void NoteBusy(const MonClient* client, unsigned short checks, unsigned short resets);
    void ReportBusy();
    unsigned short ProcessTourPause(unsigned short id);
    unsigned short ProcessCheck(Nuvak* tour, CameraVariableGroupMonitor* variable);
    unsigned short CheckMonClientState(unsigned short presetId);
    void ResetMonClientState(unsigned short presetId);
    void ResetTimeTick();
    unsigned short NuvakUserUpdate(const Gpreset* preset) const;
    bool Guard(unsigned short id) const { return id != 0xFFFF && id == tourId_; }
    // Priority one step weaker, saturating at the weakest.
    static T_uint_32 Weaker(T_uint_32 p) { return p == 0xFFFFFFFFu ? p : p + 1; }
    static std::string MonListText(const std::vector<unsigned short>& list, unsigned short count);
    template <class Fn>
    void ForClient(unsigned long monitor, Fn fn);
    // Walks a preset's elements, each with the client this block has for its
    // monitor (null when it has none yet). A missing element (a preset that
    // holds fewer elements than it counts) ends the walk and gives false;
    // each caller answers that case for itself.
    template <class Fn>
    bool ForEachClient(const Gpreset& preset, Fn fn) const;

    unsigned short tourId_;
    const unsigned short blockId_;  // this block's key in the table
    std::map<unsigned short, Held> held_;  // monitor -> identity it is held under
    T_uint_32 logicalId_ = 0xFFFFFFFFu;
    unsigned short state_;
    unsigned short mode_;
    unsigned short stepIndex_;
    // The step index names the step on the screens, not the one due next:
    // after a Run from the ended state (the first expiry shows step 0 again)
    // and while held after Pause, Inc or Dec. Pause moves the index back only
    // when it names the step due next, so that it ends on the step shown.
    bool indexOnScreen_ = false;
    unsigned short timeTick_;
    NuvakCntlTable* owner_;
    unsigned short userId_ = 0xFFFF;
    unsigned short deviceId_ = 0x02FF;
    T_uint_32 priority_ = 0xFFFFFFFFu;
    unsigned short userMonitor_ = 0;
    unsigned short area_ = 0;
    unsigned short retry_ = 0;
    // Busy checks and resets not yet reported, the client last found busy,
    // and the timer ticks since the last report (see NoteBusy).
    unsigned long busyChecks_ = 0;
    unsigned long busyResets_ = 0;
    unsigned short busyMonitor_ = 0, busyState_ = 0, busyMonState_ = 0, busyCamState_ = 0;
    static constexpr unsigned short kBusyReportTicks = 60;  // one summary per tour per minute
    unsigned short reportTicks_ = kBusyReportTicks;
};

#endif
