// Every failure of the array, FlashROM, NVM and security steps, driven by a
// fault of the simulated FPGA: the code, the trace text with its row, a
// device left as far as the run got, and the exit that ends every run. An
// image that lacks data for the action is refused before the device sees
// anything.
#include <functional>

#include "sim_fixture.h"

namespace vexu::test {
namespace {

using image::ImageParts;

const image::Key128 kKey = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                            0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

// The demo image with only the first rows of its array data.
ImageParts ShortArray(uint32_t rowsKept) {
    ImageParts parts = image::DemoFpgaParts();
    parts.supportFlags = image::DeriveSupportFlags(parts);
    std::vector<uint8_t> rows(parts.arrayRows.begin(), parts.arrayRows.begin() + 52 * rowsKept);
    parts.arrayRows.clear();
    parts.extraBlocks.push_back({image::kBlockArrayRows, rows});
    return parts;
}

ImageParts Encrypted() {
    ImageParts parts = image::DemoFpgaParts();
    parts.encryptArray = true;
    parts.userLock.reset();
    parts.passKey.reset();
    parts.flashRom.reset();
    parts.encryptionKey = kKey;
    return parts;
}

ImageParts Class2Nvm(bool encrypted) {
    ImageParts parts;
    parts.idCode = 0x032141CF;
    parts.silsig = 7;
    parts.nvm[2].present = true;
    parts.nvm[2].encrypted = encrypted;
    std::vector<uint32_t> words(64);
    for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint32_t>(i * 0x01010101u);
    parts.nvm[2].segments = {{0x080000, 4, words}};
    if (encrypted) parts.encryptionKey = kKey;
    return parts;
}

class SimFailureTest : public SimEngineTest {};

TEST_F(SimFailureTest, EveryFailureCodeFromTheDevice) {
    const std::string key = "aes-key=" + KeyHex(kKey);
    struct Case {
        const char* what;
        std::string scenario;
        std::function<ImageParts()> parts;
        const char* action;
        uint8_t code;
        std::string text;  // the run's trace ends with it (before the exit)
        std::function<void(sim::FpgaModel&)> device;  // what the device holds afterwards
        const char* firstProgram = nullptr;  // run "program_array" with the demo image first
    };
    const auto demo = [] { return image::DemoFpgaParts(); };
    const Case cases[] = {
        {"FlashROM compare poll never ready", "never-ready", demo, "verify_from", DPE_POLL_TIMEOUT,
         "\r\nVerifying FlashROM...", nullptr},
        // A word the device does not hold: the read poll runs out (10001 reads).
        {"NVM word differs", "idcode=0x032141CF", [] { return Class2Nvm(false); }, "verify_nvm", DPE_POLL_TIMEOUT,
         "\r\nVerifying NVM block 2.", nullptr},
        {"row program never ready", "program-us=100000000", demo, "program_array", DPE_ARRAY_PROGRAM_FAILED,
         "\r\nFailed to program FPGA Array at row 1243", nullptr},
        {"verify pass 0", "verify-fail-row=700,verify-fail-pass=0", demo, "program_array", DPE_ROW_VERIFY_FAILED,
         "\r\nVerify 0 failed\nRow Number : 700", nullptr},
        {"verify pass 1", "verify-fail-row=3,verify-fail-pass=1", demo, "program", DPE_ROW_VERIFY_FAILED,
         "\r\nVerify 1 failed\nRow Number : 3",
         [](sim::FpgaModel& fpga) { EXPECT_EQ(fpga.FlashRomPage(0)[0], 0xFF); }},
        {"security register read-back", "security-readback-differs", demo, "program_security",
         DPE_SECURITY_PROGRAM_FAILED, "\r\nProgramming Security...", nullptr},
        {"authentication", "security=0x100000,array=0x00,auth-fail-row=1000," + key, Encrypted, "program",
         DPE_AUTHENTICATION_FAILED, "\r\nFailed to authenticate the encrypted data.\r\n",
         [](sim::FpgaModel& fpga) {
             // Nothing was erased: the array still holds its old contents.
             EXPECT_EQ(fpga.Counters().erases, 0u);
             EXPECT_EQ(fpga.ArrayRow(0)[0], 0x00);
         }},
        {"FlashROM compare", "flashrom-compare-fail=5", demo, "program_from", DPE_FROM_VERIFY_FAILED,
         "\r\nVerifying FlashROM...", nullptr},
        {"UROW programming", "register-program-us=100000000", demo, "erase_array", DPE_UROW_PROGRAM_FAILED,
         "\r\nProgramming UROW...",
         [](sim::FpgaModel& fpga) { EXPECT_EQ(fpga.Counters().arrayErases, 1u); }},
        {"encrypted NVM frame refused", "idcode=0x032141CF,security=0x100,nvm-frame-refused=20," + key,
         [] { return Class2Nvm(true); }, "program_nvm", DPE_NVM_PROGRAM_FAILED, "\r\nProgramming NVM block 2",
         [](sim::FpgaModel& fpga) { EXPECT_EQ(fpga.Counters().nvmPagePrograms, 1u); }},
        {"lock bits differ", "security=0x00E000", demo, "verify_device_info", DPE_USER_LOCK_MISMATCH,
         "\r\nVerifying device info...\r\nUser LOCK Setting Error...", nullptr},
        {"UROW differs", "security=0x00C000,urow=0x00", demo, "verify_device_info", DPE_UROW_MISMATCH,
         "\r\nUROW Setting Error...", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Start(c.scenario);
        if (c.firstProgram) {
            Load(image::MakeDemoFpgaImage());
            ASSERT_EQ(Run(c.firstProgram), DPE_SUCCESS);
        }
        Load(Build(c.parts()));
        EXPECT_EQ(Run(c.action), c.code) << trace.Text().substr(0, 2000);
        const std::string text = trace.Text();
        const size_t exit = text.find("dp_exit() \r\n");
        ASSERT_NE(exit, std::string::npos);
        EXPECT_EQ(text.substr(0, exit).ends_with(c.text), true) << text.substr(exit > 400 ? exit - 400 : 0, 400);
        EXPECT_EQ(trace.Count("dp_exit() \r\n"), 1u);
        EXPECT_FALSE(Fpga().InProgrammingMode());
        if (c.device) c.device(Fpga());
    }
}

}  // namespace
}  // namespace vexu::test

namespace vexu::test {
namespace {

// An image whose blocks cannot serve the action: refused before the first
// report, the device as it was, the code and a text that names the block.
TEST_F(SimFailureTest, ImageThatCannotServeTheActionLeavesTheDeviceUntouched) {
    struct Case {
        const char* what;
        std::function<ImageParts()> parts;
        const char* action;
        uint8_t code;
        const char* text;
    };
    const Case cases[] = {
        {"row data missing", [] { return ShortArray(2); }, "program_array", DPE_IMAGE_BLOCK_OUTSIDE,
         "block 5 (FPGA array rows) runs past the end of the data file: it needs 64688 bytes from byte "},
        {"verify row data missing", [] { return ShortArray(5); }, "verify_array", DPE_IMAGE_BLOCK_OUTSIDE,
         "block 5 (FPGA array rows) runs past the end of the data file"},
        {"RLOCK data missing",
         [] {
             ImageParts parts = image::DemoFpgaParts();
             parts.rlock.clear();
             return parts;
         },
         "program_array", DPE_IMAGE_LACKS_DATA, "block 6 (RLOCK row) is missing from the data file"},
        {"FlashROM mask missing",
         [] {
             ImageParts parts = image::DemoFpgaParts();
             parts.supportFlags = image::DeriveSupportFlags(parts);
             parts.flashRom.reset();
             return parts;
         },
         "program", DPE_IMAGE_LACKS_DATA, "block 7 (FlashROM page mask) is missing from the data file"},
        {"FlashROM pages missing for the verify",
         [] {
             ImageParts parts = image::DemoFpgaParts();
             parts.supportFlags = image::DeriveSupportFlags(parts);
             parts.extraBlocks.push_back({image::kBlockFlashRomMask, {parts.flashRom->mask}, false, true});
             parts.flashRom.reset();
             return parts;
         },
         "verify_from", DPE_IMAGE_LACKS_DATA, "block 8 (FlashROM pages) is missing from the data file"},
        {"NVM segment table missing",
         [] {
             ImageParts parts = Class2Nvm(false);
             parts.supportFlags = image::DeriveSupportFlags(parts);
             parts.nvm[2].present = false;
             return parts;
         },
         "program", DPE_IMAGE_LACKS_DATA, "block 20 (NVM 2 segment count) is missing from the data file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Start(c.parts().idCode == 0x032141CF ? "idcode=0x032141CF" : "");
        const uint64_t before = Reports();
        Load(Build(c.parts()));
        EXPECT_EQ(Run(c.action), c.code);
        EXPECT_EQ(Reports(), before) << trace.Text();
        EXPECT_TRUE(Traced(std::string("\r\nData ") + c.text)) << trace.Text();
        EXPECT_FALSE(Traced("dp_exit"));
        EXPECT_NE(GetFpgaError().find(c.text), std::string::npos) << GetFpgaError();
        EXPECT_EQ(GetFpgaError().rfind(FpgaErrorMessage(c.code), 0), 0u) << GetFpgaError();
        EXPECT_EQ(Fpga().Counters().erases, 0u);
        EXPECT_EQ(Fpga().Counters().rowPrograms, 0u);
        EXPECT_FALSE(Fpga().InProgrammingMode());
    }
}

TEST_F(SimFailureTest, AnEraseThatNeverCompletes) {
    // 262141 polls 1 ms apart, then code 8 with its text; the UROW read
    // before the erase is not programmed back over it.
    Start("erase-never-completes");
    Load(image::MakeDemoFpgaImage());
    const uint64_t start = clock.NowUs();
    EXPECT_EQ(Run("erase_array"), DPE_ERASE_FAILED);
    EXPECT_GE(clock.NowUs() - start, 262141ull * 1000);
    const std::string text = trace.Text();
    EXPECT_NE(text.find("\r\nErase FPGA Array...\r\nFPGA_SLOG_UROW = "), std::string::npos);
    EXPECT_NE(text.find("\r\nFailed Erease Operationdp_exit() \r\n"), std::string::npos);
    EXPECT_FALSE(Traced("Programming UROW"));
    EXPECT_EQ(Fpga().Counters().urowPrograms, 0u);
}

}  // namespace
}  // namespace vexu::test
