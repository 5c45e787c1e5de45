// The TAP controller against the state diagram of IEEE 1149.1, written out
// here a second time, and the minimal ID-code device behind it.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <queue>
#include <string>
#include <vector>

#include "sim/idcode_device.h"
#include "sim/tap_controller.h"

namespace vexu::sim {
namespace {

using S = TapState;

// The 32 transitions: for each state, where TMS 0 and TMS 1 lead.
struct Transition {
    S from;
    S tms0;
    S tms1;
};
constexpr Transition kStandard[16] = {
    {S::TestLogicReset, S::RunTestIdle, S::TestLogicReset},
    {S::RunTestIdle, S::RunTestIdle, S::SelectDrScan},
    {S::SelectDrScan, S::CaptureDr, S::SelectIrScan},
    {S::SelectIrScan, S::CaptureIr, S::TestLogicReset},
    {S::CaptureDr, S::ShiftDr, S::Exit1Dr},
    {S::CaptureIr, S::ShiftIr, S::Exit1Ir},
    {S::ShiftDr, S::ShiftDr, S::Exit1Dr},
    {S::ShiftIr, S::ShiftIr, S::Exit1Ir},
    {S::Exit1Dr, S::PauseDr, S::UpdateDr},
    {S::Exit1Ir, S::PauseIr, S::UpdateIr},
    {S::PauseDr, S::PauseDr, S::Exit2Dr},
    {S::PauseIr, S::PauseIr, S::Exit2Ir},
    {S::Exit2Dr, S::ShiftDr, S::UpdateDr},
    {S::Exit2Ir, S::ShiftIr, S::UpdateIr},
    {S::UpdateDr, S::RunTestIdle, S::SelectDrScan},
    {S::UpdateIr, S::RunTestIdle, S::SelectDrScan},
};

S StandardNext(S from, bool tms) {
    for (const Transition& t : kStandard)
        if (t.from == from) return tms ? t.tms1 : t.tms0;
    ADD_FAILURE() << "state missing from the table";
    return from;
}

// Fewest TCKs from one state to another, found on the table above.
int Distance(S from, S to) {
    std::array<int, 16> distance;
    distance.fill(-1);
    std::queue<S> queue;
    distance[static_cast<size_t>(from)] = 0;
    queue.push(from);
    while (!queue.empty()) {
        S at = queue.front();
        queue.pop();
        for (bool tms : {false, true}) {
            S next = StandardNext(at, tms);
            if (distance[static_cast<size_t>(next)] < 0) {
                distance[static_cast<size_t>(next)] = distance[static_cast<size_t>(at)] + 1;
                queue.push(next);
            }
        }
    }
    return distance[static_cast<size_t>(to)];
}

// Records what the TAP controller passes to the device.
class RecordingDevice final : public JtagDevice {
public:
    unsigned IrLength() const override { return 8; }
    void Reset() override { events.push_back("reset"); }
    uint32_t CaptureIr() override {
        events.push_back("capture-ir");
        return 0x05;
    }
    void UpdateIr(uint32_t instruction) override { events.push_back("update-ir " + std::to_string(instruction)); }
    void CaptureDr() override { events.push_back("capture-dr"); }
    bool ShiftDr(bool tdi) override {
        events.push_back(tdi ? "shift 1" : "shift 0");
        return !tdi;
    }
    void UpdateDr() override { events.push_back("update-dr"); }
    void Clock(TapState state, uint32_t cycles) override {
        events.push_back(std::string("clock ") + TapController::Name(state) + " " + std::to_string(cycles));
    }
    std::vector<std::string> events;
};

void PutInState(TapController& tap, S state) {
    tap.MoveTo(S::TestLogicReset);
    for (int i = 0; i < 5; ++i) tap.Clock(true, false);
    tap.MoveTo(state);
}

TEST(TapController, EveryTransitionFollowsTheStandard) {
    for (const Transition& t : kStandard) {
        EXPECT_EQ(TapController::Next(t.from, false), t.tms0) << TapController::Name(t.from);
        EXPECT_EQ(TapController::Next(t.from, true), t.tms1) << TapController::Name(t.from);
    }
}

TEST(TapController, EveryStateReachesEveryOtherByAMinimalTmsPath) {
    for (const Transition& a : kStandard) {
        for (const Transition& b : kStandard) {
            const TmsPath path = TapController::ShortestPath(a.from, b.from);
            SCOPED_TRACE(std::string(TapController::Name(a.from)) + " -> " + TapController::Name(b.from));
            EXPECT_EQ(path.length, Distance(a.from, b.from));
            S at = a.from;
            for (int i = 0; i < path.length; ++i) at = StandardNext(at, (path.bits >> i) & 1);
            EXPECT_EQ(at, b.from);

            // The controller itself ends there, with as many clocks.
            TapController tap;
            PutInState(tap, a.from);
            const uint64_t before = tap.TckCount();
            tap.MoveTo(b.from);
            EXPECT_EQ(tap.State(), b.from);
            EXPECT_EQ(tap.TckCount() - before, path.length);
        }
    }
}

TEST(TapController, MovesPassCapturesAndUpdatesToTheDevice) {
    struct Case {
        S from;
        S to;
        std::vector<std::string> events;
    };
    const std::vector<Case> kCases = {
        {S::RunTestIdle, S::ShiftDr, {"clock Run-Test/Idle 1", "capture-dr"}},
        {S::RunTestIdle, S::ShiftIr, {"clock Run-Test/Idle 1", "capture-ir"}},
        {S::PauseDr, S::ShiftDr, {"clock Pause-DR 1"}},  // resuming a shift captures nothing
        {S::ShiftIr, S::PauseIr, {}},
        {S::Exit1Dr, S::RunTestIdle, {"update-dr"}},
        // Leaving Shift-IR clocks one more bit through it: 0xA0 becomes 0x50.
        {S::ShiftIr, S::ShiftDr, {"update-ir 80", "capture-dr"}},
        {S::PauseIr, S::TestLogicReset, {"clock Pause-IR 1", "update-ir 160", "reset"}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(TapController::Name(c.from)) + " -> " + TapController::Name(c.to));
        RecordingDevice device;
        TapController tap(&device);
        if (c.from == S::ShiftIr || c.from == S::PauseIr) {
            tap.MoveTo(S::ShiftIr);
            for (int i = 0; i < 8; ++i) tap.Clock(i == 7 && c.from == S::PauseIr, (0xA0 >> i) & 1);
        }
        tap.MoveTo(c.from);
        device.events.clear();
        tap.MoveTo(c.to);
        EXPECT_EQ(device.events, c.events);
    }
}

TEST(TapController, IdleClocksHeldStatesInOneCallAndMovesOnElsewhere) {
    RecordingDevice device;
    TapController tap(&device);
    tap.Idle(7);
    EXPECT_EQ(tap.State(), S::TestLogicReset);
    tap.MoveTo(S::RunTestIdle);
    device.events.clear();
    tap.Idle(1000);
    EXPECT_EQ(device.events, std::vector<std::string>{"clock Run-Test/Idle 1000"});
    tap.MoveTo(S::UpdateDr);
    device.events.clear();
    tap.Idle(3);  // Update-DR cannot be held: TMS low leads to Run-Test/Idle
    EXPECT_EQ(tap.State(), S::RunTestIdle);
    EXPECT_EQ(device.events, (std::vector<std::string>{"clock Run-Test/Idle 1", "clock Run-Test/Idle 1"}));
}

// Scans on the controller: the bits of an instruction go in LSB first, the
// last with TMS high; the data register then is the one it selected.
uint64_t Scan(TapController& tap, S shiftState, uint64_t in, unsigned bits) {
    tap.MoveTo(shiftState);
    uint64_t out = 0;
    for (unsigned i = 0; i < bits; ++i)
        out |= uint64_t{tap.Clock(i + 1 == bits, (in >> i) & 1)} << i;
    tap.MoveTo(S::RunTestIdle);
    return out;
}

TEST(TapController, InstructionScanThenDataScanReachesTheSelectedRegister) {
    IdcodeDevice device(0x0BADF00D);
    TapController tap(&device);
    tap.MoveTo(S::RunTestIdle);

    EXPECT_EQ(Scan(tap, S::ShiftIr, 0xFF, 8), 0x01u) << "instruction capture reads 01";
    EXPECT_EQ(device.Instruction(), 0xFFu);
    // Bypass: one register bit that captured 0, so data come out one bit late.
    EXPECT_EQ(Scan(tap, S::ShiftDr, 0xB5, 12), 0xB5u << 1);

    Scan(tap, S::ShiftIr, IdcodeDevice::kIdcodeInstruction, 8);
    EXPECT_EQ(Scan(tap, S::ShiftDr, 0, 32), 0x0BADF00Du);
    // Shifting on past the register gives back what went in.
    EXPECT_EQ(Scan(tap, S::ShiftDr, 0xC3, 40), 0xC3ull << 32 | 0x0BADF00D);

    Scan(tap, S::ShiftIr, 0x12, 8);
    tap.MoveTo(S::TestLogicReset);
    EXPECT_EQ(device.Instruction(), IdcodeDevice::kIdcodeInstruction) << "reset selects the ID code";
}

}  // namespace
}  // namespace vexu::sim
