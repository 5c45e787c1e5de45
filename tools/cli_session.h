// What every command that reaches a box shares: the box session (HID
// services, device manager, hot-plug), the images from the executable or
// from files, and the output — progress bars on a terminal, or one JSON
// object per line for scripts and station software.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "link/dev_manage.h"
#include "platform/hotplug.h"
#include "platform/json.h"
#include "platform/messages.h"
#include "sim/simulator.h"
#include "tools/cli.h"

namespace vexu::cli {

// Posted to the command's own queue when the hot-plug monitor has an event
// for the device manager.
constexpr uint32_t WM_HOTPLUG_EVENT = WM_USER + 102;

// The command's output. Human text goes to stdout, failures and bars to
// stderr; with --json every event is one JSON object on a line of stdout:
//   {"event":"progress","part":"fpga","percent":42,"elapsedSeconds":11.204}
//   {"event":"log","text":"\r\nUpdating Program..."}
//   {"event":"result","command":"run","ok":true,"exit":0,...}
class Reporter {
public:
    Reporter(const GlobalOptions& options, const char* command);
    ~Reporter();
    Reporter(const Reporter&) = delete;
    Reporter& operator=(const Reporter&) = delete;

    bool Json() const { return json_; }
    const char* Command() const { return command_; }

    // Which bars a terminal shows; both start empty, their steps not
    // started.
    void ShowBars(bool fpga, bool eeprom);
    // A text taken from the run text channel with its wParam and the time
    // it was posted (system clock): a progress command moves its bar,
    // anything else is a log text.
    void RunText(const std::string& text, WPARAM wParam, uint64_t postedUs);
    // Draws the bars again, at most once a second, so that the times move
    // while the percentages stand still.
    void Tick();
    // Ends the bar line so that other output starts on a line of its own.
    void EndBars();

    // A line for a person (stdout); nothing with --json.
    void Say(const std::string& line);
    // An event for a script (one JSON line); nothing without --json.
    void Emit(const JsonObject& event);
    // The command's result object with its common members; add to it and
    // hand it to Finish. A report log that could not be written turns a
    // success into exit status 1 and adds "reportLogFailure".
    JsonObject Result(int exitCode, const std::string& failure) const;
    // The same without "failure", for results that carry it among others.
    JsonObject ResultHead(int exitCode) const;
    // Prints the failure (stderr, also with --json) and the result object;
    // returns exitCode (1 instead of 0 when the report log failed).
    int Finish(int exitCode, const std::string& failure, const JsonObject& result);
    // Finish with just the common members.
    int Finish(int exitCode, const std::string& failure = {});

    // How long a step has been running, on the system clock (modelled time
    // with the simulator): from its first progress text, until the next
    // step started. The FPGA step starts with the run; the serial-flash step
    // when its bar is set to 0 with the FPGA bar at 100 or not shown (the
    // 0 the run posts for it at its start is not its start).
    class StepClock {
    public:
        void Start(uint64_t nowUs);
        void Stop(uint64_t nowUs);
        bool Started() const { return started_; }
        bool Running() const { return started_ && !stopped_; }
        uint64_t ElapsedUs(uint64_t nowUs) const;

    private:
        bool started_ = false;
        bool stopped_ = false;
        uint64_t startUs_ = 0;
        uint64_t stopUs_ = 0;
    };

private:
    void DrawBars();

    bool json_;
    bool drawBars_;
    const char* command_;
    bool showFpga_ = false;
    bool showEeprom_ = false;
    int fpgaPercent_ = 0;
    int eepromPercent_ = 0;
    StepClock fpgaClock_;
    StepClock eepromClock_;
    bool barsShown_ = false;
    std::chrono::steady_clock::time_point lastDraw_;
};

// "m:ss" (or "h:mm:ss") of a time.
std::string ClockText(uint64_t us);
// What a bar shows beside its percentage: the step's time so far and, from
// the rate so far, an estimate of the time left ("0:12, 0:31 left"); a
// step not started shows nothing, a finished one (100) its time alone.
std::string StepTimes(int percent, bool started, uint64_t elapsedUs);

// Takes each run text as it is posted and hands it to the reporter: the
// window of a command whose job runs on the command's own thread.
class ChannelReader : public MessageTarget {
public:
    explicit ChannelReader(Reporter& out) : out_(out) {}
    void Post(uint32_t message, WPARAM wParam, LPARAM lParam) override;

private:
    Reporter& out_;
};

// Forwards what the run posts to a command's queue and notes, for each run
// text, the time it was posted: the command's thread takes the texts later,
// and with the simulator's virtual time the run may be seconds further by
// then.
class TimedTextTarget : public MessageTarget {
public:
    explicit TimedTextTarget(MessageTarget& queue) : queue_(queue) {}
    void Post(uint32_t message, WPARAM wParam, LPARAM lParam) override;
    // The post time of the oldest run text not yet taken (now when none is
    // noted).
    uint64_t TakePostTime();

private:
    MessageTarget& queue_;
    std::mutex mutex_;
    std::deque<uint64_t> times_;
};

// Why a command found no box it could use, and its exit status: a box in
// use by another program (4), one this user may not open (5), or none (3).
struct NoBox {
    int exit;
    std::string text;
};
// boxPath: the box asked for with --box (empty: any).
NoBox NoBoxFailure(const std::vector<BoxRefusal>& refusals, const std::string& boxPath);

// The box: HID services from the options, the device manager started on
// them, and, when asked for, the hot-plug monitor. Everything stops when
// the session ends.
class BoxSession {
public:
    BoxSession() = default;
    ~BoxSession();
    BoxSession(const BoxSession&) = delete;
    BoxSession& operator=(const BoxSession&) = delete;

    // Makes the HID services and starts the device manager, which reports
    // the box's arrival and removal to deviceEvents (null: nobody listens).
    bool Open(const GlobalOptions& options, MessageTarget* deviceEvents, std::string& error);
    // Follows arrivals and removals: each event is queued and owner gets
    // WM_HOTPLUG_EVENT; the owner then calls HandleHotplug on its thread.
    bool StartHotplug(MessageTarget* owner);
    void HandleHotplug();

    bool HasBox() const;
    // Why there is no box to use (after Open found none).
    NoBox Missing() const;
    HidBackend& Backend() { return *backend_; }
    // The simulated box, or null for a real one.
    sim::SimBackend* Simulator();
    const sim::SimulatorOptions& SimulatorChoices() const { return simulatorOptions_; }
    // Traffic and modelled time of the simulated box; empty for a real one.
    std::string Summary();
    // The same as members of a result object ("simulation":{...}); nothing
    // for a real box.
    void AddSummary(JsonObject& result);
    // Prints Summary on stderr for a person; nothing with --json.
    void SaySummary(const Reporter& out);

private:
    // The simulated board's flash contents to the file the scenario names
    // (flash-save=FILE), when the session ends.
    void SaveSimulatedFlash();

    std::unique_ptr<HidBackend> backend_;
    sim::SimulatorOptions simulatorOptions_;
    std::string boxPath_;  // the box the command was given (--box); empty: the first
    RecordingTarget ignoredEvents_;
    bool started_ = false;
    std::unique_ptr<HotplugMonitor> monitor_;
    HotplugQueue events_;
};

// Fill the image buffers from the file the options name, or else from the
// executable's resources. False with a reason when there is no image.
bool LoadFpgaImage(const GlobalOptions& options, std::string& error);
bool LoadEepromImage(const GlobalOptions& options, std::string& error);

// The end of every command that talks to a box: a report log that could
// not be written is told (once) and turns a success into exit status 1.
int FinishBoxCommand(int exitCode);

// Engine texts of a report as a terminal shows them: "\r\n" becomes "\n".
std::string TerminalText(const std::string& text);

}  // namespace vexu::cli
