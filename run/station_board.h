// One board's run in a gang station's worker, as the station follows it:
// a plain state fed the worker's events (started, progress, result, end of
// the process) and the time, that says when the run is overdue, how the
// board's serial ends and whether the station must write the board's
// record itself. No process, pipe or signal here: the station drives it.
#pragma once

#include <cstdint>
#include <string>

#include "run/serial_number.h"

namespace vexu::station {

// The longest a board's run may take before its worker is taken for hung:
// twice the modelled time of each step (the FPGA data image at the box's
// programming rate; the serial-flash image page by page) plus the slowest
// whole-chip erase any known chip's datasheet gives, with a margin for
// opening the box. Bytes of a step that is off count nothing.
uint64_t BoardTimeLimitUs(uint32_t fpgaBytes, uint32_t eepromBytes);

class BoardRun {
public:
    enum class Phase { kIdle, kRunning, kEnded };

    void Start(uint64_t nowUs, uint64_t limitUs);
    // The worker told of pages written in the serial-flash step: from here
    // on the board may hold its serial.
    void SerialFlashProgress() { serialFlashReached_ = true; }
    // The worker's result line. boardUntouched: the run never began on a
    // board (no box, the box in use, a worker started wrong);
    // serialFlashRan: its record says the serial-flash step ran and found a
    // chip to write.
    void Result(bool ok, bool boardUntouched, bool serialFlashRan);
    // The station killed the worker past its time limit.
    void TimedOut() { timedOut_ = true; }
    // The worker's process ended (after its result, or without one).
    void Ended() { phase_ = Phase::kEnded; }

    Phase State() const { return phase_; }
    // Past its time limit the worker is ended: without its result it is
    // hung; with it, it is stopped or stuck on its way out (the board is
    // done, but the station must not wait for it forever), after a grace
    // for a result given just before the limit.
    bool Overdue(uint64_t nowUs) const {
        return phase_ == Phase::kRunning && nowUs - startUs_ > limitUs_ + (resultSeen_ ? kResultGraceUs : 0);
    }
    static constexpr uint64_t kResultGraceUs = 2'000'000;
    uint64_t LimitUs() const { return limitUs_; }
    bool ResultSeen() const { return resultSeen_; }
    bool Passed() const { return resultSeen_ && ok_; }
    bool BoardUntouched() const { return resultSeen_ && untouched_; }
    bool TimedOutRun() const { return timedOut_; }
    // A worker that ended without its result wrote no result line, and
    // perhaps no record: the station looks and writes the record if not.
    bool StationMayOweRecord() const { return phase_ == Phase::kEnded && !resultSeen_; }
    // The board's serial: committed on a pass; released only when the run
    // certainly ended before the serial-flash step (its result says so);
    // skipped after a crash, a kill or a failure in or after that step.
    SerialEnd SerialEndOfBoard() const;

private:
    Phase phase_ = Phase::kIdle;
    uint64_t startUs_ = 0;
    uint64_t limitUs_ = 0;
    bool resultSeen_ = false;
    bool ok_ = false;
    bool untouched_ = false;
    bool serialFlashRan_ = false;
    bool serialFlashReached_ = false;
    bool timedOut_ = false;
};

}  // namespace vexu::station
