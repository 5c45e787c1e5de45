#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace vexu {

namespace {

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

// How long a start waits to learn whether the program could be run: a
// child stopped or held up before it runs the program is taken as started
// (its run's time limit ends it), so that a start never holds its caller.
constexpr int kExecReportMs = 1000;

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::vector<std::string>& argv, std::string& error) {
    if (argv.empty()) {
        error = "nothing to start";
        return nullptr;
    }
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    int report[2] = {-1, -1};  // the child's errno when the program cannot be run; closed by its exec
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        for (int fd : {out[0], out[1], err[0], err[1], report[0], report[1]})
            if (fd >= 0) close(fd);
        return nullptr;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    // Not posix_spawn: it holds the caller until the child has run the
    // program, and a child stopped before that would hold it for good.
    // Between fork and exec the child only makes calls that are safe in a
    // copy of a process with threads.
    const pid_t pid = fork();
    if (pid == 0) {
        const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (devNull < 0 || dup2(devNull, STDIN_FILENO) < 0 || dup2(out[1], STDOUT_FILENO) < 0 ||
            dup2(err[1], STDERR_FILENO) < 0 || setpgid(0, 0) != 0) {
            const int code = errno;
            [[maybe_unused]] const ssize_t n = write(report[1], &code, sizeof code);
            _exit(127);
        }
        // The parent's handlers and blocked signals are not the child's.
        struct sigaction byDefault {};
        byDefault.sa_handler = SIG_DFL;
        for (int signal = 1; signal < NSIG; ++signal) sigaction(signal, &byDefault, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(args[0], args.data(), environ);
        const int code = errno;
        [[maybe_unused]] const ssize_t n = write(report[1], &code, sizeof code);
        _exit(127);
    }
    const int forkError = errno;
    close(out[1]);
    close(err[1]);
    close(report[1]);
    if (pid < 0) {
        close(out[0]);
        close(err[0]);
        close(report[0]);
        error = "cannot start " + argv[0] + ": " + std::strerror(forkError);
        return nullptr;
    }
    // In its own process group from here on, whether or not the child got
    // as far as saying so itself (a group kill must reach it).
    setpgid(pid, pid);
    int code = 0;
    pollfd ready{report[0], POLLIN, 0};
    ssize_t got = 0;
    if (poll(&ready, 1, kExecReportMs) > 0) {
        while ((got = read(report[0], &code, sizeof code)) < 0 && errno == EINTR) {
        }
    }
    close(report[0]);
    if (got == static_cast<ssize_t>(sizeof code)) {
        close(out[0]);
        close(err[0]);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        error = "cannot start " + argv[0] + ": " + std::strerror(code);
        return nullptr;
    }
    fcntl(out[0], F_SETFL, fcntl(out[0], F_GETFL) | O_NONBLOCK);
    fcntl(err[0], F_SETFL, fcntl(err[0], F_GETFL) | O_NONBLOCK);
    std::unique_ptr<ChildProcess> child(new ChildProcess);
    child->pid_ = pid;
    child->outFd_ = out[0];
    child->errFd_ = err[0];
    return child;
}

ChildProcess::~ChildProcess() {
    CloseFd(outFd_);
    CloseFd(errFd_);
    if (!waited_ && pid_ > 0) {
        Kill();
        Wait();
    }
}

void ChildProcess::ReadFrom(int& fd, std::string& into) {
    char buffer[4096];
    while (fd >= 0) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            CloseFd(fd);
        } else if (errno == EAGAIN) {
            return;
        }
    }
}

void ChildProcess::ReadOutput(std::string& into) { ReadFrom(outFd_, into); }
void ChildProcess::ReadError(std::string& into) { ReadFrom(errFd_, into); }

int ChildProcess::Wait() {
    if (waited_) return status_;
    while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    waited_ = true;
    return status_;
}

void ChildProcess::Kill() {
    if (waited_ || pid_ <= 0) return;
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);  // one stopped before it joined its group
}

std::string SelfExecutable() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    return std::string(path, static_cast<size_t>(n));
}

std::string DescribeWaitStatus(int status) {
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

}  // namespace vexu
