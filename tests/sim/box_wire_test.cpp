// The box firmware model fed with reports built byte by byte here, without
// the host's protocol code.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "sim/sim_box.h"
#include "sim/spi_flash.h"

namespace vexu::sim {
namespace {

using Report = std::vector<uint8_t>;
using Fields = std::vector<std::pair<int, uint8_t>>;

Report Command(uint8_t code, const Fields& fields, const std::vector<uint8_t>& data = {}) {
    Report report(64, 0);
    report[0] = 1;
    report[1] = code;
    for (auto [at, value] : fields) report[at] = value;
    std::copy(data.begin(), data.end(), report.begin() + 16);
    return report;
}

Report DataReport(const std::vector<uint8_t>& payload, uint8_t id = 2) {
    Report report(id == 3 ? 320 : 64, 0);
    report[0] = id;
    std::copy(payload.begin(), payload.end(), report.begin() + 16);
    return report;
}

// Records the DR bits a device sees, per capture-to-update scan.
class ScanRecorder final : public JtagDevice {
public:
    unsigned IrLength() const override { return 8; }
    void Reset() override { ++resets; }
    uint32_t CaptureIr() override { return 1; }
    void UpdateIr(uint32_t instruction) override { instructions.push_back(instruction); }
    void CaptureDr() override { scans.emplace_back(); }
    bool ShiftDr(bool tdi) override {
        scans.back().push_back(tdi);
        return tdi;  // a wire: what goes in comes straight out
    }
    void UpdateDr() override { ++updates; }
    void Clock(TapState state, uint32_t cycles) override {
        if (state == TapState::RunTestIdle) idleClocks += cycles;
    }
    std::vector<std::vector<bool>> scans;
    std::vector<uint32_t> instructions;
    int resets = 0;
    int updates = 0;
    uint64_t idleClocks = 0;
};

// Records chip-select cycles on the serial port.
class SpiRecorder final : public SpiDevice {
public:
    void Select() override { frames.emplace_back(); }
    uint8_t Transfer(uint8_t mosi) override {
        frames.back().push_back(mosi);
        return static_cast<uint8_t>(mosi ^ 0x5A);
    }
    void Deselect() override {}
    std::vector<std::vector<uint8_t>> frames;
};

class BoxWire : public ::testing::Test {
protected:
    void SetUp() override {
        auto jtag = std::make_unique<ScanRecorder>();
        jtag_ = jtag.get();
        box_.AttachJtagDevice(std::move(jtag));
        auto spi = std::make_unique<SpiRecorder>();
        spi_ = spi.get();
        box_.AttachSpiDevice(std::move(spi));
    }
    bool Write(const Report& report) { return box_.WriteReport(report.data(), report.size()); }
    // Fetches a report and gives back its data bytes.
    Report Fetch(uint8_t id = 2) {
        Report report(id == 3 ? 320 : 64, 0);
        report[0] = id;
        EXPECT_TRUE(box_.FetchReport(report.data(), report.size()));
        return Report(report.begin() + 16, report.end());
    }
    void JtagOn() { ASSERT_TRUE(Write(Command(0xB0, {{2, 0x01}, {3, 0x0E}, {4, 1}}))); }
    void SerialOn() { ASSERT_TRUE(Write(Command(0xB0, {{2, 0xFC}, {3, 0xFF}, {4, 2}}))); }
    void Goto(uint8_t code) { ASSERT_TRUE(Write(Command(0xF1, {{5, code}}))); }
    // A transfer on the serial port; returns the answer bytes.
    Report Transmit(const std::vector<uint8_t>& in, size_t outLength, uint8_t kind, int prefix = -1) {
        Fields fields = {{3, kind},
                         {5, static_cast<uint8_t>(in.size())},
                         {6, static_cast<uint8_t>(in.size() >> 8)},
                         {7, static_cast<uint8_t>(outLength)},
                         {8, static_cast<uint8_t>(outLength >> 8)}};
        if (prefix >= 0) {
            fields.push_back({2, 1});
            fields.push_back({4, static_cast<uint8_t>(prefix)});
        }
        EXPECT_TRUE(Write(Command(0xB1, fields)));
        const size_t inReport = in.size() <= 48 ? 48 : 304;
        for (size_t at = 0; at < in.size(); at += inReport)
            EXPECT_TRUE(Write(DataReport(
                std::vector<uint8_t>(in.begin() + at, in.begin() + std::min(in.size(), at + inReport)),
                in.size() <= 48 ? 2 : 3)));
        Report answer;
        const size_t outReport = outLength <= 48 ? 48 : 304;
        for (size_t at = 0; at < outLength; at += outReport) {
            Report part = Fetch(outLength <= 48 ? 2 : 3);
            answer.insert(answer.end(), part.begin(), part.begin() + std::min(outReport, outLength - at));
        }
        return answer;
    }
    // Fetches what a command of no data bits leaves to fetch (one empty
    // capture at most).
    void FetchReplies() {
        for (int i = 0; i < 2 && box_.CommandInProgress(); ++i) Fetch();
        EXPECT_FALSE(box_.CommandInProgress());
    }
    Report EnterSerialMode() { return Transmit({0xFF, 0xFF, 'V', 'O', 'R'}, 1, 0); }
    std::string Violations() {
        std::string text;
        for (const std::string& v : box_.Violations()) text += v + "\n";
        return text;
    }

    VirtualClock clock_;
    ScopedClock scoped_{clock_};
    SimBox box_;
    ScanRecorder* jtag_ = nullptr;
    SpiRecorder* spi_ = nullptr;
};

std::vector<bool> Bits(const std::vector<uint8_t>& bytes, size_t first, size_t count) {
    std::vector<bool> bits;
    for (size_t i = first; i < first + count; ++i) bits.push_back((bytes[i / 8] >> (i % 8)) & 1);
    return bits;
}

TEST_F(BoxWire, StateCodesMoveTheTapToTheirStates) {
    box_.SetAllowUnusedStates(true);  // every code, the ones the programmer never uses too
    JtagOn();
    EXPECT_EQ(jtag_->resets, 1) << "reset once, when the board came up";
    Goto(2);
    ASSERT_TRUE(Write(Command(0xB0, {{2, 0xFF}, {3, 0xFF}, {4, 1}})));
    JtagOn();
    EXPECT_EQ(box_.CurrentTapState(), TapState::TestLogicReset) << "switching the port on resets the TAP";
    EXPECT_EQ(jtag_->resets, 2);
    const std::pair<uint8_t, TapState> kCodes[] = {
        {2, TapState::RunTestIdle}, {3, TapState::ShiftDr},  {5, TapState::Exit1Dr},   {7, TapState::PauseDr},
        {9, TapState::UpdateDr},    {11, TapState::CaptureDr}, {4, TapState::ShiftIr}, {6, TapState::Exit1Ir},
        {8, TapState::PauseIr},     {10, TapState::UpdateIr},  {0, TapState::UpdateIr}, {1, TapState::TestLogicReset},
    };
    for (auto [code, state] : kCodes) {
        Goto(code);
        EXPECT_EQ(box_.CurrentTapState(), state) << "code " << int(code);
    }
    EXPECT_EQ(box_.Counters().violations, 0u) << Violations();
}

// States 5, 6, 10 and 11 move the TAP like any other, but a command that
// names one in any of its state fields is a violation: the programmer's
// scans never rest there, so a scan that ends in one is a host fault.
TEST_F(BoxWire, UnusedStateCodesAreViolationsInEveryStateField) {
    struct Field {
        const char* name;
        uint8_t code;  // command
        int byte;      // where the state goes
    };
    const Field kFields[] = {
        {"ShiftIn pre_start_state", 0xF1, 5}, {"ShiftIn pre_end_state", 0xF1, 7},
        {"ShiftIn start_state", 0xF1, 9},     {"ShiftIn end_state", 0xF1, 14},
        {"ShiftOut end_state", 0xF2, 14},     {"ShiftInOut start_state", 0xF3, 9},
        {"ShiftInFrame pre_start_state", 0xA0, 4}, {"ShiftInFrame pre_end_state", 0xA0, 6},
        {"ShiftInFrame start_state", 0xA0, 8},     {"ShiftInFrame end_state", 0xA0, 9},
    };
    JtagOn();
    for (const Field& field : kFields) {
        for (uint8_t state = 0; state <= 11; ++state) {
            box_.PowerUp();
            JtagOn();
            const uint64_t before = box_.Counters().violations;
            Fields fields = {{field.byte, state}};
            // A frame command needs a frame length; capture commands terminate.
            if (field.code == 0xA0) fields.push_back({10, 1});
            if (field.code != 0xF1 && field.code != 0xA0) fields.push_back({11, 1});
            ASSERT_TRUE(Write(Command(field.code, fields)));
            FetchReplies();
            const bool unused = state == 5 || state == 6 || state == 10 || state == 11;
            EXPECT_EQ(box_.Counters().violations - before, unused ? 1u : 0u)
                << field.name << " " << int(state) << "\n" << Violations();
            EXPECT_EQ(box_.Counters().unusedStates, box_.Counters().violations);
        }
    }
    // Allowed, the same commands are clean.
    box_.SetAllowUnusedStates(true);
    const uint64_t before = box_.Counters().violations;
    for (const Field& field : kFields) {
        box_.PowerUp();
        JtagOn();
        Fields fields = {{field.byte, 10}};
        if (field.code == 0xA0) fields.push_back({10, 1});
        if (field.code != 0xF1 && field.code != 0xA0) fields.push_back({11, 1});
        ASSERT_TRUE(Write(Command(field.code, fields)));
        FetchReplies();
    }
    EXPECT_EQ(box_.Counters().violations, before) << Violations();
}

TEST_F(BoxWire, ShiftStartsAtTheGivenBitOfTheFirstByteAcrossDataReports) {
    JtagOn();
    // 400 bits from bit 3: 51 bytes, the last 3 in a data report.
    std::vector<uint8_t> stream(51);
    for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<uint8_t>(i * 37 + 11);
    Goto(3);
    ASSERT_TRUE(Write(Command(0xF1, {{10, 3}, {11, 1}, {12, 400 & 0xFF}, {13, 400 >> 8}},
                              std::vector<uint8_t>(stream.begin(), stream.begin() + 48))));
    EXPECT_TRUE(jtag_->scans.back().empty()) << "nothing shifted before the last data report";
    ASSERT_TRUE(Write(DataReport({stream[48], stream[49], stream[50]})));
    ASSERT_EQ(jtag_->scans.size(), 1u);
    EXPECT_EQ(jtag_->scans[0], Bits(stream, 3, 400));
    EXPECT_EQ(box_.CurrentTapState(), TapState::Exit1Dr) << "terminate leaves Shift-DR on the last bit";
    EXPECT_FALSE(box_.CommandInProgress());
    EXPECT_EQ(box_.Counters().violations, 0u) << Violations();
}

TEST_F(BoxWire, ShiftInOutAnswersEveryReportWithItsCapturedBytes) {
    JtagOn();
    std::vector<uint8_t> in(125);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i ^ 0xA5);
    const Fields fields = {{11, 1}, {12, 1000 & 0xFF}, {13, 1000 >> 8}, {9, 3}, {14, 7}};
    ASSERT_TRUE(Write(Command(0xF3, fields, std::vector<uint8_t>(in.begin(), in.begin() + 48))));
    Report out = Fetch();
    out.resize(48);
    for (size_t at = 48; at < in.size(); at += 48) {
        const size_t n = std::min<size_t>(48, in.size() - at);
        ASSERT_TRUE(Write(DataReport(std::vector<uint8_t>(in.begin() + at, in.begin() + at + n))));
        Report part = Fetch();
        out.insert(out.end(), part.begin(), part.begin() + n);
        EXPECT_TRUE(std::all_of(part.begin() + n, part.end(), [](uint8_t b) { return b == 0; }));
    }
    EXPECT_EQ(out, in) << "the recorder is a wire";
    EXPECT_EQ(box_.CurrentTapState(), TapState::PauseDr);
    EXPECT_EQ(jtag_->scans.at(0).size(), 1000u);
    EXPECT_EQ(box_.Counters().violations, 0u) << Violations();
}

TEST_F(BoxWire, CompositeScanRunsInstructionStageThenDataStage) {
    JtagOn();
    // IR 0x84 via Shift-IR to Run-Test/Idle, 2 idle clocks; data stage of 5
    // bits captured from Shift-DR to Run-Test/Idle, 3 idle clocks.
    const Fields fields = {{3, 1}, {5, 4}, {6, 0x84}, {7, 2}, {8, 2}, {9, 3}, {11, 1}, {12, 5}, {14, 2}, {15, 3}};
    ASSERT_TRUE(Write(Command(0xF2, fields)));
    EXPECT_EQ(Fetch()[0], 0x00) << "TDI low during a capture-only scan comes back through the wire";
    EXPECT_EQ(jtag_->instructions, std::vector<uint32_t>{0x84});
    EXPECT_EQ(jtag_->scans.at(0).size(), 5u);
    EXPECT_EQ(jtag_->idleClocks, 5u + 2u) << "the waits, and two clocks leaving Run-Test/Idle";
    EXPECT_EQ(box_.CurrentTapState(), TapState::RunTestIdle);
    EXPECT_EQ(box_.Counters().violations, 0u) << Violations();
}

TEST_F(BoxWire, FramedScanRepeatsMovesForEveryFrame) {
    JtagOn();
    Goto(2);
    // 112 frames of 26 bits: 364 bytes, the command report and 7 data reports.
    std::vector<uint8_t> stream(364);
    for (size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<uint8_t>(i * 13 + 5);
    const Fields fields = {{2, 1}, {4, 4}, {5, 0xC1}, {6, 8}, {8, 3}, {9, 2}, {10, 26}, {12, 2912 & 0xFF},
                           {13, 2912 >> 8}, {14, 3}, {15, 48}};
    ASSERT_TRUE(Write(Command(0xA0, fields, std::vector<uint8_t>(stream.begin(), stream.begin() + 48))));
    for (size_t at = 48; at < stream.size(); at += 48)
        ASSERT_TRUE(Write(DataReport(std::vector<uint8_t>(stream.begin() + at,
                                                          stream.begin() + std::min(stream.size(), at + 48)))));
    ASSERT_EQ(jtag_->scans.size(), 112u);
    for (size_t f = 0; f < 112; ++f) ASSERT_EQ(jtag_->scans[f], Bits(stream, f * 26, 26)) << "frame " << f;
    EXPECT_EQ(jtag_->updates, 112);
    EXPECT_EQ(jtag_->instructions, std::vector<uint32_t>{0xC1});
    EXPECT_EQ(box_.Counters().frameDelayUs, 112u * 48u * kFrameDelayUnitUs);
    EXPECT_EQ(box_.Counters().violations, 0u) << Violations();
}

TEST_F(BoxWire, PortsThatAreOffSeeAllOnes) {
    // JTAG port off: nothing moves, captures read all ones.
    ASSERT_TRUE(Write(Command(0xF2, {{9, 3}, {11, 1}, {12, 32}, {14, 2}})));
    Report idcode = Fetch();
    EXPECT_EQ(Report(idcode.begin(), idcode.begin() + 5), (Report{0xFF, 0xFF, 0xFF, 0xFF, 0x00}));
    EXPECT_EQ(box_.CurrentTapState(), TapState::TestLogicReset);
    EXPECT_TRUE(jtag_->scans.empty());
    // Serial port off: the entry frame is answered by the pulled-up line.
    EXPECT_EQ(EnterSerialMode(), Report{0xFF});
    EXPECT_FALSE(box_.InSerialMode());
    // Switched on and off again.
    JtagOn();
    ASSERT_TRUE(Write(Command(0xB0, {{2, 0xFF}, {3, 0xFF}, {4, 1}})));
    EXPECT_FALSE(box_.Port(1).on);
    ASSERT_TRUE(Write(Command(0xF2, {{9, 3}, {11, 1}, {12, 16}, {14, 2}})));
    Report capture = Fetch();
    EXPECT_EQ(Report(capture.begin(), capture.begin() + 2), (Report{0xFF, 0xFF}));
    EXPECT_TRUE(spi_->frames.empty());
}

TEST_F(BoxWire, SerialModeEntryPrefixAndExit) {
    SerialOn();
    // Before serial mode the flash is not driven.
    EXPECT_EQ(Transmit({0x9F}, 1, 9), Report{0xFF});
    EXPECT_EQ(EnterSerialMode(), Report{0xAA});
    EXPECT_TRUE(box_.InSerialMode());
    EXPECT_EQ(Transmit({0x9F}, 2, 9), (Report{0x5A, 0x5A})) << "dummy bytes 0x00 clocked out";
    // A prefixed frame: the prefix in its own chip-select cycle first.
    std::vector<uint8_t> program(260, 0x11);
    program[0] = 0x02;
    Transmit(program, 0, 3, 0x06);
    ASSERT_EQ(spi_->frames.size(), 3u);
    EXPECT_EQ(spi_->frames[1], std::vector<uint8_t>{0x06});
    EXPECT_EQ(spi_->frames[2], program);
    // 0x55 leaves and does not reach the chip.
    Transmit({0x55}, 0, 3);
    EXPECT_FALSE(box_.InSerialMode());
    EXPECT_EQ(spi_->frames.size(), 3u);
    // A long read comes back in reports 3.
    EnterSerialMode();
    Report page = Transmit({0x03, 0, 0, 0}, 600, 9);
    ASSERT_EQ(page.size(), 600u);
    EXPECT_EQ(page[599], 0x5A);
    EXPECT_EQ(box_.Counters().violations, 0u) << Violations();
}

TEST_F(BoxWire, RefusedSerialModeAnswersZero) {
    box_.SetRefuseSerial(true);
    SerialOn();
    EXPECT_EQ(EnterSerialMode(), Report{0x00});
    EXPECT_FALSE(box_.InSerialMode());
}

TEST_F(BoxWire, LampsPortsAndTimingAreKept) {
    ASSERT_TRUE(Write(Command(0xA1, {{2, 0x04}})));
    EXPECT_FALSE(box_.LampOn(1));
    EXPECT_TRUE(box_.LampOn(2));
    ASSERT_TRUE(Write(Command(0xB2, {{2, 40}, {3, 2}, {4, 22}, {5, 3}, {6, 3}, {7, 3}, {8, 3}, {9, 22}, {10, 2}})));
    EXPECT_EQ(box_.E2pDelay(), (std::array<uint8_t, 9>{40, 2, 22, 3, 3, 3, 3, 22, 2}));
    SerialOn();
    EXPECT_EQ(box_.Port(2).settingA, 0xFC);
    // The SetPort result may be fetched, or not.
    EXPECT_EQ(Fetch()[0], 0x01);
    SerialOn();
    Goto(0);
    box_.PowerUp();
    EXPECT_FALSE(box_.LampOn(2));
    EXPECT_FALSE(box_.Port(2).on);
    EXPECT_EQ(box_.Counters().violations, 0u) << Violations();
}

// Each case breaks the protocol once; the box notes it, and with a wrong
// length or an unknown report it stalls the transfer.
TEST_F(BoxWire, ProtocolViolationsAreCounted) {
    struct Case {
        const char* what;
        std::vector<Report> writes;
        int fetches;
        bool lastAccepted;
        const char* note;
    };
    Report shortCommand = Command(0xA1, {});
    shortCommand.resize(63);
    const std::vector<Case> kCases = {
        {"data report nobody announced", {DataReport({1, 2})}, 0, true, "no command announced"},
        {"bulk report where a short one belongs",
         {Command(0xB1, {{3, 3}, {5, 4}}), DataReport({1, 2, 3, 4}, 3)}, 0, true, "no command announced"},
        {"command report of 63 bytes", {shortCommand}, 0, false, "63 bytes"},
        {"report id 4", {Report(64, 4)}, 0, false, "no such report"},
        {"fetch with nothing pending", {}, 1, true, "nothing pending"},
        {"state 12", {Command(0xF1, {{5, 12}})}, 0, true, "pre_start_state 12"},
        {"wait of 32", {Command(0xF1, {{15, 32}})}, 0, true, "waitcycle 32"},
        {"bit offset 9", {Command(0xF1, {{10, 9}})}, 0, true, "start_bit_offset 9"},
        {"frame not a multiple", {Command(0xA0, {{10, 26}, {12, 27}}, {0, 0, 0, 0})}, 0, true, "frame_bits"},
        {"write kind with a read", {Command(0xB1, {{3, 3}, {5, 1}, {7, 1}}), DataReport({0x05})}, 1, true,
         "transfer_kind"},
        {"port 3", {Command(0xB0, {{4, 3}})}, 0, true, "port 3"},
        {"unknown command", {Command(0xC7, {})}, 0, true, "unknown command 0xC7"},
        {"reserved byte", {Command(0xA1, {{9, 1}})}, 0, true, "reserved byte 9"},
        {"command abandoned", {Command(0xF1, {{12, 0xFF}, {13, 1}}), Command(0xA1, {})}, 0, true, "abandoned"},
        {"capture not fetched", {Command(0xF2, {{11, 1}, {12, 8}}), Command(0xA1, {})}, 0, true, "never fetched"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        SimBox box;
        bool accepted = true;
        for (const Report& r : c.writes) accepted = box.WriteReport(r.data(), r.size());
        for (int i = 0; i < c.fetches; ++i) {
            Report reply(64, 0);
            reply[0] = 2;
            accepted = box.FetchReport(reply.data(), reply.size());
        }
        EXPECT_EQ(accepted, c.lastAccepted);
        EXPECT_EQ(box.Counters().violations, 1u);
        ASSERT_FALSE(box.Violations().empty());
        EXPECT_NE(box.Violations()[0].find(c.note), std::string::npos) << box.Violations()[0];
    }
}

TEST_F(BoxWire, ScanWithAFieldOutOfRangeKeepsTheReportFlowButDoesNothing) {
    JtagOn();
    Goto(2);
    // A capture of 400 bits with end state 12: refused, yet its two replies
    // are there to be fetched, all ones.
    ASSERT_TRUE(Write(Command(0xF2, {{9, 3}, {11, 1}, {12, 400 & 0xFF}, {13, 400 >> 8}, {14, 12}})));
    EXPECT_EQ(Fetch(), Report(48, 0xFF));
    Report last = Fetch();
    EXPECT_EQ(Report(last.begin(), last.begin() + 3), (Report{0xFF, 0xFF, 0x00}));
    EXPECT_EQ(box_.CurrentTapState(), TapState::RunTestIdle);
    EXPECT_EQ(box_.Counters().violations, 1u) << Violations();
}

}  // namespace
}  // namespace vexu::sim
