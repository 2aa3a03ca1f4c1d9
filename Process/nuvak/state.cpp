// Behaviour shared by every monitor-client state (the "State" row of the
// transition table).
#include "state.h"

#include "groupids.h"
#include "monclient.h"

// A select during an exchange is remembered and runs when the client next
// becomes idle (MonClient::ChangeState(IDLESTATE)).
void State::MonitorSelect(MonClient* c) { c->SetCallMonSelect(TRUE); }

// A seize abandons the exchange: idle performs it at once.
void State::MonitorSeize(MonClient* c) {
    c->SetCallMonSeize(TRUE);
    c->ChangeState(IDLESTATE);
}

// Only monitors the service took for a tour itself (group device) are released.
void State::MonitorRelease(MonClient* c) {
    if (nuvak::ids::IsGroupDevice(c->GetDeviceId())) {
        bool built = false;
        c->SendMonitorRelease(&built);
        if (!built) return;
    }
    if (c->GetCurrentState() != IDLESTATE) c->ChangeState(IDLESTATE);
}

unsigned short State::CameraSelect(MonClient*) { return 0; }
unsigned short State::CameraPreset(MonClient*) { return 0; }

void State::TourStop(MonClient* c) {
    bool built = false;
    c->SendTourStop(&built);
    if (built) c->ChangeState(IDLESTATE);
}

void State::TourPause(MonClient* c) {
    bool built = false;
    c->SendTourPause(&built);
}

void State::CsiSeizeConfirm(MonClient*) {}
void State::CsiSuspendConfirm(MonClient*) {}
void State::CsiReleaseConfirm(MonClient*) {}
void State::CsiControlConfirm(MonClient* c, unsigned short result) { c->SetCamState(result); }
void State::CsiSeizeInd(MonClient* c) { c->SetMonState(CONNST_SEIZED); }
void State::CsiSuspendInd(MonClient* c) { c->SetMonState(CONNST_SUSPENDED); }
void State::CsiControlInd(MonClient*) {}
