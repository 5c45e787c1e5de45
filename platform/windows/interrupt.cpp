#include "platform/interrupt.h"

#include <windows.h>

#include <atomic>

#include "platform/windows/win_console.h"

namespace vexu {

namespace {

std::atomic<bool> g_interrupted{false};

}  // namespace

namespace win {

// The console calls this on a thread of its own. The first Ctrl-C or
// Ctrl-Break is the program's to handle; for a second, and for closing the
// console, logging off and shutting down, the system's default handler
// ends the program.
BOOL WINAPI ConsoleControlHandler(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    return g_interrupted.exchange(true) ? FALSE : TRUE;
}

}  // namespace win

InterruptWatch::InterruptWatch() {
    g_interrupted = false;
    SetConsoleCtrlHandler(win::ConsoleControlHandler, TRUE);
}

InterruptWatch::~InterruptWatch() { SetConsoleCtrlHandler(win::ConsoleControlHandler, FALSE); }

bool InterruptWatch::Interrupted() { return g_interrupted.load(); }

}  // namespace vexu
