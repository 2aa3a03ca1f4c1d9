#include "camstate.h"

#include "monclient.h"
#include "sysdefs.h"

unsigned short CamState::CameraPreset(MonClient* c) {
    bool built = false;
    return c->SendCameraPreset(&built);
}

// A one-shot group preset (its clients carry tour state END) ends its exchange with a tour stop;
// a running tour's client waits for the preset's confirmation.
void CamState::CsiControlConfirm(MonClient* c, unsigned short result) {
    c->SetCamState(result);
    const bool oneShot = c->GetTourState() == TOURSTATE_END;
    if (result == 1 && CameraPreset(c) == 0) {
        if (oneShot)
            c->TourStop();
        else
            c->ChangeState(PRESETSTATE);
        return;
    }
    if (oneShot)
        c->TourStop();
    else
        c->ChangeState(IDLESTATE);
}
