// CHidDevice: the programmer box's command protocol. Every command becomes a
// fixed sequence of HID feature reports sent through CDevManage. Class-level
// operations only; each returns 1 when every report was transferred and 0
// when it refused its arguments (nothing sent) or a transfer failed.
#pragma once

#include <cstddef>
#include <cstdint>

// Report ids and lengths (id byte included).
constexpr uint8_t kCommandReportId = 1;
constexpr uint8_t kDataReportId = 2;
constexpr uint8_t kBulkReportId = 3;
constexpr size_t kCommandReportLength = 64;
constexpr size_t kDataReportLength = 64;
constexpr size_t kBulkReportLength = 320;
constexpr size_t kReportDataOffset = 16;
constexpr size_t kDataReportPayload = 48;   // bytes 16..63
constexpr size_t kBulkReportPayload = 304;  // bytes 16..319

// Command codes (byte 1 of the command report).
enum : uint8_t {
    kCmdShiftInFrame = 0xA0,
    kCmdLightLed = 0xA1,
    kCmdSetPort = 0xB0,
    kCmdTransmit = 0xB1,
    kCmdSetE2pDelay = 0xB2,
    kCmdWaitCycles = 0xF0,
    kCmdShiftIn = 0xF1,
    kCmdShiftOut = 0xF2,
    kCmdShiftInOut = 0xF3,
};

// The box's TAP state codes; 0 means "stay where you are".
enum : uint8_t {
    kStateStay = 0,
    kStateTestLogicReset = 1,
    kStateRunTestIdle = 2,
    kStateShiftDr = 3,
    kStateShiftIr = 4,
    kStateExit1Dr = 5,
    kStateExit1Ir = 6,
    kStatePauseDr = 7,
    kStatePauseIr = 8,
    kStateUpdateDr = 9,
    kStateUpdateIr = 10,
    kStateCaptureDr = 11,
    kStateMax = 11,
};

// Ports of SetPort.
constexpr int kJtagPort = 1;
constexpr int kSerialPort = 2;

// Largest bit count the 16-bit wire fields can carry.
constexpr unsigned kMaxWireBits = 65535;

class CHidDevice {
public:
    virtual ~CHidDevice();

    static int LightLed(int led1_on, int led2_on);
    static int WaitCycles(unsigned cycles);
    static int GotoState(unsigned state);
    static int ShiftIn(unsigned start_bit_offset, unsigned bit_count, const unsigned char* data,
                       int terminate);
    static int ShiftOut(unsigned bit_count, unsigned char* out);
    static int ShiftInOut(unsigned bit_count, const unsigned char* in, unsigned char* out);
    static int ShiftInEx(unsigned char pre_start_state, unsigned char instruction,
                         unsigned char pre_end_state, unsigned char pre_waitcycle,
                         int instruction_stage, unsigned start_bit_offset, unsigned bit_count,
                         const unsigned char* data, unsigned char terminate,
                         unsigned char start_state, unsigned char end_state,
                         unsigned char waitcycle);
    static int ShiftOutEx(unsigned char pre_start_state, unsigned char instruction,
                          unsigned char pre_end_state, unsigned char pre_waitcycle,
                          int instruction_stage, unsigned bit_count, unsigned char* out,
                          unsigned char start_state, unsigned char end_state,
                          unsigned char waitcycle);
    static int ShiftInOutEx(unsigned char pre_start_state, unsigned char instruction,
                            unsigned char pre_end_state, unsigned char pre_waitcycle,
                            int instruction_stage, unsigned bit_count, const unsigned char* in,
                            unsigned char* out, unsigned char start_state,
                            unsigned char end_state, unsigned char waitcycle);
    static int ShiftInFrame(unsigned char pre_start_state, unsigned char instruction,
                            unsigned char pre_end_state, int instruction_stage,
                            unsigned start_bit_offset, unsigned total_bits,
                            const unsigned char* data, unsigned short frame_bits,
                            unsigned char start_state, unsigned char end_state,
                            unsigned char frame_waitcycle, unsigned char frame_delay);
    static int SetE2pDelay(unsigned char d0, unsigned char d1, unsigned char d2,
                           unsigned char d3, unsigned char d4, unsigned char d5,
                           unsigned char d6, unsigned char d7, unsigned char d8);
    static int SetPort(int port, int setting_a, int setting_b, unsigned char* result);
    static int SendTransmitCommand(int with_prefix, int prefix, int with_kind,
                                   const unsigned char* in, unsigned in_len, unsigned char* out,
                                   unsigned out_len);
};
