// Raw JTAG scans for the FPGA model tests, over two transports: straight
// into the device's JtagDevice methods (a tiny TAP of its own), and through
// the programmer box with CHidDevice commands. Scans end in Run-Test/Idle
// or in a pause state, as the programming sequences do; leaving a pause
// state passes its Update state.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/jtag_device.h"

namespace vexu::sim::test {

using Bytes = std::vector<uint8_t>;

enum class End : uint8_t { Idle = 2, PauseDr = 7, PauseIr = 8 };

class Scanner {
public:
    virtual ~Scanner() = default;
    // Instruction scan; returns the captured IR value.
    virtual uint8_t Ir(uint8_t instruction, End end) = 0;
    // Data scan of bits bits from in (zeros beyond it); returns the capture.
    virtual Bytes Dr(unsigned bits, const Bytes& in, End end) = 0;
    // TCK cycles in the current rest state.
    virtual void Wait(unsigned cycles) = 0;
    virtual void ResetTap() = 0;
    // Host-side delay in virtual time.
    void Delay(uint64_t us);
};

// Drives a JtagDevice directly: IR capture and update are the TAP's part,
// everything else is the device's. It moves as the box's TAP does on the
// shortest paths: a scan from the pause state of its own register resumes
// the shift without a new capture, and leaving Run-Test/Idle clocks once
// in it.
class DirectScanner final : public Scanner {
public:
    explicit DirectScanner(JtagDevice& device) : device_(device) {}
    uint8_t Ir(uint8_t instruction, End end) override;
    Bytes Dr(unsigned bits, const Bytes& in, End end) override;
    void Wait(unsigned cycles) override;
    void ResetTap() override;

private:
    enum class Rest { Reset, Idle, PauseDr, PauseIr };
    // Moves out of the rest state towards a scan of the IR (ir) or a DR.
    // Returns true when that scan resumes a paused shift.
    bool Leave(bool ir);

    JtagDevice& device_;
    Rest rest_ = Rest::Reset;
    uint8_t irShift_ = 0;  // the TAP's instruction shift register
};

// Drives the device through the programmer box: every scan is a state move,
// a shift with capture and a state move, sent by CHidDevice. The box's TAP
// takes the shortest path between states, as real hardware does.
class BoxScanner final : public Scanner {
public:
    uint8_t Ir(uint8_t instruction, End end) override;
    Bytes Dr(unsigned bits, const Bytes& in, End end) override;
    void Wait(unsigned cycles) override;
    void ResetTap() override;
};

}  // namespace vexu::sim::test
