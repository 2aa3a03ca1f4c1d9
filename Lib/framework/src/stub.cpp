// Placeholder until the framework's sources land.
#include "framework.h"

IFrameWork* CreateFrameWork() { return nullptr; }
void DestroyFrameWork() {}
