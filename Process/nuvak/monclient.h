// MonClient: what one physical monitor is to show and on whose behalf, and the
// small state machine that asks the monitor control process (IPC address 1) to
// seize the monitor, select the camera and call the camera preset.
//
// The client never blocks: each operation sends at most a few monitor messages
// and returns; the confirmations come back later as Csi* events. States:
//
//                MonitorSelect (seize sent)            CsiSeizeConfirm
//     +-------+ ------------------------> +-----------+ -- camera select sent --+
//     | Idle  |                           | MonSelect |                         v
//     |  (0)  | <-- CsiSuspendConfirm ---- |   (1)     |                    +---------+
//     +-------+        (release)          +-----------+                    | Cam (3) |
//      ^  |  ^                                                             +---------+
//      |  |  +------ CsiControlConfirm(result != 1) / preset failed -------+    |
//      |  +-- CameraSelect (camera select sent) -------------------------->+    |
//      |                                                    result 1, preset sent
//      |         CsiControlConfirm        +------------+                        |
//      +--------------------------------- | Preset (4) | <----------------------+
//                                         +------------+
//   A one-shot preset (tour state 2) sends a tour stop instead of entering
//   Preset and goes idle. MonSeize (2) is never entered by this system.
//   TourStop from any state goes idle; MonitorSeize from any state goes idle
//   and sends the seize there.
#ifndef NUVAK_MONCLIENT_H
#define NUVAK_MONCLIENT_H

#include <cstdint>
#include <memory>

#include "framework.h"
#include "systypes.h"

class State;

enum STATEVARS { IDLESTATE = 0, MONSELECTSTATE = 1, MONSEIZESTATE = 2, CAMSTATE = 3, PRESETSTATE = 4 };

// Connection state of a monitor as last reported by the monitor control process.
#define CONNST_RELEASED 0
#define CONNST_SEIZED 1
#define CONNST_SUSPENDED 2

class MonClient {
public:
    // server: the worker through which message blocks are obtained; not owned,
    // must outlive the client. May be null (every send then fails).
    MonClient(unsigned short monitorId, unsigned short tourId, IFrameWorkServer* server);
    MonClient();
    ~MonClient();
    MonClient(const MonClient&) = delete;
    MonClient& operator=(const MonClient&) = delete;

    void SetMonitorId(unsigned short id) { monitorId_ = id; }
    void SetTourId(unsigned short id) { tourId_ = id; }
    void SetCameraId(unsigned long id) { cameraId_ = static_cast<T_uint_32>(id); }
    void SetCamPresetId(unsigned short id) { camPresetId_ = id; }
    void SetUserData(unsigned short userId, unsigned short deviceId, unsigned long priority,
                     unsigned long userMonitor);
    void SetTourState(unsigned short s) { tourState_ = s; }
    void SetGlobalTourId(unsigned long id) { globalTourId_ = static_cast<T_uint_32>(id); }
    void SetCallMonSelect(unsigned short v) { callMonSelect_ = v; }
    void SetCallMonSeize(unsigned short v) { callMonSeize_ = v; }
    void SetMonState(unsigned short v) { monState_ = v; }
    void SetCamState(unsigned short v) { camState_ = v; }
    // Arms (non-zero) or disarms the watchdog; 0 also clears its counter.
    void SetStartTimer(unsigned short v);

    unsigned short GetMonitorId() const { return monitorId_; }
    unsigned short GetNuvakId() const { return tourId_; }
    unsigned long GetCameraId() const { return cameraId_; }
    unsigned short GetPresetId() const { return camPresetId_; }
    unsigned short GetUserId() const { return userId_; }
    unsigned short GetDeviceId() const { return deviceId_; }
    unsigned long GetPriority() const { return priority_; }
    IFrameWorkServer* GetIFrameWorkServer() const { return server_; }
    unsigned short GetTourState() const { return tourState_; }
    unsigned long GetGlobalTourId() const { return globalTourId_; }
    unsigned short GetMonState() const { return monState_; }
    unsigned short GetCamState() const { return camState_; }
    unsigned short GetCallMonSelect() const { return callMonSelect_; }
    unsigned long GetWatchdogCount() const { return watchdogCount_; }
    unsigned short GetWatchdogFlag() const { return watchdogFlag_; }
    // Whether a monitor message naming control block `tourCntl` (offset 26)
    // and global tour `globalTour` (offset 52) answers this client: the block
    // is the one its last message went out for, and the global id is the one
    // it last sent for that block, or the one it now carries for it (a
    // renumbered tour before its next tour message; the monitor control
    // process echoes what any client of the block last sent). A client that
    // has sent nothing answers nothing.
    bool Answers(unsigned short tourCntl, unsigned long globalTour) const;

    // Actions, forwarded to the current state.
    void MonitorSelect();
    void MonitorSeize();
    void MonitorRelease();
    unsigned short CameraSelect();
    unsigned short CameraPreset();
    void TourStop();
    void TourPause();

    // Monitor control events, forwarded to the current state.
    void CsiSeizeConfirm();
    void CsiSuspendConfirm();
    void CsiReleaseConfirm();
    void CsiControlConfirm(unsigned short result);
    void CsiSeizeInd();
    void CsiSuspendInd();
    void CsiControlInd();

    void ChangeState(int s);
    unsigned short GetCurrentState() const;
    void DisplayState() const;
    void MonClientTimer();

    // Sending, used by the states. Each returns the status of Interfaces
    // (0 sent) and sets *built when a message object was obtained and filled
    // (whether or not the send then succeeded).
    unsigned short SendMonitorSelect(bool* built);
    unsigned short SendMonitorSeize(bool* built);
    unsigned short SendMonitorRelease(bool* built);
    unsigned short SendCameraSelect(bool* built);
    unsigned short SendCameraPreset(bool* built);
    unsigned short SendTourStop(bool* built);
    unsigned short SendTourPause(bool* built);

private:
    enum class Request { Select, Seize, Release, Camera, Preset, Stop, Pause };
    unsigned short Send(Request r, bool* built);

    unsigned short monitorId_;
    unsigned short tourId_;
    T_uint_32 cameraId_ = 0xFFFFFFFFu;
    unsigned short camPresetId_ = 0;
    T_uint_32 watchdogCount_ = 0;
    unsigned short watchdogFlag_ = 0;
    T_uint_32 userMonitor_ = 0;
    unsigned short userId_ = 0xFFFF;
    unsigned short deviceId_ = 0xFFFF;
    T_uint_32 priority_ = 0xFFFFFFFFu;
    State* current_ = nullptr;
    std::unique_ptr<State> states_[5];
    IFrameWorkServer* server_;
    unsigned short callMonSelect_ = 0;
    unsigned short callMonSeize_ = 0;
    unsigned short monState_ = CONNST_RELEASED;
    unsigned short camState_ = 0;
    unsigned short tourState_ = 2;
    T_uint_32 globalTourId_ = 0xFFFFFFFFu;
    // What the last message sent carried: the control block (every message)
    // and the global tour id (seize, release, tour stop and pause).
    bool sentAny_ = false;
    unsigned short sentTourId_ = 0xFFFF;
    T_uint_32 sentGlobalTourId_ = 0xFFFFFFFFu;
};

#endif
