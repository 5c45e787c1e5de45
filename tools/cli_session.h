// The command's output: progress bars on a terminal, or one JSON object per
// line for scripts and station software.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "platform/json.h"
#include "platform/messages.h"
#include "station/station_output.h"
#include "tools/cli.h"

namespace vexu::cli {

// The command's output. Human text goes to stdout, failures and bars to
// stderr; with --json every event is one JSON object on a line of stdout:
//   {"event":"progress","part":"fpga","percent":42,"elapsedSeconds":11.204}
//   {"event":"log","text":"\r\nUpdating Program..."}
//   {"event":"result","command":"run","ok":true,"exit":0,...}
class Reporter : public station::StationOutput {
public:
    Reporter(const GlobalOptions& options, const char* command);
    ~Reporter();
    Reporter(const Reporter&) = delete;
    Reporter& operator=(const Reporter&) = delete;

    bool Json() const override { return json_; }
    const char* Command() const { return command_; }

    // Which bars a terminal shows; both start empty, their steps not
    // started.
    void ShowBars(bool fpga, bool eeprom) override;
    // A text taken from the run text channel with its wParam and the time
    // it was posted (system clock): a progress command moves its bar,
    // anything else is a log text.
    void RunText(const std::string& text, WPARAM wParam, uint64_t postedUs) override;
    // Draws the bars again, at most once a second, so that the times move
    // while the percentages stand still.
    void Tick() override;
    // Ends the bar line so that other output starts on a line of its own.
    void EndBars() override;

    // A line for a person (stdout); nothing with --json.
    void Say(const std::string& line) override;
    // An event for a script (one JSON line); nothing without --json.
    void Emit(const JsonObject& event) override;
    // The command's result object with its common members; add to it and
    // hand it to Finish. A report log that could not be written turns a
    // success into exit status 1 and adds "reportLogFailure".
    JsonObject Result(int exitCode, const std::string& failure) const override;
    // The same without "failure", for results that carry it among others.
    JsonObject ResultHead(int exitCode) const override;
    // Prints the failure (stderr, also with --json) and the result object;
    // returns exitCode (1 instead of 0 when the report log failed).
    int Finish(int exitCode, const std::string& failure, const JsonObject& result) override;
    using StationOutput::Finish;

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

}  // namespace vexu::cli
