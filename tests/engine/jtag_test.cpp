// The JTAG access layer: scan patterns as reports, the busy poll, the
// shared sequences, trace formats, and the delay with its calibration.
#include "engine_fixture.h"

namespace vexu::test {
namespace {

// A clock whose busy waits take a chosen share of their nominal length,
// and whose first few waits may not move the tick at all.
class SkewedClock final : public Clock {
public:
    SkewedClock(uint64_t numerator, uint64_t denominator) : numerator_(numerator), denominator_(denominator) {}
    void SleepMs(uint32_t ms) override { now_ += uint64_t{ms} * 1000; }
    void BusyWaitUs(uint64_t us) override {
        ++busyWaits;
        waited.push_back(us);
        if (stalledWaits > 0) {
            --stalledWaits;
            return;
        }
        now_ += us * numerator_ / denominator_;
    }
    uint64_t NowUs() override { return now_; }
    int64_t CalendarSeconds() override { return 0; }

    int stalledWaits = 0;
    int busyWaits = 0;
    std::vector<uint64_t> waited;

private:
    uint64_t now_ = 5'000'000;
    uint64_t numerator_;
    uint64_t denominator_;
};

TEST(DelayCalibration, MeasuredLengthSetsTheLoopCount) {
    struct Case {
        uint64_t numerator, denominator;  // measured / nominal
        uint32_t loopCount;
    };
    const Case cases[] = {
        {1, 1, 1200},   // 300 ms: trunc(1000 x 1.2)
        {5, 6, 1440},   // 250 ms: trunc(1200 x 1.2)
        {2, 1, 600},    // 600 ms: trunc(500 x 1.2)
    };
    for (const Case& c : cases) {
        dp_reset_state();
        SkewedClock clock(c.numerator, c.denominator);
        ScopedClock scoped(clock);
        dp_calibrate_delay();
        EXPECT_EQ(g_dpState.delayLoopCount, c.loopCount) << c.numerator << "/" << c.denominator;
        EXPECT_EQ(clock.waited.front(), 300000u);  // measured at the nominal loop count
    }
}

TEST(DelayCalibration, ATickThatDoesNotAdvanceMeasuresAgain) {
    dp_reset_state();
    SkewedClock clock(1, 1);
    clock.stalledWaits = 2;
    ScopedClock scoped(clock);
    dp_calibrate_delay();
    EXPECT_EQ(clock.busyWaits, 3);
    EXPECT_EQ(g_dpState.delayLoopCount, 1200u);
}

TEST(SpinDelay, LastsAboutATenthMoreThanNominalAndNeverLess) {
    struct Case {
        uint32_t loopCount, units;
        uint64_t microseconds;
    };
    const Case cases[] = {
        {0, 100, 100},        // not calibrated: one microsecond per unit
        {1200, 100, 120},     // calibrated on an exact clock
        {1200, 20, 24},
        {1440, 20, 29},       // rounded up, never down
        {600, 1000, 1000},    // a calibration on a slow machine never shortens a delay
        {1200, 0, 0},
    };
    for (const Case& c : cases) {
        dp_reset_state();
        g_dpState.delayLoopCount = c.loopCount;
        SkewedClock clock(1, 1);
        ScopedClock scoped(clock);
        dp_spin_delay(c.units);
        ASSERT_EQ(clock.waited.size(), 1u);
        EXPECT_EQ(clock.waited[0], c.microseconds) << c.loopCount << " x " << c.units;
    }
}

TEST(EngineTrace, ValuesAndBytesInTheirRadix) {
    TraceCapture trace;
    dp_trace_value(0x029121CF, 0);
    dp_trace_value(0xFFFFFFFF, 1);
    dp_trace_value(0x141, 2);
    dp_trace_value(5, 3);  // unknown radix writes nothing
    dp_trace_value(1023, 1);
    const uint8_t bytes[] = {0x0A, 0x00, 0xFF, 0x41};
    dp_trace_bytes(bytes, 4, 0);
    dp_trace_bytes(bytes, 4, 1);
    dp_trace_bytes(bytes + 3, 1, 2);
    dp_trace_bytes(bytes, 4, 7);
    EXPECT_EQ(trace.Lines(), std::vector<std::string>({"29121CF", "-1", "A", "1023", "A 0 FF 41 ", "10 0 255 65 ", "A "}));
}

using JtagTest = EngineTest;

TEST_F(JtagTest, ScanPatternsAsReports) {
    uint8_t data[2] = {0x5A, 0x01};
    uint8_t capture[2] = {0xEE, 0xEE};
    box.answers[0x0F] = {0x34, 0x02};
    dp_ir(0x0F, DP_PAUSE_IR);
    dp_dr_in(9, data, DP_IDLE);
    dp_dr_out(10, capture, DP_PAUSE_DR);
    dp_wait(3);

    auto command = [](std::initializer_list<std::pair<int, uint8_t>> bytes) {
        std::vector<uint8_t> report(64, 0);
        report[0] = 1;
        for (auto [at, value] : bytes) report[at] = value;
        return report;
    };
    const std::vector<std::vector<uint8_t>> expected = {
        command({{1, 0xF1}, {5, 4}}),                                      // to Shift-IR
        command({{1, 0xF1}, {11, 1}, {12, 8}, {16, 0x0F}}),                // the instruction
        command({{1, 0xF1}, {5, 8}}),                                      // to Pause-IR
        command({{1, 0xF1}, {5, 3}}),                                      // to Shift-DR
        command({{1, 0xF1}, {11, 1}, {12, 9}, {16, 0x5A}, {17, 0x01}}),    // DR in
        command({{1, 0xF1}, {5, 2}}),                                      // to idle
        command({{1, 0xF1}, {5, 3}}),
        command({{1, 0xF2}, {11, 1}, {12, 10}}),                           // DR out
        {},                                                                // (fetch)
        command({{1, 0xF1}, {5, 7}}),
        command({{1, 0xF0}, {12, 3}}),                                     // wait 3
    };
    ASSERT_EQ(box.Transfers().size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        if (!expected[i].empty()) {
            EXPECT_EQ(box.Transfers()[i].bytes, expected[i]) << "report " << i;
        }
    EXPECT_FALSE(box.Transfers()[8].set);
    EXPECT_EQ(capture[0], 0x34);
    EXPECT_EQ(capture[1], 0x02);
}

TEST_F(JtagTest, ACaptureThatFailsReadsAsZeros) {
    uint8_t capture[4] = {0xAA, 0xBB, 0xCC, 0xDD};
    box.failTransfer = 1;
    EXPECT_EQ(dp_dr_out(32, capture, DP_PAUSE_DR), 0);
    EXPECT_EQ(capture[0] | capture[1] | capture[2] | capture[3], 0);
    EXPECT_GT(g_dpState.failedCommands, 0u);
}

TEST_F(JtagTest, ModeC0OnlyForTheFamiliesThatNeedIt) {
    struct Case {
        uint32_t id;
        bool sendsC0;
    };
    const Case cases[] = {
        {0x049011CF, true},  {0x0D9011CF, true},   // bits outside 0x06FFFFFF ignored
        {0x02B261CF, true},  {0x031921CF, true},   {0x071921CF, true},
        {0x032141CF, true},  {0x033261CF, true},   {0x0353A1CF, true},
        {0x029121CF, false}, {0x023261CF, false},  {0x132141CF, true},  // 0x0FFFFFFF mask: bit 28 ignored
        {0x042141CF, false},
    };
    for (const Case& c : cases) {
        box.scans.clear();
        g_dpState.deviceId = c.id;
        dp_enter_mode_c0();
        EXPECT_EQ(box.Instructions() == std::vector<uint8_t>{0xC0}, c.sendsC0) << std::hex << c.id;
    }
}

TEST_F(JtagTest, DecryptorResetSequence) {
    dp_decryptor_reset();
    ASSERT_EQ(box.scans.size(), 2u);
    EXPECT_EQ(box.scans[0].ir, 0xDD);
    EXPECT_FALSE(box.scans[1].instruction);
    EXPECT_EQ(box.scans[1].bits, 128u);
    EXPECT_EQ(box.scans[1].in, std::vector<uint8_t>(16, 0));
    EXPECT_EQ(box.gotoStates, std::vector<uint8_t>({4, 8, 3, 2}));
    EXPECT_EQ(box.Transfers().back().bytes[1], 0xF0);  // wait 3
    EXPECT_EQ(box.Transfers().back().bytes[12], 3);
}

TEST_F(JtagTest, BusyPollEndsWhenReadyOrAfterItsLastTry) {
    struct Case {
        const char* what;
        int busyPolls;   // answers with a busy bit before ready; -1 never ready
        long failFrom;
        uint8_t code;
        size_t polls;
    };
    const Case cases[] = {
        {"ready at once", 0, -1, DPE_SUCCESS, 1},
        {"ready at the third poll", 2, -1, DPE_SUCCESS, 3},
        {"never ready", -1, -1, DPE_POLL_TIMEOUT, 16381},
        {"link gone", -1, 4, DPE_SUCCESS, 2},
    };
    // Every poll is one ShiftOutEx: 0x84 from Shift-IR to idle, 5 bits from Shift-DR to idle.
    dp_wait_ready();
    std::vector<uint8_t> expected(64, 0);
    expected[0] = 1;
    expected[1] = 0xF2;
    expected[3] = 1;
    expected[5] = 4;
    expected[6] = 0x84;
    expected[7] = 2;
    expected[9] = 3;
    expected[11] = 1;
    expected[12] = 5;
    expected[14] = 2;
    ASSERT_EQ(box.Transfers().size(), 2u);
    EXPECT_EQ(box.Transfers()[0].bytes, expected);
    for (const Case& c : cases) {
        g_dpState.errorCode = DPE_SUCCESS;
        box.scans.clear();
        box.Reset();
        box.failTransfer = c.failFrom < 0 ? 0 : static_cast<size_t>(c.failFrom) + 1;
        int answered = 0;
        box.responder = [&](uint8_t ir, unsigned, const std::vector<uint8_t>&) -> std::vector<uint8_t> {
            if (ir != 0x84) return {};
            const bool busy = c.busyPolls < 0 || answered++ < c.busyPolls;
            return {static_cast<uint8_t>(busy ? 0x08 : 0x10)};  // 0x10 is not a busy bit
        };
        const uint64_t start = clock.NowUs();
        dp_wait_ready();
        EXPECT_EQ(g_dpState.errorCode, c.code) << c.what;
        size_t polls = 0;
        for (const JtagScan& scan : box.scans) polls += !scan.instruction && scan.ir == 0x84 && scan.bits == 5;
        EXPECT_EQ(polls, c.polls) << c.what;
        EXPECT_GE(clock.NowUs() - start, 100 * c.polls) << c.what;
        box.responder = nullptr;
    }
}

}  // namespace
}  // namespace vexu::test
