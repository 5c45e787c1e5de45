#include "support/child_process.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "support/bounded_wait.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace vexu::test {

namespace {

// This process's environment with the entries of env in place of those of
// the same name.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& env, char** current) {
    std::vector<std::string> merged = env;
    for (char** e = current; e && *e; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const std::string& own : env) {
            const size_t name = own.find('=');
            replaced = replaced || entry.compare(0, name + 1, own, 0, name + 1) == 0;
        }
        if (!replaced) merged.push_back(entry);
    }
    return merged;
}

// Kills a child that has not ended within the wait limit, so that a
// command that hangs fails its test with a reason instead of hanging it.
class Watchdog {
public:
    template <typename Kill>
    explicit Watchdog(Kill kill)
        : thread_([this, kill] {
              std::unique_lock lock(mutex_);
              if (!ended_.wait_for(lock, kWaitLimit, [this] { return done_; })) {
                  fired_ = true;
                  kill();
              }
          }) {}
    ~Watchdog() { Stop(); }
    // The child has ended (or its output has): stops watching. Whether the
    // watchdog killed it.
    bool Stop() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        ended_.notify_all();
        if (thread_.joinable()) thread_.join();
        return fired_;
    }

private:
    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
    bool fired_ = false;
    std::thread thread_;
};

// Hands the lines of a stream to the result and the handler.
void ReadOutput(FILE* out, ChildResult& result, RunningChild& child, const LineHandler& onLine) {
    std::string line;
    for (int c; (c = fgetc(out)) != EOF;) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        result.out.push_back(line);
        if (onLine) onLine(line, child);
        line.clear();
    }
    if (!line.empty()) result.out.push_back(line);
}

#ifdef _WIN32

// One argument as the C runtime's command-line parser reads it back.
std::string Quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
        } else if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
            backslashes = 0;
        } else {
            out.append(backslashes, '\\');
            backslashes = 0;
        }
        if (c != '\\') out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

class WindowsChild final : public RunningChild {
public:
    explicit WindowsChild(DWORD processId) : processId_(processId) {}
    void Interrupt() override { GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, processId_); }

private:
    DWORD processId_;
};

}  // namespace

std::string InterruptUnavailable() {
    if (GetConsoleCP() != 0 || AllocConsole()) return {};
    return "this process has no console and cannot be given one, and Ctrl-Break reaches another program only "
           "through a console";
}

ChildResult RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     const std::string& errFile, const LineHandler& onLine) {
    ChildResult result;
    std::string commandLine;
    for (const std::string& arg : argv) commandLine += (commandLine.empty() ? "" : " ") + Quoted(arg);

    std::vector<std::string> current;
    std::vector<char*> currentPointers;
    if (char* block = GetEnvironmentStringsA()) {
        for (char* e = block; *e; e += strlen(e) + 1) current.push_back(e);
        FreeEnvironmentStringsA(block);
    }
    for (std::string& e : current) currentPointers.push_back(e.data());
    currentPointers.push_back(nullptr);
    std::string environment;
    for (const std::string& e : MergedEnvironment(env, currentPointers.data())) environment += e + '\0';
    environment += '\0';

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readOut = nullptr;
    HANDLE writeOut = nullptr;
    if (!CreatePipe(&readOut, &writeOut, &inherit, 0)) return result;
    SetHandleInformation(readOut, HANDLE_FLAG_INHERIT, 0);
    HANDLE err = CreateFileA(errFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                            nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = writeOut;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    // A process group of its own, so that Ctrl-Break reaches the child alone.
    const BOOL started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                                        environment.data(), nullptr, &startup, &process);
    CloseHandle(writeOut);
    if (err != INVALID_HANDLE_VALUE) CloseHandle(err);
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
    if (!started) {
        CloseHandle(readOut);
        return result;
    }
    CloseHandle(process.hThread);
    WindowsChild child(process.dwProcessId);
    Watchdog watchdog([handle = process.hProcess] { TerminateProcess(handle, 1); });
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(readOut), 0);
    FILE* out = fd >= 0 ? _fdopen(fd, "rb") : nullptr;
    if (out) {
        ReadOutput(out, result, child, onLine);
        fclose(out);
    } else {
        CloseHandle(readOut);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    result.timedOut = watchdog.Stop();
    DWORD code = 0;
    if (GetExitCodeProcess(process.hProcess, &code)) result.exit = static_cast<int>(code);
    CloseHandle(process.hProcess);
    return result;
}

#else

class PosixChild final : public RunningChild {
public:
    explicit PosixChild(pid_t pid) : pid_(pid) {}
    void Interrupt() override { kill(pid_, SIGINT); }

private:
    pid_t pid_;
};

}  // namespace

std::string InterruptUnavailable() { return {}; }

ChildResult RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     const std::string& errFile, const LineHandler& onLine) {
    ChildResult result;
    std::vector<std::string> envStore = MergedEnvironment(env, environ);
    std::vector<char*> envp;
    for (std::string& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStore = argv;
    std::vector<char*> args;
    for (std::string& a : argStore) args.push_back(a.data());
    args.push_back(nullptr);

    int pipeFds[2];
    if (pipe(pipeFds) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        return result;
    }
    PosixChild child(pid);
    Watchdog watchdog([pid] { kill(pid, SIGKILL); });
    FILE* out = fdopen(pipeFds[0], "r");
    ReadOutput(out, result, child, onLine);
    fclose(out);
    int status = 0;
    waitpid(pid, &status, 0);
    result.timedOut = watchdog.Stop();
    result.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

#endif

}  // namespace vexu::test
