#include "scanner.h"

#include "platform/clock.h"

namespace vexu::sim::test {

void Scanner::Delay(uint64_t us) { vexu::GetClock().BusyWaitUs(us); }

void DirectScanner::LeaveRest() {
    if (rest_ == End::PauseDr) device_.UpdateDr();
    if (rest_ == End::PauseIr) device_.UpdateIr(pendingIr_);
    rest_ = End::Idle;
}

uint8_t DirectScanner::Ir(uint8_t instruction, End end) {
    LeaveRest();
    const uint8_t captured = static_cast<uint8_t>(device_.CaptureIr());
    if (end == End::PauseIr) {
        pendingIr_ = instruction;
        rest_ = End::PauseIr;
    } else {
        device_.UpdateIr(instruction);
        rest_ = End::Idle;
    }
    return captured;
}

Bytes DirectScanner::Dr(unsigned bits, const Bytes& in, End end) {
    LeaveRest();
    device_.CaptureDr();
    Bytes out((bits + 7) / 8, 0);
    for (unsigned i = 0; i < bits; ++i) {
        const bool tdi = i / 8 < in.size() && ((in[i / 8] >> (i % 8)) & 1);
        if (device_.ShiftDr(tdi)) out[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    }
    if (end == End::PauseDr) {
        rest_ = End::PauseDr;
    } else {
        device_.UpdateDr();
        rest_ = End::Idle;
    }
    return out;
}

void DirectScanner::Wait(unsigned cycles) {
    TapState state = rest_ == End::PauseDr   ? TapState::PauseDr
                     : rest_ == End::PauseIr ? TapState::PauseIr
                                             : TapState::RunTestIdle;
    device_.Clock(state, cycles);
}

void DirectScanner::ResetTap() {
    LeaveRest();
    device_.Reset();
}

}  // namespace vexu::sim::test
