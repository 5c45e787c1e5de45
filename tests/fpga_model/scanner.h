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
// everything else is the device's.
class DirectScanner final : public Scanner {
public:
    explicit DirectScanner(JtagDevice& device) : device_(device) {}
    uint8_t Ir(uint8_t instruction, End end) override;
    Bytes Dr(unsigned bits, const Bytes& in, End end) override;
    void Wait(unsigned cycles) override;
    void ResetTap() override;

private:
    void LeaveRest();

    JtagDevice& device_;
    End rest_ = End::Idle;
    uint8_t pendingIr_ = 0;
};

}  // namespace vexu::sim::test
