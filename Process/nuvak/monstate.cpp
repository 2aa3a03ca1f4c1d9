#include "monstate.h"

#include "monclient.h"

void MonSelectState::CsiSeizeConfirm(MonClient* c) {
    c->SetMonState(CONNST_SEIZED);
    if (CameraSelect(c) == 0)
        c->ChangeState(CAMSTATE);
    else
        c->ChangeState(IDLESTATE);
}

// The monitor is held by someone stronger: give it back (for a group device)
// and go idle.
void MonSelectState::CsiSuspendConfirm(MonClient* c) {
    c->SetMonState(CONNST_SUSPENDED);
    c->MonitorRelease();
}

unsigned short MonSelectState::CameraSelect(MonClient* c) {
    bool built = false;
    return c->SendCameraSelect(&built);
}

void MonSeizeState::CsiSeizeConfirm(MonClient* c) {
    c->SetMonState(CONNST_SEIZED);
    c->ChangeState(IDLESTATE);
}

void MonSeizeState::CsiSuspendConfirm(MonClient* c) {
    c->SetMonState(CONNST_SUSPENDED);
    c->ChangeState(IDLESTATE);
}
