// Ctrl-C and Ctrl-Break through the console control handler: while an
// InterruptWatch lives, the first one is the program's (it is told, and
// goes on), a second one and closing the console are left to the system,
// which ends the program.
#include <windows.h>
#include <gtest/gtest.h>

#include "platform/interrupt.h"
#include "platform/windows/win_console.h"

namespace vexu::test {
namespace {

using win::ConsoleControlHandler;

TEST(ConsoleControl, TheFirstInterruptIsTheProgramsTheRestTheSystems) {
    struct Case {
        const char* what;
        bool runInProgress;
        std::vector<DWORD> events;
        std::vector<BOOL> handled;
        int level;
    };
    const Case cases[] = {
        {"Ctrl-C", false, {CTRL_C_EVENT}, {TRUE}, 1},
        {"Ctrl-Break", true, {CTRL_BREAK_EVENT}, {TRUE}, 1},
        {"a second interrupt between runs ends the program", false, {CTRL_C_EVENT, CTRL_BREAK_EVENT}, {TRUE, FALSE}, 1},
        // The program is told to record the run, and the system ends it
        // after the moment it has for that.
        {"a second interrupt during a run", true, {CTRL_C_EVENT, CTRL_C_EVENT}, {TRUE, FALSE}, 2},
        {"closing the console", true, {CTRL_CLOSE_EVENT}, {FALSE}, 0},
        {"logging off, shutting down", false, {CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}, {FALSE, FALSE}, 0},
    };
    win::SetRecordInterruptedMs(0);
    for (const Case& c : cases) {
        InterruptWatch watch;
        EXPECT_EQ(InterruptWatch::Level(), 0) << c.what << ": a new watch starts clear";
        InterruptWatch::SetRunInProgress(c.runInProgress);
        for (size_t i = 0; i < c.events.size(); ++i)
            EXPECT_EQ(ConsoleControlHandler(c.events[i]), c.handled[i]) << c.what << ", event " << i;
        EXPECT_EQ(InterruptWatch::Level(), c.level) << c.what;
        InterruptWatch::SetRunInProgress(false);
    }
    win::SetRecordInterruptedMs(2000);
    EXPECT_EQ(InterruptWatch::ExitStatus(), static_cast<int>(STATUS_CONTROL_C_EXIT));
}

// The handler is in the console's list exactly while a watch lives:
// removing it succeeds only then.
TEST(ConsoleControl, TheWatchInstallsTheHandlerAndTakesItAway) {
    {
        InterruptWatch watch;
        ASSERT_TRUE(SetConsoleCtrlHandler(ConsoleControlHandler, FALSE)) << "installed by the watch";
        ASSERT_TRUE(SetConsoleCtrlHandler(ConsoleControlHandler, TRUE));
    }
    EXPECT_FALSE(SetConsoleCtrlHandler(ConsoleControlHandler, FALSE)) << "taken away with the watch";
}

}  // namespace
}  // namespace vexu::test
