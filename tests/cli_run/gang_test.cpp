// The gang station end to end: "vexu-cli run --station --gang" with several
// simulated boxes, each run in a worker process of its own: every board's
// PASS or FAIL with its slot, a box that goes or a worker that crashes ends
// only its own slot's run, the records name their slots, Ctrl-C lets the
// runs in progress finish.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <map>

#include "cli_process.h"
#include "platform/json_reader.h"
#include "support/temp_dir.h"

namespace vexu::test {
namespace {

struct Gang {
    CliOutcome outcome;
    std::vector<JsonValue> events;
    std::vector<JsonValue> records;  // the run log
};

Gang RunGang(const std::string& keys, std::function<void(const std::string&, pid_t)> onLine = {}) {
    TempDir dir;
    std::ofstream(dir.File("small.bin"), std::ios::binary) << std::string(4096, '\x5A');
    CliRun run;
    run.args = {"--simulate=" + keys,  "--json", "--eeprom-image", dir.File("small.bin"), "run", "--station",
                "--gang",            "--no-fpga"};
    run.directory = dir.Path().string();
    run.stateHome = dir.File("state");
    run.onLine = std::move(onLine);
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

}  // namespace
}  // namespace vexu::test
