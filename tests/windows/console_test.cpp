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
        std::vector<DWORD> events;
        std::vector<BOOL> handled;
        bool interrupted;
    };
    const Case cases[] = {
        {"Ctrl-C", {CTRL_C_EVENT}, {TRUE}, true},
        {"Ctrl-Break", {CTRL_BREAK_EVENT}, {TRUE}, true},
        {"a second interrupt ends the program", {CTRL_C_EVENT, CTRL_BREAK_EVENT}, {TRUE, FALSE}, true},
        {"closing the console", {CTRL_CLOSE_EVENT}, {FALSE}, false},
        {"logging off, shutting down", {CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}, {FALSE, FALSE}, false},
    };
    for (const Case& c : cases) {
        InterruptWatch watch;
        EXPECT_FALSE(InterruptWatch::Interrupted()) << c.what << ": a new watch starts clear";
        for (size_t i = 0; i < c.events.size(); ++i)
            EXPECT_EQ(ConsoleControlHandler(c.events[i]), c.handled[i]) << c.what << ", event " << i;
        EXPECT_EQ(InterruptWatch::Interrupted(), c.interrupted) << c.what;
    }
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
