#include "platform/interrupt.h"

#include <windows.h>

#include <atomic>

#include "platform/windows/win_console.h"

namespace vexu {

namespace {

// How long the program has to record an interrupted run before the second
// interrupt ends it regardless.
std::atomic<DWORD> g_recordInterruptedMs{2000};

std::atomic<int> g_interrupted{0};
std::atomic<bool> g_runInProgress{false};

}  // namespace

namespace win {

// The console calls this on a thread of its own; FALSE hands the event to
// the system's default handler, which ends the program. The first Ctrl-C
// or Ctrl-Break is the program's. A second during a run gives the program
// its moment to record the run (it looks at the level at least every
// 100 ms, and ends itself once it has); after that the default handler
// ends it all the same. Any other, and closing the console, logging off and
// shutting down, are the system's.
BOOL WINAPI ConsoleControlHandler(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    int expected = 0;
    if (g_interrupted.compare_exchange_strong(expected, 1)) return TRUE;
    if (expected == 1 && g_runInProgress.load()) {
        g_interrupted = 2;
        HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (never) {
            WaitForSingleObject(never, g_recordInterruptedMs.load());
            CloseHandle(never);
        }
    }
    return FALSE;
}

void SetRecordInterruptedMs(DWORD ms) { g_recordInterruptedMs = ms; }

}  // namespace win

InterruptWatch::InterruptWatch() {
    g_interrupted = 0;
    SetConsoleCtrlHandler(win::ConsoleControlHandler, TRUE);
}

InterruptWatch::~InterruptWatch() { SetConsoleCtrlHandler(win::ConsoleControlHandler, FALSE); }

int InterruptWatch::Level() { return g_interrupted.load(); }

void InterruptWatch::SetRunInProgress(bool inProgress) { g_runInProgress = inProgress; }

int InterruptWatch::ExitStatus() { return static_cast<int>(STATUS_CONTROL_C_EXIT); }

void InterruptWatch::EndNow() { ExitProcess(STATUS_CONTROL_C_EXIT); }

// A child's console writes fail on their own once the parent is gone, and
// nothing stops the child for it.
void OutliveParent() {}

}  // namespace vexu
