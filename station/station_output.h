// What a station tells whoever watches it: lines for a person, JSON events
// for a script, the run's texts for the progress bars, and the command's
// result. The command line prints them (on a terminal, or one JSON object
// per line); the station only says what happened.
#pragma once

#include <cstdint>
#include <string>

#include "platform/json.h"
#include "platform/messages.h"

namespace vexu::station {

class StationOutput {
public:
    virtual ~StationOutput() = default;

    virtual bool Json() const = 0;
    // Which bars a terminal shows; both start empty, their steps not started.
    virtual void ShowBars(bool fpga, bool eeprom) = 0;
    // A text taken from the run text channel with its wParam and the time
    // it was posted (system clock): a progress command moves its bar,
    // anything else is a log text.
    virtual void RunText(const std::string& text, WPARAM wParam, uint64_t postedUs) = 0;
    // Lets the bars' times move while the percentages stand still.
    virtual void Tick() = 0;
    // Ends the bar line so that other output starts on a line of its own.
    virtual void EndBars() = 0;
    // A line for a person; nothing with JSON output.
    virtual void Say(const std::string& line) = 0;
    // An event for a script (one JSON line); nothing without JSON output.
    virtual void Emit(const JsonObject& event) = 0;
    // The command's result object with its common members, and the same
    // without "failure", for results that carry it among others.
    virtual JsonObject Result(int exitCode, const std::string& failure) const = 0;
    virtual JsonObject ResultHead(int exitCode) const = 0;
    // Tells the failure and the result object; returns the exit status
    // (1 instead of 0 when the report log failed).
    virtual int Finish(int exitCode, const std::string& failure, const JsonObject& result) = 0;
    int Finish(int exitCode, const std::string& failure = {}) {
        return Finish(exitCode, failure, Result(exitCode, failure));
    }
};

}  // namespace vexu::station
