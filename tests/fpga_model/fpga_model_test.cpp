// The simulated FPGA driven by raw scans straight into its JTAG methods:
// what it answers, what it holds afterwards, and how long it takes.
#include <gtest/gtest.h>

#include <numeric>

#include "fpga_bench.h"
#include "tools/image/demo_images.h"

namespace vexu::sim::test {
namespace {

using namespace fpga_crypto;

class FpgaModelTestBase : public ::testing::Test {
protected:
    virtual Transport transport() const = 0;
    void SetUp() override { Use({}); }
    void TearDown() override {
        if (bench_) {
            EXPECT_EQ(bench_->BoxViolations(), 0u);
        }
        bench_.reset();
    }
    void Use(const Keys& keys) {
        if (bench_) {
            EXPECT_EQ(bench_->BoxViolations(), 0u);
        }
        bench_.reset();  // one device manager at a time
        bench_ = MakeBench(transport(), keys);
    }
    FpgaModel& fpga() { return bench_->fpga(); }
    Scanner& scan() { return bench_->scan(); }
    uint32_t TopRow() { return fpga().Scenario().geometry.arrayRowCount - 1; }

    // Programs rows from the top down, one pulse each, as a program loop does.
    void ProgramTopRows(const std::vector<Bytes>& rows) {
        RowAddressReset(scan());
        for (const Bytes& row : rows) {
            LoadPlainRow(scan(), row);
            PulseRow(scan());
            ASSERT_GE(WaitReady(scan()), 0);
            RowAddressNext(scan());
        }
    }

    VirtualClock clock_;
    ScopedClock scopedClock_{clock_};
    std::unique_ptr<Bench> bench_;
};

// Runs on both transports: straight into the device and through the box.
class FpgaModelTest : public FpgaModelTestBase, public ::testing::WithParamInterface<Transport> {
protected:
    Transport transport() const override { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Transports, FpgaModelTest,
                         ::testing::Values(Transport::Direct, Transport::Box),
                         [](const ::testing::TestParamInfo<Transport>& info) {
                             return std::string(TransportName(info.param));
                         });

// Long sequences that need no second run through the box.
class FpgaModelDirectTest : public FpgaModelTestBase {
protected:
    Transport transport() const override { return Transport::Direct; }
};

TEST_P(FpgaModelTest, AnswersItsIdCodeAfterReset) {
    Use({{"idcode", "0x0274E1CF"}});
    scan().ResetTap();
    EXPECT_EQ(ReadIdcode(scan()), 0x0274E1CFu);
    EXPECT_EQ(fpga().RowBytes(), 14u * 26);
    EXPECT_EQ(fpga().DataRegisterBits(0x01), 2424u);
}

TEST_F(FpgaModelDirectTest, DefaultDeviceHoldsTheDemoImageAfterAProgramPass) {
    const image::ImageParts demo = image::DemoFpgaParts();
    scan().ResetTap();
    ASSERT_EQ(ReadIdcode(scan()), demo.idCode);
    const uint32_t rows = fpga().Scenario().geometry.arrayRowCount;
    ASSERT_EQ(demo.arrayRows.size(), size_t{rows} * fpga().RowBytes());
    auto imageRow = [&](uint32_t k) {
        return Bytes(demo.arrayRows.begin() + size_t{k} * fpga().RowBytes(),
                     demo.arrayRows.begin() + size_t{k + 1} * fpga().RowBytes());
    };

    EnterProgrammingMode(scan());
    RowAddressReset(scan());
    for (uint32_t k = 0; k < rows; ++k) {
        LoadPlainRow(scan(), imageRow(k));
        PulseRow(scan());
        ASSERT_GE(WaitReady(scan()), 0);
        RowAddressNext(scan());
    }
    LoadPlainRow(scan(), demo.rlock);
    PulseRlock(scan());
    ASSERT_GE(WaitReady(scan()), 0);

    RowAddressReset(scan());
    for (uint32_t k = 0; k < rows; ++k) {
        LoadPlainRow(scan(), imageRow(k));
        ASSERT_EQ(VerifyPass(scan(), 0, 3), 0) << "row " << k;
        ASSERT_EQ(VerifyPass(scan(), 1, 3), 0) << "row " << k;
        RowAddressNext(scan());
    }
    for (uint32_t k : {0u, 1u, rows / 2, rows - 1}) {
        auto held = fpga().ArrayRow(rows - 1 - k);
        EXPECT_EQ(Bytes(held.begin(), held.end()), imageRow(k)) << "image row " << k;
    }
    EXPECT_EQ(Bytes(fpga().Rlock().begin(), fpga().Rlock().end()), demo.rlock);
    EXPECT_EQ(fpga().Counters().whileBusy + fpga().Counters().oddLengthScans, 0u);
}

TEST_P(FpgaModelTest, ProgrammingModeEntryAndEachRefusal) {
    struct Case {
        const char* refusal;
        bool irRefused;
        bool modeFlag;
        bool statusFault;
    };
    const Case cases[] = {
        {nullptr, false, true, false},
        {"ir", true, false, false},
        {"flag", false, false, false},
        {"status", false, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refusal ? c.refusal : "healthy");
        Keys keys;
        if (c.refusal) keys["mode-refused"] = c.refusal;
        Use(keys);
        ModeAnswer answer = EnterProgrammingMode(scan());
        EXPECT_EQ(answer.irCapture & 0x03, 0x01);
        EXPECT_EQ((answer.irCapture & 0x20) != 0, c.irRefused);
        EXPECT_EQ(answer.modeFlag, c.modeFlag);
        EXPECT_EQ((answer.status & 0x04) != 0, c.statusFault);
        // The refusal shows nowhere in the busy bits.
        EXPECT_EQ(answer.status & 0x0B, 0);
        EXPECT_EQ(fpga().InProgrammingMode(), c.modeFlag);
    }
}

TEST_P(FpgaModelTest, ExitLeavesProgrammingModeAndReportsUserMode) {
    EXPECT_NE(scan().Ir(0xFF, End::Idle) & 0x04, 0);
    EnterProgrammingMode(scan());
    EXPECT_EQ(scan().Ir(0xFF, End::Idle) & 0x04, 0);
    EXPECT_NE(ExitProgrammingMode(scan()) & 0x04, 0);
    EXPECT_FALSE(fpga().InProgrammingMode());
}

TEST_P(FpgaModelTest, ProgrammedRowsHoldTheirDataAndVerifyInBothPasses) {
    EnterProgrammingMode(scan());
    std::vector<Bytes> rows = {RowPattern(fpga(), 1), RowPattern(fpga(), 2), RowPattern(fpga(), 3)};
    ProgramTopRows(rows);
    for (size_t k = 0; k < rows.size(); ++k) {
        auto held = fpga().ArrayRow(TopRow() - static_cast<uint32_t>(k));
        EXPECT_TRUE(std::equal(held.begin(), held.end(), rows[k].begin())) << "row " << k;
    }
    auto untouched = fpga().ArrayRow(TopRow() - 3);
    EXPECT_TRUE(std::all_of(untouched.begin(), untouched.end(), [](uint8_t b) { return b == 0xFF; }));

    RowAddressReset(scan());
    for (const Bytes& row : rows) {
        LoadPlainRow(scan(), row);
        EXPECT_EQ(VerifyPass(scan(), 0, 3), 0);
        EXPECT_EQ(VerifyPass(scan(), 1, 3), 0);
        RowAddressNext(scan());
    }
    EXPECT_EQ(fpga().Counters().rowPrograms, 3u);
    EXPECT_EQ(fpga().Counters().verifies, 6u);
    EXPECT_EQ(fpga().Counters().outsideProgrammingMode + fpga().Counters().whileBusy +
                  fpga().Counters().oddLengthScans,
              0u);
}

TEST_P(FpgaModelTest, VerifyPassesReportWhatTheRowHolds) {
    // Pass 0 finds wanted ones the row lacks, pass 1 wanted zeros it lacks.
    struct Case {
        const char* name;
        uint8_t held;
        uint8_t wanted;
        uint8_t pass0;
        uint8_t pass1;
    };
    const Case cases[] = {
        {"same", 0x5A, 0x5A, 0, 0},
        {"wanted one missing", 0x50, 0x5A, 1, 0},
        {"wanted zero missing", 0x5A, 0x50, 0, 1},
        {"both", 0x0F, 0xF0, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Use({});
        EnterProgrammingMode(scan());
        Bytes held = RowPattern(fpga(), 7);
        held[5] = c.held;
        ProgramTopRows({held});
        Bytes wanted = held;
        wanted[5] = c.wanted;
        RowAddressReset(scan());
        LoadPlainRow(scan(), wanted);
        EXPECT_EQ(VerifyPass(scan(), 0), c.pass0);
        EXPECT_EQ(VerifyPass(scan(), 1), c.pass1);
    }
}

TEST_P(FpgaModelTest, ProgrammingCanOnlyClearBits) {
    EnterProgrammingMode(scan());
    Bytes first(fpga().RowBytes(), 0xF0);
    Bytes second(fpga().RowBytes(), 0x3C);
    ProgramTopRows({first});
    ProgramTopRows({second});
    auto held = fpga().ArrayRow(TopRow());
    EXPECT_TRUE(std::all_of(held.begin(), held.end(), [](uint8_t b) { return b == 0x30; }));
}

TEST_P(FpgaModelTest, ProgramPulsesAndVerifiesTakeTheirTime) {
    Use({{"program-us", "1000"}, {"verify-us", "450"}});
    EnterProgrammingMode(scan());
    RowAddressReset(scan());
    LoadPlainRow(scan(), RowPattern(fpga(), 1));
    PulseRow(scan());
    EXPECT_EQ(ReadStatus(scan()) & 0x01, 0x01);
    // Polls 100 us apart: busy at 100 .. 900, ready at 1000.
    EXPECT_EQ(WaitReady(scan()), 9);
    EXPECT_EQ(ReadStatus(scan()) & 0x0B, 0);

    // Verify start, 264 us delay, then polls until 450 us have passed.
    scan().Ir(0x8D, End::PauseIr);
    scan().Dr(2, {0}, End::Idle);
    scan().Wait(3);
    scan().Delay(264);
    EXPECT_EQ(WaitReady(scan()), 1);
}

TEST_P(FpgaModelTest, CommandsOutsideProgrammingModeOrWhileBusyAreDroppedAndCounted) {
    RowAddressReset(scan());
    LoadPlainRow(scan(), RowPattern(fpga(), 1));
    PulseRow(scan());
    EXPECT_EQ(fpga().Counters().outsideProgrammingMode, 1u);
    EXPECT_EQ(fpga().Counters().rowPrograms, 0u);

    EnterProgrammingMode(scan());
    Erase(scan(), 0x4001);
    PulseRow(scan());  // erase still running
    EXPECT_EQ(fpga().Counters().whileBusy, 1u);
    EXPECT_TRUE(fpga().IsArrayBlank());
    EXPECT_GE(WaitErased(scan()), 0);
    PulseRow(scan());
    EXPECT_EQ(fpga().Counters().rowPrograms, 1u);
}

TEST_P(FpgaModelTest, EraseBlanksWhatItsWordNamesAndTakesItsTime) {
    Use({{"idcode", "0x031921CF"}, {"urow", "00112233445566778899AABBCCDDEEFF"},
         {"flashrom", "0x00"}, {"security", "0x000C41"}, {"pass-key", std::string(32, '1')},
         {"aes-key", std::string(32, '2')}, {"array", "0x00"}, {"erase-us", "5000"}});
    EnterProgrammingMode(scan());
    // Array, security settings, UROW and FlashROM pages 0 and 7.
    Erase(scan(), 0x1 | 0xE | 0x4000 | (0x81u << 15));
    EXPECT_EQ(ReadStatus(scan()) & 0x03, 0x02);
    EXPECT_EQ(WaitErased(scan()), 4);  // busy at 1 .. 4 ms, done at 5 ms
    EXPECT_TRUE(fpga().IsArrayBlank());
    EXPECT_EQ(fpga().Urow(), (std::array<uint8_t, 16>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    for (unsigned page = 0; page < 8; ++page) {
        const uint8_t expected = (page == 0 || page == 7) ? 0xFF : 0x00;
        EXPECT_EQ(fpga().FlashRomPage(page)[3], expected) << "page " << page;
    }
    EXPECT_EQ(fpga().SecurityLockWord(), 0u);
    EXPECT_EQ(fpga().PassKey(), AesKey128{});
    EXPECT_EQ(fpga().AesKey(), AesKey128{});
    EXPECT_EQ(fpga().Counters().arrayErases, 1u);
}

TEST_P(FpgaModelTest, UrowAndSecurityRegisterReadBackWhatWasWritten) {
    struct Case {
        const char* idcode;
        unsigned securityBits;
        Bytes value;
        uint32_t lockWord;
        uint32_t silsig;
    };
    const Case cases[] = {
        // Class 2: lock bytes 0-2, signature bytes 3-6.
        {"0x032141CF", 56, {0x21, 0x30, 0x1F, 0x78, 0x56, 0x34, 0x12}, 0x1F3021, 0x12345678},
        // Class 1: lock bits in byte 0 and the low half of byte 1, the
        // signature in the 32 bits after them.
        {"0x029121CF", 44, {0x30, 0x81, 0x67, 0x45, 0x23, 0x01}, 0x130000, 0x12345678},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.idcode);
        Use({{"idcode", c.idcode}});
        EnterProgrammingMode(scan());
        Erase(scan(), 0x400E);
        ASSERT_GE(WaitErased(scan()), 0);
        const Bytes urow = {0, 1, 2, 0x43, 4, 5, 6, 7, 8, 9, 10, 11, 0xCC, 13, 0x34, 0x12};
        ProgramUrow(scan(), urow);
        EXPECT_EQ(ReadStatus(scan()) & 0x01, 0x01);
        ASSERT_GE(WaitReady(scan()), 0);
        EXPECT_EQ(ReadUrow(scan()), urow);

        ProgramSecurity(scan(), c.value, c.securityBits);
        ASSERT_GE(WaitReady(scan()), 0);
        EXPECT_EQ(ReadSecurity(scan(), c.securityBits), c.value);
        EXPECT_EQ(fpga().SecurityLockWord(), c.lockWord);
        EXPECT_EQ(ReadSilsig(scan()), c.silsig);
        EXPECT_EQ(fpga().Counters().securityPrograms, 1u);
    }
}

TEST_P(FpgaModelTest, ReadsBeforeTheirTimeYieldNothing) {
    Use({{"urow", "0x5A"}});
    scan().Ir(0xA8, End::Idle);
    scan().Wait(3);
    EXPECT_EQ(scan().Dr(128, {}, End::Idle), Bytes(16, 0));
    scan().Delay(40);
    EXPECT_EQ(scan().Dr(128, {}, End::PauseDr), Bytes(16, 0x5A));
}

TEST_P(FpgaModelTest, PassKeyMatchesOnlyTheRightKeyAndOpensProtectedReads) {
    AesKey128 key;
    std::iota(key.begin(), key.end(), 0x40);
    AesKey128 wrong = key;
    wrong[9] ^= 0x01;
    // FlashROM read-protected by the pass key.
    Use({{"pass-key", "404142434445464748494A4B4C4D4E4F"}, {"security", "0x010000"},
         {"flashrom", "0x3C"}});
    EnterProgrammingMode(scan());
    EXPECT_EQ(ReadFlashRomPage(scan(), 2), Bytes(16, 0));
    EXPECT_EQ(PresentPassKey(scan(), wrong), 0x02);
    EXPECT_EQ(ReadFlashRomPage(scan(), 2), Bytes(16, 0));
    EXPECT_EQ(PresentPassKey(scan(), key), 0x01);
    EXPECT_TRUE(fpga().PassKeyMatched());
    EXPECT_EQ(ReadFlashRomPage(scan(), 2), Bytes(16, 0x3C));
    EXPECT_EQ(PresentPassKey(scan(), wrong), 0x02);
    EXPECT_FALSE(fpga().PassKeyMatched());
}

TEST_P(FpgaModelTest, ProtectedArrayRefusesPlainWritesUntilThePassKeyMatches) {
    Use({{"security", "0x002000"}, {"pass-key", std::string(32, 'A')}});
    EnterProgrammingMode(scan());
    ProgramTopRows({RowPattern(fpga(), 1)});
    EXPECT_TRUE(fpga().IsArrayBlank());
    EXPECT_EQ(fpga().Counters().refusedByProtection, 1u);
    AesKey128 key;
    key.fill(0xAA);
    EXPECT_EQ(PresentPassKey(scan(), key), 0x01);
    ProgramTopRows({RowPattern(fpga(), 1)});
    EXPECT_FALSE(fpga().IsArrayBlank());
}

TEST_P(FpgaModelTest, AesCheckAnswersForItsKeyAndItsVariant) {
    AesKey128 deviceKey;
    std::iota(deviceKey.begin(), deviceKey.end(), 1);
    AesKey128 otherKey = deviceKey;
    otherKey[0] = 0xEE;
    struct Case {
        const char* variant;
        std::array<uint8_t, 16> block;
        uint8_t byte15;
    };
    const Case cases[] = {
        {"plain", AesCheckBlock(deviceKey), 0xC0}, {"plain", AesCheckBlock(otherKey), 0x80},
        {"plain", kM7Challenge, 0x80},             {"plain", kM1Challenge, 0x80},
        {"m7", kM7Challenge, 0xC0},                {"m7", kM1Challenge, 0x80},
        {"m1", kM7Challenge, 0x80},                {"m1", kM1Challenge, 0xC0},
        {"m7", AesCheckBlock(deviceKey), 0xC0},
    };
    for (const Case& c : cases) {
        Use({{"aes-key", "0102030405060708090A0B0C0D0E0F10"}, {"variant", c.variant}});
        EnterProgrammingMode(scan());
        Bytes response = AesCheck(scan(), c.block);
        EXPECT_EQ(response[15], c.byte15) << c.variant;
    }
}

TEST_P(FpgaModelTest, EncryptedRowsWithTheDeviceKeyAuthenticateProgramAndVerify) {
    AesKey128 key;
    std::iota(key.begin(), key.end(), 0x10);
    Use({{"aes-key", "101112131415161718191A1B1C1D1E1F"}});
    EnterProgrammingMode(scan());
    const std::vector<Bytes> plain = {RowPattern(fpga(), 4), RowPattern(fpga(), 5)};

    // Authentication pass: no addressing, no pulses.
    ResetDecryptor(scan());
    RowAddressReset(scan());
    for (const Bytes& row : plain) {
        LoadEncryptedRow(scan(), EncryptArrayRow(key, row));
        EXPECT_EQ(AuthStatus(scan()) & 0x08, 0);
    }
    EXPECT_TRUE(fpga().IsArrayBlank());

    ResetDecryptor(scan());
    RowAddressReset(scan());
    for (const Bytes& row : plain) {
        LoadEncryptedRow(scan(), EncryptArrayRow(key, row));
        PulseRow(scan());
        ASSERT_GE(WaitReady(scan()), 0);
        RowAddressNext(scan());
    }
    for (size_t k = 0; k < plain.size(); ++k) {
        auto held = fpga().ArrayRow(TopRow() - static_cast<uint32_t>(k));
        EXPECT_TRUE(std::equal(held.begin(), held.end(), plain[k].begin()));
    }
    ResetDecryptor(scan());
    RowAddressReset(scan());
    for (const Bytes& row : plain) {
        LoadEncryptedRow(scan(), EncryptArrayRow(key, row));
        EXPECT_EQ(VerifyPass(scan(), 0), 0);
        EXPECT_EQ(VerifyPass(scan(), 1), 0);
        RowAddressNext(scan());
    }
    // The RLOCK row follows the last row in the same decryptor session.
    const Bytes rlock(fpga().RowBytes(), 0x0F);
    LoadEncryptedRow(scan(), EncryptArrayRow(key, rlock));
    PulseRlock(scan());
    ASSERT_GE(WaitReady(scan()), 0);
    EXPECT_TRUE(std::equal(fpga().Rlock().begin(), fpga().Rlock().end(), rlock.begin()));
    EXPECT_EQ(fpga().Counters().rowsAuthenticated, 7u);
}

TEST_P(FpgaModelTest, EncryptedRowsFormedWithAnotherKeyFailAndProgramNothing) {
    AesKey128 otherKey;
    otherKey.fill(0x77);
    Use({{"aes-key", "101112131415161718191A1B1C1D1E1F"}});
    EnterProgrammingMode(scan());
    ResetDecryptor(scan());
    RowAddressReset(scan());
    LoadEncryptedRow(scan(), EncryptArrayRow(otherKey, RowPattern(fpga(), 4)));
    EXPECT_EQ(AuthStatus(scan()) & 0x08, 0x08);
    PulseRow(scan());
    EXPECT_TRUE(fpga().IsArrayBlank());
    // The failure stays until the decryptor is reset.
    EXPECT_EQ(ReadStatus(scan()) & 0x0B, 0x08);
    ResetDecryptor(scan());
    EXPECT_EQ(ReadStatus(scan()) & 0x0B, 0);
}

TEST_P(FpgaModelTest, FlashRomPagesProgramCompareAndReadPlainAndEncrypted) {
    AesKey128 key;
    key.fill(0x31);
    Use({{"aes-key", "31313131313131313131313131313131"}});
    ASSERT_EQ(fpga().AesKey(), key);
    EnterProgrammingMode(scan());
    Bytes page5(16);
    std::iota(page5.begin(), page5.end(), 0x50);
    ProgramFlashRomPage(scan(), 5, page5);
    ASSERT_GE(WaitReady(scan()), 0);
    EXPECT_EQ(CompareFlashRomPage(scan(), 5, page5), 0x03);
    Bytes other = page5;
    other[15] ^= 0x80;
    EXPECT_NE(CompareFlashRomPage(scan(), 5, other), 0x03);
    EXPECT_EQ(ReadFlashRomPage(scan(), 5), page5);

    Bytes page2(16, 0x22);
    Bytes unit(kUnitBytes);
    ASSERT_TRUE(EncryptFlashRomPage(key, 2, std::span<const uint8_t, 16>(page2.data(), 16),
                                    std::span<uint8_t, kUnitBytes>(unit.data(), kUnitBytes)));
    ProgramEncryptedFlashRomPage(scan(), unit);
    ASSERT_GE(WaitReady(scan()), 0);
    EXPECT_EQ(ReadFlashRomPage(scan(), 2), page2);
    EXPECT_EQ(fpga().Counters().flashRomPrograms, 2u);
}

TEST_P(FpgaModelTest, NvmPagesProgramPlainAndEncryptedAndReadBack) {
    AesKey128 key{};
    Use({{"idcode", "0x032141CF"}});
    EnterProgrammingMode(scan());
    // Block 1, page 3 of it, plain.
    const uint32_t address = (1 * kNvmPagesPerBlock + 3) << 8;
    std::vector<uint32_t> words(32);
    for (uint32_t w = 0; w < 32; ++w) words[w] = 0xA5000000u + w * 0x01010101u;
    ASSERT_GE(LoadNvmAddress(scan(), address), 0);
    LoadNvmWords(scan(), words);
    EXPECT_GE(ProgramNvmPage(scan(), 2), 0);
    for (uint32_t w : {0u, 17u, 31u}) {
        EXPECT_EQ(fpga().NvmWord(1, 3, w), words[w]);
        EXPECT_EQ(ReadNvmWord(scan(), address + 4 * w), words[w]);
    }

    // Block 2, page 0, encrypted (device key all zero).
    std::array<uint8_t, kNvmPageBytes> data;
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i ^ 0x5C);
    const uint16_t page = 2 * kNvmPagesPerBlock;
    auto frames = EncryptNvmPage(key, data);
    auto trailer = NvmPageTrailer(key, page, data);
    ResetDecryptor(scan());
    for (size_t f = 0; f < 16; ++f) {
        EXPECT_EQ(SendNvmFrame(scan(), 0x0C, frames.data() + 16 * f) & 0x10, 0);
    }
    EXPECT_EQ(SendNvmFrame(scan(), 0x0D, trailer.data()) & 0x10, 0);
    EXPECT_EQ(fpga().NvmWord(2, 0, 0), 0x5F5E5D5Cu);
    EXPECT_EQ(fpga().NvmWord(2, 0, 31), uint32_t(0x7C ^ 0x5C) | uint32_t(0x7D ^ 0x5C) << 8 |
                                            uint32_t(0x7E ^ 0x5C) << 16 |
                                            uint32_t(0x7F ^ 0x5C) << 24);
    EXPECT_EQ(fpga().Counters().nvmPagePrograms, 2u);
}

TEST_P(FpgaModelTest, EncryptedNvmFramesOfAnotherKeyAreRefusedFromTheNextFrameOn) {
    AesKey128 otherKey;
    otherKey.fill(0x99);
    Use({{"idcode", "0x032141CF"}});
    EnterProgrammingMode(scan());
    std::array<uint8_t, kNvmPageBytes> data{};
    auto frames = EncryptNvmPage(otherKey, data);
    ResetDecryptor(scan());
    EXPECT_EQ(SendNvmFrame(scan(), 0x0C, frames.data()) & 0x10, 0);
    EXPECT_EQ(SendNvmFrame(scan(), 0x0C, frames.data() + 16) & 0x10, 0);
    // The first unit failed when its second frame arrived.
    EXPECT_EQ(SendNvmFrame(scan(), 0x0C, frames.data() + 32) & 0x10, 0x10);
    EXPECT_EQ(fpga().NvmWord(0, 0, 0), 0xFFFFFFFFu);
}

TEST_P(FpgaModelTest, NvmInstructionsAreBypassOnDevicesWithoutNvm) {
    EXPECT_EQ(fpga().DataRegisterBits(0xB8), 1u);
    EXPECT_EQ(fpga().DataRegisterBits(0xA4), 44u);
    Use({{"idcode", "0x031921CF"}});
    EXPECT_EQ(fpga().DataRegisterBits(0xB8), 35u);
    EXPECT_EQ(fpga().DataRegisterBits(0xA4), 56u);
}

TEST_P(FpgaModelTest, FactoryRowAndBoundaryScanRegister) {
    Use({{"factory-row", "0A0B0C0D"}});
    const Bytes fsn = ReadFactoryRow(scan());
    EXPECT_EQ(fsn[0], 0x0A);
    EXPECT_EQ(fsn[3], 0x0D);
    EXPECT_EQ(fsn[4], 0xFF);

    Bytes bsr(fpga().BoundaryScanRegister().size());
    std::iota(bsr.begin(), bsr.end(), 1);
    bsr.back() &= 0x0F;  // 372 bits
    scan().Ir(0x01, End::PauseIr);
    scan().Dr(372, bsr, End::Idle);
    EXPECT_TRUE(std::equal(bsr.begin(), bsr.end(), fpga().BoundaryScanRegister().begin()));
}

}  // namespace
}  // namespace vexu::sim::test
