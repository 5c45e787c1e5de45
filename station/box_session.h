// The box a command or station works with: the HID services from the
// options (the simulated box or hidapi), the device manager started on them,
// hot-plug, the images from files or from the executable, and the report
// log's failure that turns a success into a failure.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/dev_manage.h"
#include "platform/hotplug.h"
#include "platform/json.h"
#include "platform/messages.h"
#include "sim/simulator.h"
#include "station/station_options.h"
#include "station/station_output.h"

namespace vexu::station {

// Posted to the command's own queue when the hot-plug monitor has an event
// for the device manager.
constexpr uint32_t WM_HOTPLUG_EVENT = WM_USER + 102;

// The HID services the options ask for: the simulated box or hidapi.
// Returns null and writes the reason to error when they cannot be had.
// simulator receives the simulator's own choices when it is the simulator.
std::unique_ptr<HidBackend> MakeBackend(const GlobalOptions& options, std::string& error,
                                        sim::SimulatorOptions* simulator = nullptr);
// Whether the --simulate keys make a simulated box and board; false with
// the reason (a usage error) when they do not.
bool CheckSimulateKeys(const std::string& keys, std::string& error);
// The --simulate option's help: what it does and every scenario key.
std::string SimulateHelp();
// One line on the simulated box's traffic and modelled time; empty for a
// real box.
std::string SimulationSummary(HidBackend& backend);

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
    void SaySummary(StationOutput& out);

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
// The exit status with the report log's failure: 1 instead of 0.
int WithReportLog(int exitCode);
// Tells the report log's failure on stderr, once.
void TellReportLog();

// Engine texts of a report as a terminal shows them: "\r\n" becomes "\n".
std::string TerminalText(const std::string& text);

}  // namespace vexu::station
