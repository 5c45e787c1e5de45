// The engine's JTAG access layer: every TAP move, clocked wait and scan is
// one programmer command sent through CHidDevice. On top of the four
// primitives sit the scan patterns that every engine step is written in
// (instruction scan, data scan in / out / in-and-out, wait, delay), the
// shared instruction sequences, the busy poll, the engine trace output and
// the calibrated microsecond delay.
#pragma once

#include <cstdint>

// TAP state codes of the programmer box as the engine uses them.
enum DpTapState : uint8_t {
    DP_TAP_RESET = 1,    // Test-Logic-Reset
    DP_IDLE = 2,         // Run-Test/Idle: clocked waits happen here
    DP_SHIFT_DR = 3,
    DP_SHIFT_IR = 4,
    DP_PAUSE_DR = 7,     // rest after a data scan that is read or followed by an instruction
    DP_PAUSE_IR = 8,     // rest after an instruction followed directly by a data scan
    DP_UPDATE_DR = 9,    // rest after a short data scan (FlashROM page select)
};

// ---- Primitives: one programmer command each; 1 done, 0 refused or failed.
int dp_tap_goto(uint8_t state);
int dp_tap_wait(uint8_t cycles);
// Shifts bitCount bits starting at bit bitOffset (0-7) of data[0]; null
// data shifts zeros.
int dp_tap_shift(uint32_t bitOffset, uint32_t bitCount, const uint8_t* data, uint8_t terminate);
// Shifts bitCount bits of data (zeros for null) and captures what comes out
// into (bitCount + 7) / 8 bytes of capture. A command that fails leaves
// zeros there, as a device that answers nothing would.
int dp_tap_shift_capture(uint32_t bitCount, const uint8_t* data, uint8_t* capture);

// Counts a composite programmer command (ShiftInEx, ShiftOutEx,
// ShiftInOutEx, ShiftInFrame) that a step sends directly; returns result.
int dp_link_result(int result);

// ---- Scan patterns. Each returns 1 when every command of it was done.
// IR(op) to endState.
int dp_ir(uint8_t opcode, uint8_t endState);
// DR in (bits from data; null shifts zeros) to endState.
int dp_dr_in(uint32_t bits, const uint8_t* data, uint8_t endState);
// DR out (bits into capture) to endState.
int dp_dr_out(uint32_t bits, uint8_t* capture, uint8_t endState);
// DR in/out (bits of data into capture) to endState.
int dp_dr_in_out(uint32_t bits, const uint8_t* data, uint8_t* capture, uint8_t endState);
// Wait w: clocks in the current state.
inline int dp_wait(uint8_t cycles) { return dp_tap_wait(cycles); }
// Delay t microseconds on the host.
void dp_spin_delay(uint32_t units);
inline void dp_delay(uint32_t us) { dp_spin_delay(us); }

// ---- Shared sequences.
// IR(0xC0) to idle for the device families that need it before reads.
void dp_enter_mode_c0();
void dp_decryptor_reset();
// Busy poll after a program pulse; leaves DPE_POLL_TIMEOUT when the device
// stays busy.
void dp_wait_ready();
void dp_clear_shift_buffer();
void dp_clear_urow_buffer();

// ---- Engine trace output.
void dp_trace_text(const char* text);
// radix 0: upper-case hex, 1: signed decimal, 2: the low byte as a character.
void dp_trace_value(uint32_t value, int radix);
// Every byte with the radix's format and one blank, written as one line.
void dp_trace_bytes(const uint8_t* bytes, uint32_t count, int radix);
// Hands a text and its value to the run's text channel.
void dp_post_text(const char* text, uint32_t value);

// ---- Delay calibration: measures dp_spin_delay against the millisecond
// tick and sets the delay loop count so that one unit lasts about 1.2 us.
void dp_calibrate_delay();
