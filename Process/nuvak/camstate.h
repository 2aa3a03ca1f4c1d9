// CamState: a camera select was sent; waits for the control confirmation,
// then calls the camera preset (or ends a one-shot preset with a tour stop).
#ifndef NUVAK_CAMSTATE_H
#define NUVAK_CAMSTATE_H

#include "state.h"

class CamState : public State {
public:
    unsigned short CameraPreset(MonClient* c) override;
    void CsiControlConfirm(MonClient* c, unsigned short result) override;
    const char* Name() const override { return "CamState"; }
};

#endif
