#include "cli_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace vexu::test {

CliOutcome RunCliProcess(const CliRun& run) {
    CliOutcome outcome;
    std::vector<std::string> argStore = {VEXU_CLI_PATH};
    argStore.insert(argStore.end(), run.args.begin(), run.args.end());
    std::vector<char*> argv;
    for (std::string& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe(out) != 0) return outcome;
    // Standard error goes to a file, read once the process has ended.
    char errPath[] = "/tmp/vexu-cli-stderr-XXXXXX";
    const int err = mkstemp(errPath);
    if (err < 0) {
        close(out[0]);
        close(out[1]);
        return outcome;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err, 2);
        close(out[0]);
        close(out[1]);
        close(err);
        if (!run.directory.empty() && chdir(run.directory.c_str()) != 0) _exit(125);
        if (!run.stateHome.empty()) setenv("XDG_STATE_HOME", run.stateHome.c_str(), 1);
        if (!run.tempDir.empty()) setenv("TMPDIR", run.tempDir.c_str(), 1);
        if (run.fileSizeLimit) {
            const rlimit limit{*run.fileSizeLimit, *run.fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execv(argv[0], argv.data());
        _exit(126);
    }
    close(out[1]);
    FILE* stream = fdopen(out[0], "r");
    char line[65536];
    while (fgets(line, sizeof line, stream)) {
        std::string text = line;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        outcome.out.push_back(text);
        if (run.onLine) run.onLine(text, pid);
    }
    fclose(stream);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) outcome.exit = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
    lseek(err, 0, SEEK_SET);
    char buffer[4096];
    ssize_t n;
    while ((n = read(err, buffer, sizeof buffer)) > 0) outcome.err.append(buffer, static_cast<size_t>(n));
    close(err);
    unlink(errPath);
    return outcome;
}

std::string JoinedLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

void Put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string Contents(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

JsonValue Parsed(const std::string& line) {
    JsonValue value;
    std::string error;
    EXPECT_TRUE(ParseJson(line, value, error)) << error << ": " << line;
    return value;
}

}  // namespace vexu::test
