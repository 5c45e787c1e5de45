#include "engine/dp_state.h"

DpState g_dpState{};

void dp_reset_state() { g_dpState = DpState{}; }
