#include "sim/sim_box.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "sim/idcode_device.h"

namespace vexu::sim {

namespace {

// The box's side of the wire, written down independently of the host code so
// that a mistake on either side shows as a violation.
constexpr size_t kShortReportLength = 64;
constexpr size_t kBulkReportLength = 320;
constexpr size_t kPayloadOffset = 16;
constexpr size_t kShortPayload = 48;
constexpr size_t kBulkPayload = 304;
constexpr uint8_t kCommandId = 1;
constexpr uint8_t kDataId = 2;
constexpr uint8_t kBulkId = 3;

enum : uint8_t {
    kShiftFrames = 0xA0,
    kLamps = 0xA1,
    kPort = 0xB0,
    kTransmit = 0xB1,
    kSerialTiming = 0xB2,
    kWait = 0xF0,
    kShiftIn = 0xF1,
    kShiftOut = 0xF2,
    kShiftInOut = 0xF3,
};

constexpr uint8_t kMaxStateCode = 11;
// State codes the box knows but the programmer never asks for.
constexpr bool IsUnusedStateCode(uint8_t code) { return code == 5 || code == 6 || code == 10 || code == 11; }
constexpr uint8_t kMaxWaitcycle = 31;
constexpr uint8_t kMaxBitOffset = 8;
constexpr uint8_t kLampBits = 0x06;
constexpr uint8_t kPortOff = 0xFF;
constexpr uint8_t kPortSwitched = 0x01;  // the SetPort result byte
constexpr uint8_t kNothingConnected = 0xFF;
constexpr uint8_t kKindBoxFrame = 0;
constexpr uint8_t kKindWrite = 3;
constexpr uint8_t kKindWriteRead = 9;
constexpr uint8_t kSerialEntryFrame[] = {0xFF, 0xFF, 'V', 'O', 'R'};
constexpr uint8_t kSerialRefused = 0x00;
constexpr uint8_t kSpiDummy = 0x00;  // MOSI while the box reads
constexpr unsigned kTapSyncClocks = 5;

// Box state codes 1..11; 0 means "stay".
constexpr TapState kStateCodes[kMaxStateCode + 1] = {
    TapState::TestLogicReset,  // unused: 0 is "stay"
    TapState::TestLogicReset, TapState::RunTestIdle, TapState::ShiftDr,  TapState::ShiftIr,
    TapState::Exit1Dr,        TapState::Exit1Ir,     TapState::PauseDr,  TapState::PauseIr,
    TapState::UpdateDr,       TapState::UpdateIr,    TapState::CaptureDr,
};

// Command report layouts: which of bytes 2..15 carry fields (bit n = byte n)
// and whether bytes 16..63 carry data. Everything else must be zero.
struct CommandLayout {
    uint8_t code;
    const char* name;
    uint16_t fieldBytes;
    bool carriesData;
};

constexpr uint16_t Bytes(std::initializer_list<int> bytes) {
    uint16_t mask = 0;
    for (int b : bytes) mask = static_cast<uint16_t>(mask | (1u << b));
    return mask;
}

constexpr CommandLayout kLayouts[] = {
    {kShiftFrames, "ShiftInFrame", Bytes({2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}), true},
    {kLamps, "LightLed", Bytes({2}), false},
    {kPort, "SetPort", Bytes({2, 3, 4}), false},
    {kTransmit, "SendTransmitCommand", Bytes({2, 3, 4, 5, 6, 7, 8}), false},
    {kSerialTiming, "SetE2pDelay", Bytes({2, 3, 4, 5, 6, 7, 8, 9, 10}), false},
    {kWait, "WaitCycles", Bytes({12, 13}), false},
    {kShiftIn, "ShiftIn", Bytes({3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}), true},
    {kShiftOut, "ShiftOut", Bytes({3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}), false},
    {kShiftInOut, "ShiftInOut", Bytes({3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}), true},
};

const CommandLayout* FindLayout(uint8_t code) {
    for (const CommandLayout& layout : kLayouts)
        if (layout.code == code) return &layout;
    return nullptr;
}

unsigned Le16(const uint8_t* at) { return at[0] | (at[1] << 8); }

size_t CeilDiv(size_t a, size_t b) { return (a + b - 1) / b; }

bool Bit(const std::vector<uint8_t>& bytes, size_t index) {
    return index / 8 < bytes.size() && ((bytes[index / 8] >> (index % 8)) & 1);
}

std::string Hex(unsigned value) {
    char text[8];
    snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

constexpr size_t kViolationLogLimit = 100;

}  // namespace

SimBox::SimBox() : jtag_(std::make_unique<IdcodeDevice>()) { tap_.SetDevice(jtag_.get()); }

SimBox::~SimBox() = default;

void SimBox::AttachJtagDevice(std::unique_ptr<JtagDevice> device) {
    jtag_ = device ? std::move(device) : std::make_unique<IdcodeDevice>();
    tap_.SetDevice(jtag_.get());
}

void SimBox::AttachSpiDevice(std::unique_ptr<SpiDevice> device) { spi_ = std::move(device); }

const PortState& SimBox::Port(int port) const {
    static const PortState kNoPort;
    return port == kJtagPortNumber ? jtagPort_ : port == kSerialPortNumber ? serialPort_ : kNoPort;
}

void SimBox::PowerUp() {
    lamp1_ = lamp2_ = false;
    jtagPort_ = PortState{};
    serialPort_ = PortState{};
    serialMode_ = false;
    e2pDelay_.fill(0);
    pending_.reset();
    replies_.clear();
}

void SimBox::Violation(std::string what) {
    ++counters_.violations;
    if (violationLog_.size() < kViolationLogLimit) violationLog_.push_back(std::move(what));
}

bool SimBox::HasRequiredReply() const {
    return std::any_of(replies_.begin(), replies_.end(), [](const Reply& r) { return !r.optional; });
}

bool SimBox::WriteReport(const uint8_t* report, size_t length) {
    ++counters_.reportsWritten;
    if (length == 0) {
        Violation("empty report written");
        return false;
    }
    const uint8_t id = report[0];
    const size_t expected = id == kCommandId || id == kDataId ? kShortReportLength
                            : id == kBulkId                   ? kBulkReportLength
                                                              : 0;
    if (expected == 0) {
        Violation("report " + std::to_string(id) + " written: no such report");
        return false;
    }
    if (length != expected) {
        Violation("report " + std::to_string(id) + " written with " + std::to_string(length) + " bytes instead of " +
                  std::to_string(expected));
        return false;
    }
    if (id == kCommandId) {
        OnCommand(report);
    } else {
        OnData(report, length);
    }
    return true;
}

bool SimBox::FetchReport(uint8_t* report, size_t length) {
    ++counters_.reportsFetched;
    if (length == 0) {
        Violation("empty report fetched");
        return false;
    }
    const uint8_t id = report[0];
    const size_t expected = id == kDataId ? kShortReportLength : id == kBulkId ? kBulkReportLength : 0;
    if (expected == 0) {
        Violation("report " + std::to_string(id) + " fetched: the box sends only reports 2 and 3");
        return false;
    }
    if (length != expected) {
        Violation("report " + std::to_string(id) + " fetched with " + std::to_string(length) + " bytes instead of " +
                  std::to_string(expected));
        return false;
    }
    memset(report + 1, 0, length - 1);
    if (replies_.empty()) {
        Violation("report " + std::to_string(id) + " fetched with nothing pending");
        return true;
    }
    if (replies_.front().reportId != id) {
        Violation("report " + std::to_string(id) + " fetched while report " +
                  std::to_string(replies_.front().reportId) + " is pending");
        return true;
    }
    const Reply& reply = replies_.front();
    const size_t n = std::min(reply.payload.size(), length - kPayloadOffset);
    std::copy(reply.payload.begin(), reply.payload.begin() + static_cast<ptrdiff_t>(n), report + kPayloadOffset);
    replies_.pop_front();
    return true;
}

void SimBox::QueueReplies(const std::vector<uint8_t>& bytes, size_t perReport, uint8_t reportId) {
    for (size_t at = 0; at < bytes.size(); at += perReport) {
        const size_t n = std::min(perReport, bytes.size() - at);
        replies_.push_back({reportId, std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + at + n), false});
    }
}

void SimBox::OnCommand(const uint8_t* report) {
    if (pending_) {
        Violation("command " + Hex(pending_->command[1]) + " abandoned: " +
                  std::to_string(pending_->dataBytes - pending_->data.size()) + " data bytes never came");
        pending_.reset();
    }
    if (HasRequiredReply()) {
        Violation(std::to_string(std::count_if(replies_.begin(), replies_.end(),
                                               [](const Reply& r) { return !r.optional; })) +
                  " replies never fetched before command " + Hex(report[1]));
    }
    replies_.clear();
    ++counters_.commands;

    const uint8_t code = report[1];
    const CommandLayout* layout = FindLayout(code);
    if (!layout) {
        Violation("unknown command " + Hex(code));
        return;
    }
    for (int b = 2; b < static_cast<int>(kPayloadOffset); ++b)
        if (report[b] && !(layout->fieldBytes & (1u << b)))
            Violation(std::string(layout->name) + ": reserved byte " + std::to_string(b) + " is " + Hex(report[b]));
    if (!layout->carriesData &&
        std::any_of(report + kPayloadOffset, report + kShortReportLength, [](uint8_t b) { return b != 0; }))
        Violation(std::string(layout->name) + ": data bytes in a command that carries none");

    Pending command;
    memcpy(command.command.data(), report, kShortReportLength);
    command.refused = !CheckCommand(report);
    pending_ = std::move(command);

    switch (code) {
        case kLamps:
            LightLed(report);
            pending_.reset();
            return;
        case kPort:
            SetPort(report);
            pending_.reset();
            return;
        case kSerialTiming:
            SetE2pDelay(report);
            pending_.reset();
            return;
        case kShiftOut:
            BeginCapture();
            return;
        case kShiftInOut:
            pending_->dataBytes = CeilDiv(Le16(report + 12), 8);
            BeginCapture();
            return;
        case kTransmit:
            // The sent bytes follow in data reports of their own.
            pending_->dataBytes = Le16(report + 5);
            pending_->dataReportId = pending_->dataBytes > kShortPayload ? kBulkId : kDataId;
            if (pending_->dataBytes == 0) Finish();
            return;
        case kWait:
            pending_->dataBytes = CeilDiv(Le16(report + 12), 8);
            break;
        case kShiftIn:
            pending_->dataBytes = CeilDiv(report[10] + Le16(report + 12), 8);
            break;
        case kShiftFrames:
            pending_->dataBytes = CeilDiv(report[7] + Le16(report + 12), 8);
            break;
    }
    // Send-only commands: the command report carries the first 48 data bytes
    // (a wait's are zeros), data reports 2 the rest.
    Absorb(report + kPayloadOffset, std::min(pending_->dataBytes, kShortPayload));
}

void SimBox::OnData(const uint8_t* report, size_t length) {
    const uint8_t id = report[0];
    for (size_t b = 1; b < kPayloadOffset; ++b) {
        if (report[b]) {
            Violation("data report " + std::to_string(id) + ": reserved byte " + std::to_string(b) + " is " +
                      Hex(report[b]));
            break;
        }
    }
    if (!pending_ || pending_->data.size() >= pending_->dataBytes || pending_->dataReportId != id) {
        Violation("data report " + std::to_string(id) + " that no command announced");
        return;
    }
    // Optional replies lapse once the host moves on.
    std::erase_if(replies_, [](const Reply& r) { return r.optional; });
    const uint8_t code = pending_->command[1];
    if (code == kShiftInOut && !replies_.empty())
        Violation("ShiftInOut: data report written before the previous capture was fetched");
    const size_t room = length - kPayloadOffset;
    Absorb(report + kPayloadOffset, std::min(room, pending_->dataBytes - pending_->data.size()));
}

void SimBox::Absorb(const uint8_t* payload, size_t count) {
    pending_->data.insert(pending_->data.end(), payload, payload + count);
    if (pending_->command[1] == kShiftInOut) {
        CaptureChunk();
        return;
    }
    if (pending_->data.size() == pending_->dataBytes) Finish();
}

void SimBox::Finish() {
    switch (pending_->command[1]) {
        case kShiftIn:
            RunShiftIn();
            break;
        case kWait:
            RunWait();
            break;
        case kShiftFrames:
            RunFrames();
            break;
        case kTransmit:
            RunTransmit();
            break;
        default:
            break;
    }
    pending_.reset();
}

// Field checks; a command with a field out of range is received in full but
// not carried out (its captures read all ones).
bool SimBox::CheckCommand(const uint8_t* report) {
    const CommandLayout& layout = *FindLayout(report[1]);
    bool ok = true;
    auto field = [&](const char* name, unsigned value, bool valid) {
        if (valid) return;
        Violation(std::string(layout.name) + ": " + name + " " + std::to_string(value) + " out of range");
        ok = false;
    };
    auto state = [&](const char* name, size_t at) {
        field(name, report[at], report[at] <= kMaxStateCode);
        // Carried out, but counted: the programmer's scans never end there.
        if (IsUnusedStateCode(report[at]) && !allowUnusedStates_) {
            ++counters_.unusedStates;
            Violation(std::string(layout.name) + ": " + name + " " + std::to_string(report[at]) +
                      " is a state the programmer never uses");
        }
    };
    switch (report[1]) {
        case kShiftIn:
        case kShiftOut:
        case kShiftInOut: {
            const bool sendOnly = report[1] == kShiftIn;
            field("instruction_stage", report[3], report[3] <= 1);
            state("pre_start_state", 5);
            state("pre_end_state", 7);
            state("start_state", 9);
            field("start_bit_offset", report[10], sendOnly ? report[10] <= kMaxBitOffset : report[10] == 0);
            field("terminate", report[11], sendOnly ? report[11] <= 1 : report[11] == 1);
            state("end_state", 14);
            field("waitcycle", report[15], report[15] <= kMaxWaitcycle);
            break;
        }
        case kShiftFrames: {
            field("instruction_stage", report[2], report[2] <= 1);
            state("pre_start_state", 4);
            state("pre_end_state", 6);
            field("start_bit_offset", report[7], report[7] <= kMaxBitOffset);
            state("start_state", 8);
            state("end_state", 9);
            const unsigned frameBits = Le16(report + 10);
            const unsigned totalBits = Le16(report + 12);
            field("frame_bits", frameBits, frameBits > 0 && totalBits % frameBits == 0);
            break;
        }
        case kTransmit: {
            const unsigned in = Le16(report + 5);
            const unsigned out = Le16(report + 7);
            const uint8_t kind = report[3];
            field("with_prefix", report[2], report[2] <= 1);
            field("transfer_kind", kind,
                  kind == kKindBoxFrame || (kind == kKindWrite && in > 0 && out == 0) ||
                      (kind == kKindWriteRead && in > 0 && out > 0));
            break;
        }
        case kPort:
            field("port", report[4], report[4] == kJtagPortNumber || report[4] == kSerialPortNumber);
            break;
        case kLamps:
            field("lamp bits", report[2], (report[2] & ~kLampBits) == 0);
            break;
        default:
            break;
    }
    return ok;
}

void SimBox::LightLed(const uint8_t* report) {
    if (pending_->refused) return;
    lamp1_ = report[2] & 0x02;
    lamp2_ = report[2] & 0x04;
}

void SimBox::SetPort(const uint8_t* report) {
    uint8_t result = 0;
    if (!pending_->refused) {
        PortState& port = report[4] == kJtagPortNumber ? jtagPort_ : serialPort_;
        const bool wasOn = port.on;
        port.settingA = report[2];
        port.settingB = report[3];
        port.on = !(report[2] == kPortOff && report[3] == kPortOff);
        // The box does not know the state of a TAP it has just been connected
        // to: it clocks TMS high until the TAP must be in Test-Logic-Reset.
        if (&port == &jtagPort_ && port.on && !wasOn)
            for (unsigned i = 0; i < kTapSyncClocks; ++i) tap_.Clock(true, false);
        result = kPortSwitched;
    }
    // Ready in case the host asks for the result; it need not.
    std::vector<uint8_t> payload{result};
    replies_.push_back({kDataId, payload, true});
}

void SimBox::SetE2pDelay(const uint8_t* report) { std::copy(report + 2, report + 11, e2pDelay_.begin()); }

// --- JTAG port -------------------------------------------------------------

void SimBox::Move(uint8_t stateCode) {
    if (stateCode != 0) tap_.MoveTo(kStateCodes[stateCode]);
}

// The stage before the data: move to pre_start_state, shift the instruction
// when the command asks for it (leaving Shift-IR on its last bit), move to
// pre_end_state and clock the pre-stage wait. The moves run with or without
// the instruction: a plain state move travels in pre_start_state.
void SimBox::PreStage(const uint8_t* command, size_t preStart, size_t instruction, size_t preEnd, bool shift,
                      uint8_t preWait) {
    Move(command[preStart]);
    if (shift) ShiftBits({command[instruction]}, 0, 8, true, nullptr);
    Move(command[preEnd]);
    tap_.Idle(preWait);
}

void SimBox::ShiftBits(const std::vector<uint8_t>& stream, size_t firstBit, size_t count, bool terminate,
                       std::vector<uint8_t>* capture) {
    if (count > 0 && !TapController::IsShiftState(tap_.State()))
        Violation("shift of " + std::to_string(count) + " bits in " + TapController::Name(tap_.State()));
    for (size_t i = 0; i < count; ++i) {
        const bool tdo = tap_.Clock(terminate && i + 1 == count, Bit(stream, firstBit + i));
        if (capture && tdo) (*capture)[i / 8] = static_cast<uint8_t>((*capture)[i / 8] | (1u << (i % 8)));
    }
}

// Send-only scan: instruction stage, data stage, when its data are all in.
void SimBox::RunShiftIn() {
    if (!Executes()) return;
    const uint8_t* c = pending_->command.data();
    PreStage(c, 5, 6, 7, c[3] == 1, c[8]);
    Move(c[9]);
    ShiftBits(pending_->data, c[10], Le16(c + 12), c[11] == 1, nullptr);
    Move(c[14]);
    tap_.Idle(c[15]);
}

void SimBox::RunWait() {
    if (Executes()) tap_.Idle(Le16(pending_->command.data() + 12));
}

// Framed scan: for every frame the box goes to start_state, shifts the frame
// and leaves the shift state on its last bit, goes to end_state, clocks
// frame_waitcycle and waits frame_delay.
void SimBox::RunFrames() {
    if (!Executes()) return;
    const uint8_t* c = pending_->command.data();
    PreStage(c, 4, 5, 6, c[2] == 1, 0);
    const size_t frameBits = Le16(c + 10);
    const size_t totalBits = Le16(c + 12);
    for (size_t done = 0; done < totalBits; done += frameBits) {
        Move(c[8]);
        ShiftBits(pending_->data, c[7] + done, frameBits, true, nullptr);
        Move(c[9]);
        tap_.Idle(c[14]);
        if (c[15]) {
            const uint64_t us = uint64_t{c[15]} * kFrameDelayUnitUs;
            counters_.frameDelayUs += us;
            GetClock().BusyWaitUs(us);
        }
    }
}

// Capture commands: the instruction stage and the move to start_state run
// when the command report arrives.
void SimBox::BeginCapture() {
    const uint8_t* c = pending_->command.data();
    if (Executes()) {
        PreStage(c, 5, 6, 7, c[3] == 1, c[8]);
        Move(c[9]);
    }
    if (c[1] == kShiftInOut) {
        Absorb(c + kPayloadOffset, std::min(pending_->dataBytes, kShortPayload));
        return;
    }
    // Capture only: every bit now, with TDI low, fetched in reports 2.
    const size_t bits = Le16(c + 12);
    std::vector<uint8_t> captured(CeilDiv(bits, 8), Executes() ? 0x00 : kNothingConnected);
    if (Executes()) {
        ShiftBits({}, 0, bits, c[11] == 1, &captured);
        Move(c[14]);
        tap_.Idle(c[15]);
    }
    QueueReplies(captured, kShortPayload, kDataId);
    pending_.reset();
}

// Shift-and-capture: each report's data are shifted as they arrive and
// answered by one fetched report holding as many captured bytes.
void SimBox::CaptureChunk() {
    const uint8_t* c = pending_->command.data();
    const size_t totalBits = Le16(c + 12);
    const size_t chunkBytes = pending_->data.size() - pending_->bitsDone / 8;
    const size_t bits = std::min(totalBits, pending_->data.size() * 8) - pending_->bitsDone;
    std::vector<uint8_t> captured(chunkBytes, Executes() ? 0x00 : kNothingConnected);
    if (Executes()) {
        std::vector<uint8_t> chunk(pending_->data.end() - static_cast<ptrdiff_t>(chunkBytes), pending_->data.end());
        const bool last = pending_->bitsDone + bits == totalBits;
        ShiftBits(chunk, 0, bits, last && c[11] == 1, &captured);
    }
    pending_->bitsDone += bits;
    replies_.push_back({kDataId, std::move(captured), false});
    if (pending_->data.size() < pending_->dataBytes) return;
    if (Executes()) {
        Move(c[14]);
        tap_.Idle(c[15]);
    }
    pending_.reset();
}

// --- Serial port -----------------------------------------------------------

void SimBox::SpiFrame(const uint8_t* in, size_t inLength, uint8_t* out, size_t outLength) {
    ++counters_.spiFrames;
    if (!spi_) {
        std::fill(out, out + outLength, kNothingConnected);
        return;
    }
    spi_->Select();
    for (size_t i = 0; i < inLength; ++i) spi_->Transfer(in[i]);
    for (size_t i = 0; i < outLength; ++i) out[i] = spi_->Transfer(kSpiDummy);
    spi_->Deselect();
}

void SimBox::RunTransmit() {
    const uint8_t* c = pending_->command.data();
    const std::vector<uint8_t>& in = pending_->data;
    const size_t outLength = Le16(c + 7);
    std::vector<uint8_t> answer(outLength, kNothingConnected);
    const bool live = serialPort_.on && !pending_->refused;
    const uint8_t kind = c[3];
    if (!live) {
        // nothing connected: all ones
    } else if (kind == kKindBoxFrame) {
        // A frame for the box itself: only the serial-mode entry is known.
        std::fill(answer.begin(), answer.end(), 0x00);
        const bool entry = in.size() == sizeof kSerialEntryFrame &&
                           std::equal(in.begin(), in.end(), std::begin(kSerialEntryFrame));
        if (entry && !answer.empty()) answer[0] = refuseSerial_ ? kSerialRefused : kSerialModeAccepted;
        if (entry && !refuseSerial_) serialMode_ = true;
    } else if (!serialMode_) {
        // Outside serial mode the box does not drive the serial device.
    } else if (kind == kKindWrite && in.size() == 1 && in[0] == kSerialModeLeave) {
        serialMode_ = false;
    } else {
        // The prefix goes out as an instruction of its own, in its own
        // chip-select cycle, before the frame.
        if (c[2] == 1) SpiFrame(&c[4], 1, nullptr, 0);
        SpiFrame(in.data(), in.size(), answer.data(), answer.size());
    }
    if (outLength <= kShortPayload) {
        QueueReplies(answer, kShortPayload, kDataId);
    } else {
        QueueReplies(answer, kBulkPayload, kBulkId);
    }
}

}  // namespace vexu::sim
