// vexu-cli given bad input, and vexu-cli when what it writes cannot be
// written: every refusal is one clear line with its exit status (2 for the
// user's input, with a JSON result line when --json asks for one), nothing
// reaches the box on a refusal, no file is left half written, and no record
// is lost without a word.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "cli_process.h"
#include "platform/json_reader.h"
#include "support/temp_dir.h"

namespace vexu::test {
namespace {

namespace fs = std::filesystem;

CliOutcome Cli(const TempDir& dir, std::vector<std::string> args, std::optional<uint64_t> fileSizeLimit = {}) {
    CliRun run;
    run.args = std::move(args);
    run.directory = dir.Path().string();
    run.stateHome = dir.File("state");
    run.fileSizeLimit = fileSizeLimit;
    return RunCliProcess(run);
}

std::vector<std::string> RunLog(const TempDir& dir) { return ReadLines(dir.File("state/vexu-programmer/runs.log")); }

// What the user names is refused before anything is read from it or sent to
// the box: one line naming the file and the reason, exit status 2.
TEST(CliInput, FilesGivenByTheUserAreRefusedBeforeReading) {
    TempDir dir;
    Put(dir.File("empty.bin"), "");
    Put(dir.File("big.dat"), "");
    fs::resize_file(dir.File("big.dat"), uint64_t{2} << 30);
    // One byte more than the largest part of the chip table (128 MiB).
    Put(dir.File("flash-too-big.bin"), "");
    fs::resize_file(dir.File("flash-too-big.bin"), (uint64_t{128} << 20) + 1);
    Put(dir.File("record.bin"), std::string(1405, 'r'));
    ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0600), 0);
    fs::create_directory(dir.File("folder"));
    struct Case {
        std::vector<std::string> args;
        std::string line;  // all of standard error
    };
    const std::string reports = "--report-log=" + dir.File("reports.log");
    const Case cases[] = {
        {{"--simulate", reports, "--fpga-image", "folder", "action", "read_idcode"},
         "the FPGA data image folder is not a regular file (a directory)"},
        {{"--simulate", reports, "--fpga-image", "/dev/zero", "run"},
         "the FPGA data image /dev/zero is not a regular file (a character device)"},
        {{"--simulate", reports, "--fpga-image", "pipe", "run"}, "the FPGA data image pipe is not a regular file (a pipe)"},
        {{"--simulate", reports, "--fpga-image", "big.dat", "run", "--station"},
         "the FPGA data image big.dat has 2147483648 bytes, more than the largest FPGA data image (8388608 bytes)"},
        {{"--simulate", reports, "--fpga-image", "empty.bin", "action", "device_info"},
         "the FPGA data image empty.bin is empty"},
        {{"--simulate", reports, "--eeprom-image", "flash-too-big.bin", "flash"},
         "the serial-flash image flash-too-big.bin has 134217729 bytes, more than the largest serial-flash image (134217728 "
         "bytes)"},
        {{"--simulate", reports, "--eeprom-image", "folder", "run", "--no-fpga"},
         "the serial-flash image folder is not a regular file (a directory)"},
        {{"--simulate=flash-image=folder", reports, "flash"},
         "--simulate: the M25P20 flash image folder is not a regular file (a directory)"},
        {{"image", "info", "/dev/zero"}, "the FPGA data image /dev/zero is not a regular file (a character device)"},
        {{"image", "info", "big.dat"},
         "the FPGA data image big.dat has 2147483648 bytes, more than the largest FPGA data image (8388608 bytes)"},
        {{"image", "scramble", "folder", "out.bin"}, "the plain image folder is not a regular file (a directory)"},
        {{"image", "build", "-o", "out.dat", "--demo", "--array", "pipe"},
         "the array rows file pipe is not a regular file (a pipe)"},
        {{"settings", "show", "record.bin"},
         "the settings record record.bin has 1405 bytes, more than the largest settings record (1404 bytes)"},
        {{"settings", "set", "missing.bin", "title", "x"},
         "cannot open the settings record missing.bin: No such file or directory"},
    };
    for (const Case& c : cases) {
        const CliOutcome run = Cli(dir, c.args);
        EXPECT_EQ(run.exit, 2) << c.line << "\n" << run.err;
        EXPECT_EQ(run.err, c.line + "\n");
        EXPECT_TRUE(ReadLines(dir.File("reports.log")).empty()) << c.line << ": the box was talked to";
        EXPECT_FALSE(fs::exists(dir.File("out.bin")) || fs::exists(dir.File("out.dat"))) << c.line;
    }
    EXPECT_TRUE(RunLog(dir).empty());
}

// An empty name is not "the default": a script with an unset variable must
// not program the embedded image and pass.
TEST(CliInput, EmptyFileNamesAreRefused) {
    TempDir dir;
    const std::vector<std::vector<std::string>> cases = {
        {"--simulate", "--fpga-image", "", "run"},
        {"--simulate", "--eeprom-image", "", "flash"},
        {"--simulate", "--report-log", "", "list"},
        {"image", "info", ""},
        {"settings", "write", ""},
    };
    for (const auto& args : cases) {
        const CliOutcome run = Cli(dir, args);
        EXPECT_EQ(run.exit, 2) << run.err;
        EXPECT_NE(run.err.find("an empty file name names no file"), std::string::npos) << run.err;
        EXPECT_TRUE(run.out.empty()) << JoinedLines(run.out);
    }
    EXPECT_TRUE(RunLog(dir).empty());
}

// An empty serial-flash image would erase the chip, write nothing and pass.
TEST(CliInput, EmptySerialFlashImageIsRefusedBeforeAnythingIsSent) {
    TempDir dir;
    Put(dir.File("empty.bin"), "");
    const std::string reports = "--report-log=" + dir.File("reports.log");
    for (std::vector<std::string> args : {std::vector<std::string>{"flash"}, {"run", "--no-fpga"},
                                          {"run"}, {"run", "--station", "--no-fpga"}}) {
        args.insert(args.begin(), {"--simulate=station-boxes=2", reports, "--json", "--eeprom-image", "empty.bin"});
        const CliOutcome run = Cli(dir, args);
        EXPECT_EQ(run.exit, 2) << run.err;
        EXPECT_EQ(run.err, "the serial-flash image empty.bin is empty\n");
        ASSERT_EQ(run.out.size(), 1u);
        EXPECT_EQ(Parsed(run.out[0])["exit"].number, 2);
        EXPECT_TRUE(ReadLines(dir.File("reports.log")).empty());
    }
    EXPECT_TRUE(RunLog(dir).empty());
}

// What the program writes is written whole or not at all: a disk that fills
// up (a file-size limit) or a failed write leaves the target as it was and
// no partial or temporary file behind.
TEST(CliInput, FilesTheProgramWritesAreNeverLeftHalfWritten) {
    TempDir dir;
    ASSERT_EQ(Cli(dir, {"image", "build", "-o", "demo.dat", "--demo"}).exit, 0);
    ASSERT_EQ(Cli(dir, {"settings", "write", "AppSetting.bin"}).exit, 0);
    const std::string demo = Contents(dir.File("demo.dat"));
    const std::string record = Contents(dir.File("AppSetting.bin"));
    struct Case {
        std::vector<std::string> args;
        std::string target;
        uint64_t limit;
    };
    const Case cases[] = {
        {{"image", "scramble", "demo.dat", "stored.bin"}, "stored.bin", 40000},
        {{"image", "build", "-o", "demo.dat", "--demo", "--design-name", "OTHER"}, "demo.dat", 40000},
        {{"settings", "write", "AppSetting.bin"}, "AppSetting.bin", 1000},
        {{"settings", "set", "AppSetting.bin", "title", "A new title"}, "AppSetting.bin", 1000},
    };
    Put(dir.File("stored.bin"), "what was there");
    const std::map<std::string, std::string> before = {
        {"stored.bin", "what was there"}, {"demo.dat", demo}, {"AppSetting.bin", record}};
    for (const Case& c : cases) {
        const CliOutcome run = Cli(dir, c.args, c.limit);
        EXPECT_EQ(run.exit, 1) << c.target << "\n" << run.err;
        EXPECT_EQ(run.err, "cannot write " + c.target + ": File too large\n");
        EXPECT_EQ(Contents(dir.File(c.target)), before.at(c.target)) << c.target;
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir.Path())) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"AppSetting.bin", "demo.dat", "stored.bin"}))
            << c.target;
    }
}

// --report-log is opened by the commands that talk to a box, and by no other:
// "settings show F --report-log F" would empty the record it is to read.
TEST(CliInput, ReportLogIsOnlyForCommandsThatTalkToABox) {
    TempDir dir;
    ASSERT_EQ(Cli(dir, {"settings", "write", "AppSetting.bin"}).exit, 0);
    const std::string record = Contents(dir.File("AppSetting.bin"));
    for (std::vector<std::string> args : {std::vector<std::string>{"settings", "show", "AppSetting.bin"},
                                          {"image", "info", "AppSetting.bin"},
                                          {"image", "scramble", "AppSetting.bin", "AppSetting.bin"}}) {
        args.insert(args.end(), {"--report-log", "AppSetting.bin"});
        const CliOutcome run = Cli(dir, args);
        EXPECT_EQ(run.exit, 2);
        EXPECT_EQ(run.err, "--report-log is for the commands that talk to a box: list, run, action and flash\n");
        EXPECT_EQ(Contents(dir.File("AppSetting.bin")), record);
    }
}

// A report log that cannot be written fails the command: exit 2 when it
// cannot be opened, 1 when it stops part way; what it holds is whole lines.
TEST(CliInput, ReportLogThatCannotBeWrittenFailsTheCommand) {
    TempDir dir;
    CliOutcome run = Cli(dir, {"--simulate", "--json", "--report-log", "no/such/dir/reports.log", "flash"});
    EXPECT_EQ(run.exit, 2);
    EXPECT_EQ(run.err, "cannot write the report log no/such/dir/reports.log: No such file or directory\n");
    ASSERT_EQ(run.out.size(), 1u);
    EXPECT_EQ(Parsed(run.out[0])["exit"].number, 2);

    // Room for a few hundred reports: the run itself goes through.
    run = Cli(dir, {"--simulate", "--json", "--report-log", "reports.log", "run"}, 50'000);
    EXPECT_EQ(run.exit, 1) << run.err;
    EXPECT_NE(run.err.find("cannot write the report log reports.log: File too large\n"), std::string::npos) << run.err;
    const JsonValue result = Parsed(run.out.back());
    EXPECT_EQ(result["exit"].number, 1);
    EXPECT_FALSE(result["ok"].boolean);
    EXPECT_EQ(result["result"].text, "ok");
    EXPECT_EQ(result["reportLogFailure"].text, "cannot write the report log reports.log: File too large");
    const std::string log = Contents(dir.File("reports.log"));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), '\n') << "the last line is whole";
    for (const std::string& line : ReadLines(dir.File("reports.log")))
        EXPECT_TRUE(line.ends_with(" -> OK")) << line;
    EXPECT_EQ(RunLog(dir).size(), 1u);
}

// A run whose record cannot be written exits as it would have, and says so;
// a station does not start without its log, and stops when the log fails.
TEST(CliInput, RunLogFailuresAreToldAndStopAStation) {
    TempDir dir;
    Put(dir.File("state"), "a file where the state directory should be");
    CliOutcome run = Cli(dir, {"--simulate", "--json", "run", "--no-fpga"});
    EXPECT_EQ(run.exit, 0) << run.err;
    const std::string logPath = dir.File("state") + "/vexu-programmer/runs.log";
    EXPECT_NE(run.err.find("cannot write the run log " + logPath), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("this run is not in the run log"), std::string::npos) << run.err;
    EXPECT_EQ(Parsed(run.out.back())["runLogFailure"].text.rfind("cannot write the run log " + logPath, 0), 0u);

    run = Cli(dir, {"--simulate=station-boxes=2", "--report-log=" + dir.File("reports.log"), "run", "--station"});
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.err.rfind("station not started: cannot write the run log " + logPath, 0), 0u) << run.err;
    EXPECT_TRUE(ReadLines(dir.File("reports.log")).empty());
    fs::remove(dir.File("state"));

    // Room for the first record only: the station stops after the second run.
    TempDir sizing;
    ASSERT_EQ(Cli(sizing, {"--simulate", "run", "--no-fpga"}).exit, 0);
    ASSERT_EQ(RunLog(sizing).size(), 1u);
    const uint64_t recordBytes = RunLog(sizing)[0].size() + 1;
    run = Cli(dir, {"--simulate=station-boxes=3", "run", "--station", "--no-fpga"}, recordBytes + recordBytes / 2);
    EXPECT_EQ(run.exit, 1) << run.err;
    const std::string out = JoinedLines(run.out);
    EXPECT_NE(out.find("PASS #2"), std::string::npos) << out;
    EXPECT_EQ(out.find("PASS #3"), std::string::npos) << out;
    EXPECT_NE(out.find("station stopped: the run log cannot be written"), std::string::npos) << out;
    EXPECT_NE(run.err.find("File too large: this run is not in the run log"), std::string::npos) << run.err;
    const std::vector<std::string> records = RunLog(dir);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(Parsed(records[0])["result"].text, "ok");
}

// Usage errors exit 2 in every command, before the box is touched, and with
// --json still end with a result line.
TEST(CliInput, UsageErrorsExitTwoWithAResultLine) {
    TempDir dir;
    const std::string reports = "--report-log=" + dir.File("reports.log");
    struct Case {
        std::vector<std::string> args;
        const char* command;  // null: none was given
        const char* failure;
    };
    const Case cases[] = {
        {{"--simulate=bogus", "run"}, "run", "--simulate: unknown scenario key: bogus"},
        {{"--simulate=verify-fail-row=99999", "action", "program"}, "action",
         "--simulate: scenario key \"verify-fail-row\" needs a number from 0 to 1243, not \"99999\""},
        {{"--simulate=flash=M25P99", "flash"}, "flash", "--simulate: unknown flash chip"},
        {{"--simulate=latency-us", "list"}, "list", "--simulate: scenario key \"latency-us\" needs a number"},
        {{"--simulate", reports, "action", "read_idcode", "programm"}, "action", "no action \"programm\" (the actions: "},
        {{"--simulate", "run", "--fast"}, "run", "The following argument was not expected: --fast"},
        {{"frobnicate"}, nullptr, "A subcommand is required"},
        // The image tool's values: one form for every range.
        {{"image", "build", "-o", "x.dat", "--demo", "--variant", "3"}, "image build",
         "the variant marker is 7 (M7), 1 (M1) or 0 (neither), not \"3\""},
        {{"image", "build", "-o", "x.dat", "--demo", "--flashrom-mask", "256"}, "image build",
         "the FlashROM page mask needs a number from 0 to 255, not \"256\""},
        {{"image", "build", "-o", "x.dat", "--demo", "--idcode", "-1"}, "image build",
         "the ID code needs a number from 0 to 0xFFFFFFFF, not \"-1\""},
        {{"image", "build", "-o", "x.dat", "--demo", "--nvm", "4:0:0:words.bin"}, "image build",
         "the NVM block needs a number from 0 to 3, not \"4\""},
        {{"image", "build", "-o", "x.dat", "--demo", "--design-name", "TENLETTERS"}, "image build",
         "the design name holds at most 9 bytes, not 10"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "--json");
        const CliOutcome run = Cli(dir, args);
        EXPECT_EQ(run.exit, 2) << c.failure << "\n" << run.err;
        EXPECT_NE(run.err.find(c.failure), std::string::npos) << run.err;
        if (c.command && std::string(c.command) == "image build") continue;  // the image tool prints no JSON
        ASSERT_FALSE(run.out.empty()) << c.failure;
        const JsonValue result = Parsed(run.out.back());
        EXPECT_EQ(result["event"].text, "result");
        EXPECT_EQ(result["exit"].number, 2);
        EXPECT_FALSE(result["ok"].boolean);
        if (c.command)
            EXPECT_EQ(result["command"].text, c.command);
        else
            EXPECT_EQ(result["command"].kind, JsonValue::Kind::kNull);
        EXPECT_EQ(result["failure"].text.rfind(c.failure, 0), 0u) << result["failure"].text;
        EXPECT_TRUE(ReadLines(dir.File("reports.log")).empty()) << c.failure << ": the box was talked to";
    }
    EXPECT_TRUE(RunLog(dir).empty());
}

// With the simulator on the real clock, the modelled time is the command's
// own, not the machine's uptime.
TEST(CliInput, RealtimeModelledTimeIsTheCommandsOwn) {
    TempDir dir;
    const auto start = std::chrono::steady_clock::now();
    const CliOutcome run = Cli(dir, {"--simulate=realtime,latency-us=0", "--json", "action", "read_idcode"});
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(run.exit, 0) << run.err;
    const double modelled = Parsed(run.out.back())["simulation"]["modelledSeconds"].number;
    EXPECT_GT(modelled, 0.0);
    EXPECT_LE(modelled, wall);
}

// Ctrl-C during a run lets it finish; a second one ends the program at once,
// by the signal as before, but the run is in the run log as interrupted.
TEST(CliInput, SecondInterruptRecordsTheRunAsInterrupted) {
    TempDir dir;
    CliRun run;
    run.args = {"--simulate=realtime", "--json", "run"};
    run.directory = dir.Path().string();
    run.stateHome = dir.File("state");
    // The first at 1 percent, the second at 2: two interrupts, not one
    // that the system merged with the other.
    int sent = 0;
    run.onLine = [&sent](const std::string& line, pid_t pid) {
        // The percentage is followed by the event's further members, or its end.
        const std::string wanted = R"("part":"fpga","percent":)" + std::to_string(sent + 1);
        const size_t at = line.find(wanted);
        const char next = at == std::string::npos || at + wanted.size() >= line.size() ? '\0' : line[at + wanted.size()];
        if (sent == 2 || (next != ',' && next != '}')) return;
        kill(pid, SIGINT);
        ++sent;
    };
    const auto start = std::chrono::steady_clock::now();
    const CliOutcome outcome = RunCliProcess(run);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(sent, 2) << JoinedLines(outcome.out) << outcome.err;
    EXPECT_EQ(outcome.signal, SIGINT);
    EXPECT_LT(seconds, 20.0) << "the run was not ended at once";
    EXPECT_NE(outcome.err.find("interrupted in the FPGA step: the run is recorded as interrupted"), std::string::npos)
        << outcome.err;
    const JsonValue result = Parsed(outcome.out.back());
    EXPECT_EQ(result["event"].text, "result");
    EXPECT_TRUE(result["interrupted"].boolean);
    const std::vector<std::string> records = RunLog(dir);
    ASSERT_EQ(records.size(), 1u);
    const JsonValue record = Parsed(records[0]);
    EXPECT_EQ(record["result"].text, "failed");
    EXPECT_TRUE(record["interrupted"].boolean);
    EXPECT_EQ(record["failure"].text, "interrupted in the FPGA step");
    EXPECT_EQ(record["fpga"]["result"].text, "failed");
    EXPECT_EQ(record["eeprom"]["result"].text, "skipped");
    EXPECT_EQ(record["box"].text, "sim://vexu-box");
}

}  // namespace
}  // namespace vexu::test
