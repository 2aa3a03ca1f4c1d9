#include "idlestate.h"

#include "monclient.h"

// Sends the seize of a showing; the client waits in MonSelectState for its
// confirmation. A failed send still counts: the tour control resets a client
// that stays busy.
void IdleState::MonitorSelect(MonClient* c) {
    bool built = false;
    c->SendMonitorSelect(&built);
    if (built) c->ChangeState(MONSELECTSTATE);
}

// A plain seize: sent, and the client stays idle.
void IdleState::MonitorSeize(MonClient* c) {
    bool built = false;
    c->SendMonitorSeize(&built);
}

unsigned short IdleState::CameraSelect(MonClient* c) {
    bool built = false;
    unsigned short status = c->SendCameraSelect(&built);
    if (status == 0) {
        c->ChangeState(CAMSTATE);
        return 0;
    }
    c->ChangeState(IDLESTATE);
    return status;
}
