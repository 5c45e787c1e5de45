// "vexu-cli run": the start button without the window. The same run worker
// performs the run and posts the same messages; this command's thread plays
// the window: it takes the run texts, follows the box's arrival and
// removal, and waits for the end of the run.
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>

#include "common/app_setting.h"
#include "engine/dp_state.h"
#include "link/dev_manage.h"
#include "platform/clock.h"
#include "platform/interrupt.h"
#include "platform/message_queue.h"
#include "platform/text_encoding.h"
#include "platform/trace.h"
#include "run/eeprom_job.h"
#include "common/image_buffers.h"
#include "run/image_load.h"
#include "common/run_messages.h"
#include "run/thread_action.h"
#include "station/box_session.h"
#include "station/station_options.h"
#include "station/run_serials.h"
#include "station/station_run.h"
#ifdef VEXU_STATION_DB
#include "station/ledger.h"
#endif

namespace vexu::station {

namespace {

// How often the command's thread looks at the interrupt flag while it waits.
constexpr auto kInterruptPoll = std::chrono::milliseconds(100);
// A box held by another program is tried again every this many polls.
constexpr int kBusyRetryWaits = 10;

// The settings record as the window loads it: from the executable, bytes
// as they are; a record that cannot be loaded reads as zero.
AppSetting EmbeddedSetting() {
    uint8_t bytes[kAppSettingSize];
    LoadFile(bytes, sizeof bytes, kAppSettingResourceId, kAppSettingResourceType);
    return AppSettingFromBytes(bytes, sizeof bytes);
}

std::string Seconds(uint64_t us) {
    char text[32];
    snprintf(text, sizeof text, "%.3f s", static_cast<double>(us) / 1e6);
    return text;
}

// One line per step: its result, how long it took and what it found.
std::string StepLine(const char* name, const RunStepRecord& step, const std::string& found) {
    char head[40];
    snprintf(head, sizeof head, "%-13s %s", name, RunOutcomeText(step.outcome));
    std::string line = head;
    if (StepRan(step)) {
        line.resize(22, ' ');
        line += Seconds(step.durationUs);
        if (!found.empty()) line += "   " + found;
    }
    return line;
}

std::string FpgaFound(const RunRecord& record) {
    if (!record.fpgaId) return {};
    char text[32];
    snprintf(text, sizeof text, "ID 0x%08X", static_cast<unsigned>(*record.fpgaId));
    return text;
}

std::string TrimmedText(const std::string& text) {
    std::string out = TerminalText(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

struct RunOutcome {
    bool ok = false;
    WPARAM step = 0;          // the step last started, as WM_RUN_END carries it
    RunRecord record;
    std::optional<uint8_t> engineCode;  // when the FPGA step failed
    std::string logError;     // why the record is not in the run log; empty when it is
    uint64_t durationUs = 0;  // from the start to the end message
    std::string serialError;  // why the serial's end is not in the state file; empty when it is
};

// The line under the steps: the whole run's result and time.
std::string WholeRunLine(const RunOutcome& run) {
    char head[40];
    snprintf(head, sizeof head, "%-13s %s", "Whole run", run.ok ? "ok" : "failed");
    std::string line = head;
    line.resize(22, ' ');
    return line + Seconds(run.durationUs);
}

// The run's jobs: with serial numbers, the serial-flash step programs the
// board's own copy of the image and the record names its serial.
RunJobs JobsFor(const RunSerials& serials, const EepromJobOptions& flashJob) {
    RunJobs jobs = RunJobs::Real();
    jobs.runEeprom = [&serials, flashJob] {
        if (!serials.Active()) return RunEepromJob(g_eepromData, g_eepromSize, flashJob);
        const std::vector<uint8_t>& image = serials.Image();
        return RunEepromJob(image.data(), static_cast<uint32_t>(image.size()), flashJob);
    };
    if (!serials.Active()) return jobs;
    jobs.serialNumber = [&serials] { return serials.Serial(); };
    jobs.eepromImage = [&serials]() -> const std::vector<uint8_t>& { return serials.Image(); };
    return jobs;
}

class Runner {
public:
    Runner(const GlobalOptions& options, StationOutput& out, int doFpga, int doEeprom, RunSerials& serials,
           const std::string& slot, const EepromJobOptions& flashJob)
        : options_(options), out_(out), doFpga_(doFpga), doEeprom_(doEeprom), serials_(serials),
          worker_(JobsFor(serials, flashJob)) {
        worker_.SetSlot(slot);
    }
    ~Runner() { FreeMsgQueue(); }

    bool Open(std::string& error) {
        if (!session_.Open(options_, &queue_, error)) return false;
        InitMsgQueue(&texts_);
        hotplug_ = session_.StartHotplug(&queue_);
        return true;
    }

    int Single() {
        if (!session_.HasBox()) {
            const NoBox noBox = session_.Missing();
            return out_.Finish(noBox.exit, noBox.text);
        }
        std::string serialError;
        bool usedUp = false;
        if (!NextSerial(serialError, usedUp)) return out_.Finish(usedUp ? kExitUsage : kExitFailed, serialError);
        const RunOutcome run = RunOnce();
        out_.Say(StepLine("FPGA", run.record.fpga, FpgaFound(run.record)));
        out_.Say(StepLine("Serial flash", run.record.eeprom, run.record.chip.value_or("")));
        if (run.record.serialNumber) out_.Say("Serial number " + *run.record.serialNumber);
        out_.Say(WholeRunLine(run));
        const int exitCode = run.ok ? kExitOk : kExitFailed;
        JsonObject result = Result(run, exitCode);
        session_.AddSummary(result);
        if (run.ok) out_.Say("run succeeded");
        TellRunLog(run);
        TellSerialState(run);
        const int finished = out_.Finish(exitCode, run.ok ? "" : FailureText(run), result);
        session_.SaySummary(out_);
        return finished;
    }

    int Station() {
        if (!hotplug_) return out_.Finish(kExitFailed, "cannot follow the arrival and removal of programmer boxes");
        station_ = true;
        // A station must not program boards it cannot account for.
        std::string logError;
        if (!CheckRunLog(logError))
            return out_.Finish(kExitFailed, "station not started: " + logError);
        bool logFailed = false;
        bool serialFailed = false;
        // The simulator may play the operator who brings and takes the boxes.
        sim::SimBackend* simulator = session_.Simulator();
        uint32_t boxesLeft = simulator ? session_.SimulatorChoices().stationBoxes : 0;
        const bool scripted = boxesLeft > 0;
        int runs = 0;
        int passed = 0;
        for (;;) {
            if (!session_.HasBox()) {
                if (scripted) {
                    if (boxesLeft == 0) break;
                    simulator->Plug();
                } else {
                    StationState("waiting", "station: waiting for a programmer box (Ctrl-C to stop)");
                }
                if (!WaitForBox()) break;
            }
            if (scripted) --boxesLeft;
            std::string serialError;
            bool usedUp = false;
            if (!NextSerial(serialError, usedUp)) {
                out_.EndBars();
                fprintf(stderr, "%s\n", serialError.c_str());
                fflush(stderr);
                out_.Say(usedUp ? "station stopped: no serial number left" : "station stopped: " + serialError);
                serialFailure_ = serialError;
                serialFailed = true;
                break;
            }
            const RunOutcome run = RunOnce();
            ++runs;
            passed += run.ok;
            ReportStationRun(run, runs, passed);
            if (!run.logError.empty()) {
                TellRunLog(run);
                out_.Say("station stopped: the run log cannot be written");
                logFailed = true;
                break;
            }
            if (!run.serialError.empty()) {
                TellSerialState(run);
                out_.Say("station stopped: the serial-number state file cannot be written");
                serialFailure_ = run.serialError;
                serialFailed = true;
                break;
            }
            if (InterruptWatch::Interrupted()) break;
            if (session_.HasBox()) {
                StationState("remove", "station: remove the box");
                if (scripted) simulator->Unplug();
                if (!WaitFor([this] { return !session_.HasBox(); })) break;
            }
        }
        const int failed = runs - passed;
        out_.Say("station stopped: " + std::to_string(runs) + " runs, " + std::to_string(passed) + " passed, " +
                 std::to_string(failed) + " failed");
        JsonObject summary;
        summary.Text("event", "summary").Number("runs", runs).Number("passed", passed).Number("failed", failed);
        if (serialFailed) summary.Text("serialFailure", serialFailure_);
        session_.AddSummary(summary);
        out_.Emit(summary);
        session_.SaySummary(out_);
        return failed || logFailed || serialFailed ? kExitFailed : kExitOk;
    }

private:
    // One run on the worker, the messages handled as the window handles
    // them, until its end message.
    RunOutcome RunOnce() {
        out_.ShowBars(doFpga_ == 1, doEeprom_ == 1);
        current_ = InProgress{};
        current_.record.startTime = GetClock().CalendarSeconds();
        current_.record.version = ProgramVersion();
        const HidInterfaceInfo box = CDevManage::HeldBox();
        current_.record.box = box.path;
        current_.record.location = box.location;
        current_.record.boxSerial = box.serial;
        current_.record.slot = worker_.Slot();
        current_.record.serialNumber = serials_.Serial();
        current_.stepStartUs = GetClock().NowUs();
        InterruptWatch::SetRunInProgress(true);
        const uint64_t startUs = GetClock().NowUs();
        worker_.StartAction(doFpga_, doEeprom_, &texts_);
        bool interruptNoted = false;
        RunOutcome run;
        for (;;) {
            if (InterruptWatch::Level() == 2 && worker_.IsRunning()) EndInterrupted();
            MessageQueue::Message m;
            if (!queue_.Wait(m, kInterruptPoll)) {
                out_.Tick();
                if (InterruptWatch::Interrupted() && !interruptNoted) {
                    out_.EndBars();
                    // A station answers at once with what it waits for.
                    if (station_) fprintf(stderr, "stopping after the 1 runs in progress\n");
                    fprintf(stderr, "interrupted: the run in progress is finished first (Ctrl-C again ends it now)\n");
                    interruptNoted = true;
                }
                continue;
            }
            if (m.message == WM_RUN_END) {
                run.durationUs = GetClock().NowUs() - startUs;
                worker_.End();
                run.step = m.wParam;
                run.ok = m.lParam == RUN_OK;
                break;
            }
            Dispatch(m);
        }
        InterruptWatch::SetRunInProgress(false);
        out_.EndBars();
        run.record = worker_.LastRecord();
        run.logError = worker_.LastRecordError();
        // The serial is taken for good only by a board that passed, and
        // given to the next board only when this one certainly never got
        // it: its serial-flash step did not run, or found no chip to write.
        if (serials_.Active())
            serials_.Finish(SerialEndOfRun(run.ok, StepRan(run.record.eeprom) && run.record.chip &&
                                                       !run.record.chip->empty()),
                            run.serialError);
        if (!run.ok && run.step == STEP_FPGA) run.engineCode = g_dpState.errorCode;
        return run;
    }

    // What this thread knows of the run in progress, from its messages: the
    // run's record as far as it goes and when the step in progress began.
    struct InProgress {
        RunRecord record;
        bool fpgaDone = false;  // the FPGA step posted its 100 percent
        uint64_t stepStartUs = 0;
    };

    void NoteRunText(const std::string& text, WPARAM wParam) {
        if (ClassifyRunText(text) != RunTextKind::kFpgaProgress || wParam != 100 || current_.fpgaDone) return;
        current_.fpgaDone = true;
        current_.record.fpga = {RunStepRecord::Outcome::kOk, GetClock().NowUs() - current_.stepStartUs};
        current_.stepStartUs = GetClock().NowUs();
    }

    // A second interrupt during a run: the run is recorded as interrupted,
    // in the step it had reached, and the program ends at once as the
    // interrupt ends it.
    [[noreturn]] void EndInterrupted() {
        RunRecord record = current_.record;
        const bool inFpga = doFpga_ == 1 && !current_.fpgaDone;
        const RunStepRecord interrupted{RunStepRecord::Outcome::kFailed, GetClock().NowUs() - current_.stepStartUs};
        if (inFpga) {
            record.fpga = interrupted;
            if (doEeprom_ == 1) record.eeprom.outcome = RunStepRecord::Outcome::kSkipped;
        } else {
            record.eeprom = interrupted;
        }
        record.ok = false;
        record.interrupted = true;
        record.failure = std::string("interrupted in the ") + (inFpga ? "FPGA step" : "serial-flash step");
        std::string logError;
        const bool logged = AppendRunRecord(record, logError);
        out_.EndBars();
        fprintf(stderr, "%s: %s\n", record.failure.c_str(),
                logged ? "the run is recorded as interrupted" : logError.c_str());
        fflush(stderr);
        JsonObject result = out_.ResultHead(InterruptWatch::ExitStatus());
        AddRunRecordFields(result, record);
        result.Text("step", inFpga ? "fpga" : "eeprom");
        if (!logged) result.Text("runLogFailure", logError);
        out_.Emit(result);
        InterruptWatch::EndNow();
    }

    // The serial for the board in hand, in its image; nothing to do without
    // serial numbers.
    bool NextSerial(std::string& error, bool& usedUp) {
        usedUp = false;
        return !serials_.Active() || serials_.NextBoard(error, usedUp);
    }

    // A serial whose end could not be written: it stays reserved in the
    // state file and is skipped later, never given to a second board.
    void TellSerialState(const RunOutcome& run) {
        if (run.serialError.empty()) return;
        out_.EndBars();
        fprintf(stderr, "%s: the serial %s stays reserved there and is never given to another board\n",
                run.serialError.c_str(), run.record.serialNumber.value_or("").c_str());
        fflush(stderr);
    }

    // A record that could not be written: said on stderr (and in the
    // result line).
    void TellRunLog(const RunOutcome& run) {
        if (run.logError.empty()) return;
        out_.EndBars();
        fprintf(stderr, "%s: this run is not in the run log\n", run.logError.c_str());
        fflush(stderr);
    }

    void Dispatch(const MessageQueue::Message& m) {
        switch (m.message) {
            case WM_RUN_TEXT: {
                const std::string text = GetMsgText();
                NoteRunText(text, m.wParam);
                out_.RunText(text, m.wParam, texts_.TakePostTime());
                break;
            }
            case WM_HOTPLUG_EVENT: session_.HandleHotplug(); break;
            case WM_DEVICE_REMOVE:
                // The box went away: its transfers now fail, so the run ends
                // soon; wait for it as the window does.
                worker_.End();
                break;
            default: break;
        }
    }

    // Handles messages until done() holds; false when interrupted first.
    bool WaitFor(const std::function<bool()>& done) {
        for (;;) {
            if (done()) return true;
            if (InterruptWatch::Interrupted()) return false;
            MessageQueue::Message m;
            if (queue_.Wait(m, kInterruptPoll)) Dispatch(m);
        }
    }

    // Waits for a box. One that is there but held by another program, or
    // that may not be opened, is said with why (once per change), and tried
    // again about every second: nothing else would tell when it is free.
    bool WaitForBox() {
        std::string told;
        int waits = 0;
        return WaitFor([this, &told, &waits] {
            if (session_.HasBox()) return true;
            const NoBox why = session_.Missing();
            if ((why.exit == kExitBoxInUse || why.exit == kExitBoxDenied) && why.text != told) {
                out_.Say("station: waiting: " + EscapedText(why.text));
                out_.Emit(JsonObject().Text("event", "station").Text("state", "waiting").Text("reason", why.text));
                told = why.text;
            }
            if (++waits % kBusyRetryWaits == 0) CDevManage::FindDevice();
            return session_.HasBox();
        });
    }

    void StationState(const char* state, const std::string& line) {
        out_.Say(line);
        out_.Emit(JsonObject().Text("event", "station").Text("state", state));
    }

    std::string FailureText(const RunOutcome& run) const {
        std::string text = "run failed in the ";
        text += run.step == STEP_FPGA ? "FPGA step" : "serial-flash step";
        if (run.engineCode) text += " (engine code " + std::to_string(*run.engineCode) + ")";
        return text + ": " + TrimmedText(run.record.failure);
    }

    JsonObject Result(const RunOutcome& run, int exitCode) const {
        JsonObject result = out_.ResultHead(exitCode);
        AddRunRecordFields(result, run.record);
        if (run.step == STEP_FPGA)
            result.Text("step", "fpga");
        else if (run.step == STEP_EEPROM)
            result.Text("step", "eeprom");
        else
            result.Null("step");
        if (run.engineCode) result.Number("engineCode", *run.engineCode);
        if (!run.logError.empty()) result.Text("runLogFailure", run.logError);
        if (!run.serialError.empty()) result.Text("serialStateFailure", run.serialError);
        return result;
    }

    void ReportStationRun(const RunOutcome& run, int runs, int passed) {
        char count[80];
        snprintf(count, sizeof count, "#%d  (%d passed, %d failed)  ", runs, passed, runs - passed);
        const std::string serial = run.record.serialNumber ? "serial " + *run.record.serialNumber + "  " : "";
        if (run.ok) {
            std::string line = std::string("PASS ") + count + serial;
            if (StepRan(run.record.fpga)) line.append("FPGA ").append(Seconds(run.record.fpga.durationUs));
            if (StepRan(run.record.fpga) && StepRan(run.record.eeprom)) line.append(", ");
            if (StepRan(run.record.eeprom))
                line.append("serial flash ").append(Seconds(run.record.eeprom.durationUs));
            out_.Say(line);
        } else {
            out_.Say(std::string("FAIL ") + count + serial + FailureText(run));
        }
        JsonObject result = Result(run, run.ok ? kExitOk : kExitFailed);
        result.Number("run", runs).Number("passed", passed).Number("failed", runs - passed);
        out_.Emit(result);
    }

    const GlobalOptions& options_;
    StationOutput& out_;
    const int doFpga_;
    const int doEeprom_;
    RunSerials& serials_;
    std::string serialFailure_;  // why a station stopped for its serials
    // The command's message loop; it outlives the session that posts to it.
    MessageQueue queue_;
    // The run's texts reach it through this, with their post times.
    TimedTextTarget texts_{queue_};
    BoxSession session_;
    CThreadAction worker_;
    bool hotplug_ = false;
    bool station_ = false;
    InProgress current_;
};

}  // namespace

int RunStation(const GlobalOptions& options, const RunOptions& run, StationOutput& out) {
    // A gang station's worker finishes its board even if the station dies,
    // from its first moment: a station killed while the worker still loads
    // its images must not end it by a closed pipe or a hangup.
    if (!run.slot.empty()) OutliveParent();
    const AppSetting setting = EmbeddedSetting();
    // A part flag of the record other than 1 switches its part off, as in the window.
    const int doFpga = !run.noFpga && PartOn(setting.showFpga) ? 1 : 0;
    const int doEeprom = !run.noEeprom && PartOn(setting.showEeprom) ? 1 : 0;
    // A run with both parts off would pass without touching the board.
    if (doFpga != 1 && doEeprom != 1)
        return out.Finish(kExitUsage, "nothing to program: the settings record and the options switch both parts off");
    std::string error;
    if (doFpga == 1 && !LoadFpgaImage(options, error)) return out.Finish(kExitUsage, error);
    if (doEeprom == 1 && !LoadEepromImage(options, error)) return out.Finish(kExitUsage, error);
    // The serial numbers' ledger (or state file) is held until the command ends.
    RunSerials serials;
    StationLedger* serialLedger = nullptr;
#ifdef VEXU_STATION_DB
    // Every record goes into the station's database too, and the serials
    // are handed out from its ledger; with a line, the counter's serials
    // come from the line's pool.
    RunOptions withLine = run;
    if (withLine.lineDb.empty()) withLine.lineDb = LineDbFromEnvironment();
    if (withLine.stationName.empty() && std::getenv("VEXU_STATION_NAME"))
        withLine.stationName = std::getenv("VEXU_STATION_NAME");
    if (!kLineDbSupported && !withLine.lineDb.empty()) return out.Finish(kExitUsage, kLineDbUnsupported);
    if (withLine.serialLease && withLine.lineDb.empty())
        return out.Finish(kExitUsage, "--serial-lease is a lease from a line database: give --line-db too");
    // The serials of a counter or a serial file are handed out through the
    // station's ledger (a gang station's worker is handed its serial).
    const bool ledgerSerials = (withLine.serialFormat || withLine.serialFile) && withLine.serialAt && run.slot.empty();
    StationLedger stationLedger;
    LedgerOptions ledgerOptions;
    ledgerOptions.station = withLine.stationName;
    ledgerOptions.lineDb = withLine.lineDb;
    ledgerOptions.lease = withLine.serialLease;
    ledgerOptions.importState = DefaultSerialStatePath();
    ledgerOptions.importLog = RunLogPath();
    ledgerOptions.recordsOnly = !ledgerSerials;
    if (stationLedger.Open(ledgerOptions, error)) {
        if (ledgerSerials) serialLedger = &stationLedger;
        for (const std::string& note : stationLedger.ImportNotes()) fprintf(stderr, "%s\n", note.c_str());
        SetRunRecordSink([&stationLedger](const RunRecord& record) {
            RecordRow row = RowFromRecord(record, stationLedger.Station());
            std::string failure;
            if (!stationLedger.AddRecord(row, failure))
                fprintf(stderr, "the record is in the run log but not in the station database: %s\n",
                        failure.c_str());
        });
    } else if (ledgerSerials) {
        // As a damaged serial state file: nothing has been sent to a box.
        return out.Finish(withLine.lineDb.empty() ? kExitUsage : kExitFailed, error);
    } else {
        // The run log keeps the records (and says so when it cannot); the
        // database is for reports.
        if (withLine.lineDb.empty())
            vexu::Trace(error + ": records go to the run log only.\r\n");
        else
            fprintf(stderr, "%s: records go to the run log only\n", error.c_str());
    }
    struct SinkOff {
        ~SinkOff() { SetRunRecordSink(nullptr); }
    } sinkOff;
    const RunOptions& runWith = withLine;
#else
    const RunOptions& runWith = run;
#endif
    if (const int refused = serials.Prepare(runWith, doEeprom == 1, error, serialLedger);
        refused != kExitOk)
        return out.Finish(refused, error);
    for (const std::string& skipped : serials.Skipped()) {
        fprintf(stderr,
                "the serial %s was reserved by a run that never finished (the program ended or the power went): it "
                "is skipped and goes to no board\n",
                EscapedText(skipped).c_str());
        out.Emit(JsonObject().Text("event", "serialSkipped").Text("serial", skipped));
    }

    if (run.gang) {
        if (!run.station) return out.Finish(kExitUsage, "--gang is a way of station mode: give --station too");
        // Each worker would truncate the same file.
        if (!options.reportLog.empty()) return out.Finish(kExitUsage, "--report-log is for one box: not with --gang");
#ifdef _WIN32
        return out.Finish(kExitUsage, "--gang runs each box in a worker process of its own: on Linux only");
#else
        return RunGang(options, runWith, out, serials);
#endif
    }
    // Ctrl-C and a station's stop request end station mode between runs; a
    // run in progress is finished first (a half-programmed board is worse).
    InterruptWatch interrupts;
    Runner runner(options, out, doFpga, doEeprom, serials, run.slot, run.flashJob);
    if (!runner.Open(error)) return out.Finish(kExitFailed, error);
    return run.station ? runner.Station() : runner.Single();
}

}  // namespace vexu::station
