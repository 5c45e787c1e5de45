#include "sim/tap_controller.h"

#include <array>
#include <cstddef>

namespace vexu::sim {

namespace {

constexpr size_t kStates = 16;

struct StateRow {
    TapState state;
    const char* name;
    TapState onTms0;
    TapState onTms1;
};

using S = TapState;

// The state diagram of IEEE 1149.1, one row per state in enum order.
constexpr std::array<StateRow, kStates> kDiagram{{
    {S::TestLogicReset, "Test-Logic-Reset", S::RunTestIdle, S::TestLogicReset},
    {S::RunTestIdle, "Run-Test/Idle", S::RunTestIdle, S::SelectDrScan},
    {S::SelectDrScan, "Select-DR-Scan", S::CaptureDr, S::SelectIrScan},
    {S::CaptureDr, "Capture-DR", S::ShiftDr, S::Exit1Dr},
    {S::ShiftDr, "Shift-DR", S::ShiftDr, S::Exit1Dr},
    {S::Exit1Dr, "Exit1-DR", S::PauseDr, S::UpdateDr},
    {S::PauseDr, "Pause-DR", S::PauseDr, S::Exit2Dr},
    {S::Exit2Dr, "Exit2-DR", S::ShiftDr, S::UpdateDr},
    {S::UpdateDr, "Update-DR", S::RunTestIdle, S::SelectDrScan},
    {S::SelectIrScan, "Select-IR-Scan", S::CaptureIr, S::TestLogicReset},
    {S::CaptureIr, "Capture-IR", S::ShiftIr, S::Exit1Ir},
    {S::ShiftIr, "Shift-IR", S::ShiftIr, S::Exit1Ir},
    {S::Exit1Ir, "Exit1-IR", S::PauseIr, S::UpdateIr},
    {S::PauseIr, "Pause-IR", S::PauseIr, S::Exit2Ir},
    {S::Exit2Ir, "Exit2-IR", S::ShiftIr, S::UpdateIr},
    {S::UpdateIr, "Update-IR", S::RunTestIdle, S::SelectDrScan},
}};

constexpr size_t Index(TapState state) { return static_cast<size_t>(state); }

static_assert([] {
    for (size_t i = 0; i < kStates; ++i)
        if (Index(kDiagram[i].state) != i) return false;
    return true;
}());

// Shortest TMS paths between every pair of states, found breadth first with
// TMS 0 tried before TMS 1.
using PathTable = std::array<std::array<TmsPath, kStates>, kStates>;

constexpr PathTable BuildPaths() {
    PathTable table{};
    for (size_t from = 0; from < kStates; ++from) {
        std::array<bool, kStates> seen{};
        std::array<size_t, kStates> queue{};
        size_t head = 0;
        size_t tail = 0;
        seen[from] = true;
        table[from][from] = {0, 0};
        queue[tail++] = from;
        while (head < tail) {
            size_t at = queue[head++];
            const TmsPath path = table[from][at];
            for (uint8_t tms = 0; tms < 2; ++tms) {
                size_t next = Index(tms ? kDiagram[at].onTms1 : kDiagram[at].onTms0);
                if (seen[next]) continue;
                seen[next] = true;
                table[from][next] = {static_cast<uint8_t>(path.length + 1),
                                     static_cast<uint8_t>(path.bits | (tms << path.length))};
                queue[tail++] = next;
            }
        }
    }
    return table;
}

constexpr PathTable kPaths = BuildPaths();

bool IsStableClockState(TapState state) {
    return state == S::TestLogicReset || state == S::RunTestIdle || state == S::PauseDr ||
           state == S::PauseIr;
}

}  // namespace

TapState TapController::Next(TapState state, bool tms) {
    const StateRow& row = kDiagram[Index(state)];
    return tms ? row.onTms1 : row.onTms0;
}

TmsPath TapController::ShortestPath(TapState from, TapState to) { return kPaths[Index(from)][Index(to)]; }

const char* TapController::Name(TapState state) { return kDiagram[Index(state)].name; }

void TapController::SetDevice(JtagDevice* device) {
    // A device comes with its board's power: its TAP starts in Test-Logic-Reset.
    device_ = device;
    state_ = S::TestLogicReset;
    if (device_) device_->Reset();
}

bool TapController::Clock(bool tms, bool tdi) {
    ++tckCount_;
    bool tdo = true;
    if (state_ == S::ShiftDr) {
        if (device_) tdo = device_->ShiftDr(tdi);
    } else if (state_ == S::ShiftIr) {
        const unsigned length = device_ ? device_->IrLength() : 0;
        if (length > 0 && length <= 32) {
            tdo = irShift_ & 1;
            irShift_ = (irShift_ >> 1) | (uint64_t{tdi} << (length - 1));
        }
    } else if (IsStableClockState(state_) && device_) {
        device_->Clock(state_, 1);
    }
    const TapState previous = state_;
    state_ = Next(state_, tms);
    Enter(previous);
    return tdo;
}

void TapController::Enter(TapState previous) {
    if (!device_) return;
    const unsigned length = device_->IrLength();
    const uint64_t irMask = length >= 32 ? 0xFFFFFFFFull : (uint64_t{1} << length) - 1;
    switch (state_) {
        case S::TestLogicReset:
            if (previous != S::TestLogicReset) device_->Reset();
            break;
        case S::CaptureIr:
            irShift_ = device_->CaptureIr() & irMask;
            break;
        case S::UpdateIr:
            device_->UpdateIr(static_cast<uint32_t>(irShift_ & irMask));
            break;
        case S::CaptureDr:
            device_->CaptureDr();
            break;
        case S::ShiftDr:
            if (previous == S::Exit2Dr) device_->ResumeDr();
            break;
        case S::UpdateDr:
            device_->UpdateDr();
            break;
        default:
            break;
    }
}

void TapController::MoveTo(TapState target) {
    const TmsPath path = ShortestPath(state_, target);
    for (uint8_t i = 0; i < path.length; ++i) Clock((path.bits >> i) & 1, false);
}

void TapController::Idle(uint32_t cycles) {
    // A held stable state is told its clock count in one call.
    if (IsStableClockState(state_)) {
        tckCount_ += cycles;
        if (device_ && cycles > 0) device_->Clock(state_, cycles);
        return;
    }
    for (uint32_t i = 0; i < cycles; ++i) Clock(false, false);
}

}  // namespace vexu::sim
