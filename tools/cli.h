// The command line's shared pieces: global options and the commands, each a
// plain function over the same library calls the window uses. Only
// cli_main.cpp sees CLI11.
#pragma once

#include <memory>
#include <string>

#include "platform/hid_backend.h"

namespace vexu::cli {

// Exit status of every command.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,
    kExitUsage = 2,
    kExitNoBox = 3,
};

struct GlobalOptions {
    bool trace = false;
    std::string reportLog;
    bool simulate = false;
    std::string simulateKeys;  // KEY=VALUE,... after --simulate=
};

// The HID services the options ask for: the simulated box or hidapi.
// Returns null and writes the reason to error when they cannot be had.
std::unique_ptr<HidBackend> MakeBackend(const GlobalOptions& options, std::string& error);
// The --simulate option's help: what it does and every scenario key.
std::string SimulateHelp();
// One line on the simulated box's traffic and modelled time; empty for a
// real box.
std::string SimulationSummary(HidBackend& backend);

int RunList(const GlobalOptions& options);

}  // namespace vexu::cli
