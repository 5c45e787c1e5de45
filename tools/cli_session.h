// What every command that reaches a box shares: the box session (HID
// services, device manager, hot-plug), the images from the executable or
// from files, and the output — progress bars on a terminal, or one JSON
// object per line for scripts and station software.
#pragma once

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
//   {"event":"progress","part":"fpga","percent":42}
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

    // Which bars a terminal shows; both start empty.
    void ShowBars(bool fpga, bool eeprom);
    // A text taken from the run text channel with its wParam: a progress
    // command moves its bar, anything else is a log text.
    void RunText(const std::string& text, WPARAM wParam);
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

private:
    void DrawBars();

    bool json_;
    bool drawBars_;
    const char* command_;
    bool showFpga_ = false;
    bool showEeprom_ = false;
    int fpgaPercent_ = 0;
    int eepromPercent_ = 0;
    bool barsShown_ = false;
};

// Takes each run text as it is posted and hands it to the reporter: the
// window of a command whose job runs on the command's own thread.
class ChannelReader : public MessageTarget {
public:
    explicit ChannelReader(Reporter& out) : out_(out) {}
    void Post(uint32_t message, WPARAM wParam, LPARAM lParam) override;

private:
    Reporter& out_;
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
    RecordingTarget ignoredEvents_;
    bool started_ = false;
    std::unique_ptr<HotplugMonitor> monitor_;
    std::mutex eventsMutex_;
    std::deque<HotplugEvent> events_;
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
