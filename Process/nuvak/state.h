// State: the behaviour every monitor-client state shares. A state holds no
// data; everything lives in the client passed to each operation. Each state
// class overrides only the operations its row of the transition table names.
#ifndef NUVAK_STATE_H
#define NUVAK_STATE_H

class MonClient;

class State {
public:
    virtual void MonitorSelect(MonClient* c);
    virtual void MonitorSeize(MonClient* c);
    virtual void MonitorRelease(MonClient* c);
    virtual unsigned short CameraSelect(MonClient* c);
    virtual unsigned short CameraPreset(MonClient* c);
    virtual void TourStop(MonClient* c);
    virtual void TourPause(MonClient* c);
    virtual void CsiSeizeConfirm(MonClient* c);
    virtual void CsiSuspendConfirm(MonClient* c);
    virtual void CsiReleaseConfirm(MonClient* c);
    virtual void CsiControlConfirm(MonClient* c, unsigned short result);
    virtual void CsiSeizeInd(MonClient* c);
    virtual void CsiSuspendInd(MonClient* c);
    virtual void CsiControlInd(MonClient* c);
    virtual ~State() = default;
    virtual const char* Name() const { return "State"; }
};

#endif
