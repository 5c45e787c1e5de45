// The gang station end to end: "vexu-cli run --station --gang" with several
// simulated boxes, each run in a worker process of its own: every board's
// PASS or FAIL with its slot, a box that goes or a worker that crashes ends
// only its own slot's run, the records name their slots, Ctrl-C lets the
// runs in progress finish.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "cli_process.h"
#include "ledger_text.h"
#include "platform/json_reader.h"
#include "support/temp_dir.h"

namespace vexu::test {
namespace {

namespace fs = std::filesystem;

struct Gang {
    CliOutcome outcome;
    std::vector<JsonValue> events;
    std::vector<JsonValue> records;  // the run log
    std::string serialState;         // the serial numbers' state file
};

Gang RunGang(const std::string& keys, std::function<void(const std::string&, pid_t)> onLine = {},
             const std::vector<std::string>& runArgs = {}, const std::string& tempDir = {}) {
    TempDir dir;
    std::ofstream(dir.File("small.bin"), std::ios::binary) << std::string(4096, '\x5A');
    CliRun run;
    run.args = {"--simulate=" + keys,  "--json", "--eeprom-image", dir.File("small.bin"), "run", "--station",
                "--gang",            "--no-fpga"};
    run.args.insert(run.args.end(), runArgs.begin(), runArgs.end());
    run.directory = dir.Path().string();
    run.stateHome = dir.File("state");
    run.onLine = std::move(onLine);
    run.tempDir = tempDir;
    Gang gang;
    gang.outcome = RunCliProcess(run);
    std::string error;
    for (const std::string& line : gang.outcome.out) {
        JsonValue event;
        EXPECT_TRUE(ParseJson(line, event, error)) << line << ": " << error;
        gang.events.push_back(event);
    }
    for (const std::string& line : ReadLines(dir.File("state/vexu-programmer/runs.log"))) {
        JsonValue record;
        EXPECT_TRUE(ParseJson(line, record, error)) << line;
        gang.records.push_back(record);
    }
    gang.serialState = SerialLedgerText(dir.File("state"));
    return gang;
}

struct SlotCounts {
    int passed = 0;
    int failed = 0;
};

std::map<std::string, SlotCounts> ResultsBySlot(const Gang& gang) {
    std::map<std::string, SlotCounts> slots;
    for (const JsonValue& event : gang.events) {
        if (event["event"].text != "result") continue;
        SlotCounts& counts = slots[event["slot"].text];
        (event["ok"].boolean ? counts.passed : counts.failed)++;
    }
    return slots;
}

// Two and eight boxes, two boards each: every board passes in its slot,
// every event names its slot, and the run log holds one record per board
// with its slot, box and location.
TEST(Gang, EveryBoxIsServedInItsOwnSlot) {
    for (int boxes : {2, 8}) {
        SCOPED_TRACE(boxes);
        const Gang gang = RunGang("boxes=" + std::to_string(boxes) + ",station-boxes=2");
        EXPECT_EQ(gang.outcome.exit, 0) << gang.outcome.err;
        const auto slots = ResultsBySlot(gang);
        ASSERT_EQ(slots.size(), static_cast<size_t>(boxes));
        for (int k = 1; k <= boxes; ++k) {
            const std::string slot = "sim-" + std::to_string(k);
            ASSERT_TRUE(slots.count(slot)) << slot;
            EXPECT_EQ(slots.at(slot).passed, 2) << slot;
            EXPECT_EQ(slots.at(slot).failed, 0) << slot;
        }
        std::map<std::string, int> completed;  // progress events at 100 percent, per slot
        for (const JsonValue& event : gang.events) {
            if (event["event"].text == "summary") continue;
            EXPECT_TRUE(event.Has("slot")) << event["event"].text;
            if (event["event"].text == "progress" && event["percent"].number == 100) ++completed[event["slot"].text];
        }
        EXPECT_EQ(completed.size(), static_cast<size_t>(boxes));
        for (const auto& [slot, count] : completed) EXPECT_EQ(count, 2) << slot;
        const JsonValue& summary = gang.events.back();
        ASSERT_EQ(summary["event"].text, "summary");
        EXPECT_EQ(summary["runs"].number, 2 * boxes);
        EXPECT_EQ(summary["passed"].number, 2 * boxes);
        EXPECT_EQ(summary["slots"].items.size(), static_cast<size_t>(boxes));
        ASSERT_EQ(gang.records.size(), static_cast<size_t>(2 * boxes));
        std::map<std::string, int> recordsPerSlot;
        for (const JsonValue& record : gang.records) {
            EXPECT_EQ(record["result"].text, "ok");
            EXPECT_EQ(record["slot"].text, record["location"].text);
            const int k = std::stoi(record["slot"].text.substr(4));
            EXPECT_EQ(record["box"].text, k == 1 ? std::string("sim://vexu-box") : "sim://vexu-box-" + std::to_string(k));
            EXPECT_EQ(record["eeprom"]["bytes"].number, 4096);
            ++recordsPerSlot[record["slot"].text];
        }
        for (const auto& [slot, count] : recordsPerSlot) EXPECT_EQ(count, 2) << slot;
    }
}

// A box that goes in the middle of its runs, or a run whose worker crashes,
// fails that slot's boards only; the other slots pass all theirs.
TEST(Gang, ALostBoxOrACrashEndsOnlyItsOwnSlotsRun) {
    struct Case {
        const char* fault;
        const char* failure;  // how the failing slot's runs fail
    };
    const Case cases[] = {
        {"unplug-after=300", "The programmer box was removed or stopped answering during the serial-flash step"},
        {"crash-at=300", "the run's worker ended without a result (killed by signal 6)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        const Gang gang = RunGang(std::string("boxes=3,station-boxes=2,fault-box=2,") + c.fault);
        EXPECT_EQ(gang.outcome.exit, 1);
        const auto slots = ResultsBySlot(gang);
        EXPECT_EQ(slots.at("sim-1").passed, 2);
        EXPECT_EQ(slots.at("sim-3").passed, 2);
        EXPECT_EQ(slots.at("sim-2").failed, 2);
        EXPECT_EQ(slots.at("sim-2").passed, 0);
        for (const JsonValue& event : gang.events) {
            if (event["event"].text == "result" && event["slot"].text == "sim-2") {
                EXPECT_NE(event["failure"].text.find(c.failure), std::string::npos) << event["failure"].text;
            }
        }
        EXPECT_EQ(gang.events.back()["failed"].number, 2);
    }
}

// Serial numbers in a gang: the station reserves each board's serial and
// hands it to the board's worker. Nine boards on three boxes, every run on
// box 2 failing: each passing board has a serial of its own, in its result
// and its record; a failed board's serial is released (free in the state
// file, or given to a later board); nothing stays reserved, and every
// number below the counter is either on a passing board or free.
TEST(Gang, SerialNumbersAreGivenOncePerPassingBoard) {
    const Gang gang = RunGang("boxes=3,station-boxes=3,fault-box=2,fail-report=50", {},
                              {"--serial-at", "0x100", "--serial-format", "B%u"});
    EXPECT_EQ(gang.outcome.exit, 1) << gang.outcome.err;
    std::multiset<std::string> passed;
    std::set<std::string> failed;
    for (const JsonValue& event : gang.events) {
        if (event["event"].text != "result") continue;
        ASSERT_TRUE(event.Has("serialNumber")) << event["slot"].text;
        if (event["ok"].boolean) {
            passed.insert(event["serialNumber"].text);
        } else {
            EXPECT_EQ(event["slot"].text, "sim-2");
            failed.insert(event["serialNumber"].text);
        }
    }
    EXPECT_EQ(passed.size(), 6u);
    EXPECT_EQ(std::set<std::string>(passed.begin(), passed.end()).size(), passed.size()) << "a serial given twice";
    std::multiset<std::string> recorded;
    for (const JsonValue& record : gang.records)
        if (record["result"].text == "ok") recorded.insert(record["serialNumber"].text);
    EXPECT_EQ(recorded, passed);

    // The state file: "next counter N", the released serials as "free
    // counter K BK" and those of boards that failed after the serial flash
    // was written as "skipped counter K BK"; none "reserved".
    EXPECT_EQ(gang.serialState.find("reserved"), std::string::npos) << gang.serialState;
    std::set<std::string> free;
    unsigned next = 0;
    std::istringstream lines(gang.serialState);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("next counter ", 0) == 0) next = static_cast<unsigned>(std::stoul(line.substr(13)));
        if (line.rfind("free counter ", 0) == 0 || line.rfind("skipped counter ", 0) == 0)
            EXPECT_TRUE(free.insert(line.substr(line.rfind(' ') + 1)).second) << line;
    }
    std::set<std::string> accounted = free;
    for (const std::string& serial : passed) EXPECT_TRUE(accounted.insert(serial).second) << serial << " free and used";
    std::set<std::string> expected;
    for (unsigned k = 1; k < next; ++k) expected.insert("B" + std::to_string(k));
    EXPECT_EQ(accounted, expected) << gang.serialState;
    for (const std::string& serial : failed) EXPECT_TRUE(accounted.count(serial)) << serial;
}

// A serial file used up mid-way: the boards that got a serial are run and
// finish, no board is started without one, and the station stops (exit 1)
// saying why.
TEST(Gang, StopsWhenTheSerialsAreUsedUp) {
    TempDir dir;
    std::ofstream(dir.File("serials.txt"), std::ios::binary) << "S-1\nS-2\nS-3\n";
    const Gang gang = RunGang("boxes=2,station-boxes=3", {}, {"--serial-at", "0", "--serial-file", dir.File("serials.txt")});
    EXPECT_EQ(gang.outcome.exit, 1) << gang.outcome.err;
    std::set<std::string> given;
    for (const JsonValue& event : gang.events)
        if (event["event"].text == "result" && event["ok"].boolean) given.insert(event["serialNumber"].text);
    EXPECT_EQ(given, (std::set<std::string>{"S-1", "S-2", "S-3"}));
    const JsonValue& summary = gang.events.back();
    ASSERT_EQ(summary["event"].text, "summary");
    EXPECT_EQ(summary["runs"].number, 3);
    EXPECT_TRUE(summary.Has("serialFailure"));
    EXPECT_NE(gang.outcome.out.back().find("serialFailure"), std::string::npos);
}

// Ctrl-C stops new runs and lets those in progress finish; the summary
// comes last.
TEST(Gang, InterruptFinishesTheRunsInProgress) {
    bool sent = false;
    const Gang gang = RunGang("boxes=4,station-boxes=1000", [&sent](const std::string& line, pid_t pid) {
        if (!sent && line.find(R"("percent":50)") != std::string::npos) {
            kill(pid, SIGINT);
            sent = true;
        }
    });
    ASSERT_TRUE(sent);
    EXPECT_EQ(gang.outcome.exit, 0) << gang.outcome.err;
    const JsonValue& summary = gang.events.back();
    ASSERT_EQ(summary["event"].text, "summary");
    EXPECT_GE(summary["runs"].number, 1);
    EXPECT_LT(summary["runs"].number, 40);
    EXPECT_EQ(summary["failed"].number, 0);
    EXPECT_EQ(gang.records.size(), static_cast<size_t>(summary["runs"].number));
}

TEST(Gang, UsageErrors) {
    TempDir dir;
    struct Case {
        std::vector<std::string> args;
        const char* text;
    };
    const Case cases[] = {
        {{"--simulate", "run", "--gang"}, "--gang is a way of station mode"},
        {{"--simulate", "--report-log", dir.File("r.log"), "run", "--station", "--gang"}, "not with --gang"},
    };
    for (const Case& c : cases) {
        CliRun run;
        run.args = c.args;
        run.directory = dir.Path().string();
        run.stateHome = dir.File("state");
        const CliOutcome outcome = RunCliProcess(run);
        EXPECT_EQ(outcome.exit, 2);
        EXPECT_NE(outcome.err.find(c.text), std::string::npos) << outcome.err;
    }
}

// A station that was killed left its images in the temporary directory: a
// later station removes them once their station is gone and they are older
// than any board takes; a live station's and recent ones stay.
TEST(GangShift, AKilledStationsImagesAreRemovedByALaterOne) {
    TempDir temp;
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    const auto twoHoursAgo = fs::file_time_type::clock::now() - std::chrono::hours(2);
    struct Left {
        pid_t station;
        bool old;
        bool removed;
    };
    const Left cases[] = {{gone, true, true}, {gone, false, false}, {getpid(), true, false}};
    std::vector<std::string> dirs;
    for (const Left& left : cases) {
        dirs.push_back(temp.File("vexu-station-" + std::to_string(left.station) + "-x" + std::to_string(dirs.size())));
        fs::create_directories(dirs.back());
        std::ofstream(dirs.back() + "/fpga.dat") << "image";
        if (left.old) fs::last_write_time(dirs.back(), twoHoursAgo);
    }
    const Gang gang = RunGang("boxes=1,station-boxes=1", {}, {}, temp.Path().string());
    EXPECT_EQ(gang.outcome.exit, 0) << gang.outcome.err;
    for (size_t i = 0; i < dirs.size(); ++i) EXPECT_EQ(fs::exists(dirs[i]), !cases[i].removed) << dirs[i];
}

}  // namespace
}  // namespace vexu::test
