// Every injected fault shows at the instruction that should reveal it, and
// the device answers every other instruction as a healthy one would.
#include <gtest/gtest.h>

#include <functional>
#include <numeric>

#include "fpga_bench.h"

namespace vexu::sim::test {
namespace {

using namespace fpga_crypto;

const AesKey128 kDeviceKey = [] {
    AesKey128 key;
    std::iota(key.begin(), key.end(), 0x10);
    return key;
}();
constexpr const char* kDeviceKeyHex = "101112131415161718191A1B1C1D1E1F";

// Programs and verifies the top rows; returns the two verify results per row.
std::vector<std::array<uint8_t, 2>> ProgramAndVerify(Scanner& s, FpgaModel& fpga, unsigned count) {
    std::vector<Bytes> rows;
    for (unsigned k = 0; k < count; ++k) rows.push_back(RowPattern(fpga, k + 1));
    RowAddressReset(s);
    for (const Bytes& row : rows) {
        LoadPlainRow(s, row);
        PulseRow(s);
        EXPECT_GE(WaitReady(s), 0);
        RowAddressNext(s);
    }
    std::vector<std::array<uint8_t, 2>> results;
    RowAddressReset(s);
    for (const Bytes& row : rows) {
        LoadPlainRow(s, row);
        results.push_back({VerifyPass(s, 0), VerifyPass(s, 1)});
        RowAddressNext(s);
    }
    return results;
}

// Authentication status after each of count encrypted rows.
std::vector<uint8_t> AuthenticateRows(Scanner& s, FpgaModel& fpga, unsigned count) {
    std::vector<uint8_t> status;
    ResetDecryptor(s);
    RowAddressReset(s);
    for (unsigned k = 0; k < count; ++k) {
        LoadEncryptedRow(s, EncryptArrayRow(kDeviceKey, RowPattern(fpga, k)));
        status.push_back(AuthStatus(s) & 0x08);
    }
    return status;
}

struct FaultCase {
    const char* name;
    Keys keys;
    // Checks of instructions the fault must not touch; run first.
    std::function<void(Scanner&, FpgaModel&)> elsewhere;
    // The instruction that reveals the fault.
    std::function<void(Scanner&, FpgaModel&)> reveals;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class FpgaFaultTest : public ::testing::TestWithParam<std::tuple<FaultCase, Transport>> {
protected:
    VirtualClock clock_;
    ScopedClock scopedClock_{clock_};
};

TEST_P(FpgaFaultTest, ShowsWhereItShouldAndNowhereElse) {
    const FaultCase& c = std::get<0>(GetParam());
    Keys keys = c.keys;
    keys["aes-key"] = kDeviceKeyHex;
    std::unique_ptr<Bench> benchOwner = MakeBench(std::get<1>(GetParam()), keys);
    Bench& bench = *benchOwner;
    Scanner& s = bench.scan();
    ModeAnswer mode = EnterProgrammingMode(s);
    ASSERT_TRUE(mode.modeFlag);
    ASSERT_EQ(mode.irCapture & 0x20, 0);
    ASSERT_EQ(mode.status & 0x04, 0);
    {
        SCOPED_TRACE("elsewhere");
        c.elsewhere(s, bench.fpga());
    }
    {
        SCOPED_TRACE("reveals");
        c.reveals(s, bench.fpga());
    }
    EXPECT_EQ(bench.BoxViolations(), 0u);
}

const FaultCase kFaultCases[] = {
    {"never_ready",
     {{"never-ready", ""}},
     [](Scanner& s, FpgaModel& fpga) {
         Erase(s, 0x4001);
         EXPECT_GE(WaitErased(s), 0);
         EXPECT_EQ(AesCheck(s, AesCheckBlock(kDeviceKey))[15], 0xC0);
         EXPECT_EQ(PresentPassKey(s, fpga.PassKey()), 0x01);
     },
     [](Scanner& s, FpgaModel& fpga) {
         RowAddressReset(s);
         LoadPlainRow(s, RowPattern(fpga, 1));
         PulseRow(s);
         EXPECT_EQ(PollStatus(s, 0x0B, 500), -1);
         EXPECT_EQ(ReadStatus(s) & 0x0B, 0x01);
     }},
    {"erase_never_completes",
     {{"erase-never-completes", ""}},
     [](Scanner& s, FpgaModel& fpga) {
         EXPECT_EQ(ProgramAndVerify(s, fpga, 2),
                   (std::vector<std::array<uint8_t, 2>>{{0, 0}, {0, 0}}));
         ProgramUrow(s, Bytes(16, 0x00));
         EXPECT_GE(WaitReady(s), 0);
     },
     [](Scanner& s, FpgaModel&) {
         Erase(s, 0x4001);
         EXPECT_EQ(PollStatus(s, 0x03, 300, 1000), -1);
         EXPECT_EQ(ReadStatus(s) & 0x03, 0x02);
     }},
    {"verify_fail_row_pass1",
     {{"verify-fail-row", "1242"}, {"verify-fail-pass", "1"}},
     [](Scanner& s, FpgaModel&) {
         EXPECT_EQ(ReadIdcode(s), 0x029121CFu);
     },
     [](Scanner& s, FpgaModel& fpga) {
         auto results = ProgramAndVerify(s, fpga, 3);  // rows 1243, 1242, 1241
         EXPECT_EQ(results, (std::vector<std::array<uint8_t, 2>>{{0, 0}, {0, 1}, {0, 0}}));
         auto held = fpga.ArrayRow(1242);
         Bytes expected = RowPattern(fpga, 2);
         EXPECT_TRUE(std::equal(held.begin(), held.end(), expected.begin()));
     }},
    {"verify_fail_row_pass0",
     {{"verify-fail-row", "1243"}},
     [](Scanner&, FpgaModel&) {},
     [](Scanner& s, FpgaModel& fpga) {
         auto results = ProgramAndVerify(s, fpga, 2);
         EXPECT_EQ(results, (std::vector<std::array<uint8_t, 2>>{{1, 0}, {0, 0}}));
     }},
    {"flashrom_compare_fail",
     {{"flashrom-compare-fail", "3"}},
     [](Scanner& s, FpgaModel&) {
         ProgramFlashRomPage(s, 4, Bytes(16, 0x44));
         ASSERT_GE(WaitReady(s), 0);
         EXPECT_EQ(CompareFlashRomPage(s, 4, Bytes(16, 0x44)), 0x03);
     },
     [](Scanner& s, FpgaModel& fpga) {
         ProgramFlashRomPage(s, 3, Bytes(16, 0x33));
         ASSERT_GE(WaitReady(s), 0);
         EXPECT_EQ(CompareFlashRomPage(s, 3, Bytes(16, 0x33)), 0x00);
         EXPECT_EQ(ReadFlashRomPage(s, 3), Bytes(16, 0x33));
         EXPECT_EQ(fpga.FlashRomPage(3)[0], 0x33);
     }},
    {"auth_fail",
     {{"auth-fail", ""}},
     [](Scanner& s, FpgaModel& fpga) {
         EXPECT_EQ(ProgramAndVerify(s, fpga, 1), (std::vector<std::array<uint8_t, 2>>{{0, 0}}));
         EXPECT_EQ(AesCheck(s, AesCheckBlock(kDeviceKey))[15], 0xC0);
     },
     [](Scanner& s, FpgaModel& fpga) {
         EXPECT_EQ(AuthenticateRows(s, fpga, 1), (std::vector<uint8_t>{0x08}));
     }},
    {"auth_fail_row",
     {{"auth-fail-row", "1242"}},
     [](Scanner&, FpgaModel&) {},
     [](Scanner& s, FpgaModel& fpga) {
         EXPECT_EQ(AuthenticateRows(s, fpga, 3), (std::vector<uint8_t>{0, 0x08, 0x08}));
         // The failure stays reported; the rows around it still open.
         EXPECT_EQ(fpga.Counters().rowsAuthenticated, 2u);
     }},
    {"aes_silent",
     {{"aes-silent", ""}},
     [](Scanner& s, FpgaModel& fpga) {
         EXPECT_EQ(AuthenticateRows(s, fpga, 2), (std::vector<uint8_t>{0, 0}));
         EXPECT_EQ(PresentPassKey(s, fpga.PassKey()), 0x01);
     },
     [](Scanner& s, FpgaModel&) {
         EXPECT_EQ(AesCheck(s, AesCheckBlock(kDeviceKey)), Bytes(16, 0));
         EXPECT_EQ(AesCheck(s, kM7Challenge), Bytes(16, 0));
     }},
    {"nvm_frame_refused",
     {{"idcode", "0x032141CF"}, {"nvm-frame-refused", "3"}},
     [](Scanner& s, FpgaModel& fpga) {
         ASSERT_GE(LoadNvmAddress(s, 0), 0);
         LoadNvmWords(s, std::vector<uint32_t>(32, 0x12345678));
         EXPECT_GE(ProgramNvmPage(s), 0);
         EXPECT_EQ(fpga.NvmWord(0, 0, 31), 0x12345678u);
     },
     [](Scanner& s, FpgaModel& fpga) {
         std::array<uint8_t, kNvmPageBytes> data{};
         auto frames = EncryptNvmPage(kDeviceKey, data);
         ResetDecryptor(s);
         EXPECT_EQ(SendNvmFrame(s, 0x0C, frames.data()) & 0x10, 0);
         EXPECT_EQ(SendNvmFrame(s, 0x0C, frames.data() + 16) & 0x10, 0);
         EXPECT_EQ(SendNvmFrame(s, 0x0C, frames.data() + 32) & 0x10, 0x10);
         EXPECT_EQ(fpga.Counters().nvmFramesRefused, 1u);
     }},
    {"security_readback_differs",
     {{"idcode", "0x032141CF"}, {"security-readback-differs", ""}},
     [](Scanner& s, FpgaModel&) {
         const Bytes urow(16, 0x5A);
         Erase(s, 0x4000);
         ASSERT_GE(WaitErased(s), 0);
         ProgramUrow(s, urow);
         ASSERT_GE(WaitReady(s), 0);
         EXPECT_EQ(ReadUrow(s), urow);
     },
     [](Scanner& s, FpgaModel& fpga) {
         // Written: lock bits 0x00B000, signature 0x87654321.
         const Bytes written = {0x00, 0xB0, 0x00, 0x21, 0x43, 0x65, 0x87};
         ProgramSecurity(s, written, 56);
         ASSERT_GE(WaitReady(s), 0);
         Bytes expected = written;
         expected[3] ^= 0x01;
         EXPECT_EQ(ReadSecurity(s, 56), expected);
         EXPECT_EQ(fpga.SecurityLockWord(), 0x00B000u);
     }},
};

INSTANTIATE_TEST_SUITE_P(Faults, FpgaFaultTest,
                         ::testing::Combine(::testing::ValuesIn(kFaultCases),
                                            ::testing::Values(Transport::Direct, Transport::Box)),
                         [](const ::testing::TestParamInfo<std::tuple<FaultCase, Transport>>& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    TransportName(std::get<1>(info.param));
                         });

}  // namespace
}  // namespace vexu::sim::test
