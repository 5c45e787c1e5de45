// The time a run takes, as vexu-cli shows it: the elapsedSeconds of the
// JSON progress events, and on a terminal each bar's time so far, its
// estimate of the time left and the whole run's line. The simulator runs in
// virtual time, so every figure is exact and the same on every machine.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <map>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "platform/json_reader.h"
#include "support/bounded_wait.h"
#include "support/temp_dir.h"

namespace vexu::test {
namespace {

struct Output {
    int exit = -1;
    std::string text;  // everything the program wrote, both streams
};

// Runs vexu-cli with both its outputs on a pseudo-terminal (as a person at
// a terminal sees it) or on a pipe, its run log in stateDir.
Output RunCliOn(bool terminal, const std::vector<std::string>& args, const TempDir& stateDir) {
    std::vector<std::string> argStore = {VEXU_CLI_PATH};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string state = "XDG_STATE_HOME=" + stateDir.Path().string();

    Output output;
    int fd = -1;
    pid_t pid = -1;
    if (terminal) {
        pid = forkpty(&fd, nullptr, nullptr, nullptr);
    } else {
        int fds[2];
        if (pipe(fds) != 0) return output;
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            dup2(fds[1], 2);
        }
        close(fds[1]);
        fd = fds[0];
    }
    if (pid == 0) {
        putenv(const_cast<char*>(state.c_str()));
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0) return output;
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    bool timedOut = false;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) == 0) {
            timedOut = true;
            break;
        }
        char buffer[65536];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // a terminal ends with EIO once the program is gone
        output.text.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    if (timedOut) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    output.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (timedOut) output.text += "\nvexu-cli did not end within the wait limit\n";
    return output;
}

// Lines split at both line ends: every redraw of the bars is one line.
std::vector<std::string> Pieces(const std::string& text) {
    std::vector<std::string> pieces;
    std::string piece;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            if (!piece.empty()) pieces.push_back(piece);
            piece.clear();
        } else {
            piece += c;
        }
    }
    if (!piece.empty()) pieces.push_back(piece);
    return pieces;
}

double Seconds(const std::string& clock) {
    const size_t colon = clock.find(':');
    return std::stod(clock.substr(0, colon)) * 60 + std::stod(clock.substr(colon + 1));
}

// The JSON progress events carry each step's time so far, taken when the
// run posted the percentage: it starts at 0 when the step starts, never goes
// back, and at the step's 100 (posted as the step ends) it is the step's
// time in the run's result. A step that never starts stays at 0.
TEST(CliProgressTime, JsonProgressCarriesEachStepsElapsedTime) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        bool fpgaRan;
        bool eepromRan;
    };
    const Case cases[] = {
        {"whole run", {"--simulate", "--json", "run"}, true, true},
        {"serial flash alone", {"--simulate", "--json", "run", "--no-fpga"}, false, true},
        // Verify of row 10 fails near the array's end: the FPGA bar stops short.
        {"FPGA fails: the serial flash never starts", {"--simulate=verify-fail-row=10", "--json", "run"}, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir state;
        const Output run = RunCliOn(false, c.args, state);
        std::map<std::string, double> last;
        std::map<std::string, int> lastPercent;
        JsonValue result;
        for (const std::string& line : Pieces(run.text)) {
            if (line.empty() || line[0] != '{') continue;
            JsonValue event;
            std::string error;
            ASSERT_TRUE(ParseJson(line, event, error)) << error << ": " << line;
            if (event["event"].text == "result") result = event;
            if (event["event"].text != "progress") continue;
            ASSERT_EQ(event["elapsedSeconds"].kind, JsonValue::Kind::kNumber) << line;
            const std::string part = event["part"].text;
            const double elapsed = event["elapsedSeconds"].number;
            EXPECT_GE(elapsed, last.count(part) ? last[part] : 0.0) << line;
            last[part] = elapsed;
            lastPercent[part] = static_cast<int>(event["percent"].number);
        }
        ASSERT_EQ(result.kind, JsonValue::Kind::kObject) << run.text.substr(0, 2000);
        if (c.fpgaRan && lastPercent["fpga"] == 100) {
            EXPECT_NEAR(last["fpga"], result["fpga"]["seconds"].number, 0.0015) << "the FPGA step's time";
        } else if (c.fpgaRan) {
            EXPECT_LE(last["fpga"], result["fpga"]["seconds"].number);
            EXPECT_GT(last["fpga"], 0.5 * result["fpga"]["seconds"].number);
        }
        if (c.eepromRan) {
            EXPECT_EQ(lastPercent["eeprom"], 100);
            EXPECT_NEAR(last["eeprom"], result["eeprom"]["seconds"].number, 0.0015) << "the serial-flash step's time";
        } else {
            EXPECT_EQ(last["eeprom"], 0.0);
        }
    }
}

// On a terminal each bar shows its step's time so far and, while it runs,
// the time left at the rate so far; the bars end at the steps' times and a
// last line gives the whole run's.
TEST(CliProgressTime, TerminalBarsShowTimeSoFarAndTimeLeft) {
    TempDir state;
    const Output run = RunCliOn(true, {"--simulate", "run"}, state);
    ASSERT_EQ(run.exit, 0) << run.text.substr(run.text.size() > 3000 ? run.text.size() - 3000 : 0);
    const std::regex bar(R"(FPGA \[[#-]{12}\] +(\d+)% (\d+:\d\d)(, (\d+:\d\d) left)?   Serial flash \[[#-]{12}\] +(\d+)%( (\d+:\d\d)(, (\d+:\d\d) left)?)?)");
    const std::regex stepLine(R"((FPGA|Serial flash|Whole run) +ok +(\d+\.\d{3}) s.*)");
    std::map<std::string, double> steps;
    size_t bars = 0;
    size_t estimates = 0;
    std::smatch last;
    std::string lastBar;
    for (const std::string& piece : Pieces(run.text)) {
        std::smatch m;
        if (std::regex_search(piece, m, stepLine)) steps[m[1]] = std::stod(m[2]);
        if (!std::regex_search(piece, m, bar)) continue;
        ++bars;
        lastBar = piece;
        // Each estimate is the time so far scaled to the rest: the clock
        // shows whole seconds of it, so it lies between the two scalings.
        for (auto [percentAt, elapsedAt, leftAt] : {std::tuple{1, 2, 4}, std::tuple{5, 7, 9}}) {
            if (!m[leftAt].matched) continue;
            ++estimates;
            const double percent = std::stod(m[percentAt]);
            const double elapsed = Seconds(m[elapsedAt]);
            const double left = Seconds(m[leftAt]);
            ASSERT_GT(percent, 0);
            ASSERT_LT(percent, 100);
            EXPECT_GE(left, std::floor(elapsed * (100 - percent) / percent) - 1) << piece;
            EXPECT_LE(left, (elapsed + 1) * (100 - percent) / percent) << piece;
        }
    }
    EXPECT_GT(bars, 150u);
    EXPECT_GT(estimates, 150u);
    // The last redraw: both bars full, each with its step's time alone.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(lastBar, m, bar)) << lastBar;
    EXPECT_EQ(m[1], "100");
    EXPECT_EQ(m[5], "100");
    EXPECT_FALSE(m[3].matched);
    EXPECT_FALSE(m[8].matched);
    ASSERT_EQ(steps.size(), 3u) << run.text.substr(run.text.size() > 600 ? run.text.size() - 600 : 0);
    EXPECT_EQ(Seconds(m[2]), std::floor(steps["FPGA"]));
    EXPECT_EQ(Seconds(m[7]), std::floor(steps["Serial flash"]));
    // The whole run holds both steps and the switching around them.
    EXPECT_GE(steps["Whole run"], steps["FPGA"] + steps["Serial flash"]);
    EXPECT_LT(steps["Whole run"], steps["FPGA"] + steps["Serial flash"] + 1.0);
}

}  // namespace
}  // namespace vexu::test
