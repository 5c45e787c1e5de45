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

#include <csignal>
#include <cstdio>
#include <map>

#include "link/dev_manage.h"
#include "platform/json_reader.h"
#include "platform/process.h"
#include "platform/terminal.h"
#include "run/run_record.h"
#include "tools/cli.h"
#include "tools/cli_session.h"
#include "tools/run_serials.h"

namespace vexu::cli {

namespace {

// Interrupts so far: the first stops new runs (those in progress finish),
// the second has every worker record its run as interrupted and end.
volatile std::sig_atomic_t g_gangInterrupts = 0;

extern "C" void OnGangInterrupt(int) { g_gangInterrupts = g_gangInterrupts + 1; }

constexpr int kPollMs = 100;
constexpr int kBarWidth = 20;

// Scenario keys that concern the station's own simulated boxes (who brings
// them and whether they start plugged), not a worker's.
bool StationOnlyKey(const std::string& item) {
    const std::string key = item.substr(0, item.find('='));
    return key == "unplugged" || key == "station-boxes";
}

std::string WorkerKeys(const std::string& keys) {
    std::string out;
    size_t start = 0;
    while (start <= keys.size()) {
        size_t comma = keys.find(',', start);
        if (comma == std::string::npos) comma = keys.size();
        const std::string item = keys.substr(start, comma - start);
        if (!item.empty() && !StationOnlyKey(item)) {
            if (!out.empty()) out += ',';
            out += item;
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
};

class GangStation {
public:
    GangStation(const GlobalOptions& options, const RunOptions& run, Reporter& out, RunSerials& serials)
        : options_(options), run_(run), out_(out), serials_(serials), drawBars_(!options.json && IsTerminal(stderr)) {}

    ~GangStation() {
        if (monitor_) monitor_->Stop();
        for (int fd : wake_)
            if (fd >= 0) close(fd);
    }

    int Serve() {
        std::string error;
        if (!CheckRunLog(error)) return out_.Finish(kExitFailed, "station not started: " + error);
        backend_ = MakeBackend(options_, error, &simulatorOptions_);
        if (!backend_) return out_.Finish(kExitUsage, error);
        self_ = SelfExecutable();
        if (self_.empty()) return out_.Finish(kExitFailed, "cannot tell where this program is to start its workers");
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

    // The board's run ended: its serial is committed on a pass and released
    // otherwise. A serial whose end cannot be written stays reserved (it is
    // skipped later, never given twice) and the station stops.
    void SettleSerial(Slot& slot, bool passed) {
        if (!slot.serial) return;
        std::string error;
        if (!serials_.Settle(*slot.serial, passed, error)) {
            Say(error + ": the serial " + slot.serial->text + " stays reserved there and is never given to another board");
            Say("station stopped: the serial-number state file cannot be written");
            serialFailure_ = error;
            serialFailed_ = true;
        }
        slot.serial.reset();
    }

    void StartRuns() {
        if (Stopping()) return;
        for (auto& [name, slot] : slots_) {
            if (slot.phase != Slot::Phase::kEmpty || slot.path.empty()) continue;
            if (scripted_ && slot.boardsLeft == 0) continue;
            if (!ReserveSerial(slot)) break;
            std::vector<std::string> args = {self_, "--json", "--box", slot.path};
            if (options_.simulate) args.push_back("--simulate=" + WorkerKeys(options_.simulateKeys));
            if (!options_.fpgaImage.empty()) args.insert(args.end(), {"--fpga-image", options_.fpgaImage});
            if (!options_.eepromImage.empty()) args.insert(args.end(), {"--eeprom-image", options_.eepromImage});
            args.insert(args.end(), {"run", "--slot", slot.name});
            if (run_.noFpga) args.push_back("--no-fpga");
            if (run_.noEeprom) args.push_back("--no-eeprom");
            for (const std::string& arg : FlashJobArguments(run_.flashJob)) args.push_back(arg);
            if (slot.serial) args.insert(args.end(), {"--serial-at", *run_.serialAt, "--serial-value", slot.serial->text});
            std::string error;
            slot.worker = ChildProcess::Start(args, error);
            if (!slot.worker) {
                Say("slot " + slot.name + ": " + error);
                SettleSerial(slot, false);
                slot.phase = Slot::Phase::kRemove;
                continue;
            }
            if (scripted_) --slot.boardsLeft;
            slot.phase = Slot::Phase::kRunning;
            slot.output.clear();
            slot.errors.clear();
            slot.resultSeen = false;
            slot.fpgaPercent = run_.noFpga ? -1 : 0;
            slot.eepromPercent = run_.noEeprom ? -1 : 0;
        }
        Draw();
    }

    void Loop() {
        bool secondInterruptPassedOn = false;
        for (;;) {
            if (g_gangInterrupts >= 2 && !secondInterruptPassedOn) {
                // The workers record their runs as interrupted and end.
                for (auto& [name, slot] : slots_)
                    if (slot.worker) kill(slot.worker->Pid(), SIGINT);
                usleep(200'000);
                for (auto& [name, slot] : slots_)
                    if (slot.worker) kill(slot.worker->Pid(), SIGINT);
                secondInterruptPassedOn = true;
            }
            std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}};
            for (auto& [name, slot] : slots_) {
                if (!slot.worker) continue;
                if (slot.worker->OutputFd() >= 0) fds.push_back({slot.worker->OutputFd(), POLLIN, 0});
                if (slot.worker->ErrorFd() >= 0) fds.push_back({slot.worker->ErrorFd(), POLLIN, 0});
            }
            poll(fds.data(), fds.size(), kPollMs);
            TakeEvents();
            for (auto& [name, slot] : slots_) Follow(slot);
            StartRuns();
            if (!AnyRunning() && (Stopping() || (scripted_ && AllBoardsDone()))) return;
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
        if (!slot.resultSeen) {
            // A worker that crashed or was killed: the board's run failed.
            std::string reason = "the run's worker ended without a result (" + DescribeWaitStatus(status) + ")";
            const std::string lastError = LastLine(slot.errors);
            if (!lastError.empty()) reason += ": " + lastError;
            Finished(slot, false, reason, JsonValue());
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
            Emit(WithSlot(line, slot.name));
            Draw();
        } else if (kind == "result") {
            slot.resultSeen = true;
            const int exit = static_cast<int>(event["exit"].number);
            if (exit == kExitNoBox || exit == kExitBoxInUse || exit == kExitBoxDenied || exit == kExitUsage) {
                // No board was run: the box went before the run began, or
                // cannot be had, or the worker was started wrong.
                Say("slot " + slot.name + ": " + event["failure"].text);
                SettleSerial(slot, false);
                slot.phase = slot.path.empty() ? Slot::Phase::kEmpty : Slot::Phase::kRemove;
                if (scripted_) ++slot.boardsLeft;
                return;
            }
            if (event.Has("runLogFailure")) {
                Say("slot " + slot.name + ": " + event["runLogFailure"].text + ": this run is not in the run log");
                logFailed_ = true;
            }
            Finished(slot, event["ok"].boolean, RunFailureText(event), event);
        } else {
            Emit(WithSlot(line, slot.name));
        }
    }

    // "run failed in the FPGA step (engine code 10): ..." from a result line.
    static std::string RunFailureText(const JsonValue& result) {
        if (result["ok"].boolean) return {};
        std::string text = "run failed in the ";
        text += result["step"].text == "fpga" ? "FPGA step" : "serial-flash step";
        if (result.Has("engineCode") && result["engineCode"].kind == JsonValue::Kind::kNumber)
            text += " (engine code " + std::to_string(static_cast<int>(result["engineCode"].number)) + ")";
        std::string failure = TerminalText(result["failure"].text);
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
        SettleSerial(slot, ok);
        ++slot.runs;
        slot.passed += ok;
        ++runs_;
        passed_ += ok;
        char head[160];
        snprintf(head, sizeof head, "%s #%d  slot %s #%d  (%d passed, %d failed)  ", ok ? "PASS" : "FAIL", runs_,
                 slot.name.c_str(), slot.runs, passed_, runs_ - passed_);
        Say(head + (serial ? "serial " + *serial + "  " : "") + (ok ? StepTimes(result) : failure));
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
    Reporter& out_;
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
    bool logFailed_ = false;
};

}  // namespace

int RunGang(const GlobalOptions& options, const RunOptions& run, Reporter& out, RunSerials& serials) {
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

}  // namespace vexu::cli
