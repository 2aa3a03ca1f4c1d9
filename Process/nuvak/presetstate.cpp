#include "presetstate.h"

#include "monclient.h"

void PresetState::CsiControlConfirm(MonClient* c, unsigned short) { c->ChangeState(IDLESTATE); }
