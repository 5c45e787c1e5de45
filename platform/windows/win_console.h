// The console control handler that InterruptWatch installs (tests call it
// as the console would).
#pragma once

#include <windows.h>

namespace vexu::win {

BOOL WINAPI ConsoleControlHandler(DWORD event);

}  // namespace vexu::win
