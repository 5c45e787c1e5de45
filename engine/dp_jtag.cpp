#include "engine/dp_jtag.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/dp_state.h"
#include "link/hid_device.h"
#include "platform/clock.h"
#include "platform/trace.h"
#include "common/run_messages.h"

namespace {

// Device families that must be switched into mode 0xC0 before their rows
// can be read: (ID code AND mask) == value.
struct IdPattern {
    uint32_t mask;
    uint32_t value;
};

constexpr IdPattern kModeC0Devices[] = {
    {0x06FFFFFF, 0x049011CF}, {0x06FFFFFF, 0x02B261CF}, {0x0BFFFFFF, 0x031921CF},
    {0x0FFFFFFF, 0x032141CF}, {0x0FFFFFFF, 0x033261CF}, {0x0FFFFFFF, 0x0353A1CF},
};

constexpr unsigned kReadyPollTries = 16381;
constexpr uint32_t kReadyPollDelayUs = 100;
constexpr uint8_t kStatusBusyBits = 0x0B;

// The calibration spins this many units and measures them on the tick.
constexpr uint32_t kCalibrationUnits = 300000;
// One loop iteration of dp_spin_delay is one nanosecond of busy wait: a
// loop count of 1000 makes one unit last one microsecond.
constexpr uint32_t kNominalLoopCount = 1000;
constexpr double kDelayStretch = 1.2;

}  // namespace

int dp_link_result(int result) {
    if (!result) ++g_dpState.failedCommands;
    return result;
}

int dp_tap_goto(uint8_t state) { return dp_link_result(CHidDevice::GotoState(state)); }

int dp_tap_wait(uint8_t cycles) { return dp_link_result(CHidDevice::WaitCycles(cycles)); }

int dp_tap_shift(uint32_t bitOffset, uint32_t bitCount, const uint8_t* data, uint8_t terminate) {
    return dp_link_result(CHidDevice::ShiftIn(bitOffset, bitCount, data, terminate));
}

int dp_tap_shift_capture(uint32_t bitCount, const uint8_t* data, uint8_t* capture) {
    if (capture) memset(capture, 0, (uint64_t{bitCount} + 7) / 8);
    if (data) return dp_link_result(CHidDevice::ShiftInOut(bitCount, data, capture));
    return dp_link_result(CHidDevice::ShiftOut(bitCount, capture));
}

int dp_ir(uint8_t opcode, uint8_t endState) {
    g_dpState.instructionByte = opcode;
    int ok = dp_tap_goto(DP_SHIFT_IR);
    ok &= dp_tap_shift(0, 8, &g_dpState.instructionByte, 1);
    ok &= dp_tap_goto(endState);
    return ok;
}

int dp_dr_in(uint32_t bits, const uint8_t* data, uint8_t endState) {
    int ok = dp_tap_goto(DP_SHIFT_DR);
    ok &= dp_tap_shift(0, bits, data, 1);
    ok &= dp_tap_goto(endState);
    return ok;
}

int dp_dr_out(uint32_t bits, uint8_t* capture, uint8_t endState) {
    return dp_dr_in_out(bits, nullptr, capture, endState);
}

int dp_dr_in_out(uint32_t bits, const uint8_t* data, uint8_t* capture, uint8_t endState) {
    int ok = dp_tap_goto(DP_SHIFT_DR);
    ok &= dp_tap_shift_capture(bits, data, capture);
    ok &= dp_tap_goto(endState);
    return ok;
}

void dp_enter_mode_c0() {
    const uint32_t id = g_dpState.deviceId;
    const bool needed = std::any_of(std::begin(kModeC0Devices), std::end(kModeC0Devices),
                                    [id](const IdPattern& p) { return (id & p.mask) == p.value; });
    if (needed) dp_ir(0xC0, DP_IDLE);
}

void dp_decryptor_reset() {
    dp_ir(0xDD, DP_PAUSE_IR);
    dp_dr_in(128, nullptr, DP_IDLE);
    dp_wait(3);
    dp_delay(120);
}

void dp_wait_ready() {
    for (unsigned attempt = 0; attempt < kReadyPollTries; ++attempt) {
        dp_delay(kReadyPollDelayUs);
        g_dpState.statusByte = 0;
        // A link that stopped answering ends the poll; the run notices the
        // failed command when it ends.
        if (!dp_link_result(CHidDevice::ShiftOutEx(DP_SHIFT_IR, 0x84, DP_IDLE, 0, 1, 5,
                                                   &g_dpState.statusByte, DP_SHIFT_DR, DP_IDLE, 0)))
            return;
        if ((g_dpState.statusByte & kStatusBusyBits) == 0) return;
    }
    dp_fail(DPE_POLL_TIMEOUT);
}

void dp_clear_shift_buffer() { memset(g_dpState.shiftBuffer, 0, sizeof g_dpState.shiftBuffer); }

void dp_clear_urow_buffer() { memset(g_dpState.urowBuffer, 0, sizeof g_dpState.urowBuffer); }

void dp_trace_text(const char* text) { vexu::Trace(text ? text : ""); }

namespace {

// One value in the radix's format; empty for an unknown radix.
std::string FormatValue(uint32_t value, int radix) {
    char text[16] = "";
    switch (radix) {
        case 0: snprintf(text, sizeof text, "%" PRIX32, value); break;
        case 1: snprintf(text, sizeof text, "%" PRId32, static_cast<int32_t>(value)); break;
        case 2: snprintf(text, sizeof text, "%c", static_cast<char>(value & 0xFF)); break;
        default: break;
    }
    return std::string(text, strlen(text));
}

}  // namespace

void dp_trace_value(uint32_t value, int radix) {
    if (radix < 0 || radix > 2) return;
    vexu::Trace(FormatValue(value, radix));
}

void dp_trace_bytes(const uint8_t* bytes, uint32_t count, int radix) {
    if (radix < 0 || radix > 2 || !bytes) return;
    std::string line;
    for (uint32_t i = 0; i < count; ++i) line += FormatValue(bytes[i], radix) + " ";
    vexu::Trace(line);
}

void dp_post_text(const char* text, uint32_t value) { PostMsgText(text, value, 0); }

void dp_spin_delay(uint32_t units) {
    // Never shorter than nominal, whatever the calibration measured.
    const uint64_t loopCount = g_dpState.delayLoopCount ? g_dpState.delayLoopCount : kNominalLoopCount;
    const uint64_t calibratedUs = (uint64_t{units} * loopCount + 999) / 1000;
    vexu::GetClock().BusyWaitUs(std::max<uint64_t>(calibratedUs, units));
}

void dp_calibrate_delay() {
    g_dpState.delayLoopCount = kNominalLoopCount;
    uint32_t t0 = 0;
    uint32_t t1 = 0;
    // A tick that did not move (or wrapped) measures again.
    do {
        t0 = vexu::GetClock().TickMs();
        dp_spin_delay(kCalibrationUnits);
        t1 = vexu::GetClock().TickMs();
    } while (t1 <= t0);
    const uint32_t elapsedMs = t1 - t0;
    const uint32_t loopsPerUnit = kNominalLoopCount * (kCalibrationUnits / 1000) / elapsedMs;
    g_dpState.delayLoopCount = static_cast<uint32_t>(static_cast<double>(loopsPerUnit) * kDelayStretch);
}
