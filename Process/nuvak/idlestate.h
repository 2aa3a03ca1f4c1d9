// IdleState: no exchange in progress; the only state that sends a monitor
// select or seize, or a camera select, at once.
#ifndef NUVAK_IDLESTATE_H
#define NUVAK_IDLESTATE_H

#include "state.h"

class IdleState : public State {
public:
    void MonitorSelect(MonClient* c) override;
    void MonitorSeize(MonClient* c) override;
    unsigned short CameraSelect(MonClient* c) override;
    const char* Name() const override { return "IdleState"; }
};

#endif
