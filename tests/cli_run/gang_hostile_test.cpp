// The gang station under a seeded random schedule of faults: workers
// killed, stopped (and left for the time limit, or continued), their boxes
// failing (a crash, an unplug, a failed report), the station itself
// interrupted, terminated or killed and started again. Whatever the
// schedule, afterwards: every board has exactly one record, no serial is on
// two boards, every passing board holds its image with its own serial and
// its record says exactly that, every serial handed out is committed,
// skipped or free exactly once, and the station always ended within its
// bound. The seed changes from run to run and is printed; a failing
// schedule is printed to be replayed with VEXU_CAMPAIGN_SEED.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "cli_process.h"
#include "platform/digest.h"
#include "platform/json_reader.h"
#include "support/temp_dir.h"

namespace vexu::test {
namespace {

namespace fs = std::filesystem;

constexpr int kBoxes = 4;
constexpr uint32_t kSerialAt = 0x100;
constexpr int kBoardLimitMs = 4000;
constexpr size_t kImageBytes = 4096;
constexpr int kMinFaults = 220;
constexpr int kMaxSessions = 80;

// A process's command line, arguments separated by NUL; empty once it has
// ended.
std::string CommandLine(pid_t pid) {
    const int fd = open(("/proc/" + std::to_string(pid) + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    close(fd);
    return text;
}

// The station's workers now: its children that run as workers, with their
// slots; those that ended and wait to be reaped with an empty slot (ended
// is true). One caught between its start and its exec is left out (it
// still shows the station's own command line) or put in starting if given:
// killing the station does not stop it becoming a worker of its own.
std::map<pid_t, std::string> Workers(pid_t station, bool ended = false, std::vector<pid_t>* starting = nullptr) {
    std::ifstream file("/proc/" + std::to_string(station) + "/task/" + std::to_string(station) + "/children");
    const std::string own = CommandLine(station);
    std::map<pid_t, std::string> workers;
    for (pid_t pid; file >> pid;) {
        const std::string args = CommandLine(pid);
        if (args.empty() && ended) workers[pid] = "";
        if (starting && !args.empty() && args == own) starting->push_back(pid);
        const size_t slot = args.find(std::string("--slot") + '\0');
        if (slot == std::string::npos) continue;
        const size_t start = slot + 7;
        workers[pid] = args.substr(start, args.find('\0', start) - start);
    }
    return workers;
}

// The value after an argument in a process's command line; empty when
// it has none or has ended.
std::string ArgumentOf(pid_t pid, const std::string& name) {
    const std::string args = CommandLine(pid);
    const size_t at = args.find(name + '\0');
    if (at == std::string::npos) return {};
    const size_t start = at + name.size() + 1;
    return args.substr(start, args.find('\0', start) - start);
}

// Stops a process and waits (bounded) until it is stopped.
void StopAndWait(pid_t pid, int boundMs) {
    kill(pid, SIGSTOP);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (std::chrono::steady_clock::now() < until) {
        std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const size_t end = stat.rfind(')');
        if (end == std::string::npos || end + 2 >= stat.size() || stat[end + 2] == 'T') return;
        sched_yield();
    }
}

// A process's slot once it has become a worker (bounded wait for its exec);
// empty if it ended first.
std::string SlotOnceStarted(pid_t pid, int boundMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    for (;;) {
        const std::string args = CommandLine(pid);
        if (args.empty()) return {};
        if (const std::string slot = ArgumentOf(pid, "--slot"); !slot.empty()) return slot;
        if (std::chrono::steady_clock::now() >= until) return {};
        const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (fd < 0) return {};
        pollfd wait{fd, POLLIN, 0};
        poll(&wait, 1, 5);  // ends early if the process ends
        close(fd);
    }
}

// Waits (bounded) for processes that are not this one's children to end.
bool AwaitEnd(const std::vector<pid_t>& pids, int boundMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    for (const pid_t pid : pids) {
        const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (fd < 0) continue;  // already gone
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd wait{fd, POLLIN, 0};
        const int ready = poll(&wait, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
        close(fd);
        if (ready <= 0) return false;
    }
    return true;
}

std::string ImageWithSerial(const std::string& image, const std::string& serial) {
    std::string board = image;
    board.replace(kSerialAt, serial.size(), serial);
    return board;
}

struct Counts {
    std::map<std::string, int> faults;  // by kind
    int boards = 0;                     // records
    int invariants = 0;                 // checks made
};

TEST(GangCampaign, InvariantsHoldUnderARandomScheduleOfFaults) {
    uint64_t seed = std::random_device{}();
    if (const char* given = std::getenv("VEXU_CAMPAIGN_SEED")) seed = std::strtoull(given, nullptr, 0);
    std::printf("fault campaign seed %llu (replay: VEXU_CAMPAIGN_SEED=%llu)\n", static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(seed));
    std::mt19937_64 random(seed);
    auto chance = [&random](double p) { return std::uniform_real_distribution<double>(0, 1)(random) < p; };
    auto pick = [&random](size_t n) { return static_cast<size_t>(std::uniform_int_distribution<size_t>(0, n - 1)(random)); };
    std::vector<std::string> schedule;
    Counts counts;
    auto fault = [&](const std::string& kind, const std::string& what) {
        ++counts.faults[kind];
        schedule.push_back(what);
    };

    TempDir dir;
    std::string image(kImageBytes, '\x5A');
    for (size_t k = 0; k < image.size(); k += 7) image[k] = static_cast<char>(k / 7);
    image.replace(kSerialAt, 16, std::string(16, '\x5A'));
    Put(dir.File("image.bin"), image);
    fs::create_directories(dir.File("boards"));

    std::vector<JsonValue> results;   // the stations' result events
    int orphanWorkers = 0;            // boards of a killed station with no result from it: their workers record them
    int mayLackRecord = 0;            // of those, the ones that may have died unrecorded
    // Sessions with faults until enough were injected, then one without to
    // settle the shift.
    auto injected = [&counts] {
        int n = 0;
        for (const auto& [kind, count] : counts.faults) n += count;
        return n;
    };
    bool last = false;
    for (int session = 0; !last; ++session) {
        last = injected() >= kMinFaults || session == kMaxSessions;
        const size_t resultsBefore = results.size();
        std::string boxSlot, boxFaultKind;
        std::string keys = "boxes=" + std::to_string(kBoxes) + ",station-boxes=" + std::to_string(last ? 1 : 4) +
                           ",board-limit-ms=" + std::to_string(kBoardLimitMs) + ",flash-save=" + dir.File("boards/b");
        if (!last) {
            // One box of the shift misbehaves for every board it gets.
            const char* boxFaults[] = {"crash-at", "unplug-after", "fail-report"};
            const std::string boxFault = boxFaults[pick(3)];
            const int box = static_cast<int>(pick(kBoxes)) + 1;
            const int report = 20 + static_cast<int>(pick(400));
            boxSlot = "sim-" + std::to_string(box);
            boxFaultKind = std::string("box ") + boxFault;
            keys += ",fault-box=" + std::to_string(box) + "," + boxFault + "=" + std::to_string(report);
            schedule.push_back("session " + std::to_string(session) + ": box " + std::to_string(box) + " " + boxFault +
                               "=" + std::to_string(report));
        } else {
            schedule.push_back("session " + std::to_string(session) + ": no faults");
        }
        // The station is stopped after this many results (by a signal of
        // the schedule's choice), or runs to its end.
        const int stopAfter = last ? -1 : 2 + static_cast<int>(pick(10));
        const int stopSignal = std::vector<int>{SIGINT, SIGTERM, SIGKILL}[pick(3)];
        std::set<pid_t> stopped;
        std::set<pid_t> killed;
        int sessionResults = 0;
        bool stopSent = false;
        std::chrono::steady_clock::time_point stopAt{};
        std::vector<pid_t> orphans;
        // The boards of the workers alive when the station was killed.
        struct Orphan {
            std::string slot, serial;
            bool mayLackRecord = false;
        };
        std::vector<Orphan> orphanBoards;
        std::vector<pid_t> starting;  // of the killed station, not yet workers
        CliRun run;
        run.args = {"--simulate=" + keys, "--json", "--eeprom-image", dir.File("image.bin"), "run", "--station",
                    "--gang", "--no-fpga", "--serial-at", std::to_string(kSerialAt), "--serial-format", "B%u"};
        run.directory = dir.Path().string();
        run.stateHome = dir.File("state");
        run.onLine = [&](const std::string& line, pid_t station) {
            JsonValue event;
            std::string error;
            if (!ParseJson(line, event, error)) return;
            if (event["event"].text == "result") {
                results.push_back(event);
                ++sessionResults;
            }
            if (last || stopSent) return;
            if (event["event"].text == "progress") {
                const std::map<pid_t, std::string> workers = Workers(station);
                if (workers.empty()) return;
                const pid_t worker = std::next(workers.begin(), static_cast<long>(pick(workers.size())))->first;
                if (chance(0.04)) {
                    kill(worker, SIGKILL);
                    killed.insert(worker);
                    fault("worker killed", "kill worker " + std::to_string(worker) + " at " + line);
                } else if (chance(0.01) && !stopped.count(worker)) {
                    kill(worker, SIGSTOP);
                    stopped.insert(worker);
                    fault("worker stopped", "stop worker " + std::to_string(worker) + " at " + line);
                } else if (chance(0.05) && !stopped.empty()) {
                    const pid_t again = *stopped.begin();
                    kill(again, SIGCONT);
                    stopped.erase(again);
                    fault("worker continued", "continue worker " + std::to_string(again));
                } else if (chance(0.01)) {
                    kill(worker, SIGTERM);
                    fault("worker interrupted", "interrupt worker " + std::to_string(worker));
                }
            }
            if (sessionResults >= stopAfter) {
                stopSent = true;
                stopAt = std::chrono::steady_clock::now();
                if (stopSignal == SIGKILL) {
                    // Its workers go on alone: nobody is left to continue a
                    // stopped one, so the operator does.
                    for (const pid_t pid : stopped) kill(pid, SIGCONT);
                    // Each worker left records its own board, but for one
                    // killed just before its station, or one whose box
                    // crashes it: nobody is left to record those.
                    // Stopped first, so that it starts no worker unseen.
                    StopAndWait(station, 1000);
                    for (const auto& [pid, slot] : Workers(station, true, &starting)) {
                        orphans.push_back(pid);
                        orphanBoards.push_back(
                            {slot, ArgumentOf(pid, "--serial-value"),
                             slot.empty() || killed.count(pid) || (slot == boxSlot && boxFaultKind == "box crash-at")});
                    }
                }
                kill(station, stopSignal);
                fault(stopSignal == SIGKILL ? "station killed" : stopSignal == SIGINT ? "station interrupted"
                                                                                        : "station terminated",
                      "signal " + std::to_string(stopSignal) + " to the station after " +
                          std::to_string(sessionResults) + " results");
            }
        };
        const auto started = std::chrono::steady_clock::now();
        const CliOutcome outcome = RunCliProcess(run);
        const auto ended = std::chrono::steady_clock::now();
        for (const pid_t pid : stopped) kill(pid, SIGCONT);
        for (size_t k = resultsBefore; k < results.size(); ++k)
            if (results[k]["slot"].text == boxSlot) ++counts.faults[boxFaultKind];
        // Bound: a stop is obeyed within the longest a board may take (its
        // limit) and a moment; a whole shift within its boards' limits.
        const auto bound = std::chrono::milliseconds(stopSent ? kBoardLimitMs + 3000 : 4 * (kBoardLimitMs + 3000));
        EXPECT_LE(ended - (stopSent ? stopAt : started), bound) << "session " << session << ": the station did not stop";
        ++counts.invariants;
        if (stopSent && stopSignal == SIGKILL) {
            EXPECT_EQ(outcome.signal, SIGKILL);
            // One the station was starting when it died is a worker all the
            // same; the station never saw its output.
            for (const pid_t pid : starting) {
                const std::string slot = SlotOnceStarted(pid, 2000);
                orphans.push_back(pid);
                orphanBoards.push_back({slot, "", slot.empty() || (slot == boxSlot && boxFaultKind == "box crash-at")});
            }
            EXPECT_TRUE(AwaitEnd(orphans, 2 * kBoardLimitMs + 5000)) << "a worker of a killed station did not end";
            // A worker still alive may be one whose result line the station
            // had already read and passed on: it was only ending. Its board
            // is counted by that result, not a second time as an orphan.
            for (const Orphan& orphan : orphanBoards) {
                bool reported = false;
                for (size_t k = resultsBefore; k < results.size() && !orphan.serial.empty(); ++k)
                    reported |= results[k]["slot"].text == orphan.slot && results[k]["serialNumber"].text == orphan.serial;
                if (reported) continue;
                ++orphanWorkers;
                mayLackRecord += orphan.mayLackRecord;
            }
        } else {
            ASSERT_FALSE(outcome.out.empty()) << outcome.err;
            EXPECT_EQ(Parsed(outcome.out.back())["event"].text, "summary") << outcome.err;
        }
        if (HasFailure()) break;
    }

    // --- The invariants ------------------------------------------------------
    std::vector<JsonValue> records;
    for (const std::string& line : ReadLines(dir.File("state/vexu-programmer/runs.log"))) records.push_back(Parsed(line));
    counts.boards = static_cast<int>(records.size());

    // Every board that was started has exactly one record: one per result
    // the stations gave, one per board of a worker whose station was killed
    // (but for those that died with no one left to record them).
    EXPECT_GE(records.size(), results.size() + static_cast<size_t>(orphanWorkers - mayLackRecord));
    EXPECT_LE(records.size(), results.size() + static_cast<size_t>(orphanWorkers));
    using Board = std::tuple<std::string, std::string, std::string>;  // slot, serial, result
    std::map<Board, int> recorded, reported;
    for (const JsonValue& record : records)
        ++recorded[{record["slot"].text, record["serialNumber"].text, record["result"].text}];
    for (const JsonValue& result : results)
        ++reported[{result["slot"].text, result["serialNumber"].text, result["ok"].boolean ? "ok" : "failed"}];
    for (const auto& [board, n] : reported) {
        std::string alike;  // the records of the same serial, to tell what happened
        for (const JsonValue& record : records)
            if (record["serialNumber"].text == std::get<1>(board))
                alike += "\n  record: " + record["slot"].text + " " + record["result"].text + " " + record["failure"].text;
        for (const JsonValue& result : results)
            if (result["serialNumber"].text == std::get<1>(board))
                alike += "\n  result: " + result["slot"].text + " " + (result["ok"].boolean ? "ok " : "failed ") +
                         result["failure"].text;
        EXPECT_GE(recorded[board], n) << std::get<0>(board) << " " << std::get<1>(board) << " without its record"
                                      << alike;
        ++counts.invariants;
    }

    // No serial on two boards: among the records of passing boards, and in
    // the boards' flash contents.
    std::set<std::string> passed;
    for (const JsonValue& record : records) {
        if (record["result"].text != "ok") continue;
        EXPECT_TRUE(passed.insert(record["serialNumber"].text).second) << record["serialNumber"].text << " twice";
        ++counts.invariants;
    }
    std::map<std::string, std::string> onBoards;  // serial -> the board's file
    for (const auto& entry : fs::directory_iterator(dir.File("boards"))) {
        const std::string board = Contents(entry.path().string());
        std::string serial;
        for (size_t k = kSerialAt; k < board.size() && (board[k] == 'B' || std::isdigit(static_cast<unsigned char>(board[k]))); ++k)
            serial += board[k];
        if (serial.size() < 2) continue;  // never got as far as its serial
        EXPECT_TRUE(onBoards.emplace(serial, entry.path().filename().string()).second)
            << serial << " on " << onBoards[serial] << " and " << entry.path().filename().string();
        ++counts.invariants;
    }

    // Every passing board holds its image with its own serial, and its
    // record says exactly what it got.
    for (const JsonValue& record : records) {
        if (record["result"].text != "ok") continue;
        const std::string serial = record["serialNumber"].text;
        const std::string expected = ImageWithSerial(image, serial);
        EXPECT_EQ(record["eeprom"]["imageSha256"].text,
                  Sha256Hex(reinterpret_cast<const uint8_t*>(expected.data()), expected.size()))
            << serial;
        EXPECT_EQ(record["eeprom"]["bytes"].number, kImageBytes);
        EXPECT_EQ(record["eeprom"]["chip"].text, "M25P20");
        const int slot = std::stoi(record["slot"].text.substr(4));
        EXPECT_EQ(record["box"].text, slot == 1 ? std::string("sim://vexu-box") : "sim://vexu-box-" + std::to_string(slot));
        if (onBoards.count(serial)) {
            const std::string board = Contents(dir.File("boards/" + onBoards[serial]));
            EXPECT_EQ(board.substr(0, kImageBytes), expected) << serial;
            EXPECT_EQ(board.find_first_not_of('\xFF', kImageBytes), std::string::npos) << serial;
        }
        counts.invariants += 5;
    }

    // Every serial handed out is committed, skipped or free exactly once;
    // the committed ones are those of the passing boards.
    const std::string state = Contents(dir.File("state/vexu-programmer/serials.state"));
    std::istringstream lines(state);
    std::map<std::string, int> accounted;
    std::set<std::string> given;
    unsigned next = 0;
    for (std::string line; std::getline(lines, line);) {
        const std::string last = line.substr(line.rfind(' ') + 1);
        if (line.rfind("next counter ", 0) == 0) next = static_cast<unsigned>(std::stoul(last));
        if (line.rfind("given ", 0) == 0) given.insert(last);
        if (line.rfind("given ", 0) == 0 || line.rfind("free counter ", 0) == 0 || line.rfind("skipped counter ", 0) == 0)
            ++accounted[last];
        EXPECT_NE(line.rfind("reserved", 0), 0u) << line;
    }
    // Committed only by a board that passed; a board that passed after its
    // station was killed has its serial skipped by the next start.
    for (const std::string& serial : given) EXPECT_TRUE(passed.count(serial)) << serial << " committed, not passed";
    for (const std::string& serial : passed) {
        EXPECT_TRUE(accounted.count(serial)) << serial << " passed but not accounted for";
        ++counts.invariants;
    }
    for (unsigned k = 1; k < next; ++k) {
        EXPECT_EQ(accounted["B" + std::to_string(k)], 1) << "B" << k << "\n" << state;
        ++counts.invariants;
    }
    EXPECT_EQ(accounted.size(), next - 1u) << state;

    int timedOut = 0;
    for (const JsonValue& record : records) timedOut += record["failure"].text.find("time limit") != std::string::npos;
    EXPECT_GE(injected(), kMinFaults);
    // A box's fault counts once for every board its box had.
    std::printf("fault campaign: %d boards recorded, %d passed, %d killed at their time limit, %d faults injected (",
                counts.boards, static_cast<int>(passed.size()), timedOut, injected());
    for (const auto& [kind, n] : counts.faults) std::printf("%s %d; ", kind.c_str(), n);
    std::printf("), %d invariant checks\n", counts.invariants);
    if (HasFailure()) {
        std::printf("the schedule (seed %llu):\n", static_cast<unsigned long long>(seed));
        for (const std::string& step : schedule) std::printf("  %s\n", step.c_str());
    }
}

// The images are read once, when the station starts: a file replaced or
// cut in the middle of the shift changes nothing on the boards.
TEST(GangShift, EveryBoardGetsTheImageAsTheShiftBegan) {
    TempDir dir;
    const std::string image(kImageBytes, '\x33');
    Put(dir.File("image.bin"), image);
    CliRun run;
    run.args = {"--simulate=boxes=2,station-boxes=3", "--json", "--eeprom-image", dir.File("image.bin"), "run",
                "--station", "--gang", "--no-fpga"};
    run.directory = dir.Path().string();
    run.stateHome = dir.File("state");
    int results = 0;
    run.onLine = [&](const std::string& line, pid_t) {
        if (line.find(R"("event":"result")") == std::string::npos) return;
        // Another image, then none: later boards still get the first.
        Put(dir.File("image.bin"), ++results == 1 ? std::string(kImageBytes, '\x44') : std::string());
    };
    const CliOutcome outcome = RunCliProcess(run);
    EXPECT_EQ(outcome.exit, 0) << outcome.err;
    const std::vector<std::string> lines = ReadLines(dir.File("state/vexu-programmer/runs.log"));
    ASSERT_EQ(lines.size(), 6u);
    for (const std::string& line : lines) {
        const JsonValue record = Parsed(line);
        EXPECT_EQ(record["result"].text, "ok") << line;
        EXPECT_EQ(record["eeprom"]["imageSha256"].text,
                  Sha256Hex(reinterpret_cast<const uint8_t*>(image.data()), image.size()));
    }
}

// A box held by another program is said once, with why, while the slot
// waits; a stop then ends the station at once, and the serial reserved
// for the board that never began goes to the next board.
TEST(GangShift, ABusyBoxIsSaidAndTheStationStillStops) {
    TempDir dir;
    Put(dir.File("image.bin"), std::string(kImageBytes, '\x33'));
    CliRun run;
    run.args = {"--simulate=boxes=2,station-boxes=2,refuse-open=in-use", "--json", "--eeprom-image",
                dir.File("image.bin"), "run", "--station", "--gang", "--no-fpga", "--serial-at", "0",
                "--serial-format", "W%u"};
    run.directory = dir.Path().string();
    run.stateHome = dir.File("state");
    std::map<std::string, int> waiting;
    run.onLine = [&](const std::string& line, pid_t station) {
        const JsonValue event = Parsed(line);
        if (event["state"].text != "waiting") return;
        EXPECT_NE(event["reason"].text.find("in use by another program"), std::string::npos) << line;
        if (++waiting[event["slot"].text] == 1 && waiting.size() == 2) kill(station, SIGTERM);
    };
    const auto started = std::chrono::steady_clock::now();
    const CliOutcome outcome = RunCliProcess(run);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(outcome.exit, 0) << outcome.err;
    EXPECT_NE(outcome.err.find(" runs in progress"), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find("stopping after the "), 0u) << "said first, at once: " << outcome.err;
    EXPECT_EQ(waiting, (std::map<std::string, int>{{"sim-1", 1}, {"sim-2", 1}}));
    EXPECT_TRUE(ReadLines(dir.File("state/vexu-programmer/runs.log")).empty());
    const std::string state = Contents(dir.File("state/vexu-programmer/serials.state"));
    EXPECT_EQ(state.find("reserved"), std::string::npos) << state;
    EXPECT_EQ(state.find("given"), std::string::npos) << state;
}

}  // namespace
}  // namespace vexu::test
