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

int RunList(const GlobalOptions& options);

struct FlashOptions {
    std::string eepromImage;  // empty: the embedded serial-flash image
};

// Writes, reads back and compares the board's serial flash on its own.
int RunFlash(const GlobalOptions& options, const FlashOptions& flash);

}  // namespace vexu::cli
