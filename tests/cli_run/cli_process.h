// vexu-cli started as a process the way a user or a station script starts
// it: in a directory of its own, with its run log where the test says, and,
// where a test needs it, with a limit on the size of the files it may
// write (a disk that fills up at that size).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/json_reader.h"

namespace vexu::test {

struct CliRun {
    std::vector<std::string> args;   // after the program name
    std::string directory;           // working directory; empty: the test's own
    std::string stateHome;           // XDG_STATE_HOME; empty: as the test has it
    std::string tempDir;             // TMPDIR; empty: as the test has it
    std::optional<uint64_t> fileSizeLimit;  // bytes any one file may grow to
    // Sees every stdout line as it comes, with the process id (to signal it).
    std::function<void(const std::string& line, pid_t pid)> onLine;
};

struct CliOutcome {
    int exit = -1;        // exit status; -1 when the process did not exit normally
    int signal = 0;       // the signal that ended it, if one did
    std::vector<std::string> out;  // stdout lines
    std::string err;
};

CliOutcome RunCliProcess(const CliRun& run);

// The lines joined with "\n" after each.
std::string JoinedLines(const std::vector<std::string>& lines);

// A file written whole with text, and a file's bytes (empty when there is none).
void Put(const std::string& path, const std::string& text);
std::string Contents(const std::string& path);
// One JSON line of the program's output; a line that does not parse fails
// the test.
JsonValue Parsed(const std::string& line);

}  // namespace vexu::test
