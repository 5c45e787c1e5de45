#include "link/hid_device.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "link/dev_manage.h"
#include "platform/clock.h"
#include "platform/trace.h"

using vexu::HidHandle;

CHidDevice::~CHidDevice() = default;

namespace {

using CommandReport = std::array<uint8_t, kCommandReportLength>;
using DataReport = std::array<uint8_t, kDataReportLength>;
using BulkReport = std::array<uint8_t, kBulkReportLength>;

// Reasons of refusals and failed transfers, as the trace lines give them.
constexpr const char* kNoDevice = "设备句柄为空";
constexpr const char* kStateRange = "状态号超出范围";
constexpr const char* kOffsetRange = "起始位偏移量大于8";
constexpr const char* kNoOutput = "输出缓冲区为空";
constexpr const char* kNoInput = "输入缓冲区为空";
constexpr const char* kFrameMultiple = "传输位总数必须是帧位数的整数倍";
constexpr const char* kNoInputWithLength = "输入缓冲区为空,输入长度非0";
constexpr const char* kNoOutputWithLength = "输出缓冲区为空,输出长度非0";
constexpr const char* kBitCountRange = "bit_count>65535";
constexpr const char* kSet1 = "CDeviceManage::HidD_SetFeatureEx(1)返回FALSE";
constexpr const char* kSet2 = "CDeviceManage::HidD_SetFeatureEx(2)返回FALSE";
constexpr const char* kGet1 = "CDeviceManage::HidD_GetFeatureEx(1)返回FALSE";
constexpr const char* kGet2 = "CDeviceManage::HidD_GetFeatureEx(2)返回FALSE";
constexpr const char* kSet = "CDeviceManage::HidD_SetFeatureEx()返回FALSE";
constexpr const char* kGet = "CDeviceManage::HidD_GetFeatureEx()返回FALSE";

int Fail(const char* operation, const char* reason) {
    vexu::Trace(std::string("CHidDevice::") + operation + "() 错误: " + reason + "  \r\n");
    return 0;
}

// SendTransmitCommand writes its refusals without parentheses.
int FailTransmit(const char* reason) {
    vexu::Trace(std::string("CHidDevice::SendTransmitCommand 错误: ") + reason + "  \r\n");
    return 0;
}

unsigned CeilDiv(unsigned a, unsigned b) { return a / b + (a % b ? 1 : 0); }

// Data bytes of a shift of bits starting at bit offset of the first byte:
// every byte up to the one holding the last bit travels.
unsigned ShiftBytes(unsigned offset, unsigned bits) { return CeilDiv(offset + bits, 8); }

// Follow-on data reports needed after the command report's 48 bytes.
unsigned FollowOnReports(unsigned bytes) {
    return bytes > kDataReportPayload ? CeilDiv(bytes - kDataReportPayload, kDataReportPayload) : 0;
}

// memcpy that accepts a null pointer when nothing is copied.
void Copy(void* to, const void* from, size_t n) {
    if (n) memcpy(to, from, n);
}

bool StateOk(unsigned state) { return (state & 0xFF) <= kStateMax; }

void PutLe16(uint8_t* at, unsigned value) {
    at[0] = static_cast<uint8_t>(value & 0xFF);
    at[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

bool Write(HidHandle handle, uint8_t* report, size_t length) {
    return CDevManage::HidD_SetFeatureEx(handle, report, length);
}

bool Fetch(HidHandle handle, uint8_t* report, size_t length) {
    return CDevManage::HidD_GetFeatureEx(handle, report, length);
}

CommandReport NewCommand(uint8_t code) {
    CommandReport report{};
    report[0] = kCommandReportId;
    report[1] = code;
    return report;
}

struct ScanFields {
    uint8_t code;
    bool instructionStage;
    uint8_t preStartState;
    uint8_t instruction;
    uint8_t preEndState;
    uint8_t preWaitcycle;
    uint8_t startState;
    uint8_t startBitOffset;
    uint8_t terminate;
    unsigned bitCount;
    uint8_t endState;
    uint8_t waitcycle;
};

CommandReport ScanCommand(const ScanFields& f) {
    CommandReport report = NewCommand(f.code);
    report[3] = f.instructionStage ? 1 : 0;
    report[5] = f.preStartState;
    report[6] = f.instruction;
    report[7] = f.preEndState;
    report[8] = f.preWaitcycle;
    report[9] = f.startState;
    report[10] = f.startBitOffset;
    report[11] = f.terminate;
    PutLe16(&report[12], f.bitCount);
    report[14] = f.endState;
    report[15] = f.waitcycle;
    return report;
}

// Send-only sequence: the command report with the first 48 data bytes, then
// one report 2 for every further 48 (zeros when data is null).
int SendOnly(const char* operation, HidHandle handle, CommandReport& command, const uint8_t* data,
             unsigned bytes) {
    const unsigned first = std::min<unsigned>(bytes, kDataReportPayload);
    if (data) memcpy(&command[kReportDataOffset], data, first);
    if (!Write(handle, command.data(), command.size())) return Fail(operation, kSet1);
    unsigned sent = first;
    for (unsigned i = 0, n = FollowOnReports(bytes); i < n; ++i) {
        DataReport report{};
        report[0] = kDataReportId;
        const unsigned chunk = std::min<unsigned>(bytes - sent, kDataReportPayload);
        if (data) memcpy(&report[kReportDataOffset], data + sent, chunk);
        if (!Write(handle, report.data(), report.size())) return Fail(operation, kSet2);
        sent += chunk;
    }
    return 1;
}

// Send-and-capture sequence: every written report is answered by one fetched
// report carrying as many captured bytes as were sent in it.
int SendAndCapture(const char* operation, HidHandle handle, CommandReport& command,
                   const uint8_t* in, uint8_t* out, unsigned bytes) {
    unsigned chunk = std::min<unsigned>(bytes, kDataReportPayload);
    Copy(&command[kReportDataOffset], in, chunk);
    if (!Write(handle, command.data(), command.size())) return Fail(operation, kSet1);
    DataReport reply{};
    reply[0] = kDataReportId;
    if (!Fetch(handle, reply.data(), reply.size())) return Fail(operation, kGet1);
    Copy(out, &reply[kReportDataOffset], chunk);
    unsigned done = chunk;
    for (unsigned i = 0, n = FollowOnReports(bytes); i < n; ++i) {
        chunk = std::min<unsigned>(bytes - done, kDataReportPayload);
        DataReport report{};
        report[0] = kDataReportId;
        memcpy(&report[kReportDataOffset], in + done, chunk);
        if (!Write(handle, report.data(), report.size())) return Fail(operation, kSet2);
        report.fill(0);
        report[0] = kDataReportId;
        if (!Fetch(handle, report.data(), report.size())) return Fail(operation, kGet2);
        memcpy(out + done, &report[kReportDataOffset], chunk);
        done += chunk;
    }
    return 1;
}

// Capture-only sequence: the command report, then the captured bytes in
// as many reports 2 as they need.
int Capture(const char* operation, HidHandle handle, CommandReport& command, uint8_t* out,
            unsigned bytes) {
    if (!Write(handle, command.data(), command.size())) return Fail(operation, kSet1);
    for (unsigned done = 0; done < bytes;) {
        DataReport reply{};
        reply[0] = kDataReportId;
        if (!Fetch(handle, reply.data(), reply.size())) return Fail(operation, kGet);
        const unsigned chunk = std::min<unsigned>(bytes - done, kDataReportPayload);
        memcpy(out + done, &reply[kReportDataOffset], chunk);
        done += chunk;
    }
    return 1;
}

// The checks that every composite scan makes on its four states and wait.
const char* CheckStates(unsigned preStart, unsigned preEnd, unsigned start, unsigned end) {
    if (!StateOk(preStart)) return "pre_start_state>11";
    if (!StateOk(preEnd)) return "pre_end_state>11";
    if (!StateOk(start)) return "start_state>11";
    if (!StateOk(end)) return "end_state>11";
    return nullptr;
}

const char* CheckWait(unsigned waitcycle) { return (waitcycle & 0xFF) > 31 ? "waitcycle>31" : nullptr; }

}  // namespace

int CHidDevice::LightLed(int led1_on, int led2_on) {
    HidHandle handle = CDevManage::GetHandle();
    if (!handle) return Fail("LightLed", kNoDevice);
    CommandReport report = NewCommand(kCmdLightLed);
    report[2] = static_cast<uint8_t>((led1_on == 1 ? 0x02 : 0) | (led2_on == 1 ? 0x04 : 0));
    if (!Write(handle, report.data(), report.size())) return Fail("LightLed", kSet1);
    return 1;
}

int CHidDevice::WaitCycles(unsigned cycles) {
    HidHandle handle = CDevManage::GetHandle();
    if (!handle) return Fail("WaitCycles", kNoDevice);
    if (cycles > kMaxWireBits) return Fail("WaitCycles", kBitCountRange);
    CommandReport report = NewCommand(kCmdWaitCycles);
    PutLe16(&report[12], cycles);
    return SendOnly("WaitCycles", handle, report, nullptr, CeilDiv(cycles, 8));
}

int CHidDevice::GotoState(unsigned state) {
    HidHandle handle = CDevManage::GetHandle();
    if (!handle) return Fail("GotoState", kNoDevice);
    if (!StateOk(state)) return Fail("GotoState", kStateRange);
    CommandReport report = NewCommand(kCmdShiftIn);
    report[5] = static_cast<uint8_t>(state & 0xFF);
    if (!Write(handle, report.data(), report.size())) return Fail("GotoState", kSet);
    return 1;
}

int CHidDevice::ShiftIn(unsigned start_bit_offset, unsigned bit_count, const unsigned char* data,
                        int terminate) {
    HidHandle handle = CDevManage::GetHandle();
    if (!handle) return Fail("ShiftIn", kNoDevice);
    if (start_bit_offset > 8) return Fail("ShiftIn", kOffsetRange);
    if (bit_count > kMaxWireBits) return Fail("ShiftIn", kBitCountRange);
    CommandReport report = NewCommand(kCmdShiftIn);
    report[10] = static_cast<uint8_t>(start_bit_offset);
    report[11] = static_cast<uint8_t>(terminate);
    PutLe16(&report[12], bit_count);
    return SendOnly("ShiftIn", handle, report, data, ShiftBytes(start_bit_offset, bit_count));
}

int CHidDevice::ShiftOut(unsigned bit_count, unsigned char* out) {
    HidHandle handle = CDevManage::GetHandle();
    if (!handle) return Fail("ShiftOut", kNoDevice);
    if (!out && bit_count > 0) return Fail("ShiftOut", kNoOutput);
    if (bit_count > kMaxWireBits) return Fail("ShiftOut", kBitCountRange);
    CommandReport report = NewCommand(kCmdShiftOut);
    report[11] = 1;
    PutLe16(&report[12], bit_count);
    return Capture("ShiftOut", handle, report, out, CeilDiv(bit_count, 8));
}

int CHidDevice::ShiftInOut(unsigned bit_count, const unsigned char* in, unsigned char* out) {
    HidHandle handle = CDevManage::GetHandle();
    if (!handle) return Fail("ShiftInOut", kNoDevice);
    if (!out && bit_count > 0) return Fail("ShiftInOut", kNoOutput);
    if (!in && bit_count > 0) return Fail("ShiftInOut", kNoInput);
    if (bit_count > kMaxWireBits) return Fail("ShiftInOut", kBitCountRange);
    CommandReport report = NewCommand(kCmdShiftInOut);
    report[11] = 1;
    PutLe16(&report[12], bit_count);
    return SendAndCapture("ShiftInOut", handle, report, in, out, CeilDiv(bit_count, 8));
}

int CHidDevice::ShiftInEx(unsigned char pre_start_state, unsigned char instruction,
                          unsigned char pre_end_state, unsigned char pre_waitcycle,
                          int instruction_stage, unsigned start_bit_offset, unsigned bit_count,
                          const unsigned char* data, unsigned char terminate,
                          unsigned char start_state, unsigned char end_state,
                          unsigned char waitcycle) {
    HidHandle handle = CDevManage::GetHandle();
    if (!handle) return Fail("ShiftInEx", kNoDevice);
    if (start_bit_offset > 8) return Fail("ShiftInEx", kOffsetRange);
    if (const char* r = CheckStates(pre_start_state, pre_end_state, start_state, end_state))
        return Fail("ShiftInEx", r);
    if (const char* r = CheckWait(waitcycle)) return Fail("ShiftInEx", r);
    if (bit_count > kMaxWireBits) return Fail("ShiftInEx", kBitCountRange);
    CommandReport report = ScanCommand({kCmdShiftIn, instruction_stage == 1, pre_start_state,
                                        instruction, pre_end_state, pre_waitcycle, start_state,
                                        static_cast<uint8_t>(start_bit_offset), terminate,
                                        bit_count, end_state, waitcycle});
    return SendOnly("ShiftInEx", handle, report, data, ShiftBytes(start_bit_offset, bit_count));
}

int CHidDevice::ShiftOutEx(unsigned char pre_start_state, unsigned char instruction,
                           unsigned char pre_end_state, unsigned char pre_waitcycle,
                           int instruction_stage, unsigned bit_count, unsigned char* out,
                           unsigned char start_state, unsigned char end_state,
                           unsigned char waitcycle) {
    HidHandle handle = CDevManage::GetHandle();
    if (!handle) return Fail("ShiftOutEx", kNoDevice);
    if (!out && bit_count > 0) return Fail("ShiftOutEx", kNoOutput);
    if (const char* r = CheckStates(pre_start_state, pre_end_state, start_state, end_state))
        return Fail("ShiftOutEx", r);
    if (const char* r = CheckWait(waitcycle)) return Fail("ShiftOutEx", r);
    if (bit_count > kMaxWireBits) return Fail("ShiftOutEx", kBitCountRange);
    CommandReport report = ScanCommand({kCmdShiftOut, instruction_stage == 1, pre_start_state,
                                        instruction, pre_end_state, pre_waitcycle, start_state, 0, 1,
                                        bit_count, end_state, waitcycle});
    return Capture("ShiftOutEx", handle, report, out, CeilDiv(bit_count, 8));
}

int CHidDevice::ShiftInOutEx(unsigned char pre_start_state, unsigned char instruction,
                             unsigned char pre_end_state, unsigned char pre_waitcycle,
                             int instruction_stage, unsigned bit_count, const unsigned char* in,
                             unsigned char* out, unsigned char start_state,
                             unsigned char end_state, unsigned char waitcycle) {
    HidHandle handle = CDevManage::GetHandle();
    if (!handle) return Fail("ShiftInOutEx", kNoDevice);
    if (!out && bit_count > 0) return Fail("ShiftInOutEx", kNoOutput);
    if (!in && bit_count > 0) return Fail("ShiftInOutEx", kNoInput);
    if (const char* r = CheckStates(pre_start_state, pre_end_state, start_state, end_state))
        return Fail("ShiftInOutEx", r);
    if (const char* r = CheckWait(waitcycle)) return Fail("ShiftInOutEx", r);
    if (bit_count > kMaxWireBits) return Fail("ShiftInOutEx", kBitCountRange);
    CommandReport report = ScanCommand({kCmdShiftInOut, instruction_stage == 1, pre_start_state,
                                        instruction, pre_end_state, pre_waitcycle, start_state, 0,
                                        1, bit_count, end_state, waitcycle});
    return SendAndCapture("ShiftInOutEx", handle, report, in, out, CeilDiv(bit_count, 8));
}

int CHidDevice::ShiftInFrame(unsigned char pre_start_state, unsigned char instruction,
                             unsigned char pre_end_state, int instruction_stage,
                             unsigned start_bit_offset, unsigned total_bits,
                             const unsigned char* data, unsigned short frame_bits,
                             unsigned char start_state, unsigned char end_state,
                             unsigned char frame_waitcycle, unsigned char frame_delay) {
    HidHandle handle = CDevManage::GetHandle();
    if (!handle) return Fail("ShiftInFrame", kNoDevice);
    if (!data && total_bits > 0) return Fail("ShiftInFrame", kNoInput);
    if (start_bit_offset > 8) return Fail("ShiftInFrame", kOffsetRange);
    if (const char* r = CheckStates(pre_start_state, pre_end_state, start_state, end_state))
        return Fail("ShiftInFrame", r);
    // A frame length of 0 has no whole multiple: refuse it the same way.
    if (frame_bits == 0 || total_bits % frame_bits != 0) return Fail("ShiftInFrame", kFrameMultiple);
    if (total_bits > kMaxWireBits) return Fail("ShiftInFrame", kBitCountRange);
    CommandReport report = NewCommand(kCmdShiftInFrame);
    report[2] = instruction_stage == 1 ? 1 : 0;
    report[4] = pre_start_state;
    report[5] = instruction;
    report[6] = pre_end_state;
    report[7] = static_cast<uint8_t>(start_bit_offset);
    report[8] = start_state;
    report[9] = end_state;
    PutLe16(&report[10], frame_bits);
    PutLe16(&report[12], total_bits);
    report[14] = frame_waitcycle;
    report[15] = frame_delay;
    return SendOnly("ShiftInFrame", handle, report, data, ShiftBytes(start_bit_offset, total_bits));
}

int CHidDevice::SetE2pDelay(unsigned char d0, unsigned char d1, unsigned char d2,
                            unsigned char d3, unsigned char d4, unsigned char d5,
                            unsigned char d6, unsigned char d7, unsigned char d8) {
    HidHandle handle = CDevManage::GetHandle();
    if (!handle) return Fail("SetE2pDelay", kNoDevice);
    CommandReport report = NewCommand(kCmdSetE2pDelay);
    const unsigned char timing[] = {d0, d1, d2, d3, d4, d5, d6, d7, d8};
    memcpy(&report[2], timing, sizeof timing);
    if (!Write(handle, report.data(), report.size())) return Fail("SetE2pDelay", kSet);
    return 1;
}

int CHidDevice::SetPort(int port, int setting_a, int setting_b, unsigned char* result) {
    HidHandle handle = CDevManage::GetHandle();
    if (!handle) return Fail("SetPort", kNoDevice);
    CommandReport report = NewCommand(kCmdSetPort);
    report[2] = static_cast<uint8_t>(setting_a);
    report[3] = static_cast<uint8_t>(setting_b);
    report[4] = static_cast<uint8_t>(port);
    if (!Write(handle, report.data(), report.size())) return Fail("SetPort", kSet);
    if (result) {
        vexu::GetClock().SleepMs(1);
        DataReport reply{};
        reply[0] = kDataReportId;
        if (!Fetch(handle, reply.data(), reply.size())) return Fail("SetPort", kGet);
        *result = reply[kReportDataOffset];
    }
    return 1;
}

int CHidDevice::SendTransmitCommand(int with_prefix, int prefix, int with_kind,
                                    const unsigned char* in, unsigned in_len, unsigned char* out,
                                    unsigned out_len) {
    HidHandle handle = CDevManage::GetHandle();
    if (!handle) return FailTransmit(kNoDevice);
    if (!in && in_len != 0) return FailTransmit(kNoInputWithLength);
    if (!out && out_len != 0) return FailTransmit(kNoOutputWithLength);
    if (in_len > kMaxWireBits || out_len > kMaxWireBits) return FailTransmit("in_len/out_len>65535");
    CommandReport report = NewCommand(kCmdTransmit);
    report[2] = with_prefix == 1 ? 1 : 0;
    if (with_kind == 1) report[3] = in_len > 0 && out_len == 0 ? 3 : (in_len > 0 && out_len > 0 ? 9 : 0);
    report[4] = static_cast<uint8_t>(prefix);
    PutLe16(&report[5], in_len);
    PutLe16(&report[7], out_len);
    if (!Write(handle, report.data(), report.size())) return Fail("SendTransmitCommand", kSet);

    if (in_len >= 1 && in_len <= kDataReportPayload) {
        DataReport data{};
        data[0] = kDataReportId;
        memcpy(&data[kReportDataOffset], in, in_len);
        if (!Write(handle, data.data(), data.size())) return Fail("SendTransmitCommand", kSet);
    } else if (in_len > kDataReportPayload) {
        for (unsigned sent = 0; sent < in_len;) {
            BulkReport bulk{};
            bulk[0] = kBulkReportId;
            const unsigned chunk = std::min<unsigned>(in_len - sent, kBulkReportPayload);
            memcpy(&bulk[kReportDataOffset], in + sent, chunk);
            if (!Write(handle, bulk.data(), bulk.size())) return Fail("SendTransmitCommand", kSet);
            sent += chunk;
        }
    }

    if (out_len >= 1 && out_len <= kDataReportPayload) {
        DataReport reply{};
        reply[0] = kDataReportId;
        if (!Fetch(handle, reply.data(), reply.size())) return Fail("SendTransmitCommand", kGet);
        memcpy(out, &reply[kReportDataOffset], out_len);
    } else if (out_len > kDataReportPayload) {
        for (unsigned got = 0; got < out_len;) {
            BulkReport reply{};
            reply[0] = kBulkReportId;
            if (!Fetch(handle, reply.data(), reply.size())) return Fail("SendTransmitCommand", kGet);
            const unsigned chunk = std::min<unsigned>(out_len - got, kBulkReportPayload);
            memcpy(out + got, &reply[kReportDataOffset], chunk);
            got += chunk;
        }
    }
    return 1;
}
