// A program of this project run as a child process, the same way on Linux
// and Windows: its standard output read line by line as it comes, its
// standard error kept in a file, and its exit status.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vexu::test {

struct ChildResult {
    int exit = -1;  // -1: it could not be started, or did not exit by itself
    std::vector<std::string> out;  // stdout lines without their "\n"
    bool timedOut = false;  // it did not end within kWaitLimit and was killed
};

// The running child, for a line handler that wants to stop it.
class RunningChild {
public:
    virtual ~RunningChild() = default;
    // What Ctrl-C does: SIGINT on Linux; on Windows Ctrl-Break to the
    // child's own console process group.
    virtual void Interrupt() = 0;
};

using LineHandler = std::function<void(const std::string& line, RunningChild& child)>;

// Why Interrupt cannot reach a child from this process; empty when it can.
// On Windows Ctrl-Break travels only through a console, and a process
// without one (wine without a display has none to give) cannot send it.
std::string InterruptUnavailable();

// Runs argv[0] with the arguments that follow. env holds NAME=VALUE entries
// that replace or add to this process's environment; standard error goes
// to errFile. Returns when the child has ended; a child that has not ended
// within kWaitLimit (support/bounded_wait.h) is killed, and says so.
ChildResult RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     const std::string& errFile, const LineHandler& onLine = {});

}  // namespace vexu::test
