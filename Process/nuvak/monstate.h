// MonSelectState: a seize was sent for a showing; waits for the seize (or
// suspend) confirmation. MonSeizeState: waits for the confirmation of a plain
// seize (not entered by this system; kept for completeness of the machine).
#ifndef NUVAK_MONSTATE_H
#define NUVAK_MONSTATE_H

#include "state.h"

class MonSelectState : public State {
public:
    void CsiSeizeConfirm(MonClient* c) override;
    void CsiSuspendConfirm(MonClient* c) override;
    unsigned short CameraSelect(MonClient* c) override;
    const char* Name() const override { return "MonSelectState"; }
};

class MonSeizeState : public State {
public:
    void CsiSeizeConfirm(MonClient* c) override;
    void CsiSuspendConfirm(MonClient* c) override;
    const char* Name() const override { return "MonSeizeState"; }
};

#endif
