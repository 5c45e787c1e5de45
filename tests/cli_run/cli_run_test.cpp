// vexu-cli run as a process against the simulated box and board: exit
// status, what it prints (for people and as JSON lines), the run log it
// leaves, station mode, and the report log of a run.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>

#include "embedded_resource_files.h"
#include "platform/json_reader.h"
#include "support/bounded_wait.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "tools/image/image_files.h"

namespace vexu::test {
namespace {

struct CliResult {
    int exit = -1;
    std::vector<std::string> out;  // stdout lines
    std::string err;
};

// Where the run log goes: the user's state directory of the platform.
#ifdef _WIN32
constexpr const char* kStateDirectoryVariable = "LOCALAPPDATA";
#else
constexpr const char* kStateDirectoryVariable = "XDG_STATE_HOME";
#endif

// Runs vexu-cli with its run log in stateDir; onLine sees every stdout line
// as it comes, with the running program (to interrupt it).
CliResult RunCli(const std::vector<std::string>& args, const TempDir& stateDir,
                 const LineHandler& onLine = {}) {
    std::vector<std::string> argv = {VEXU_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string errFile = stateDir.File("stderr.txt");
    const ChildResult child = RunChild(
        argv, {std::string(kStateDirectoryVariable) + "=" + stateDir.Path().string()}, errFile, onLine);
    CliResult result;
    result.exit = child.exit;
    result.out = child.out;
    if (child.timedOut) result.err = "vexu-cli did not end within " + std::to_string(kWaitLimit.count()) + " s\n";
    for (const std::string& line : ReadLines(errFile)) result.err += line + "\n";
    return result;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

JsonValue Parsed(const std::string& line) {
    JsonValue value;
    std::string error;
    EXPECT_TRUE(ParseJson(line, value, error)) << error << ": " << line;
    return value;
}

// The last line of the run log.
JsonValue LastRecord(const TempDir& stateDir) {
    const auto lines = ReadLines(stateDir.File("vexu-programmer/runs.log"));
    return lines.empty() ? JsonValue{} : Parsed(lines.back());
}


using Kind = JsonValue::Kind;

// Every line is one JSON object with an event name; bars only climb; the
// last line is the one result, which agrees with the exit status and with
// the line the run left in the run log.
TEST(CliRun, JsonLinesTellTheWholeRun) {
    TempDir state;
    const CliResult run = RunCli({"--simulate", "--json", "run"}, state);
    EXPECT_EQ(run.exit, 0) << run.err;
    ASSERT_FALSE(run.out.empty());
    std::map<std::string, double> lastPercent;
    std::set<std::string> events;
    for (size_t i = 0; i < run.out.size(); ++i) {
        const JsonValue line = Parsed(run.out[i]);
        ASSERT_EQ(line.kind, Kind::kObject) << run.out[i];
        ASSERT_FALSE(line.order.empty());
        EXPECT_EQ(line.order.front(), "event");
        const std::string event = line["event"].text;
        events.insert(event);
        if (event == "progress") {
            const std::string part = line["part"].text;
            EXPECT_TRUE(part == "fpga" || part == "eeprom") << run.out[i];
            const double percent = line["percent"].number;
            EXPECT_TRUE(percent >= 0 && percent <= 100 && percent == static_cast<int>(percent)) << run.out[i];
            if (lastPercent.count(part)) {
                EXPECT_GT(percent, lastPercent[part]) << run.out[i];
            }
            lastPercent[part] = percent;
        } else if (event == "log") {
            EXPECT_EQ(line["text"].kind, Kind::kString);
        } else {
            EXPECT_EQ(event, "result");
            EXPECT_EQ(i, run.out.size() - 1) << "the result is the last line";
        }
    }
    EXPECT_EQ(events, (std::set<std::string>{"progress", "log", "result"}));
    const JsonValue result = Parsed(run.out.back());
    EXPECT_EQ(result["command"].text, "run");
    EXPECT_EQ(result["exit"].number, run.exit);
    EXPECT_EQ(result["ok"].boolean, run.exit == 0);
    EXPECT_GT(result["simulation"]["modelledSeconds"].number, 0);
    EXPECT_EQ(result["simulation"]["violations"].number, 0);
    const JsonValue record = LastRecord(state);
    for (const char* key : {"time", "box", "result", "failure"}) EXPECT_EQ(result[key].text, record[key].text) << key;
    EXPECT_EQ(record["box"].text, "sim://vexu-box");
    EXPECT_EQ(result["fpga"]["id"].text, "0x029121CF");
    EXPECT_EQ(lastPercent["fpga"], 100);
    EXPECT_EQ(lastPercent["eeprom"], 100);
    EXPECT_EQ(result["fpga"]["result"].text, "ok");
    EXPECT_EQ(result["eeprom"]["chip"].text, "M25P20");
    EXPECT_EQ(result["step"].text, "eeprom");
}

// A corrupted copy of the embedded FPGA image.
std::string CorruptImage(const TempDir& dir) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(image::ReadBinaryFile(kEmbeddedFpgaPlainFile, bytes, error)) << error;
    bytes[bytes.size() / 2] ^= 0x01;
    const std::string path = dir.File("corrupt.dat");
    EXPECT_TRUE(image::WriteBinaryFile(path, bytes, error)) << error;
    return path;
}

// With several boxes, list names each with its location and serial, and
// --box picks one: the run happens on it and its record says where it sat.
TEST(CliRun, ChosenBoxIsTheOneUsedAndRecorded) {
    TempDir state;
    const CliResult list = RunCli({"--simulate=boxes=3", "--json", "list"}, state);
    EXPECT_EQ(list.exit, 0) << list.err;
    ASSERT_EQ(list.out.size(), 4u);
    for (int k = 1; k <= 3; ++k) {
        const JsonValue box = Parsed(list.out[static_cast<size_t>(k - 1)]);
        EXPECT_EQ(box["path"].text, k == 1 ? std::string("sim://vexu-box") : "sim://vexu-box-" + std::to_string(k));
        EXPECT_EQ(box["location"].text, "sim-" + std::to_string(k));
        EXPECT_EQ(box["serial"].text, "SIM000" + std::to_string(k));
        EXPECT_TRUE(box["available"].boolean);
    }
    const CliResult run = RunCli({"--simulate=boxes=3", "--box", "sim://vexu-box-3", "run", "--no-fpga"}, state);
    EXPECT_EQ(run.exit, 0) << run.err;
    const JsonValue record = LastRecord(state);
    EXPECT_EQ(record["box"].text, "sim://vexu-box-3");
    EXPECT_EQ(record["location"].text, "sim-3");
    EXPECT_EQ(record["boxSerial"].text, "SIM0003");
    EXPECT_FALSE(record.Has("slot"));
}

TEST(CliRun, EachFaultEndsWithItsFailureText) {
    struct Case {
        std::string simulate;
        std::vector<std::string> extra;
        const char* failure;
    };
    TempDir images;
    const Case cases[] = {
        {"refuse-serial", {"--no-fpga"}, " Entry Eeprom Mode False"},
        {"flash=none", {"--no-fpga"}, " Eeprom Id Error"},
        {"flash-stuck-busy", {"--no-fpga"}, "Device Error"},
        {"flash-bit-error-page=1023", {}, "serial-flash step: Device Check Error"},  // after a programmed FPGA
        {"unplug-after=3000", {"--no-fpga"},
         "The programmer box was removed or stopped answering during the serial-flash step. Device Write Error"},
        {"idcode=0x02A121CF", {}, "(engine code 6): The IDCODE of the target device does not match"},
        {"mode-refused=status", {}, "(engine code 25): Failed to enter programming mode"},
        {"verify-fail-row=10", {}, "(engine code 11): The message occurs when the FPGA failed verify."},
        {"flash=M25P40", {"--fpga-image", CorruptImage(images)}, "(engine code 100): CRC data error."},
    };
    for (const Case& c : cases) {
        TempDir state;
        std::vector<std::string> args = {"--simulate=" + c.simulate, "run"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const CliResult run = RunCli(args, state);
        EXPECT_EQ(run.exit, 1) << c.simulate;
        EXPECT_NE(run.err.find(c.failure), std::string::npos) << c.simulate << "\n" << run.err;
        const char* colon = strchr(c.failure, ':');
        const std::string text = colon ? colon + 2 : c.failure;
        EXPECT_EQ(LastRecord(state)["failure"].text.rfind(text, 0), 0u) << c.simulate;
    }
}

// A refusal for want of permission names what grants access where
// something does (a udev rule on Linux); Windows has nothing to name.
#ifdef _WIN32
constexpr const char* kDeniedText = "cannot open the programmer box sim://vexu-box: permission denied\n";
#else
constexpr const char* kDeniedText =
    "cannot open the programmer box sim://vexu-box: permission denied; the udev rule "
    "70-vexu-programmer.rules (in packaging/, installed with the program) grants access";
#endif

TEST(CliRun, NoBoxAndUsageErrorsHaveTheirOwnStatus) {
    struct Case {
        std::vector<std::string> args;
        int exit;
        const char* text;
    };
    const Case cases[] = {
        {{"--simulate=unplugged", "run"}, 3, "no programmer box found"},
        // A box that is there but cannot be had is named with what stands in the way.
        {{"--simulate=refuse-open=in-use", "run"}, 4,
         "the programmer box sim://vexu-box is in use by another program"},
        {{"--simulate=refuse-open=in-use", "flash"}, 4, "is in use by another program"},
        {{"--simulate=refuse-open=in-use", "action", "read_idcode"}, 4, "is in use by another program"},
        {{"--simulate=refuse-open=denied", "run"}, 5, kDeniedText},
        {{"--simulate=refuse-open=denied", "list"}, 5, "sim://vexu-box: permission denied"},
        {{"--simulate=refuse-open=in-use", "list"}, 4, "is in use by another program"},
        {{"--simulate=unplugged", "list"}, 3, "no programmer box found"},
        {{"--simulate=boxes=2", "--box", "sim://vexu-box-9", "run"}, 3, "the programmer box sim://vexu-box-9 is not there"},
        {{"--simulate=boxes=2", "--box", "sim://vexu-box-9", "list"}, 3, "the programmer box sim://vexu-box-9 is not there"},
        {{"--simulate", "--box", "", "run"}, 2, "--box needs the path of a box"},
        {{"--simulate", "run", "--no-fpga", "--no-eeprom"}, 2, "nothing to program"},
        {{"--simulate", "run", "--eeprom-image", "/nonexistent/flash.bin"}, 2, "cannot open the serial-flash image"},
        {{"run", "--fast"}, 2, "--fast"},
    };
    for (const Case& c : cases) {
        TempDir state;
        const CliResult run = RunCli(c.args, state);
        EXPECT_EQ(run.exit, c.exit) << c.text;
        EXPECT_NE(run.err.find(c.text), std::string::npos) << run.err;
        EXPECT_TRUE(ReadLines(state.File("vexu-programmer/runs.log")).empty()) << "no run, no record";
    }
}

// The simulated operator brings and takes the boxes; every run gets its
// PASS or FAIL line with the running count and its record.
TEST(CliRun, StationCountsBoxAfterBox) {
    struct Case {
        const char* simulate;
        std::vector<const char*> lines;
        int exit;
    };
    const Case cases[] = {
        {"station-boxes=3",
         {"PASS #1  (1 passed, 0 failed)", "PASS #2  (2 passed, 0 failed)", "PASS #3  (3 passed, 0 failed)",
          "station stopped: 3 runs, 3 passed, 0 failed"},
         0},
        {"station-boxes=2,flash=none",
         {"FAIL #1  (0 passed, 1 failed)  run failed in the serial-flash step:  Eeprom Id Error",
          "FAIL #2  (0 passed, 2 failed)", "station stopped: 2 runs, 0 passed, 2 failed"},
         1},
    };
    for (const Case& c : cases) {
        TempDir state;
        const CliResult run = RunCli({std::string("--simulate=") + c.simulate, "run", "--station", "--no-fpga"}, state);
        EXPECT_EQ(run.exit, c.exit) << c.simulate;
        const std::string out = Joined(run.out);
        size_t at = 0;
        for (const char* line : c.lines) {
            at = out.find(line, at);
            EXPECT_NE(at, std::string::npos) << line << "\n" << out;
        }
        EXPECT_EQ(ReadLines(state.File("vexu-programmer/runs.log")).size(), c.lines.size() - 1);
    }
}

TEST(CliRun, StationStopsCleanlyWhenInterrupted) {
    if (const std::string why = InterruptUnavailable(); !why.empty()) GTEST_SKIP() << why;
    TempDir state;
    const CliResult run = RunCli({"--simulate=unplugged", "--json", "run", "--station"}, state,
                                 [](const std::string& line, RunningChild& child) {
                                     if (line.find(R"("state":"waiting")") != std::string::npos) child.Interrupt();
                                 });
    EXPECT_EQ(run.exit, 0);
    ASSERT_EQ(run.out.size(), 2u) << Joined(run.out);
    const JsonValue summary = Parsed(run.out.back());
    EXPECT_EQ(summary["event"].text, "summary");
    EXPECT_EQ(summary["runs"].number, 0);
}

// "SET id=1 len=64 : 01 0A ... -> OK": direction, report id, length and
// that many bytes, the first of them the id.
bool WellFormedReportLine(const std::string& line) {
    char direction[4] = {};
    unsigned id = 0;
    size_t length = 0;
    int used = 0;
    const std::string ok = " -> OK";
    if (sscanf(line.c_str(), "%3s id=%u len=%zu :%n", direction, &id, &length, &used) != 3 || used == 0) return false;
    if ((std::string(direction) != "SET" && std::string(direction) != "GET") || id < 1 || id > 3) return false;
    if (line.size() < used + ok.size() || line.compare(line.size() - ok.size(), ok.size(), ok) != 0) return false;
    const std::string bytes = line.substr(used, line.size() - used - ok.size());
    if (bytes.size() != 3 * length) return false;
    for (size_t i = 0; i < bytes.size(); i += 3)
        if (bytes[i] != ' ' || !isxdigit(bytes[i + 1]) || !isxdigit(bytes[i + 2])) return false;
    return std::stoul(bytes.substr(1, 2), nullptr, 16) == id;
}

// The report log holds one line for every report the box saw.
TEST(CliRun, ReportLogListsEveryTransfer) {
    for (const char* part : {"--no-eeprom", "--no-fpga"}) {
        TempDir state;
        const std::string log = state.File("reports.log");
        const CliResult run = RunCli({"--simulate", "--json", "--report-log", log, "run", part}, state);
        const JsonValue result = Parsed(run.out.back());
        const auto lines = ReadLines(log);
        EXPECT_EQ(static_cast<double>(lines.size()), result["simulation"]["reports"].number) << part;
        EXPECT_GT(lines.size(), 50u);
        size_t malformed = 0;
        for (const std::string& line : lines) malformed += !WellFormedReportLine(line);
        EXPECT_EQ(malformed, 0u) << part;
    }
}

}  // namespace
}  // namespace vexu::test
