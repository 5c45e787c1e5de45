// The smallest device that proves the JTAG port: an 8-bit instruction
// register, a 32-bit ID code register selected by instruction 0x0F, and the
// one-bit bypass register for every other instruction.
#pragma once

#include <cstdint>

#include "sim/jtag_device.h"

namespace vexu::sim {

class IdcodeDevice final : public JtagDevice {
public:
    static constexpr uint8_t kIdcodeInstruction = 0x0F;
    static constexpr uint32_t kDefaultIdcode = 0x1A2B3C4D;

    explicit IdcodeDevice(uint32_t idcode = kDefaultIdcode) : idcode_(idcode) {}

    unsigned IrLength() const override { return 8; }
    void Reset() override { instruction_ = kIdcodeInstruction; }
    uint32_t CaptureIr() override { return 0x01; }
    void UpdateIr(uint32_t instruction) override { instruction_ = instruction; }
    void CaptureDr() override;
    bool ShiftDr(bool tdi) override;
    void UpdateDr() override {}
    void Clock(TapState, uint32_t) override {}

    uint32_t Instruction() const { return instruction_; }
    uint32_t Idcode() const { return idcode_; }

private:
    bool SelectsIdcode() const { return instruction_ == kIdcodeInstruction; }

    uint32_t idcode_;
    uint32_t instruction_ = kIdcodeInstruction;
    uint32_t shift_ = 0;  // the selected register's shift stage
};

}  // namespace vexu::sim
