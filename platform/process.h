// Programs this one starts and follows: a gang station runs each box in a
// worker process of its own, so that a crash or a hang of one box's run
// cannot touch another's.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace vexu {

class ChildProcess {
public:
    // Starts argv[0] (a path) with argv, its standard output and error in
    // pipes this process reads, standard input from /dev/null, in a process
    // group of its own: a Ctrl-C at the terminal reaches only this process,
    // which then decides what becomes of its children. Null with error set
    // when it cannot be started.
    static std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& argv, std::string& error);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Descriptors to poll; -1 once that output has ended.
    int OutputFd() const { return outFd_; }
    int ErrorFd() const { return errFd_; }
    // Appends what can be read now from standard output (or error) without
    // waiting; closes it at its end.
    void ReadOutput(std::string& into);
    void ReadError(std::string& into);
    bool OutputEnded() const { return outFd_ < 0 && errFd_ < 0; }
    // Waits for the process to end; its wait status.
    int Wait();
    // Ends it at once (SIGKILL to its group).
    void Kill();
    pid_t Pid() const { return pid_; }

private:
    ChildProcess() = default;
    static void ReadFrom(int& fd, std::string& into);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    bool waited_ = false;
    int status_ = 0;
};

// The path of the running program (to start more of it).
std::string SelfExecutable();

// "exit 3", "killed by signal 11": how a child's wait status reads.
std::string DescribeWaitStatus(int status);

}  // namespace vexu
