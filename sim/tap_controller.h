// The TAP controller of the simulated JTAG chain: the sixteen-state machine
// moved by TMS on every TCK, the instruction shift register, and the
// capture, shift and update events it passes to the attached JtagDevice
// (instruction registers of 1 to 32 bits).
#pragma once

#include <cstdint>

#include "sim/jtag_device.h"

namespace vexu::sim {

// A TMS sequence: bit i is the TMS value of the i-th clock.
struct TmsPath {
    uint8_t length;
    uint8_t bits;
};

class TapController {
public:
    // The controller starts in Test-Logic-Reset. device may be null: then
    // nothing is connected and TDO reads 1.
    explicit TapController(JtagDevice* device = nullptr) { SetDevice(device); }

    // Connects a device; the controller is then in Test-Logic-Reset and the
    // device has been reset.
    void SetDevice(JtagDevice* device);
    JtagDevice* Device() const { return device_; }
    TapState State() const { return state_; }
    uint64_t TckCount() const { return tckCount_; }

    // One TCK: the current state acts on the rising edge (a shift state
    // shifts, a stable state counts the clock), then TMS moves the machine
    // and the new state's entry event runs (capture, update, reset).
    // Returns TDO of this clock: the bit leaving the register in a shift
    // state, 1 elsewhere.
    bool Clock(bool tms, bool tdi);
    // Clocks the shortest TMS path to target; nothing when already there.
    void MoveTo(TapState target);
    // Clocks with TMS holding the current state where it can be held
    // (1 in Test-Logic-Reset, 0 elsewhere: a state that cannot be held moves
    // on as the hardware would) and TDI low.
    void Idle(uint32_t cycles);

    static TapState Next(TapState state, bool tms);
    static TmsPath ShortestPath(TapState from, TapState to);
    static bool IsShiftState(TapState state) {
        return state == TapState::ShiftDr || state == TapState::ShiftIr;
    }
    static const char* Name(TapState state);

private:
    void Enter(TapState previous);

    JtagDevice* device_ = nullptr;
    TapState state_ = TapState::TestLogicReset;
    uint64_t irShift_ = 0;
    uint64_t tckCount_ = 0;
};

}  // namespace vexu::sim
