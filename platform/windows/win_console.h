// The console control handler that InterruptWatch installs (tests call it
// as the console would).
#pragma once

#include <windows.h>

namespace vexu::win {

BOOL WINAPI ConsoleControlHandler(DWORD event);

// The moment a second interrupt during a run leaves the program to record
// it (2000 ms; tests that play the second interrupt shorten it).
void SetRecordInterruptedMs(DWORD ms);

}  // namespace vexu::win
