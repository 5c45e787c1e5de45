// vexu-cli run with per-board serial numbers, as a process against the
// simulated box and board: the serial on the board (the simulated flash as
// the command left it), in the run record and on the PASS/FAIL line; the
// counter across passes, failures, a second station and a run that never
// finished; and every refusal before the box is touched.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "cli_process.h"
#include "ledger_text.h"
#include "embedded_resource_files.h"
#include "platform/json_reader.h"
#include "platform/file_lock.h"
#include "support/temp_dir.h"

namespace vexu::test {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kImageSize = 262144;  // the embedded demo serial-flash image

// The command in its own directory with its run log and serial state there;
// the simulated board's flash is saved to board.bin when it ends.
CliOutcome Cli(const TempDir& dir, const std::string& simulate, std::vector<std::string> args) {
    CliRun run;
    run.args = {"--simulate=flash-save=" + dir.File("board.bin") + (simulate.empty() ? "" : "," + simulate)};
    run.args.insert(run.args.end(), args.begin(), args.end());
    run.directory = dir.Path().string();
    run.stateHome = dir.File("state");
    return RunCliProcess(run);
}

std::string StatePath(const TempDir& dir) { return dir.File("state/vexu-programmer/serials.state"); }

std::vector<JsonValue> Records(const TempDir& dir) {
    std::vector<JsonValue> records;
    for (const std::string& line : ReadLines(dir.File("state/vexu-programmer/runs.log")))
        records.push_back(Parsed(line));
    return records;
}

// The bytes the board's flash holds at offset.
std::string OnBoard(const TempDir& dir, uint32_t offset, size_t length) {
    const std::string board = Contents(dir.File("board.bin"));
    return board.size() < offset + length ? std::string() : board.substr(offset, length);
}

const std::vector<std::string> kCounter = {"run", "--no-fpga", "--serial-at", "0x3FF00", "--serial-format", "VX%08u"};

// One board's runs, one after another, on a counter whose state file holds
// the reservation of a run that never finished (the program crashed or the
// power went between the run and the counter's update): that number is
// skipped, each pass takes the next, a failure gives its number back.
TEST(CliSerial, CounterAcrossACrashPassesAndFailures) {
    struct Step {
        const char* simulate;
        int exit;
        const char* serial;  // on the board (after a pass) and in the record
        const char* state;   // the state file afterwards, after its first line
        bool toldSkipped;    // the run said it skipped VX00000005
    };
    // A board that failed after its serial was written (a page read back
    // wrong) holds the serial: it is skipped, never given to the next one.
    const Step steps[] = {
        {"", 0, "VX00000006", "next counter 7\nskipped counter 5 VX00000005\ngiven VX00000006\n", true},
        {"flash-bit-error-page=1023", 1, "VX00000007",
         "next counter 8\nskipped counter 5 VX00000005\nskipped counter 7 VX00000007\ngiven VX00000006\n", false},
        {"", 0, "VX00000008",
         "next counter 9\nskipped counter 5 VX00000005\nskipped counter 7 VX00000007\ngiven VX00000006\n"
         "given VX00000008\n",
         false},
        {"", 0, "VX00000009",
         "next counter 10\nskipped counter 5 VX00000005\nskipped counter 7 VX00000007\ngiven VX00000006\n"
         "given VX00000008\ngiven VX00000009\n",
         false},
    };
    TempDir dir;
    fs::create_directories(dir.File("state/vexu-programmer"));
    Put(StatePath(dir), "vexu-programmer serials 1\nnext counter 6\nreserved counter 5 VX00000005\n");
    for (const Step& s : steps) {
        SCOPED_TRACE(s.serial);
        std::vector<std::string> args = kCounter;
        args.insert(args.begin(), "--json");
        const CliOutcome run = Cli(dir, s.simulate, args);
        EXPECT_EQ(run.exit, s.exit) << run.err;
        const JsonValue result = Parsed(run.out.back());
        EXPECT_EQ(result["serialNumber"].text, s.serial);
        EXPECT_EQ(Records(dir).back()["serialNumber"].text, s.serial);
        EXPECT_EQ(Records(dir).back()["result"].text, s.exit == 0 ? "ok" : "failed");
        if (s.exit == 0) {
            EXPECT_EQ(OnBoard(dir, 0x3FF00, 10), s.serial);
        }
        EXPECT_EQ(SerialLedgerText(dir.File("state")), std::string("vexu-programmer serials 1\n") + s.state);
        EXPECT_EQ(run.err.find("the serial VX00000005 was reserved by a run that never finished") != std::string::npos,
                  s.toldSkipped)
            << run.err;
        EXPECT_EQ(Parsed(run.out.front())["event"].text, s.toldSkipped ? "serialSkipped" : "progress");
    }
    // Apart from its serial the board holds the image as it is.
    std::string expected = Contents(kEmbeddedEepromPlainFile);
    ASSERT_EQ(expected.size(), kImageSize);
    expected.replace(0x3FF00, 10, "VX00000009");
    EXPECT_EQ(Contents(dir.File("board.bin")), expected);
    // A person sees the serial with the steps.
    const CliOutcome run = Cli(dir, "", kCounter);
    EXPECT_NE(JoinedLines(run.out).find("Serial number VX00000010\n"), std::string::npos) << JoinedLines(run.out);
    EXPECT_NE(JoinedLines(run.out).find("run succeeded"), std::string::npos) << JoinedLines(run.out);
}

// The same with a real end of the program: a second Ctrl-C during the run
// leaves its number reserved, and the next start skips it.
TEST(CliSerial, InterruptedRunLeavesItsNumberToBeSkipped) {
    TempDir dir;
    CliRun run;
    run.args = {"--simulate=realtime", "--json", "run", "--serial-at", "0", "--serial-format", "B%u"};
    run.directory = dir.Path().string();
    run.stateHome = dir.File("state");
    int sent = 0;
    run.onLine = [&sent](const std::string& line, pid_t pid) {
        const std::string wanted = R"("part":"fpga","percent":)" + std::to_string(sent + 1);
        if (sent == 2 || (line.find(wanted + ",") == std::string::npos && line.find(wanted + "}") == std::string::npos))
            return;
        kill(pid, SIGINT);
        ++sent;
    };
    const CliOutcome interrupted = RunCliProcess(run);
    ASSERT_EQ(sent, 2) << interrupted.err;
    ASSERT_EQ(Records(dir).size(), 1u);
    EXPECT_TRUE(Records(dir)[0]["interrupted"].boolean);
    EXPECT_EQ(Records(dir)[0]["serialNumber"].text, "B1");
    EXPECT_EQ(SerialLedgerText(dir.File("state")), "vexu-programmer serials 1\nnext counter 2\nreserved counter 1 B1\n");
    EXPECT_EQ(Cli(dir, "", {"run", "--no-fpga", "--serial-at", "0", "--serial-format", "B%u"}).exit, 0);
    EXPECT_EQ(OnBoard(dir, 0, 2), "B2");
}

// A station holds the state file for as long as it runs; a second one
// (here the test, holding the lock) refuses to start.
TEST(CliSerial, SecondStationIsRefusedBeforeTheBoxIsTouched) {
    TempDir dir;
    fs::create_directories(dir.File("state/vexu-programmer"));
    FileLock held;
    std::string text;
    const std::string database = dir.File("state/vexu-programmer/station.db");
    ASSERT_EQ(held.TryLock(database + ".lock", text), FileLock::Result::kLocked) << text;
    std::vector<std::string> args = {"--report-log", dir.File("reports.log"), "--json"};
    args.insert(args.end(), kCounter.begin(), kCounter.end());
    const CliOutcome run = Cli(dir, "", args);
    EXPECT_EQ(run.exit, 2);
    EXPECT_NE(run.err.find("the station database " + database + " is in use by another station process (process " +
                           std::to_string(getpid())),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(Parsed(run.out.back())["ok"].boolean);
    EXPECT_TRUE(ReadLines(dir.File("reports.log")).empty());
    EXPECT_TRUE(Records(dir).empty());
    held.Unlock();
    EXPECT_EQ(Cli(dir, "", kCounter).exit, 0);
}

TEST(CliSerial, StationGivesEachBoardItsOwnNumber) {
    struct Case {
        const char* simulate;
        std::vector<std::string> lines;
        std::vector<std::string> serials;  // in the records
        const char* state;
    };
    const Case cases[] = {
        {"station-boxes=3",
         {"PASS #1  (1 passed, 0 failed)  serial VX00000001  serial flash", "PASS #2  (2 passed, 0 failed)  serial VX00000002",
          "PASS #3  (3 passed, 0 failed)  serial VX00000003", "station stopped: 3 runs, 3 passed, 0 failed"},
         {"VX00000001", "VX00000002", "VX00000003"},
         "vexu-programmer serials 1\nnext counter 4\ngiven VX00000001\ngiven VX00000002\ngiven VX00000003\n"},
        // A failure before any chip was found gives its number back: the
        // next board gets it again.
        {"station-boxes=2,flash=none",
         {"FAIL #1  (0 passed, 1 failed)  serial VX00000001  run failed in the serial-flash step:  Eeprom Id Error",
          "FAIL #2  (0 passed, 2 failed)  serial VX00000001  run failed"},
         {"VX00000001", "VX00000001"},
         "vexu-programmer serials 1\nnext counter 2\nfree counter 1 VX00000001\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.simulate);
        TempDir dir;
        std::vector<std::string> args = kCounter;
        args.push_back("--station");
        const CliOutcome run = Cli(dir, c.simulate, args);
        const std::string out = JoinedLines(run.out);
        size_t at = 0;
        for (const std::string& line : c.lines) {
            at = out.find(line, at);
            EXPECT_NE(at, std::string::npos) << line << "\n" << out;
        }
        std::vector<std::string> serials;
        for (const JsonValue& record : Records(dir)) serials.push_back(record["serialNumber"].text);
        EXPECT_EQ(serials, c.serials);
        EXPECT_EQ(SerialLedgerText(dir.File("state")), c.state);
    }
}

TEST(CliSerial, SerialFileGivesItsLinesAndAStationStopsWhenItIsUsedUp) {
    TempDir dir;
    Put(dir.File("serials.txt"), "LINE-A\n\nLINE-B\n");
    const CliOutcome run = Cli(dir, "station-boxes=3",
                               {"--json", "run", "--station", "--no-fpga", "--serial-at", "16", "--serial-file",
                                dir.File("serials.txt")});
    EXPECT_EQ(run.exit, 1);
    EXPECT_NE(run.err.find("the serial file " + dir.File("serials.txt") + " is used up"), std::string::npos)
        << run.err;
    std::vector<std::string> serials;
    for (const JsonValue& record : Records(dir)) serials.push_back(record["serialNumber"].text);
    EXPECT_EQ(serials, (std::vector<std::string>{"LINE-A", "LINE-B"}));
    EXPECT_EQ(OnBoard(dir, 16, 6), "LINE-B");
    const JsonValue summary = Parsed(run.out.back());
    EXPECT_EQ(summary["event"].text, "summary");
    EXPECT_EQ(summary["runs"].number, 2);
    EXPECT_NE(summary["serialFailure"].text.find("is used up"), std::string::npos);
    // Used up before the first board: refused before the box is touched.
    const CliOutcome refused =
        Cli(dir, "", {"run", "--no-fpga", "--serial-at", "16", "--serial-file", dir.File("serials.txt")});
    EXPECT_EQ(refused.exit, 2);
    EXPECT_NE(refused.err.find("is used up"), std::string::npos) << refused.err;
}

// A gang station's worker writes the serial it is handed and keeps no state.
TEST(CliSerial, SerialValueIsWrittenAsGivenWithoutAStateFile) {
    TempDir dir;
    const CliOutcome run =
        Cli(dir, "", {"--json", "run", "--no-fpga", "--serial-at", "262134", "--serial-value", "GANG-00042"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(OnBoard(dir, 262134, 10), "GANG-00042");
    EXPECT_EQ(Parsed(run.out.back())["serialNumber"].text, "GANG-00042");
    EXPECT_EQ(Records(dir).back()["serialNumber"].text, "GANG-00042");
    EXPECT_FALSE(fs::exists(StatePath(dir)));
    EXPECT_FALSE(fs::exists(StatePath(dir) + ".lock"));
}

// Every refusal: exit 2, one line saying why, nothing sent to the box, no
// record and no number taken.
TEST(CliSerial, BadSerialOptionsAreRefusedBeforeTheBoxIsTouched) {
    struct Case {
        std::vector<std::string> args;
        const char* error;
    };
    TempDir files;
    Put(files.File("empty.txt"), "\n\n");
    const Case cases[] = {
        {{"--serial-at", "262144", "--serial-format", "VX%u"}, "--serial-at 262144 is past the end of the serial-flash image (262144 bytes)"},
        {{"--serial-at", "262140", "--serial-format", "VX%08u"},
         "the serial number \"VX00000001\" (10 bytes) at offset 262140 runs past the end of the serial-flash image"},
        {{"--serial-at", "262140", "--serial-value", "12345"}, "runs past the end"},
        {{"--serial-at", "0x", "--serial-format", "VX%u"}, "--serial-at needs an offset"},
        {{"--serial-at", "0", "--serial-format", "VX%s"}, "--serial-format: a serial pattern's number is %u"},
        {{"--serial-at", "0", "--serial-format", "%u", "--serial-start", "4294967296"}, "--serial-start needs a number"},
        {{"--serial-format", "VX%u"}, "go with --serial-at OFFSET"},
        {{"--serial-start", "5"}, "go with --serial-at OFFSET"},
        {{"--serial-at", "0"}, "--serial-at needs one of"},
        {{"--serial-at", "0", "--serial-format", "%u", "--serial-value", "A"}, "--serial-at needs one of"},
        {{"--serial-at", "0", "--serial-value", "A", "--serial-start", "3"}, "--serial-start goes with --serial-format"},
        {{"--serial-at", "0", "--serial-value", ""}, "at least one character"},
        {{"--serial-at", "0", "--serial-value", "A", "--station"}, "gives every board the same serial"},
        {{"--serial-at", "0", "--serial-format", "%u", "--no-eeprom"}, "needs the serial-flash step"},
        {{"--serial-at", "0", "--serial-file", files.File("missing.txt")}, "cannot open the serial file"},
        {{"--serial-at", "0", "--serial-file", files.File("empty.txt")}, "is empty: it holds no serial number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        TempDir dir;
        std::vector<std::string> args = {"--report-log", dir.File("reports.log"), "run"};
        // The FPGA step is left out, but for the case that leaves out the serial flash.
        if (std::find(c.args.begin(), c.args.end(), "--no-eeprom") == c.args.end()) args.push_back("--no-fpga");
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CliOutcome run = Cli(dir, "", args);
        EXPECT_EQ(run.exit, 2) << run.err;
        EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
        EXPECT_TRUE(ReadLines(dir.File("reports.log")).empty()) << "the box was talked to";
        EXPECT_TRUE(Records(dir).empty());
        if (fs::exists(dir.File("state/vexu-programmer/station.db"))) {
            EXPECT_EQ(SerialLedgerText(dir.File("state")).find("reserved"), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace vexu::test
