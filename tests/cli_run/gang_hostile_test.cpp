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
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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
#include "ledger_text.h"
#include "platform/digest.h"
#include "platform/json_reader.h"
#include "platform/process.h"
#include "support/temp_dir.h"

namespace vexu::test {
namespace {

namespace fs = std::filesystem;

constexpr int kBoxes = 4;
constexpr uint32_t kSerialAt = 0x100;
constexpr int kBoardLimitMs = 4000;
// On the real clock a board takes about 10 s (the serial flash's entry
// settles twice for 5 s): its limit is longer.
constexpr int kRealtimeBoardLimitMs = 15000;
constexpr size_t kImageBytes = 4096;
constexpr int kMinFaults = 220;
constexpr int kMaxSessions = 80;
// Every this many sessions one runs on the real clock with a short USB
// latency, one board per slot, the station signalled mid-programming.
constexpr int kRealtimeEvery = 10;

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

// A process's state letter ('R', 'S', 'T' stopped, 'Z' ended and not yet
// reaped); 0 when it is gone.
char StateOf(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t end = stat.rfind(')');
    return end == std::string::npos || end + 2 >= stat.size() ? 0 : stat[end + 2];
}

std::vector<pid_t> ChildrenOf(pid_t parent) {
    std::ifstream file("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    std::vector<pid_t> children;
    for (pid_t pid; file >> pid;) children.push_back(pid);
    return children;
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

// The station's workers now (its children that run as workers), with
// their slots.
std::map<pid_t, std::string> Workers(pid_t station) {
    std::map<pid_t, std::string> workers;
    for (const pid_t pid : ChildrenOf(station))
        if (const std::string slot = ArgumentOf(pid, "--slot"); !slot.empty()) workers[pid] = slot;
    return workers;
}

// A worker of a killed station: who it is, known while it was alive, and
// how it ended.
struct Orphan {
    int session = 0;
    pid_t pid = 0;
    std::string slot, serial;
    int status = 0;
    bool ended = false;
};

// A worker as its command line tells it while it is alive; empty slot and
// serial once it has ended.
Orphan Identified(pid_t pid, int session) {
    return {session, pid, ArgumentOf(pid, "--slot"), ArgumentOf(pid, "--serial-value")};
}

// The children of a stopped station, each identified by its command line
// while it is alive, or, once ended, as known from before (the workers the
// schedule signalled were identified first). False when one cannot be
// identified now (it ended unseen, or is between its start and its exec):
// the station is then killed at a later moment, so that every worker it
// leaves is known.
bool IdentifiedChildren(pid_t station, int session, const std::map<pid_t, Orphan>& known,
                        std::vector<Orphan>& orphans) {
    orphans.clear();
    for (const pid_t pid : ChildrenOf(station)) {
        Orphan orphan = Identified(pid, session);
        const char state = StateOf(pid);
        if ((state == 0 || state == 'Z') && known.count(pid)) orphan = known.at(pid);
        if (orphan.slot.empty() || orphan.serial.empty()) return false;
        orphans.push_back(orphan);
    }
    return true;
}

// Stops a process and waits (bounded) until it is stopped.
void StopAndWait(pid_t pid, int boundMs) {
    kill(pid, SIGSTOP);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (std::chrono::steady_clock::now() < until) {
        const char state = StateOf(pid);
        if (state == 0 || state == 'T') return;
        sched_yield();
    }
}

// Waits (bounded) for a process to end; true when it has.
bool AwaitEnd(pid_t pid, int boundMs) {
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) return true;  // already gone
    pollfd wait{fd, POLLIN, 0};
    const int ready = poll(&wait, 1, boundMs);
    close(fd);
    return ready > 0;
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

// While the campaign runs, the workers a killed station leaves become this
// process's children: their ends are had exactly, by waiting for them.
struct Subreaper {
    Subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1); }
    ~Subreaper() { prctl(PR_SET_CHILD_SUBREAPER, 0); }
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
    const Subreaper subreaper;

    TempDir dir;
    std::string image(kImageBytes, '\x5A');
    for (size_t k = 0; k < image.size(); k += 7) image[k] = static_cast<char>(k / 7);
    image.replace(kSerialAt, 16, std::string(16, '\x5A'));
    Put(dir.File("image.bin"), image);
    fs::create_directories(dir.File("boards"));

    std::vector<JsonValue> results;   // the stations' result events
    std::vector<Orphan> orphans;      // the workers of killed stations
    std::set<int> killedSessions;
    // The serials a killed station left reserved, as the next start skips
    // them, by the session that was killed.
    std::map<int, std::set<std::string>> leftReserved;
    std::set<pid_t> killed;                // workers killed by the schedule
    std::map<pid_t, int> interrupted;      // workers interrupted by it, how often
    std::map<pid_t, Orphan> signalled;     // this session's workers the schedule picked, as identified then
    std::set<std::pair<int, std::string>> crashingSlots;            // (session, slot) whose box crashes its worker
    int deferredKills = 0;  // kills put off to a moment when every worker could be identified
    // Sessions with faults until enough were injected, then one without to
    // settle the shift.
    auto injected = [&counts] {
        int n = 0;
        for (const auto& [kind, count] : counts.faults) n += count;
        return n;
    };
    bool last = false;
    int sessions = 0;
    int realtimeSessions = 0;
    for (int session = 0; !last; ++session) {
        last = injected() >= kMinFaults || session == kMaxSessions;
        const bool realtime = !last && session % kRealtimeEvery == 1;
        ++sessions;
        realtimeSessions += realtime;
        const int limitMs = realtime ? kRealtimeBoardLimitMs : kBoardLimitMs;
        const size_t resultsBefore = results.size();
        std::string boxSlot, boxFaultKind;
        std::string keys = "boxes=" + std::to_string(kBoxes) +
                           ",station-boxes=" + std::to_string(last || realtime ? 1 : 4) +
                           ",board-limit-ms=" + std::to_string(limitMs) + ",flash-save=" + dir.File("boards/b");
        if (realtime) keys += ",realtime,latency-us=200,flash-busy-percent=10";
        if (!last) {
            // One box of the shift misbehaves for every board it gets.
            const char* boxFaults[] = {"crash-at", "unplug-after", "fail-report"};
            const std::string boxFault = boxFaults[pick(3)];
            const int box = static_cast<int>(pick(kBoxes)) + 1;
            const int report = 20 + static_cast<int>(pick(400));
            boxSlot = "sim-" + std::to_string(box);
            boxFaultKind = std::string("box ") + boxFault;
            if (boxFault == "crash-at") crashingSlots.insert({session, boxSlot});
            keys += ",fault-box=" + std::to_string(box) + "," + boxFault + "=" + std::to_string(report);
            schedule.push_back("session " + std::to_string(session) + (realtime ? " (real clock)" : "") + ": box " +
                               std::to_string(box) + " " + boxFault + "=" + std::to_string(report));
        } else {
            schedule.push_back("session " + std::to_string(session) + ": no faults");
        }
        // The station is signalled (by a signal of the schedule's choice)
        // after this many results, or on the real clock, in the middle of
        // its boards, after this many progress events; or it runs to its
        // end.
        const int stopAfter = last ? -1 : 2 + static_cast<int>(pick(10));
        const int stopAtProgress = 1 + static_cast<int>(pick(40));
        const int stopSignal = std::vector<int>{SIGINT, SIGTERM, SIGKILL}[pick(3)];
        std::set<pid_t> stopped;
        int sessionResults = 0;
        int sessionProgress = 0;
        bool stopSent = false;
        std::chrono::steady_clock::time_point stopAt{};
        std::vector<Orphan> left;  // the workers of this session's station, if it is killed
        signalled.clear();
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
            if (event["event"].text == "serialSkipped" && killedSessions.count(session - 1))
                leftReserved[session - 1].insert(event["serial"].text);
            if (last || stopSent) return;
            if (event["event"].text == "progress") {
                ++sessionProgress;
                const std::map<pid_t, std::string> workers = Workers(station);
                if (workers.empty()) return;
                const pid_t worker = std::next(workers.begin(), static_cast<long>(pick(workers.size())))->first;
                if (const Orphan who = Identified(worker, session); !who.serial.empty()) signalled[worker] = who;
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
                    ++interrupted[worker];
                    fault("worker interrupted", "interrupt worker " + std::to_string(worker));
                }
            }
            if (realtime ? sessionProgress < stopAtProgress : sessionResults < stopAfter) return;
            if (stopSignal == SIGKILL) {
                // Held still, the station's workers are identified one by
                // one; if one cannot be (it ended unseen, or is not yet a
                // worker), the kill waits for a later line.
                StopAndWait(station, 1000);
                if (!IdentifiedChildren(station, session, signalled, left)) {
                    kill(station, SIGCONT);
                    ++deferredKills;
                    return;
                }
                // Its workers go on alone: nobody is left to continue a
                // stopped one, so the operator does.
                for (const pid_t pid : stopped) kill(pid, SIGCONT);
                stopped.clear();
            }
            stopSent = true;
            stopAt = std::chrono::steady_clock::now();
            kill(station, stopSignal);
            fault(stopSignal == SIGKILL ? "station killed" : stopSignal == SIGINT ? "station interrupted"
                                                                                    : "station terminated",
                  "signal " + std::to_string(stopSignal) + " to the station after " + std::to_string(sessionResults) +
                      " results and " + std::to_string(sessionProgress) + " progress events");
        };
        const auto started = std::chrono::steady_clock::now();
        const CliOutcome outcome = RunCliProcess(run);
        const auto ended = std::chrono::steady_clock::now();
        for (const pid_t pid : stopped) kill(pid, SIGCONT);
        for (size_t k = resultsBefore; k < results.size(); ++k)
            if (results[k]["slot"].text == boxSlot) ++counts.faults[boxFaultKind];
        // Bound: a stop is obeyed within the longest a board may take (its
        // limit) and a moment; a whole shift within its boards' limits. A
        // worker stopped while it writes to the station's database holds
        // the station's own next record there for as long as the database
        // waits for a lock (10 s) before the station can end that worker.
        const int dbWaitMs = 10000;
        const auto bound =
            std::chrono::milliseconds(stopSent ? limitMs + dbWaitMs + 3000 : 4 * (limitMs + 3000) + dbWaitMs);
        EXPECT_LE(ended - (stopSent ? stopAt : started), bound)
            << "session " << session << ": the station did not stop\n" << outcome.err;
        ++counts.invariants;
        if (stopSent && stopSignal == SIGKILL) {
            EXPECT_EQ(outcome.signal, SIGKILL);
            killedSessions.insert(session);
            // The killed station's workers are this process's children now:
            // each finishes its board alone, within its limit.
            for (Orphan& orphan : left) {
                if (!AwaitEnd(orphan.pid, 2 * limitMs + 5000)) {
                    ADD_FAILURE() << "worker " << orphan.pid << " (" << orphan.slot << ", " << orphan.serial
                                  << ") of a killed station did not end";
                    kill(orphan.pid, SIGKILL);
                }
                orphan.ended = waitpid(orphan.pid, &orphan.status, 0) == orphan.pid;
                orphans.push_back(orphan);
            }
        } else {
            EXPECT_TRUE(!outcome.out.empty() && Parsed(outcome.out.back())["event"].text == "summary")
                << "session " << session << ": the station ended without its summary (exit " << outcome.exit
                << ", signal " << outcome.signal << ")\n" << outcome.err;
        }
        if (HasFailure()) break;
    }

    // --- The invariants ------------------------------------------------------
    std::vector<JsonValue> records;
    for (const std::string& line : ReadLines(dir.File("state/vexu-programmer/runs.log"))) records.push_back(Parsed(line));
    counts.boards = static_cast<int>(records.size());
    std::map<std::string, std::vector<const JsonValue*>> recordsOf;  // by serial: each board's records
    for (const JsonValue& record : records) recordsOf[record["serialNumber"].text].push_back(&record);

    // The serial state: every serial handed out is committed, skipped or
    // free exactly once, none is left reserved.
    const std::string state = SerialLedgerText(dir.File("state"));
    std::istringstream lines(state);
    std::map<std::string, int> accounted;
    std::map<std::string, std::string> endOf;  // serial -> given, free or skipped
    unsigned next = 0;
    for (std::string line; std::getline(lines, line);) {
        const std::string serial = line.substr(line.rfind(' ') + 1);
        const std::string kind = line.substr(0, line.find(' '));
        if (line.rfind("next counter ", 0) == 0) next = static_cast<unsigned>(std::stoul(serial));
        if (kind == "given" || kind == "free" || kind == "skipped") {
            ++accounted[serial];
            endOf[serial] = kind;
        }
        EXPECT_NE(kind, "reserved") << line;
    }
    for (unsigned k = 1; k < next; ++k) {
        EXPECT_EQ(accounted["B" + std::to_string(k)], 1) << "B" << k << "\n" << state;
        ++counts.invariants;
    }
    EXPECT_EQ(accounted.size(), next - 1u) << state;

    // Each board is known by its serial (none is handed out twice, and one
    // released went to no board). What each board's records must be:
    // exactly one, but where its worker was left alone by a killed station
    // and ended where it could not write it.
    std::map<std::string, std::string> mayLack;  // serial -> why it may have no record
    std::map<int, int> unidentified;  // by killed session: serials left reserved with no worker known
    std::map<int, std::set<std::string>> orphanSerials;
    for (const Orphan& orphan : orphans) orphanSerials[orphan.session].insert(orphan.serial);
    for (const Orphan& orphan : orphans) {
        const std::string who = "worker " + std::to_string(orphan.pid) + " (" + orphan.slot + ", " + orphan.serial +
                                ") of the station killed in session " + std::to_string(orphan.session);
        ++counts.invariants;
        if (!orphan.ended) {
            ADD_FAILURE() << who << ": its end was not had";
            continue;
        }
        // A board the station settled before it was killed (it had read
        // the worker's result, or found its record) is held to what the
        // station made of it, as every board is below; the next start
        // skipped the others' serials.
        if (!leftReserved[orphan.session].count(orphan.serial)) continue;
        const int status = orphan.status;
        if (WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 1)) {
            mayLack.erase(orphan.serial);  // it ran its board to its end: its own record is there
        } else if (WIFEXITED(status) && WEXITSTATUS(status) >= 2 && WEXITSTATUS(status) <= 5) {
            mayLack[orphan.serial] = "no board: " + DescribeWaitStatus(status);
            EXPECT_TRUE(recordsOf[orphan.serial].empty()) << who << " ran no board yet has a record";
        } else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) {
            // By the schedule, or by its station at its time limit just
            // before the station was held still.
            mayLack[orphan.serial] = killed.count(orphan.pid) ? "killed by the schedule" : "killed at its time limit";
        } else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT &&
                   crashingSlots.count({orphan.session, orphan.slot})) {
            mayLack[orphan.serial] = "its box crashed it";
        } else if (WIFSIGNALED(status) && (WTERMSIG(status) == SIGTERM || WTERMSIG(status) == SIGINT) &&
                   interrupted.count(orphan.pid)) {
            mayLack[orphan.serial] = "interrupted by the schedule";
        } else {
            ADD_FAILURE() << who << " ended alone by " << DescribeWaitStatus(status)
                          << ", which nothing of the schedule explains";
        }
        if (!mayLack.count(orphan.serial)) mayLack[orphan.serial] = "";
    }
    // A killed station may also leave one serial reserved with no worker
    // (it was between reserving it and starting the worker, or between
    // reaping a worker and settling its board): at most one per kill, as the
    // station does one thing at a time.
    for (const int session : killedSessions) {
        for (const std::string& serial : leftReserved[session]) {
            if (orphanSerials[session].count(serial)) continue;
            ++unidentified[session];
            mayLack[serial] = "left reserved by the station killed in session " + std::to_string(session);
        }
        EXPECT_LE(unidentified[session], 1) << "session " << session << ": serials left reserved with no worker";
        ++counts.invariants;
    }

    for (const auto& [serial, end] : endOf) {
        const size_t n = recordsOf.count(serial) ? recordsOf[serial].size() : 0;
        const auto lacking = mayLack.find(serial);
        std::string seen;  // what the records and results say, to tell what happened
        for (const JsonValue* record : recordsOf[serial])
            seen += "\n  record: " + (*record)["slot"].text + " " + (*record)["result"].text + " " +
                    (*record)["failure"].text;
        for (const JsonValue& result : results)
            if (result["serialNumber"].text == serial)
                seen += "\n  result: " + result["slot"].text + (result["ok"].boolean ? " ok " : " failed ") +
                        result["failure"].text;
        if (end == "given") {
            EXPECT_EQ(n, 1u) << serial << " committed: one record" << seen;
            EXPECT_TRUE(n == 1 && (*recordsOf[serial][0])["result"].text == "ok") << serial << " committed" << seen;
        } else if (end == "free") {
            EXPECT_EQ(n, 0u) << serial << " released for another board, yet recorded" << seen;
        } else if (lacking != mayLack.end() && !lacking->second.empty()) {
            EXPECT_LE(n, 1u) << serial << " (" << lacking->second << ")" << seen;
        } else {
            EXPECT_EQ(n, 1u) << serial << " skipped: its board has exactly one record" << seen;
        }
        ++counts.invariants;
    }
    for (const auto& [serial, boardRecords] : recordsOf) {
        EXPECT_TRUE(endOf[serial] == "given" || endOf[serial] == "skipped")
            << "a record of " << serial << ", which the serial state has as '" << endOf[serial] << "'";
        ++counts.invariants;
    }

    // Every result a station gave has its record, saying the same.
    for (const JsonValue& result : results) {
        const std::vector<const JsonValue*>& boardRecords = recordsOf[result["serialNumber"].text];
        const bool same = boardRecords.size() == 1 && (*boardRecords[0])["slot"].text == result["slot"].text &&
                          ((*boardRecords[0])["result"].text == "ok") == result["ok"].boolean;
        EXPECT_TRUE(same) << result["slot"].text << " " << result["serialNumber"].text << ": the result's record";
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
    // Committed only by a board that passed; a board that passed after its
    // station was killed has its serial skipped by the next start.
    for (const auto& [serial, end] : endOf)
        EXPECT_TRUE(end != "given" || passed.count(serial)) << serial << " committed, not passed";

    int timedOut = 0;
    for (const JsonValue& record : records) timedOut += record["failure"].text.find("time limit") != std::string::npos;
    int orphanLacking = 0;
    for (const auto& [serial, why] : mayLack) orphanLacking += !why.empty() && !recordsOf.count(serial);
    EXPECT_GE(injected(), kMinFaults);
    // A box's fault counts once for every board its box had.
    std::printf("fault campaign: %d station sessions (%d on the real clock), %d boards recorded, %d passed, %d killed at their time limit, %d left by a killed "
                "station (%d of them with no record, as nobody was left to write it), %d faults injected (",
                sessions, realtimeSessions, counts.boards, static_cast<int>(passed.size()), timedOut, static_cast<int>(orphans.size()),
                orphanLacking, injected());
    for (const auto& [kind, n] : counts.faults) std::printf("%s %d; ", kind.c_str(), n);
    std::printf("), %d invariant checks, %d station kills put off to a moment its workers could be identified\n",
                counts.invariants, deferredKills);
    if (HasFailure()) {
        std::printf("the schedule (seed %llu):\n", static_cast<unsigned long long>(seed));
        for (const std::string& step : schedule) std::printf("  %s\n", step.c_str());
    }
}

// A worker interrupted twice records its run as interrupted in the step it
// had reached, without the chip. In the serial-flash step its board may
// hold its serial: skipped, never given again. Before that step the board
// certainly never got it: free for the next board.
TEST(GangShift, AnInterruptedWorkersSerialIsFreedOnlyBeforeTheSerialFlashStep) {
    struct Case {
        const char* part;  // interrupted at its first progress
        std::vector<std::string> parts;
        const char* failure;
        const char* serialEnd;
    };
    const Case cases[] = {
        {"fpga", {}, "interrupted in the FPGA step", "free counter 1 W1"},
        {"eeprom", {"--no-fpga"}, "interrupted in the serial-flash step", "skipped counter 1 W1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.part);
        TempDir dir;
        Put(dir.File("image.bin"), std::string(kImageBytes, '\x33'));
        CliRun run;
        // On the real clock the step lasts while the interrupts arrive.
        run.args = {"--simulate=boxes=1,station-boxes=1,realtime", "--json", "--eeprom-image", dir.File("image.bin"),
                    "run", "--station", "--gang", "--serial-at", "0x100", "--serial-format", "W%u"};
        run.args.insert(run.args.end(), c.parts.begin(), c.parts.end());
        run.directory = dir.Path().string();
        run.stateHome = dir.File("state");
        bool sent = false;
        run.onLine = [&](const std::string& line, pid_t station) {
            const JsonValue event = Parsed(line);
            if (sent || event["event"].text != "progress" || event["part"].text != c.part) return;
            // Two kinds, so that the two interrupts are never taken as one.
            for (const auto& [pid, slot] : Workers(station)) {
                kill(pid, SIGINT);
                kill(pid, SIGTERM);
                sent = true;
            }
        };
        RunCliProcess(run);
        ASSERT_TRUE(sent);
        const std::vector<std::string> lines = ReadLines(dir.File("state/vexu-programmer/runs.log"));
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(Parsed(lines[0])["failure"].text, c.failure);
        const std::string state = SerialLedgerText(dir.File("state"));
        EXPECT_NE(state.find(std::string(c.serialEnd) + "\n"), std::string::npos) << state;
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
    const std::string state = SerialLedgerText(dir.File("state"));
    EXPECT_EQ(state.find("reserved"), std::string::npos) << state;
    EXPECT_EQ(state.find("given"), std::string::npos) << state;
}

}  // namespace
}  // namespace vexu::test
