// "vexu-cli run --station --gang": one station, several boxes, each served
// on its own and in parallel. Every box's run is a worker process of its
// own ("vexu-cli --box PATH --json run ..."), whose JSON lines the station
// reads: the engine, the device manager and the text channel are one per
// process, and a crash or a hang of one box's run cannot touch another's.
// A slot is a USB socket (the box's location): it waits for a box, runs,
// reports PASS or FAIL, waits for the box to be taken away, and takes the
// next.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "common/image_buffers.h"
#include "link/dev_manage.h"
#include "platform/clock.h"
#include "platform/digest.h"
#include "platform/files.h"
#include "platform/json_reader.h"
#include "platform/process.h"
#include "platform/terminal.h"
#include "platform/text_encoding.h"
#include "run/run_record.h"
#include "run/station_board.h"
#include "station/box_session.h"
#include "station/station_options.h"
#include "station/run_serials.h"
#include "station/station_run.h"

namespace vexu::station {

namespace {

// The serial-flash options as the station hands them to its workers.
std::vector<std::string> FlashJobArguments(const EepromJobOptions& job) {
    std::vector<std::string> args;
    if (job.timing == FlashTiming::kChip) args.push_back("--flash-timing=chip");
    if (job.allowSfdpChip) args.push_back("--allow-sfdp-chip");
    if (job.unprotect) args.push_back("--unprotect");
    if (job.reprotect) args.push_back("--reprotect");
    return args;
}

// Interrupts so far: the first stops new runs (those in progress finish,
// each within its time limit), the second has every worker record its run
// as interrupted and end, and ends those that do not within a moment.
volatile std::sig_atomic_t g_gangInterrupts = 0;

extern "C" void OnGangInterrupt(int) { g_gangInterrupts = g_gangInterrupts + 1; }

constexpr int kPollMs = 100;
// After the second interrupt, how long the workers have to record their
// runs as interrupted before they are killed.
constexpr uint64_t kInterruptedGraceUs = 3'000'000;
// A box held by another program, or that may not be opened, is tried again
// this often.
constexpr uint64_t kBusyRetryUs = 1'000'000;
constexpr int kBarWidth = 20;
// A killed station's images are removed by a later station after this long.
constexpr auto kStaleSnapshotAge = std::chrono::hours(1);

// Scenario keys that concern the station's own simulated boxes (who brings
// them and whether they start plugged), not a worker's.
bool StationOnlyKey(const std::string& item) {
    const std::string key = item.substr(0, item.find('='));
    return key == "unplugged" || key == "station-boxes" || key == "board-limit-ms";
}

// The keys a worker runs its simulated box with. A flash-save file gets
// the board's own name (FILE.N, N counting the station's boards), so that
// every board's flash contents are kept, not only the last one's.
std::string WorkerKeys(const std::string& keys, const std::string& boardName) {
    std::string out;
    size_t start = 0;
    while (start <= keys.size()) {
        size_t comma = keys.find(',', start);
        if (comma == std::string::npos) comma = keys.size();
        const std::string item = keys.substr(start, comma - start);
        if (!item.empty() && !StationOnlyKey(item)) {
            if (!out.empty()) out += ',';
            out += item;
            if (item.rfind("flash-save=", 0) == 0) out += "." + boardName;
        }
        start = comma + 1;
    }
    return out;
}

struct Slot {
    enum class Phase { kEmpty, kRunning, kRemove };
    std::string name;  // the box's location; its path when that is unknown
    std::string path;  // the box in it now; empty when none
    Phase phase = Phase::kEmpty;
    std::unique_ptr<ChildProcess> worker;
    std::string output;  // worker output not yet split into lines
    std::string errors;  // the worker's standard error, for a run that ends without a result
    bool resultSeen = false;
    int fpgaPercent = -1;
    int eepromPercent = -1;
    int runs = 0;
    int passed = 0;
    uint32_t boardsLeft = 0;  // the simulated operator's boards for this slot
    std::optional<SerialReservation> serial;  // the serial of the board in hand, reserved by the station
    vexu::station::BoardRun board;  // the run of the board in hand, as its worker tells it
    std::string boardBox;            // the box the board's run was started on
    int64_t boardStart = 0;          // calendar seconds
    uint64_t logOffset = 0;          // the run log's length when the worker started
    std::string waitNote;            // why the box could not be had, as last said
    uint64_t retryAtUs = 0;          // a busy box is tried again from then on
};

class GangStation {
public:
    GangStation(const GlobalOptions& options, const RunOptions& run, StationOutput& out, RunSerials& serials)
        : options_(options), run_(run), out_(out), serials_(serials), drawBars_(!options.json && IsTerminal(stderr)) {}

    ~GangStation() {
        if (monitor_) monitor_->Stop();
        for (int fd : wake_)
            if (fd >= 0) close(fd);
        std::error_code ignored;
        if (!snapshots_.empty()) std::filesystem::remove_all(snapshots_, ignored);
    }

    int Serve() {
        std::string error;
        if (!CheckRunLog(error)) return out_.Finish(kExitFailed, "station not started: " + error);
        backend_ = MakeBackend(options_, error, &simulatorOptions_);
        if (!backend_) return out_.Finish(kExitUsage, error);
        self_ = SelfExecutable();
        if (self_.empty()) return out_.Finish(kExitFailed, "cannot tell where this program is to start its workers");
        if (!SnapshotImages(error)) return out_.Finish(kExitFailed, "station not started: " + error);
        limitUs_ = simulatorOptions_.boardLimitMs > 0
                       ? simulatorOptions_.boardLimitMs * 1000
                       : vexu::station::BoardTimeLimitUs(fpgaImage_.empty() ? 0 : g_fpgaSize,
                                                         eepromImage_.empty() ? 0 : g_eepromSize);
        if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
            return out_.Finish(kExitFailed, "cannot follow the arrival and removal of programmer boxes");
        simulator_ = dynamic_cast<sim::SimBackend*>(backend_.get());
        monitor_ = simulator_ ? simulator_->MakeHotplugMonitor() : MakeUdevHotplugMonitor();
        if (!monitor_ || !monitor_->Start([this](const HotplugEvent& event) { Queue(event); }))
            return out_.Finish(kExitFailed, "cannot follow the arrival and removal of programmer boxes");
        scripted_ = simulator_ && simulatorOptions_.stationBoxes > 0;
        if (scripted_) {
            // The simulated operator brings a box to every slot, and as many
            // boards to each as station-boxes says.
            for (size_t box = 0; box < simulator_->BoxCount(); ++box)
                if (!simulator_->Plugged(box)) simulator_->Plug(box);
            Look(false);
            for (auto& [name, slot] : slots_) slot.boardsLeft = simulatorOptions_.stationBoxes;
        }
        Say("station: serving every programmer box, each in its own worker (Ctrl-C to stop)");
        Look();
        Loop();
        return Summary();
    }

private:
    // --- One image for the whole shift ---------------------------------------

    // The images as read when the station started go to files of the
    // station's own that only it writes; every worker reads those, so that
    // every board of the shift gets the same bytes whatever becomes of the
    // user's files (or of this program's embedded images) meanwhile.
    bool SnapshotImages(std::string& error) {
        RemoveStaleSnapshots(std::filesystem::temp_directory_path());
        std::string pattern =
            (std::filesystem::temp_directory_path() / ("vexu-station-" + std::to_string(getpid()) + "-XXXXXX")).string();
        if (!mkdtemp(pattern.data())) {
            error = "cannot make a directory for the shift's images in " +
                    std::filesystem::temp_directory_path().string();
            return false;
        }
        snapshots_ = pattern;
        auto save = [&](const uint8_t* data, uint32_t size, const char* name, std::string& path) {
            if (!data || size == 0) return true;
            path = (std::filesystem::path(snapshots_) / name).string();
            if (!WriteFileWhole(path, std::string_view(reinterpret_cast<const char*>(data), size), error)) return false;
            chmod(path.c_str(), 0400);
            return true;
        };
        return save(g_fpgaData, g_fpgaSize, "fpga.dat", fpgaImage_) &&
               save(g_eepromData, g_eepromSize, "eeprom.bin", eepromImage_);
    }

    // A station that was killed left its images behind. Its directory goes
    // once its station is gone and the directory has stood for longer than
    // any of its boards may take (its workers may still be reading it).
    static void RemoveStaleSnapshots(const std::filesystem::path& temp) {
        std::error_code ignored;
        const auto now = std::filesystem::file_time_type::clock::now();
        for (const auto& entry : std::filesystem::directory_iterator(temp, ignored)) {
            const std::string name = entry.path().filename().string();
            unsigned long owner = 0;
            char rest = 0;
            if (sscanf(name.c_str(), "vexu-station-%lu-%c", &owner, &rest) != 2 || owner == 0) continue;
            if (kill(static_cast<pid_t>(owner), 0) == 0 || errno != ESRCH) continue;
            struct stat status {};
            if (lstat(entry.path().c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != getuid())
                continue;
            const auto written = std::filesystem::last_write_time(entry.path(), ignored);
            if (ignored || now - written < kStaleSnapshotAge) continue;
            std::filesystem::remove_all(entry.path(), ignored);
        }
    }

    // --- Boxes coming and going ---------------------------------------------

    void Queue(const HotplugEvent& event) {
        events_.Push(event);
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = write(wake_[1], &byte, 1);
    }

    void TakeEvents() {
        char drain[64];
        while (read(wake_[0], drain, sizeof drain) > 0) {
        }
        for (HotplugEvent event; events_.Pop(event);) {
            if (event.kind == HotplugEvent::Kind::Arrival) {
                Look();
            } else {
                Removed(event.path);
            }
        }
    }

    // Every box present gets its slot; an empty slot with a box starts a run.
    void Look(bool start = true) {
        std::vector<HidDeviceInfo> devices;
        if (!backend_->Enumerate(devices)) return;
        for (const HidDeviceInfo& device : devices) {
            for (const HidInterfaceInfo& interface : device.interfaces) {
                if (!interface.idsKnown || interface.vendorId != kProgrammerVendorId ||
                    interface.productId != kProgrammerProductId)
                    continue;
                if (!options_.box.empty() && interface.path != options_.box) continue;
                Slot& slot = SlotFor(interface.path, interface.location);
                if (slot.phase == Slot::Phase::kEmpty && slot.path.empty()) slot.path = interface.path;
            }
        }
        if (start) StartRuns();
    }

    void Removed(const std::string& path) {
        for (auto& [name, slot] : slots_) {
            if (slot.path != path) continue;
            slot.path.clear();
            // A box that leaves ends only its own run, by its worker failing.
            if (slot.phase == Slot::Phase::kRemove) slot.phase = Slot::Phase::kEmpty;
            if (scripted_ && slot.boardsLeft > 0 && slot.phase == Slot::Phase::kEmpty && !Stopping()) {
                simulator_->Plug(SimulatedBox(path));
            }
        }
        Draw();
    }

    Slot& SlotFor(const std::string& path, const std::string& location) {
        for (auto& [name, slot] : slots_)
            if (slot.path == path && !path.empty()) return slot;
        const std::string name = location.empty() ? path : location;
        Slot& slot = slots_[name];
        slot.name = name;
        return slot;
    }

    size_t SimulatedBox(const std::string& path) const {
        for (size_t box = 0; box < simulator_->BoxCount(); ++box)
            if (sim::SimBackend::BoxPath(box) == path) return box;
        return 0;
    }

    // --- Workers ---------------------------------------------------------------

    bool Stopping() const { return g_gangInterrupts > 0 || logFailed_ || serialFailed_; }

    // The next board's serial, reserved in the state file before its worker
    // starts. False (the station stops starting runs) when none can be
    // given.
    bool ReserveSerial(Slot& slot) {
        slot.serial.reset();
        if (!serials_.Active()) return true;
        SerialReservation reservation;
        std::string error;
        bool usedUp = false;
        if (!serials_.Reserve(reservation, error, usedUp)) {
            Say(usedUp ? "station stopped: no serial number left" : "station stopped: " + error);
            serialFailure_ = error;
            serialFailed_ = true;
            return false;
        }
        slot.serial = reservation;
        return true;
    }

    // The board's run ended: its serial is committed on a pass, released
    // when the board certainly never got it, skipped otherwise. A serial
    // whose end cannot be written stays reserved (it is skipped later,
    // never given twice) and the station stops.
    void SettleSerial(Slot& slot, SerialEnd end) {
        if (!slot.serial) return;
        std::string error;
        if (!serials_.Settle(*slot.serial, end, error)) {
            Say(error + ": the serial " + EscapedText(slot.serial->text) +
                " stays reserved there and is never given to another board");
            Say("station stopped: the serial-number state file cannot be written");
            serialFailure_ = error;
            serialFailed_ = true;
        }
        slot.serial.reset();
    }

    void StartRuns() {
        if (Stopping()) return;
        const uint64_t now = wall_.NowUs();
        for (auto& [name, slot] : slots_) {
            if (slot.phase != Slot::Phase::kEmpty || slot.path.empty()) continue;
            if (scripted_ && slot.boardsLeft == 0) continue;
            if (now < slot.retryAtUs) continue;
            if (!ReserveSerial(slot)) break;
            std::vector<std::string> args = {self_, "--json", "--box", slot.path};
            ++boardsStarted_;
            if (options_.simulate)
                args.push_back("--simulate=" + WorkerKeys(options_.simulateKeys, std::to_string(getpid()) + "-" +
                                                                           std::to_string(boardsStarted_)));
            if (!fpgaImage_.empty()) args.insert(args.end(), {"--fpga-image", fpgaImage_});
            if (!eepromImage_.empty()) args.insert(args.end(), {"--eeprom-image", eepromImage_});
            args.insert(args.end(), {"run", "--slot", slot.name});
            if (run_.noFpga || fpgaImage_.empty()) args.push_back("--no-fpga");
            if (run_.noEeprom || eepromImage_.empty()) args.push_back("--no-eeprom");
            for (const std::string& arg : FlashJobArguments(run_.flashJob)) args.push_back(arg);
            slot.logOffset = RunLogLength();
            if (slot.serial) args.insert(args.end(), {"--serial-at", *run_.serialAt, "--serial-value", slot.serial->text});
            // The worker's record goes to the station's database, and up to the line.
            if (!run_.lineDb.empty()) args.insert(args.end(), {"--line-db", run_.lineDb});
            if (!run_.stationName.empty()) args.insert(args.end(), {"--station-name", run_.stationName});
            std::string error;
            slot.worker = ChildProcess::Start(args, error);
            if (!slot.worker) {
                Say("slot " + slot.name + ": " + error);
                SettleSerial(slot, SerialEnd::kRelease);
                slot.phase = Slot::Phase::kRemove;
                continue;
            }
            if (scripted_) --slot.boardsLeft;
            slot.phase = Slot::Phase::kRunning;
            slot.board.Start(wall_.NowUs(), limitUs_);
            slot.boardBox = slot.path;
            slot.boardStart = GetClock().CalendarSeconds();
            slot.output.clear();
            slot.errors.clear();
            slot.resultSeen = false;
            slot.fpgaPercent = fpgaImage_.empty() ? -1 : 0;
            slot.eepromPercent = eepromImage_.empty() ? -1 : 0;
        }
        Draw();
    }

    void Loop() {
        bool stopTold = false;
        uint64_t killAtUs = 0;
        for (;;) {
            TellStop(stopTold);
            if (g_gangInterrupts >= 2 && killAtUs == 0) {
                // The workers record their runs as interrupted and end; those
                // that cannot (stopped, hung) are ended after a moment.
                for (auto& [name, slot] : slots_)
                    if (slot.worker) kill(slot.worker->Pid(), SIGINT);
                killAtUs = wall_.NowUs() + kInterruptedGraceUs;
            }
            if (killAtUs != 0 && wall_.NowUs() >= killAtUs) {
                for (auto& [name, slot] : slots_)
                    if (slot.worker && !slot.board.TimedOutRun()) {
                        slot.board.TimedOut();
                        interruptKilled_ = true;
                        slot.worker->Kill();
                    }
            }
            std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}};
            for (auto& [name, slot] : slots_) {
                if (!slot.worker) continue;
                if (slot.worker->OutputFd() >= 0) fds.push_back({slot.worker->OutputFd(), POLLIN, 0});
                if (slot.worker->ErrorFd() >= 0) fds.push_back({slot.worker->ErrorFd(), POLLIN, 0});
            }
            poll(fds.data(), fds.size(), kPollMs);
            TakeEvents();
            KillOverdue();
            for (auto& [name, slot] : slots_) Follow(slot);
            StartRuns();
            TellStop(stopTold);
            if (!AnyRunning() && (Stopping() || (scripted_ && AllBoardsDone()))) return;
        }
    }

    // The first interrupt is answered at once, so that nobody presses again
    // in doubt.
    void TellStop(bool& told) {
        if (g_gangInterrupts < 1 || told) return;
        Tell("stopping after the " + std::to_string(Running()) + " runs in progress");
        told = true;
    }

    // A worker past its board's time limit (stopped, hung in I/O, looping)
    // is killed; its board is recorded as failed for that reason.
    void KillOverdue() {
        const uint64_t now = wall_.NowUs();
        for (auto& [name, slot] : slots_) {
            if (!slot.worker || !slot.board.Overdue(now) || slot.board.TimedOutRun()) continue;
            slot.board.TimedOut();
            slot.worker->Kill();
        }
    }

    int Running() const {
        int running = 0;
        for (const auto& [name, slot] : slots_) running += slot.worker != nullptr;
        return running;
    }

    // A line for the person at the station, also when the output is JSON.
    void Tell(const std::string& line) {
        if (options_.json) {
            fprintf(stderr, "%s\n", line.c_str());
            fflush(stderr);
        } else {
            Say(line);
        }
    }

    bool AnyRunning() const {
        for (const auto& [name, slot] : slots_)
            if (slot.worker) return true;
        return false;
    }

    bool AllBoardsDone() const {
        for (const auto& [name, slot] : slots_)
            if (slot.boardsLeft > 0 || slot.phase == Slot::Phase::kRunning) return false;
        return true;
    }

    void Follow(Slot& slot) {
        if (!slot.worker) return;
        slot.worker->ReadOutput(slot.output);
        slot.worker->ReadError(slot.errors);
        for (size_t end; (end = slot.output.find('\n')) != std::string::npos;) {
            const std::string line = slot.output.substr(0, end);
            slot.output.erase(0, end + 1);
            WorkerLine(slot, line);
        }
        if (!slot.worker->OutputEnded()) return;
        const int status = slot.worker->Wait();
        slot.worker.reset();
        slot.board.Ended();
        if (!slot.resultSeen) {
            // A worker that crashed, hung or was killed: the board's run
            // failed, and the station writes its record unless the worker
            // did so before it died.
            // The worker may have written its board's record before it
            // died: the record then tells how the run ended.
            JsonValue record;
            const std::optional<std::string> serial = slot.serial ? std::optional(slot.serial->text) : std::nullopt;
            if (FindBoardRecord(slot.logOffset, slot.name, serial, record)) {
                const bool ok = record["result"].text == "ok";
                slot.board.Result(ok, false, SerialFlashMayHaveWritten(record));
                Finished(slot, ok, ok ? std::string() : "run failed: " + EscapedText(record["failure"].text), record);
                return;
            }
            std::string reason;
            if (slot.board.TimedOutRun() && !interruptKilled_) {
                reason = "the run passed its time limit of " + std::to_string(slot.board.LimitUs() / 1'000'000) +
                         " s: its worker was killed";
            } else if (slot.board.TimedOutRun()) {
                reason = "the station was stopped: the run's worker did not end and was killed";
            } else {
                reason = "the run's worker ended without a result (" + DescribeWaitStatus(status) + ")";
                const std::string lastError = LastLine(slot.errors);
                if (!lastError.empty()) reason += ": " + EscapedText(lastError);
            }
            WriteRecordFor(slot, reason);
            Finished(slot, false, reason, JsonValue());
        }
    }

    // The record of a board whose worker ended without its result or its
    // record: the step it had reached failed for the reason given.
    void WriteRecordFor(const Slot& slot, const std::string& reason) {
        RunRecord record;
        record.startTime = slot.boardStart;
        record.version = ProgramVersion();
        record.box = slot.boardBox;
        record.location = slot.name != slot.boardBox ? slot.name : std::string();
        record.slot = slot.name;
        const bool inSerialFlash = slot.eepromPercent >= 0 && (slot.fpgaPercent == 100 || fpgaImage_.empty());
        const RunStepRecord failed{RunStepRecord::Outcome::kFailed, 0};
        if (!fpgaImage_.empty()) record.fpga = inSerialFlash ? RunStepRecord{RunStepRecord::Outcome::kOk, 0} : failed;
        if (!eepromImage_.empty())
            record.eeprom = inSerialFlash ? failed : RunStepRecord{RunStepRecord::Outcome::kSkipped, 0};
        if (StepRan(record.fpga)) record.fpgaImageSha256 = Sha256Hex(g_fpgaData, g_fpgaSize);
        if (StepRan(record.eeprom)) record.eepromBytes = g_eepromSize;
        record.ok = false;
        record.failure = reason;
        if (slot.serial) record.serialNumber = slot.serial->text;
        std::string error;
        if (!AppendRunRecord(record, error)) {
            Say("slot " + slot.name + ": " + error + ": this run is not in the run log");
            logFailed_ = true;
        }
    }

    static std::string LastLine(const std::string& text) {
        std::string trimmed = text;
        while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r')) trimmed.pop_back();
        const size_t start = trimmed.rfind('\n');
        return start == std::string::npos ? trimmed : trimmed.substr(start + 1);
    }

    // One JSON line of a worker: progress and texts are passed on with the
    // slot; the result ends the slot's run.
    void WorkerLine(Slot& slot, const std::string& line) {
        JsonValue event;
        std::string error;
        if (!ParseJson(line, event, error) || event.kind != JsonValue::Kind::kObject) return;
        const std::string kind = event["event"].text;
        if (kind == "progress") {
            (event["part"].text == "fpga" ? slot.fpgaPercent : slot.eepromPercent) =
                static_cast<int>(event["percent"].number);
            if (event["part"].text != "fpga" && event["percent"].number > 0) slot.board.SerialFlashProgress();
            Emit(WithSlot(line, slot.name));
            Draw();
        } else if (kind == "result") {
            slot.resultSeen = true;
            const int exit = static_cast<int>(event["exit"].number);
            if (exit == kExitNoBox || exit == kExitBoxInUse || exit == kExitBoxDenied || exit == kExitUsage) {
                // No board was run: the box went before the run began, or
                // cannot be had, or the worker was started wrong.
                slot.board.Result(false, true, false);
                SettleSerial(slot, SerialEnd::kRelease);
                if (scripted_) ++slot.boardsLeft;
                const std::string failure = EscapedText(event["failure"].text);
                if (exit == kExitBoxInUse || exit == kExitBoxDenied) {
                    // Held by another program, or not ours to open: said
                    // once, and tried again until it can be had.
                    if (slot.waitNote != failure) {
                        Say("slot " + slot.name + ": waiting: " + failure);
                        out_.Emit(JsonObject()
                                      .Text("event", "station")
                                      .Text("slot", slot.name)
                                      .Text("state", "waiting")
                                      .Text("reason", event["failure"].text));
                    }
                    slot.waitNote = failure;
                    slot.phase = Slot::Phase::kEmpty;
                    slot.retryAtUs = wall_.NowUs() + kBusyRetryUs;
                    return;
                }
                Say("slot " + slot.name + ": " + failure);
                slot.phase = slot.path.empty() ? Slot::Phase::kEmpty : Slot::Phase::kRemove;
                return;
            }
            slot.waitNote.clear();
            slot.board.Result(event["ok"].boolean, false, SerialFlashMayHaveWritten(event));
            if (event.Has("runLogFailure")) {
                Say("slot " + slot.name + ": " + event["runLogFailure"].text + ": this run is not in the run log");
                logFailed_ = true;
            }
            Finished(slot, event["ok"].boolean, RunFailureText(event), event);
        } else {
            Emit(WithSlot(line, slot.name));
        }
    }

    // Whether a board's serial-flash step may have written to it, from the
    // run's result or record: the step found a chip to write, or was
    // interrupted (such a run's record does not know how far the step got,
    // nor the chip).
    static bool SerialFlashMayHaveWritten(const JsonValue& run) {
        const JsonValue& eeprom = run["eeprom"];
        const bool chipFound = eeprom["chip"].kind == JsonValue::Kind::kString && !eeprom["chip"].text.empty();
        const bool ran = eeprom["result"].text == "ok" || eeprom["result"].text == "failed";
        return ran && (chipFound || run["interrupted"].boolean);
    }

    // "run failed in the FPGA step (engine code 10): ..." from a result line.
    static std::string RunFailureText(const JsonValue& result) {
        if (result["ok"].boolean) return {};
        std::string text = "run failed in the ";
        text += result["step"].text == "fpga" ? "FPGA step" : "serial-flash step";
        if (result.Has("engineCode") && result["engineCode"].kind == JsonValue::Kind::kNumber)
            text += " (engine code " + std::to_string(static_cast<int>(result["engineCode"].number)) + ")";
        std::string failure = EscapedText(TerminalText(result["failure"].text));
        while (!failure.empty() && (failure.back() == '\n' || failure.back() == ' ')) failure.pop_back();
        return text + ": " + failure;
    }

    static std::string StepTimes(const JsonValue& result) {
        std::string text;
        auto add = [&](const char* part, const char* name) {
            const JsonValue& step = result[part];
            if (step.kind != JsonValue::Kind::kObject || !step.Has("seconds")) return;
            char seconds[32];
            snprintf(seconds, sizeof seconds, "%.3f s", step["seconds"].number);
            if (!text.empty()) text += ", ";
            text.append(name).append(" ").append(seconds);
        };
        add("fpga", "FPGA");
        add("eeprom", "serial flash");
        return text;
    }

    void Finished(Slot& slot, bool ok, const std::string& failure, const JsonValue& result) {
        const std::optional<std::string> serial = slot.serial ? std::optional(slot.serial->text) : std::nullopt;
        SettleSerial(slot, slot.board.SerialEndOfBoard());
        ++slot.runs;
        slot.passed += ok;
        ++runs_;
        passed_ += ok;
        char head[160];
        snprintf(head, sizeof head, "%s #%d  slot %s #%d  (%d passed, %d failed)  ", ok ? "PASS" : "FAIL", runs_,
                 slot.name.c_str(), slot.runs, passed_, runs_ - passed_);
        Say(head + (serial ? "serial " + EscapedText(*serial) + "  " : "") + (ok ? StepTimes(result) : failure));
        JsonObject event = out_.ResultHead(ok ? kExitOk : kExitFailed);
        event.Text("slot", slot.name).Text("failure", failure);
        if (result.kind == JsonValue::Kind::kObject) {
            for (const char* member : {"fpga", "eeprom", "box", "location", "boxSerial", "step"})
                if (result.Has(member)) event.Raw(member, JsonText(result[member]));
        }
        if (serial) event.Text("serialNumber", *serial);
        event.Number("run", runs_).Number("passed", passed_).Number("failed", runs_ - passed_);
        event.Number("slotRun", slot.runs).Number("slotPassed", slot.passed).Number("slotFailed", slot.runs - slot.passed);
        out_.Emit(event);
        // The operator takes the box away; the simulated one does it now.
        slot.phase = slot.path.empty() ? Slot::Phase::kEmpty : Slot::Phase::kRemove;
        if (slot.phase == Slot::Phase::kRemove) {
            out_.Emit(JsonObject().Text("event", "station").Text("slot", slot.name).Text("state", "remove"));
            if (scripted_) simulator_->Unplug(SimulatedBox(slot.path));
        }
        Draw();
    }

    // --- Output ----------------------------------------------------------------

    // A worker's event with the slot after its kind:
    //   {"event":"progress","slot":"1-2.3","part":"fpga","percent":42}
    static std::string WithSlot(const std::string& line, const std::string& slot) {
        const size_t kindEnd = line.find(',');
        const std::string member = "\"slot\":" + JsonQuote(slot);
        if (kindEnd == std::string::npos) return line.substr(0, line.size() - 1) + "," + member + "}";
        return line.substr(0, kindEnd + 1) + member + "," + line.substr(kindEnd + 1);
    }

    // A value read back into JSON text (the members passed on).
    static std::string JsonText(const JsonValue& value) {
        switch (value.kind) {
            case JsonValue::Kind::kNull: return "null";
            case JsonValue::Kind::kBool: return value.boolean ? "true" : "false";
            case JsonValue::Kind::kNumber: {
                char text[40];
                snprintf(text, sizeof text, "%.15g", value.number);
                return text;
            }
            case JsonValue::Kind::kString: return JsonQuote(value.text);
            case JsonValue::Kind::kArray: {
                std::string text = "[";
                for (const JsonValue& item : value.items) {
                    if (text.size() > 1) text += ',';
                    text += JsonText(item);
                }
                return text + "]";
            }
            case JsonValue::Kind::kObject: {
                std::string text = "{";
                for (const std::string& key : value.order) {
                    if (text.size() > 1) text += ',';
                    text += JsonQuote(key);
                    text += ':';
                    text += JsonText(value[key]);
                }
                return text + "}";
            }
        }
        return "null";
    }

    void Emit(const std::string& line) {
        if (!options_.json) return;
        printf("%s\n", line.c_str());
        fflush(stdout);
    }

    void Say(const std::string& line) {
        ClearBars();
        out_.Say(line);
        Draw();
    }

    // One line per slot on the terminal, redrawn in place.
    void Draw() {
        if (!drawBars_) return;
        ClearBars();
        for (const auto& [name, slot] : slots_) {
            std::string line = "slot " + name + "  ";
            auto bar = [&line](const char* part, int percent) {
                if (percent < 0) return;
                const int filled = percent * kBarWidth / 100;
                line += std::string(part) + " [" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') +
                        "] " + std::to_string(percent) + "%  ";
            };
            if (slot.phase == Slot::Phase::kRunning) {
                bar("FPGA", slot.fpgaPercent);
                bar("Serial flash", slot.eepromPercent);
            } else {
                line += slot.phase == Slot::Phase::kRemove ? "remove the box" : "waiting for a box";
            }
            fprintf(stderr, "%s\n", line.c_str());
        }
        barLines_ = static_cast<int>(slots_.size());
        fflush(stderr);
    }

    void ClearBars() {
        if (!drawBars_ || barLines_ == 0) return;
        fprintf(stderr, "\033[%dA\033[J", barLines_);
        barLines_ = 0;
    }

    int Summary() {
        ClearBars();
        drawBars_ = false;
        const int failed = runs_ - passed_;
        out_.Say("station stopped: " + std::to_string(runs_) + " runs, " + std::to_string(passed_) + " passed, " +
                 std::to_string(failed) + " failed");
        std::string slots = "[";
        for (const auto& [name, slot] : slots_) {
            out_.Say("  slot " + name + ": " + std::to_string(slot.runs) + " runs, " + std::to_string(slot.passed) +
                     " passed, " + std::to_string(slot.runs - slot.passed) + " failed");
            if (slots.size() > 1) slots += ',';
            slots += JsonObject()
                         .Text("slot", name)
                         .Number("runs", slot.runs)
                         .Number("passed", slot.passed)
                         .Number("failed", slot.runs - slot.passed)
                         .Str();
        }
        JsonObject summary = JsonObject()
                                 .Text("event", "summary")
                                 .Number("runs", runs_)
                                 .Number("passed", passed_)
                                 .Number("failed", failed)
                                 .Raw("slots", slots + "]");
        if (serialFailed_) summary.Text("serialFailure", serialFailure_);
        out_.Emit(summary);
        return failed || logFailed_ || serialFailed_ ? kExitFailed : kExitOk;
    }

    const GlobalOptions& options_;
    const RunOptions& run_;
    RealClock wall_;             // the station's own waiting is on real time, whatever its workers model
    uint64_t limitUs_ = 0;       // each board's time limit
    bool interruptKilled_ = false;  // workers were killed for not ending after a second interrupt
    std::string snapshots_;      // the directory of the shift's images
    std::string fpgaImage_;      // the shift's FPGA data image; empty: the FPGA step is off
    std::string eepromImage_;    // the shift's serial-flash image; empty: that step is off
    StationOutput& out_;
    RunSerials& serials_;
    bool serialFailed_ = false;
    std::string serialFailure_;  // why the station stopped for its serials
    bool drawBars_;
    int barLines_ = 0;
    std::unique_ptr<HidBackend> backend_;
    sim::SimulatorOptions simulatorOptions_;
    sim::SimBackend* simulator_ = nullptr;
    bool scripted_ = false;
    std::unique_ptr<HotplugMonitor> monitor_;
    int wake_[2] = {-1, -1};
    HotplugQueue events_;
    std::string self_;
    std::map<std::string, Slot> slots_;
    int runs_ = 0;
    int passed_ = 0;
    int boardsStarted_ = 0;
    bool logFailed_ = false;
};

}  // namespace

int RunGang(const GlobalOptions& options, const RunOptions& run, StationOutput& out, RunSerials& serials) {
    g_gangInterrupts = 0;
    auto previousInt = std::signal(SIGINT, OnGangInterrupt);
    auto previousTerm = std::signal(SIGTERM, OnGangInterrupt);
    int status;
    {
        GangStation station(options, run, out, serials);
        status = station.Serve();
    }
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
    return status;
}

}  // namespace vexu::station
