// PresetState: a camera preset call was sent; the control confirmation ends
// the exchange.
#ifndef NUVAK_PRESETSTATE_H
#define NUVAK_PRESETSTATE_H

#include "state.h"

class PresetState : public State {
public:
    void CsiControlConfirm(MonClient* c, unsigned short result) override;
    const char* Name() const override { return "PresetState"; }
};

#endif
