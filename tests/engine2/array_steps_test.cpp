// The array steps against the scripted box: the reports each row costs, the
// row frames, progress, the erase words, and every way a row loop fails.
#include <algorithm>
#include <memory>
#include <numeric>

#include "step_fixture.h"

namespace vexu::test {
namespace {

class ArrayStepTest : public StepTest {
protected:
    // Transfers one more row costs in the loop.
    size_t TransfersPerRow(uint32_t deviceId, uint8_t factor, bool encrypted, void (*loop)()) {
        size_t totals[2];
        for (uint32_t rows : {5u, 6u}) {
            Prepare(ArrayImage(deviceId, factor, rows, encrypted).Build(), deviceId, rows);
            g_dpState.verifyMode = DP_VERIFY_STANDALONE;
            loop();
            EXPECT_EQ(g_dpState.errorCode, DPE_SUCCESS);
            totals[rows - 5] = box.Transfers().size();
        }
        return totals[1] - totals[0];
    }
};

TEST_F(ArrayStepTest, TransfersPerRowAreExactlyTheSequence) {
    struct Case {
        const char* what;
        uint32_t deviceId;
        uint8_t factor;
        bool encrypted;
        void (*loop)();
        size_t transfers;
    };
    // Plain factor 2: frame (2 reports), pulse, poll (write + fetch),
    // address next = 6; verify: frame 2, two passes of instruction + poll 2
    // + read-back 2, address next = 13. Factor 6 rows take 4 frame reports.
    // Encrypted factor 2 rows are 64 bytes: 2 reports. Authentication:
    // frame 2 + status instruction + status read (write + fetch) = 5.
    const Case cases[] = {
        {"plain program", kTestDeviceId, 2, false, dp_array_write, 6},
        {"plain verify", kTestDeviceId, 2, false, dp_array_check, 13},
        {"plain program, factor 6", k3444RowDeviceId, 6, false, dp_array_write, 8},
        {"plain verify, factor 6", k3444RowDeviceId, 6, false, dp_array_check, 15},
        {"encrypted program", kTestDeviceId, 2, true, dp_array_write_enc, 6},
        {"encrypted verify", kTestDeviceId, 2, true, dp_array_check_enc, 13},
        {"authentication", kTestDeviceId, 2, true, dp_array_authenticate, 5},
    };
    for (const Case& c : cases) EXPECT_EQ(TransfersPerRow(c.deviceId, c.factor, c.encrypted, c.loop), c.transfers) << c.what;
}

TEST_F(ArrayStepTest, RowsGoOutAsFramesHighestRowFirst) {
    const DatImage image = ArrayImage(kTestDeviceId, 2, 3);
    Prepare(image.Build(), kTestDeviceId, 3);
    dp_array_write();
    ASSERT_EQ(g_dpState.errorCode, DPE_SUCCESS);
    const std::vector<std::vector<uint8_t>> frames = Commands(kCmdShiftInFrame);
    ASSERT_EQ(frames.size(), 3u);
    const std::vector<uint8_t> rows = Pattern(3 * 52, 0x11);
    for (size_t i = 0; i < frames.size(); ++i) {
        // Instruction stage 0x89 from Shift-IR to Pause-IR; 416 bits in
        // 26-bit frames from Shift-DR to idle, 3 clocks and no delay after each.
        const std::vector<uint8_t> head = {1, 0xA0, 1, 0, 4, 0x89, 8, 0, 3, 2, 26, 0, 0xA0, 0x01, 3, 0};
        EXPECT_TRUE(std::equal(head.begin(), head.end(), frames[i].begin())) << i;
        EXPECT_TRUE(std::equal(rows.begin() + 52 * i, rows.begin() + 52 * i + 48, frames[i].begin() + 16)) << i;
    }
    // Row address: reset (2) once, then next (3) after every row.
    std::vector<uint8_t> addressCommands;
    for (const JtagScan& scan : DataScans(0x87)) addressCommands.push_back(scan.in.at(0));
    EXPECT_EQ(addressCommands, (std::vector<uint8_t>{2, 3, 3, 3}));
    EXPECT_EQ(InstructionCount(0x83), 3u);  // one pulse per row

    // Encrypted rows: instruction 0xDF, 128-bit frames with 48 units of delay.
    Prepare(ArrayImage(kTestDeviceId, 2, 1, true).Build(), kTestDeviceId, 1);
    dp_array_write_enc();
    const std::vector<std::vector<uint8_t>> encrypted = Commands(kCmdShiftInFrame);
    ASSERT_EQ(encrypted.size(), 1u);
    const std::vector<uint8_t> head = {1, 0xA0, 1, 0, 4, 0xDF, 8, 0, 3, 2, 128, 0, 0x00, 0x02, 3, 48};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), encrypted[0].begin()));
    EXPECT_EQ(InstructionCount(0xDD), 1u);  // the decryptor is reset before the loop
}

TEST_F(ArrayStepTest, ProgressIsPostedOnceForEveryPercentOfTheRun) {
    struct Case {
        const char* what;
        uint32_t rows;
        bool encrypted;
        std::vector<uintptr_t> posts;
    };
    std::vector<uintptr_t> oneToNinetyNine(99);
    std::iota(oneToNinetyNine.begin(), oneToNinetyNine.end(), 1);
    const Case cases[] = {
        {"plain 1244 rows: program 1..49, verify 50..99", 1244, false, oneToNinetyNine},
        {"encrypted 1244 rows: 1..33, 34..66, 67..99", 1244, true, oneToNinetyNine},
        {"plain single row: verify posts its base", 1, false, {50}},
        {"encrypted single row", 1, true, {33, 66}},
        {"plain 3 rows", 3, false, {16, 33, 50, 66, 83}},
    };
    for (const Case& c : cases) {
        Prepare(ArrayImage(kTestDeviceId, 2, c.rows, c.encrypted).Build(), kTestDeviceId, c.rows);
        if (c.encrypted) {
            dp_array_authenticate();
            dp_array_write_enc();
            dp_array_check_enc();
        } else {
            dp_array_write();
            dp_array_check();
        }
        EXPECT_EQ(g_dpState.errorCode, DPE_SUCCESS) << c.what;
        EXPECT_EQ(ProgressPosts(), c.posts) << c.what;
    }
}

TEST_F(ArrayStepTest, ADotForEveryHundredthRowCountingDown) {
    Prepare(ArrayImage(k3444RowDeviceId, 6, 3444).Build(), k3444RowDeviceId);
    dp_array_write();
    ASSERT_EQ(g_dpState.errorCode, DPE_SUCCESS);
    const std::vector<std::string> lines = trace->Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "."), 35);
    EXPECT_EQ(trace->Text(), "\r\nProgramming FPGA Array..." + std::string(35, '.'));
    trace->Clear();
    dp_array_check();
    ASSERT_EQ(g_dpState.errorCode, DPE_SUCCESS);
    EXPECT_EQ(trace->Text(), "\r\nVerifying FPGA Array..." + std::string(35, '.'));
}

// A box that answers the programming poll busy forever from the given
// pulse on. A poll read whose scan before last is a pulse instruction (0x83
// for a row, 0x8C for the RLOCK) is the first read after that pulse.
FakeJtagBox::Responder BusyFromPulse(const FakeJtagBox& box, size_t pulse) {
    auto pulses = std::make_shared<size_t>(0);
    return [&box, pulse, pulses](uint8_t ir, unsigned, const std::vector<uint8_t>&) -> std::vector<uint8_t> {
        if (ir != 0x84 || box.scans.size() < 2) return {};
        const JtagScan& beforeLast = box.scans[box.scans.size() - 2];
        if (beforeLast.instruction && (beforeLast.ir == 0x83 || beforeLast.ir == 0x8C)) ++*pulses;
        return {static_cast<uint8_t>(*pulses >= pulse ? 0x01 : 0x00)};
    };
}

TEST_F(ArrayStepTest, RowLoopFailuresNameTheirRow) {
    struct Case {
        const char* what;
        uint32_t rowsInImage;
        bool encrypted;
        void (*loop)();
        FakeJtagBox::Responder (*device)(const FakeJtagBox&);
        uint8_t code;
        std::string text;
    };
    // Five rows, highest first: the third row loaded is row 2.
    const Case cases[] = {
        {"row data missing", 2, false, dp_array_write, nullptr, DPE_ARRAY_PROGRAM_FAILED,
         "\r\nFailed to program FPGA Array at row 2"},
        {"encrypted row data missing", 2, true, dp_array_write_enc, nullptr, DPE_ARRAY_PROGRAM_FAILED,
         "\r\nFailed to program FPGA Array at row 2"},
        {"program poll never ready", 5, false, dp_array_write,
         [](const FakeJtagBox& b) { return BusyFromPulse(b, 3); }, DPE_ARRAY_PROGRAM_FAILED,
         "\r\nFailed to program FPGA Array at row 2"},
        {"verify row data missing", 2, false, dp_array_check, nullptr, DPE_ARRAY_VERIFY_FAILED, ""},
        {"encrypted verify row data missing", 2, true, dp_array_check_enc, nullptr, DPE_ARRAY_VERIFY_FAILED, ""},
        {"authentication row data missing", 2, true, dp_array_authenticate, nullptr, DPE_AUTHENTICATION_FAILED, ""},
    };
    for (const Case& c : cases) {
        DatImage image = HealthyImage(kTestDeviceId);
        image.Support(DP_SUPPORT_ARRAY | (c.encrypted ? DP_SUPPORT_ARRAY_ENCRYPTED : 0));
        image.Block(DP_BLOCK_ARRAY_ROWS, Pattern((c.encrypted ? 64 : 52) * c.rowsInImage, 0x11));
        Prepare(image.Build(), kTestDeviceId, 5);
        extra = c.device ? c.device(box) : nullptr;
        c.loop();
        EXPECT_EQ(g_dpState.errorCode, c.code) << c.what;
        EXPECT_EQ(g_dpState.currentRow, 2) << c.what;
        // The failure text closes the loop's trace; nothing else is printed.
        if (!c.text.empty()) {
            EXPECT_TRUE(trace->Text().ends_with(c.text)) << c.what << "\n" << trace->Text();
        }
        if (c.text.empty()) {
            EXPECT_FALSE(trace->Contains("ailed")) << c.what << "\n" << trace->Text();
        }
    }
}

TEST_F(ArrayStepTest, VerifyPassFailuresNameTheirPassAndRow) {
    struct Case {
        uint8_t failingPass;  // instruction whose read-back fails at the third row (row 2)
        uint8_t result;       // captured status bits
        std::string text;
    };
    const Case cases[] = {
        {0x8D, 0x01, "\r\nVerify 0 failed\nRow Number : 2"},
        {0x8D, 0x02, "\r\nVerify 0 failed\nRow Number : 2"},
        {0x8E, 0x03, "\r\nVerify 1 failed\nRow Number : 2"},
    };
    for (const Case& c : cases) {
        Prepare(ArrayImage(kTestDeviceId, 2, 5).Build(), kTestDeviceId, 5);
        g_dpState.verifyMode = DP_VERIFY_STANDALONE;
        size_t readBacks = 0;
        extra = [&](uint8_t ir, unsigned, const std::vector<uint8_t>&) -> std::vector<uint8_t> {
            if (ir != c.failingPass) return {};
            return {static_cast<uint8_t>(++readBacks == 3 ? c.result : 0)};
        };
        dp_array_check();
        EXPECT_EQ(g_dpState.errorCode, DPE_ROW_VERIFY_FAILED) << c.text;
        EXPECT_TRUE(trace->Text().ends_with(c.text)) << trace->Text();
        // The verify mode goes out with every verify instruction.
        for (const JtagScan& scan : DataScans(c.failingPass)) {
            if (scan.out.empty()) {
                EXPECT_EQ(scan.in.at(0) & 3, 3);
            }
        }
    }

    // The poll after pass 1 of the first row never ends: that row fails
    // pass 1 after the poll's last try, with code 11 instead of the poll's 7.
    Prepare(ArrayImage(kTestDeviceId, 2, 5).Build(), kTestDeviceId, 5);
    bool busy = false;
    size_t reads = 0;
    extra = [&](uint8_t ir, unsigned, const std::vector<uint8_t>&) -> std::vector<uint8_t> {
        if (ir != 0x84) return {};
        const JtagScan& beforeLast = box.scans[box.scans.size() - 2];
        busy = busy || (!beforeLast.instruction && beforeLast.ir == 0x8E);
        reads += busy;
        return {static_cast<uint8_t>(busy ? 0x08 : 0x00)};
    };
    dp_array_check();
    EXPECT_EQ(g_dpState.errorCode, DPE_ROW_VERIFY_FAILED);
    EXPECT_EQ(reads, 16381u);
    EXPECT_TRUE(trace->Text().ends_with("\r\nVerify 1 failed\nRow Number : 4")) << trace->Text();
}

TEST_F(ArrayStepTest, AuthenticationChecksEveryRowAndOnceMore) {
    Prepare(ArrayImage(kTestDeviceId, 2, 4, true).Build(), kTestDeviceId, 4);
    dp_array_authenticate();
    EXPECT_EQ(g_dpState.errorCode, DPE_SUCCESS);
    // Four rows and the closing check, each an 0x84 instruction shifted as
    // data from Shift-IR and a 5-bit status read; no row addressing after
    // the reset.
    EXPECT_EQ(InstructionCount(0x84), 5u);
    EXPECT_EQ(DataScans(0x87).size(), 1u);
    EXPECT_EQ(trace->Text(), "\r\nPerforming Data Authentication....");  // row 0 has its mark

    // A status with bit 3 set at the second row ends the loop with its text.
    Prepare(ArrayImage(kTestDeviceId, 2, 4, true).Build(), kTestDeviceId, 4);
    extra = [&](uint8_t ir, unsigned, const std::vector<uint8_t>&) -> std::vector<uint8_t> {
        if (ir != 0x84) return {};
        const std::vector<uint8_t> i = box.Instructions();
        return {static_cast<uint8_t>(std::count(i.begin(), i.end(), 0x84) == 2 ? 0x08 : 0x00)};
    };
    dp_array_authenticate();
    EXPECT_EQ(g_dpState.errorCode, DPE_AUTHENTICATION_FAILED);
    EXPECT_EQ(g_dpState.currentRow, 2);
    EXPECT_EQ(trace->Count("\r\nFailed to authenticate the encrypted data.\r\n"), 1u);
    EXPECT_TRUE(ProgressPosts().empty());  // base 0: the failing second row posts nothing
}

TEST_F(ArrayStepTest, RlockProgramming) {
    // Plain: one frame of the RLOCK row, the 0x8C pulse shifted from
    // Shift-IR, the poll. A device that stays busy fails it with code 10.
    Prepare(ArrayImage(kTestDeviceId, 2, 1).Build(), kTestDeviceId, 1);
    dp_rlock_write();
    EXPECT_EQ(g_dpState.errorCode, DPE_SUCCESS);
    const std::vector<std::vector<uint8_t>> frames = Commands(kCmdShiftInFrame);
    ASSERT_EQ(frames.size(), 1u);
    const std::vector<uint8_t> rlock = Pattern(52, 0x55);
    EXPECT_TRUE(std::equal(rlock.begin(), rlock.begin() + 48, frames[0].begin() + 16));
    EXPECT_EQ(box.Instructions(), (std::vector<uint8_t>{0x8C, 0x84}));

    Prepare(ArrayImage(kTestDeviceId, 2, 1).Build(), kTestDeviceId, 1);
    extra = BusyFromPulse(box, 1);
    dp_rlock_write();
    EXPECT_EQ(g_dpState.errorCode, DPE_ARRAY_PROGRAM_FAILED);
    EXPECT_EQ(trace->Text(), "\r\nProgramming RLOCK...\r\nFailed to program RLOCK ");

    // Without RLOCK data nothing is pulsed.
    Prepare(HealthyImage().Build(), kTestDeviceId, 1);
    extra = nullptr;
    dp_rlock_write();
    EXPECT_EQ(g_dpState.errorCode, DPE_ARRAY_PROGRAM_FAILED);
    EXPECT_EQ(InstructionCount(0x8C), 0u);

    // Encrypted: factor x 2 frames of 128 bits under one 0xDF, then 0x8C;
    // a poll that runs out leaves its own code 7.
    Prepare(ArrayImage(kTestDeviceId, 2, 1, true).Build(), kTestDeviceId, 1);
    dp_rlock_write_enc();
    EXPECT_EQ(g_dpState.errorCode, DPE_SUCCESS);
    const std::vector<JtagScan> encryptedFrames = DataScans(0xDF);
    ASSERT_EQ(encryptedFrames.size(), 4u);
    const std::vector<uint8_t> encryptedRlock = Pattern(64, 0x55);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(encryptedFrames[i].in,
                  std::vector<uint8_t>(encryptedRlock.begin() + 16 * i, encryptedRlock.begin() + 16 * i + 16));
    extra = BusyFromPulse(box, 1);
    Prepare(ArrayImage(kTestDeviceId, 2, 1, true).Build(), kTestDeviceId, 1);
    dp_rlock_write_enc();
    EXPECT_EQ(g_dpState.errorCode, DPE_POLL_TIMEOUT);
}

TEST_F(ArrayStepTest, EraseWordsAndTheRunsFlags) {
    struct Case {
        const char* action;
        uint32_t support;
        std::vector<uint8_t> pageMask;  // block 7, when present
        uint32_t eraseWord;
        uint32_t flags;  // security word bits 26-28 after the run
        const char* title;
    };
    constexpr uint32_t kErased = DP_SEC_ERASED_IN_RUN;
    constexpr uint32_t kSecurityErased = DP_SEC_SECURITY_ERASED_IN_RUN;
    constexpr uint32_t kSettings = DP_SEC_SECURITY_SETTINGS_ERASED;
    const Case cases[] = {
        {"erase_all", DP_SUPPORT_ARRAY, {}, 0x7FC00F, kErased, "Erase FPGA Array, FlashROM and Security Settings ...\r\n"},
        {"erase", DP_SUPPORT_ARRAY | DP_SUPPORT_FROM | DP_SUPPORT_SECURITY, {0x81}, 0x40C10F,
         kErased | kSettings, "\r\nErase..."},
        {"erase", DP_SUPPORT_FROM, {0x81}, 0x40C100, kErased, "\r\nErase..."},
        {"erase_array", DP_SUPPORT_ARRAY, {}, 0x004001, kErased, "\r\nErase FPGA Array..."},
        {"erase_from", DP_SUPPORT_FROM, {0x81}, 0x40C000, kErased | kSecurityErased, "\r\nErase FlashROM..."},
        {"erase_from", DP_SUPPORT_FROM, {0x00}, 0x004000, kErased | kSecurityErased, "\r\nErase FlashROM..."},
        {"erase_security", DP_SUPPORT_SECURITY, {}, 0x00400E, kErased | kSecurityErased, "\r\nErase Security..."},
        {"program_from", DP_SUPPORT_FROM, {0x05}, 0x02C000, kErased | kSecurityErased, "\r\nErase FlashROM..."},
        {"program_security", DP_SUPPORT_SECURITY, {}, 0x00400E, kSecurityErased, "\r\nErase Security..."},
        {"program_array", DP_SUPPORT_ARRAY, {}, 0x004001, 0, "\r\nErase FPGA Array..."},
    };
    for (const Case& c : cases) {
        DatImage image = ImageAnnouncing(c.support, kTestDeviceId, c.pageMask.empty() ? 0 : c.pageMask[0]);
        if (c.support & DP_SUPPORT_SECURITY) image.Block(DP_BLOCK_PASS_KEY, std::vector<uint8_t>(16, 0));
        Load(image.Build());
        trace->Clear();
        Run(c.action);
        EXPECT_EQ(ShiftedEraseWord(), c.eraseWord) << c.action << " " << std::hex << c.support;
        EXPECT_EQ(g_dpState.securityWord & 0x1C000000u, c.flags) << c.action << " " << std::hex << c.support;
        EXPECT_TRUE(trace->Contains(c.title)) << c.action;
        // Every erase keeps the UROW: read before, programmed after.
        EXPECT_TRUE(trace->Contains("\r\nProgramming UROW...")) << c.action;
    }
}

TEST_F(ArrayStepTest, EraseFailures) {
    // The programmer stops answering at the first erase poll: the erase is
    // not taken as done either. Before the poll: IR 0x85 (3 transfers), the
    // erase word (3), the wait (1) and IR 0x84 (3).
    Prepare(ArrayImage(kTestDeviceId, 2, 1).Build());
    extra = nullptr;
    dp_set_erase_word(DP_ERASE_ARRAY);
    box.failTransfer = 11;  // the device manager drops the box after it
    dp_erase_apply();
    EXPECT_EQ(g_dpState.errorCode, DPE_ERASE_FAILED);
    EXPECT_EQ(box.Transfers().size(), 11u);  // the failed one included
    EXPECT_TRUE(trace->Text().ends_with("\r\nFailed Erease Operation"));
}

}  // namespace
}  // namespace vexu::test
