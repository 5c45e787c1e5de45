// The command line of the operator's window, one for the Qt and the Win32
// window:
//   vexu-programmer [--trace] [--box=PATH] [--simulate[=KEY=VALUE,...]] [--snapshots=DIR]
//   vexu-programmer --help | --version
// --snapshots (the tour that saves a picture of each stage) is the Qt
// window's alone.
#pragma once

#include <string>
#include <vector>

struct WindowOptions {
    bool trace = false;
    bool simulate = false;
    std::string simulateKeys;  // KEY=VALUE,... after --simulate=
    std::string box;           // the box to use, by its path; empty: the first free one
    std::string snapshots;     // the tour's directory; empty: no tour
};

// What the command line asks before anything else (before a display is
// opened): its help, the version, or the window.
enum class WindowAsk { kWindow, kHelp, kVersion };
WindowAsk FirstAsk(const std::vector<std::string>& args);

// Parses the arguments (without the program's name). Returns an empty
// text, or why the command line is refused ("unknown option --x").
std::string ParseWindowOptions(const std::vector<std::string>& args, bool withSnapshots, WindowOptions& options);

// The help text; the simulator's keys follow it.
std::string WindowUsage(bool withSnapshots, const std::string& simulatorHelp);
