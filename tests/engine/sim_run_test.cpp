// Engine runs against the simulated box and FPGA (virtual time): the
// reports read what the device holds, every frame failure comes from a
// device scenario or a built image, and every run leaves through exactly
// one dp_exit with zero protocol violations.
#include <cstring>

#include "engine_fixture.h"
#include "link/dev_manage.h"
#include "link/hid_device.h"
#include "sim/fpga_crypto.h"
#include "sim/fpga_model.h"
#include "sim/simulator.h"
#include "support/recording_backend.h"
#include "tools/image/demo_images.h"

namespace vexu::test {
namespace {

using image::DemoFpgaParts;
using image::ImageParts;

constexpr const char* kRule = "\r\n==================================================";
constexpr const char* kFrameStart =
    "\r\nActID = 29121CF ExpID = 29121CF"
    "\r\nInitializing Target Device...\r\nSetting BSR Configurations...\r\nLoading BSR..."
    "\r\nReading Security...";
constexpr const char* kDemoPassKeyHex = "5665787544656D6F506173734B657931";  // "VexuDemoPassKey1"
// The demo image's user lock value 0x000C at word bits 12-27, bit 15 set.
constexpr uint32_t kDemoLockWord = 0xC000;
constexpr unsigned kCycleCount = 5;

std::string Hex(const uint8_t* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        char piece[8];
        snprintf(piece, sizeof piece, "%X ", bytes[i]);
        text += piece;
    }
    return text;
}

std::string HexDigits(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t b : bytes) {
        char piece[4];
        snprintf(piece, sizeof piece, "%02X", b);
        text += piece;
    }
    return text;
}

// The UROW of a device programmed with the demo image, kCycleCount cycles.
std::vector<uint8_t> DemoUrow() {
    const ImageParts parts = DemoFpgaParts();
    std::vector<uint8_t> urow = {0x00, 0x00, 0x00, 0x40};
    urow.insert(urow.end(), parts.designName->begin(), parts.designName->end());
    urow[12] |= static_cast<uint8_t>(kCycleCount << 6);
    urow.push_back(static_cast<uint8_t>(kCycleCount >> 2));
    urow.push_back(static_cast<uint8_t>(*parts.designChecksum));
    urow.push_back(static_cast<uint8_t>(*parts.designChecksum >> 8));
    return urow;
}

// A device that holds the demo image's identification, lock bits and UROW.
std::string ProgrammedDemoBoard() {
    char text[160];
    snprintf(text, sizeof text, "silsig=0x11223344,security=0x%X,urow=%s", kDemoLockWord, HexDigits(DemoUrow()).c_str());
    return text;
}

class SimRunTest : public ::testing::Test {
protected:
    void TearDown() override {
        scopedBox.reset();
        g_fpgaData = nullptr;
        g_fpgaSize = 0;
        dp_reset_state();
    }

    void Board(const std::string& scenario) {
        scopedBox.reset();
        std::string error;
        sim = sim::MakeSimulator(scenario, error);
        ASSERT_TRUE(sim) << error;
        recorder.SetInner(sim.get());
        scopedBox = std::make_unique<ScopedBox>(recorder);
        ASSERT_NE(CDevManage::GetHandle(), 0);
        // The JTAG port, switched on as the run worker does before the engine runs.
        CHidDevice::SetPort(kJtagPort, 0x01, 0x0E, nullptr);
    }

    void Image(const ImageParts& parts) {
        std::string error;
        ASSERT_TRUE(image::BuildImage(parts, imageBytes, error)) << error;
        dp_reset_state();
        g_fpgaData = imageBytes.data();
        g_fpgaSize = static_cast<uint32_t>(imageBytes.size());
    }

    uint8_t Run(const char* action) {
        trace.Clear();
        recorder.Clear();
        g_dpState.actionCode = dp_action_code_from_name(action);
        const uint8_t code = dp_engine_run();
        EXPECT_EQ(sim->Box().Counters().violations, 0u) << action;
        return code;
    }

    sim::FpgaModel& Fpga() { return *dynamic_cast<sim::FpgaModel*>(sim->Box().Jtag()); }

    bool Traced(const std::string& text) const { return trace.Text().find(text) != std::string::npos; }

    // The run ended with exactly one dp_exit, its reports written byte for
    // byte, and left the device out of programming mode.
    void ExpectOneExit() {
        EXPECT_EQ(trace.Count("dp_exit() \r\n"), 1u);
        const std::vector<RecordingBackend::Transfer> transfers = recorder.Transfers();
        // The fetched IR capture decides whether 0x07 follows.
        size_t capture = transfers.size();
        for (size_t i = transfers.size(); i-- > 0;) {
            if (transfers[i].set && transfers[i].bytes[1] == 0xF3) {
                capture = i + 1;
                break;
            }
        }
        ASSERT_LT(capture, transfers.size());
        const std::vector<FakeHidBackend::Transfer> exit = ExitReports(transfers[capture].bytes[16]);
        ASSERT_GE(transfers.size(), exit.size());
        for (size_t i = 0; i < exit.size(); ++i) {
            const RecordingBackend::Transfer& sent = transfers[transfers.size() - exit.size() + i];
            EXPECT_EQ(sent.set, exit[i].set) << "exit report " << i;
            if (sent.set) {
                EXPECT_EQ(sent.bytes, exit[i].bytes) << "exit report " << i;
            }
        }
        EXPECT_FALSE(Fpga().InProgrammingMode());
    }

    VirtualClock clock;
    ScopedClock scopedClock{clock};
    std::unique_ptr<sim::SimBackend> sim;
    RecordingBackend recorder;
    std::unique_ptr<ScopedBox> scopedBox;
    TraceCapture trace;
    std::vector<uint8_t> imageBytes;
};

TEST_F(SimRunTest, ReportsReadWhatTheDeviceHolds) {
    Board(ProgrammedDemoBoard() +
          ",flashrom=000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F" +
          ",factory-row=0A1B2C3D4E5F60718293A4B5C6D7E8F9");
    Image(DemoFpgaParts());

    EXPECT_EQ(Run("read_idcode"), DPE_SUCCESS);
    EXPECT_EQ(trace.Text(), std::string(kFrameStart) + "\r\nIDCODE: 29121CF" + "dp_exit() \r\n");
    ExpectOneExit();

    EXPECT_EQ(Run("device_info"), DPE_SUCCESS);
    const std::array<uint8_t, 16>& urow = Fpga().Urow();
    std::string flashRom = "\r\n\nFlashROM Information: ";
    for (int page = 7; page >= 0; --page) flashRom += "\r\n" + Hex(Fpga().FlashRomPage(page).data(), 16);
    const std::array<uint8_t, 16>& factoryRow = Fpga().Scenario().factoryRow;
    EXPECT_EQ(trace.Text(), std::string(kFrameStart) + "\r\nSILSIG: 44 33 22 11 " + "\r\nFPGA_SLOG_UROW = " +
                                Hex(urow.data(), 16) + "\r\nUser information: " + "\r\nCYCLE COUNT: 5" +
                                "\r\nCHECKSUM = " + Hex(&urow[14], 2) + "\r\nDesign Name = " + Hex(&urow[4], 9) +
                                kRule + flashRom + kRule + "\r\nReading Factory Row...\r\nFSN: " +
                                Hex(factoryRow.data(), 16) + "\r\nSecurity Setting : " + kRule + "dp_exit() \r\n");
    EXPECT_EQ(std::vector<uint8_t>(urow.begin(), urow.end()), DemoUrow());
    EXPECT_TRUE(Traced("\r\n0 1 2 3 4 5 6 7 8 9 A B C D E F "));  // page 0 as given
    ExpectOneExit();

    EXPECT_EQ(Run("verify_device_info"), DPE_SUCCESS);
    EXPECT_EQ(trace.Text(), std::string(kFrameStart) + "\r\nVerifying device info..." + "\r\nFPGA_SLOG_UROW = " +
                                Hex(urow.data(), 16) + "dp_exit() \r\n");
    ExpectOneExit();
}

TEST_F(SimRunTest, SecurityReportFollowsTheDeviceLockBits) {
    Board("security=0x370000");  // bits 16, 17, 18, 20, 21
    Image(DemoFpgaParts());
    EXPECT_EQ(Run("device_info"), DPE_SUCCESS);
    EXPECT_TRUE(Traced("\r\nSecurity Setting : "
                       "\r\nFlashROM Write/Erase protected by pass key."
                       "\r\nFlashROM Read protected by pass key."
                       "\r\nEncrypted FlashROM Programming Enabled."
                       "\r\nEncrypted FPGA Array Programming Enabled." +
                       std::string(kRule)))
        << trace.Text();
    // Read-protected FlashROM, but the image carries security settings: the
    // pages are still read.
    EXPECT_TRUE(Traced("FlashROM Information"));
    ExpectOneExit();
}

TEST_F(SimRunTest, VerifyDeviceInfoFindsDifferences) {
    struct Case {
        const char* what;
        std::string board;
        uint8_t code;
        const char* line;
    };
    std::vector<uint8_t> otherChecksum = DemoUrow();
    otherChecksum[14] ^= 0x01;
    std::vector<uint8_t> otherCycles = DemoUrow();
    otherCycles[12] ^= 0xC0;
    otherCycles[13] = 0x7F;
    const Case cases[] = {
        {"lock bits differ", "security=0x1C000,urow=" + HexDigits(DemoUrow()), DPE_USER_LOCK_MISMATCH,
         "\r\nUser LOCK Setting Error..."},
        {"blank device", "", DPE_USER_LOCK_MISMATCH, "\r\nUser LOCK Setting Error..."},
        {"checksum differs", "security=0xC000,urow=" + HexDigits(otherChecksum), DPE_UROW_MISMATCH,
         "\r\nUROW Setting Error..."},
        {"only the cycle count differs", "security=0xC000,urow=" + HexDigits(otherCycles), DPE_SUCCESS, ""},
    };
    for (const Case& c : cases) {
        Board(c.board);
        Image(DemoFpgaParts());
        EXPECT_EQ(Run("verify_device_info"), c.code) << c.what;
        if (*c.line) {
            EXPECT_TRUE(Traced(std::string(c.line) + "dp_exit() \r\n")) << c.what << "\n" << trace.Text();
        }
        ExpectOneExit();
    }
}

TEST_F(SimRunTest, IdMismatchSendsNothingButTheExit) {
    Board("idcode=0x02A121CF");
    Image(DemoFpgaParts());
    EXPECT_EQ(Run("read_idcode"), DPE_ID_MISMATCH);
    EXPECT_EQ(trace.Text(), "\r\nActID = 2A121CF ExpID = 29121CF" "dp_exit() \r\n");
    // Reset, IR 0x0F, the ID code out; after it the move to idle and the exit alone.
    const std::vector<RecordingBackend::Transfer> transfers = recorder.Transfers();
    size_t idFetch = 0;
    while (idFetch < transfers.size() && transfers[idFetch].set) ++idFetch;
    ASSERT_LT(idFetch, transfers.size());
    EXPECT_EQ(transfers.size() - idFetch - 1, 1 + 4 + !(transfers.at(idFetch + 3).bytes[16] & 0x04));
    EXPECT_EQ(transfers[idFetch + 1].bytes[1], 0xF1);
    EXPECT_EQ(transfers[idFetch + 1].bytes[5], DP_IDLE);
    ExpectOneExit();
}

TEST_F(SimRunTest, ProgrammingModeRefusedAtEachCheck) {
    for (const char* refusal : {"ir", "flag", "status"}) {
        Board(std::string("mode-refused=") + refusal);
        Image(DemoFpgaParts());
        EXPECT_EQ(Run("device_info"), DPE_PROGRAMMING_MODE_REFUSED) << refusal;
        EXPECT_FALSE(trace.Contains("Reading Security")) << refusal;
        ExpectOneExit();
    }
}

TEST_F(SimRunTest, ActionsTheImageCannotServe) {
    struct Case {
        const char* action;
        std::optional<uint16_t> support;
        uint8_t code;
        const char* line;
    };
    const char* lacks =
        "\r\nUser Error: Data file does not contain the data needed to support requested action.  Check original "
        "STAPL file configuration.";
    const Case cases[] = {
        {"programm", std::nullopt, DPE_ACTION_NOT_FOUND, "\r\nUser Error: Action not found..."},
        {"verify_nvm", std::nullopt, DPE_IMAGE_LACKS_DATA, lacks},           // no NVM data
        {"verify_nvm", uint16_t{0x0101}, DPE_IMAGE_LACKS_DATA, lacks},       // verify flag only... no NVM
        {"verify_nvm", uint16_t{0x0109}, DPE_ACTION_NOT_FOUND, "\r\nAction not found..."},  // NVM, no flag
        {"enc_data_authentication", std::nullopt, DPE_IMAGE_LACKS_DATA, lacks},
        {"erase", uint16_t{0x0000}, DPE_IMAGE_LACKS_DATA, lacks},
        {"program", std::nullopt, DPE_SUCCESS, ""},
    };
    Board("");
    for (const Case& c : cases) {
        ImageParts parts = DemoFpgaParts();
        parts.supportFlags = c.support;
        Image(parts);
        EXPECT_EQ(Run(c.action), c.code) << c.action;
        if (*c.line) {
            EXPECT_TRUE(Traced(std::string("\r\nReading Security...") + c.line + "dp_exit() \r\n"))
                << c.action << "\n" << trace.Text();
        }
        ExpectOneExit();
    }
}

TEST_F(SimRunTest, SecurityPrecheckOnTheDevicesLockBits) {
    struct Case {
        const char* what;
        std::string board;
        const char* action;
        uint8_t code;
        const char* lines;
    };
    const std::string matchingKey = std::string(",pass-key=") + kDemoPassKeyHex;
    const Case cases[] = {
        {"array verify protected", "security=0x1000", "verify_array", 30,
         "\r\nFPGA Array Verification is protected by pass key.\r\nA valid pass key needs to be provided."},
        // With the pass key the checks pass; the blank device then fails its verify.
        {"array verify protected, pass key matches", "security=0x1000" + matchingKey, "verify_array",
         DPE_ROW_VERIFY_FAILED, ""},
        {"FlashROM write protected", "security=0x20000", "program_from", 37,
         "\r\nFROM Write/Erase is protected by pass key.\r\nA valid pass key needs to be provided."},
        {"FlashROM write protected, verify only", "security=0x20000", "verify_from", DPE_FROM_VERIFY_FAILED, ""},
        {"array encryption on, plain image", "security=0x100000", "program", 37,
         "\r\nFPGA Array Encryption is not enforced.\r\nCannot gaurantee valid AES key present in target "
         "device.\r\nUnable to proceed with Encrypted FPGA Array operation."},
        {"security settings protected", "security=0x80000", "erase_security", 35, "\r\nError, pass key match failure."},
        {"security settings protected, pass key matches", "security=0x80000" + matchingKey, "program_security",
         DPE_SUCCESS, ""},
    };
    for (const Case& c : cases) {
        Board(c.board);
        Image(DemoFpgaParts());
        EXPECT_EQ(Run(c.action), c.code) << c.what;
        if (*c.lines) {
            EXPECT_TRUE(Traced(std::string(c.lines) + "dp_exit() \r\n")) << c.what << "\n" << trace.Text();
        }
        ExpectOneExit();
    }
}

TEST_F(SimRunTest, NvmPrecheckOnAClass2Device) {
    ImageParts parts;
    parts.idCode = kClass2DeviceId;
    parts.nvm[1].present = true;
    parts.nvm[1].segments.push_back({0x400, 0, std::vector<uint32_t>(32, 0x12345678)});
    Board("idcode=0x032141CF,security=0x8");  // NVM block 1 read protected
    Image(parts);
    EXPECT_EQ(Run("verify_nvm"), DPE_PLAIN_DATA_NEEDS_PASS_KEY);
    EXPECT_TRUE(Traced("\r\nNVM block 1 Read is protected by pass key.\r\nA valid pass key needs to be provided."));
    ExpectOneExit();
    Board("idcode=0x032141CF,security=0x20");  // NVM block 1 takes encrypted data only
    EXPECT_EQ(Run("program_nvm"), DPE_NVM_ENCRYPTION_NOT_ENFORCED);
    EXPECT_TRUE(Traced("\r\nNVM block 1 Encryption is not enforced."));
    ExpectOneExit();
}

TEST_F(SimRunTest, EncryptedImagesMeetTheDevicesAesKey) {
    struct Case {
        const char* what;
        std::string board;
        uint8_t code;
        const char* line;
    };
    const std::string key = "000102030405060708090A0B0C0D0E0F";
    const Case cases[] = {
        // The checks pass and every row authenticates.
        {"the device holds the key", "security=0x100000,aes-key=" + key, DPE_SUCCESS, ""},
        {"another key: refused at initialisation", "security=0x100000,aes-key=FF" + key.substr(2),
         DPE_AES_KEY_CHECK_FAILED, ""},
        {"the device takes no encrypted array data", "aes-key=" + key, DPE_ARRAY_ENCRYPTION_ENFORCED,
         "\r\nFPGA Array Encryption is enforced. Plain text programming and verification is prohibited."},
    };
    ImageParts parts = DemoFpgaParts();
    parts.encryptArray = true;
    parts.userLock.reset();
    parts.passKey.reset();
    image::Key128 imageKey;
    for (size_t i = 0; i < imageKey.size(); ++i) imageKey[i] = static_cast<uint8_t>(i);
    parts.encryptionKey = imageKey;
    for (const Case& c : cases) {
        Board(c.board);
        Image(parts);
        EXPECT_EQ(Run("enc_data_authentication"), c.code) << c.what;
        EXPECT_EQ(Traced("\r\nReading Security..."), c.code != DPE_AES_KEY_CHECK_FAILED) << c.what;
        if (*c.line) {
            EXPECT_TRUE(Traced(std::string(c.line) + "dp_exit() \r\n")) << c.what << "\n" << trace.Text();
        }
        ExpectOneExit();
    }
}

TEST_F(SimRunTest, VariantChecksAgainstTheDevice) {
    struct Case {
        const char* what;
        const char* board;
        uint8_t marker;
        bool aesCheckBlock;
        uint8_t code;
        const char* lines;
        unsigned challenges;  // a failed M7 check skips the M1 check
    };
    const Case cases[] = {
        {"plain device, plain image", "", 0, true, 0, "", 2},
        {"M7 device, M7 image", "variant=m7", 7, true, 0, "\r\nM7 Device Detected...", 2},
        {"M7 device, plain image", "variant=m7", 0, true, 6,
         "\r\nM7 Device Detected...\r\nError: M7 Device Detected. Data file is not compiled for M7 Device...", 1},
        {"plain device, M7 image", "", 7, true, 6,
         "\r\nError: M7 Device is not Detected. Data file is compiled for M7 Device...", 1},
        {"M1 device, M1 image", "variant=m1", 1, true, 0, "\r\nM1 Device Detected...", 2},
        {"M1 device, M7 image", "variant=m1", 7, true, 6,
         "\r\nError: M7 Device is not Detected. Data file is compiled for M7 Device...", 1},
        {"plain device, M1 image", "", 1, true, 6,
         "\r\nError: M1 Device is not Detected. Data file is compiled for M1 Device...", 2},
        {"AES engine silent", "aes-silent", 0, true, 31, "\r\nFailed to verify AES Sec...", 1},
        {"no AES check data: no challenge", "variant=m7,aes-silent", 1, false, 0, "", 0},
    };
    for (const Case& c : cases) {
        Board(c.board);
        ImageParts parts = DemoFpgaParts();
        parts.variantMarker = c.marker;
        if (c.aesCheckBlock) {
            const sim::AesKey128 key{};  // the device's key: all zero unless the board says otherwise
            const std::array<uint8_t, 16> block = sim::fpga_crypto::AesCheckBlock(key);
            parts.extraBlocks.push_back({DP_BLOCK_AES_CHECK, std::vector<uint8_t>(block.begin(), block.end())});
        }
        Image(parts);
        EXPECT_EQ(Run("read_idcode"), c.code) << c.what;
        if (*c.lines) {
            EXPECT_TRUE(Traced(std::string(c.lines) + (c.code ? "dp_exit() \r\n" : "")))
                << c.what << "\n" << trace.Text();
        }
        EXPECT_EQ(Traced("IDCODE: "), c.code == 0) << c.what;
        EXPECT_EQ(Fpga().Counters().aesChecks, c.challenges) << c.what;
        ExpectOneExit();
    }
}

TEST_F(SimRunTest, AnUnpluggedBoxNeverMakesARunSucceed) {
    Board("");
    Image(DemoFpgaParts());
    ASSERT_EQ(Run("device_info"), DPE_SUCCESS);
    const uint64_t reports = recorder.Transfers().size();
    for (uint64_t after : {uint64_t{0}, uint64_t{3}, reports / 3, reports - 4}) {
        Board("unplug-after=" + std::to_string(after + 1));  // the port switching is report 1
        trace.Clear();
        g_dpState.actionCode = DP_ACTION_DEVICE_INFO;
        EXPECT_NE(dp_engine_run(), DPE_SUCCESS) << after;
        EXPECT_EQ(trace.Count("dp_exit() \r\n"), 1u) << after;
    }
}

}  // namespace
}  // namespace vexu::test
