#include "scanner.h"

#include <gtest/gtest.h>

#include "link/hid_device.h"
#include "platform/clock.h"

namespace vexu::sim::test {

void Scanner::Delay(uint64_t us) { vexu::GetClock().BusyWaitUs(us); }

bool DirectScanner::Leave(bool ir) {
    switch (rest_) {
        case Rest::Reset:
        case Rest::Idle:
            device_.Clock(TapState::RunTestIdle, 1);
            return false;
        case Rest::PauseDr:
            if (!ir) return true;
            device_.UpdateDr();
            return false;
        case Rest::PauseIr:
            if (ir) return true;
            device_.UpdateIr(irShift_);
            return false;
    }
    return false;
}

uint8_t DirectScanner::Ir(uint8_t instruction, End end) {
    const bool resumed = Leave(true);
    const uint8_t captured = resumed ? irShift_ : static_cast<uint8_t>(device_.CaptureIr());
    irShift_ = instruction;
    if (end == End::PauseIr) {
        rest_ = Rest::PauseIr;
    } else {
        device_.UpdateIr(instruction);
        rest_ = Rest::Idle;
    }
    return captured;
}

Bytes DirectScanner::Dr(unsigned bits, const Bytes& in, End end) {
    if (!Leave(false)) device_.CaptureDr();
    Bytes out((bits + 7) / 8, 0);
    for (unsigned i = 0; i < bits; ++i) {
        const bool tdi = i / 8 < in.size() && ((in[i / 8] >> (i % 8)) & 1);
        if (device_.ShiftDr(tdi)) out[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    }
    if (end == End::PauseDr) {
        rest_ = Rest::PauseDr;
    } else {
        device_.UpdateDr();
        rest_ = Rest::Idle;
    }
    return out;
}

void DirectScanner::Wait(unsigned cycles) {
    const TapState state = rest_ == Rest::PauseDr   ? TapState::PauseDr
                           : rest_ == Rest::PauseIr ? TapState::PauseIr
                           : rest_ == Rest::Reset   ? TapState::TestLogicReset
                                                    : TapState::RunTestIdle;
    device_.Clock(state, cycles);
}

void DirectScanner::ResetTap() {
    if (rest_ == Rest::PauseDr) device_.UpdateDr();
    if (rest_ == Rest::PauseIr) device_.UpdateIr(irShift_);
    if (rest_ == Rest::Idle) device_.Clock(TapState::RunTestIdle, 1);
    device_.Reset();
    rest_ = Rest::Reset;
}

uint8_t BoxScanner::Ir(uint8_t instruction, End end) {
    unsigned char in = instruction;
    unsigned char captured = 0;
    EXPECT_EQ(CHidDevice::GotoState(kStateShiftIr), 1);
    EXPECT_EQ(CHidDevice::ShiftInOut(8, &in, &captured), 1);
    EXPECT_EQ(CHidDevice::GotoState(static_cast<unsigned>(end)), 1);
    return captured;
}

Bytes BoxScanner::Dr(unsigned bits, const Bytes& in, End end) {
    Bytes data = in;
    data.resize((bits + 7) / 8, 0);
    Bytes out(data.size(), 0);
    EXPECT_EQ(CHidDevice::GotoState(kStateShiftDr), 1);
    EXPECT_EQ(CHidDevice::ShiftInOut(bits, data.data(), out.data()), 1);
    EXPECT_EQ(CHidDevice::GotoState(static_cast<unsigned>(end)), 1);
    return out;
}

void BoxScanner::Wait(unsigned cycles) { EXPECT_EQ(CHidDevice::WaitCycles(cycles), 1); }

void BoxScanner::ResetTap() { EXPECT_EQ(CHidDevice::GotoState(kStateTestLogicReset), 1); }

}  // namespace vexu::sim::test
