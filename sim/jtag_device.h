// A device on the simulated JTAG chain, as the simulated box's TAP
// controller drives it. The TAP controller owns the state machine and the
// instruction shift register; the device owns what the instructions mean.
#pragma once

#include <cstdint>

namespace vexu::sim {

// IEEE 1149.1 TAP controller states.
enum class TapState : uint8_t {
    TestLogicReset,
    RunTestIdle,
    SelectDrScan,
    CaptureDr,
    ShiftDr,
    Exit1Dr,
    PauseDr,
    Exit2Dr,
    UpdateDr,
    SelectIrScan,
    CaptureIr,
    ShiftIr,
    Exit1Ir,
    PauseIr,
    Exit2Ir,
    UpdateIr,
};

class JtagDevice {
public:
    virtual ~JtagDevice() = default;

    // Number of instruction register bits.
    virtual unsigned IrLength() const = 0;
    // The TAP entered Test-Logic-Reset (the instruction becomes IDCODE or BYPASS).
    virtual void Reset() = 0;
    // Value parallel-loaded into the instruction shift register in Capture-IR
    // (status bits of the device; the low two bits are 01 by the standard).
    virtual uint32_t CaptureIr() = 0;
    // Update-IR latched a new instruction.
    virtual void UpdateIr(uint32_t instruction) = 0;
    // Capture-DR for the current instruction.
    virtual void CaptureDr() = 0;
    // One TCK in Shift-DR: returns TDO (the bit leaving the register),
    // takes TDI into it.
    virtual bool ShiftDr(bool tdi) = 0;
    // Update-DR for the current instruction.
    virtual void UpdateDr() = 0;
    // Shift-DR entered again from Exit2-DR: the scan goes on without a
    // capture (the standard loads nothing here).
    virtual void ResumeDr() {}
    // TCK cycles spent in a stable state other than Shift-DR/Shift-IR
    // (Run-Test/Idle, Pause-DR, Pause-IR, Test-Logic-Reset).
    virtual void Clock(TapState state, uint32_t cycles) = 0;
};

}  // namespace vexu::sim
