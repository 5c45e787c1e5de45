// The engine frame against a scripted device: identification, programming
// mode, the action check, the security pre-check, the variant checks and
// the exit sequence that ends every run.
#include <algorithm>

#include "engine_fixture.h"
#include "engine/dp_identify.h"
#include "link/dev_manage.h"

namespace vexu::test {
namespace {

constexpr const char* kRule = "\r\n==================================================";
constexpr const char* kLacksData =
    "\r\nUser Error: Data file does not contain the data needed to support requested action.  Check original "
    "STAPL file configuration.";
const std::vector<uint8_t> kPassKey = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                                       0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

// The security register of a class-2 device holding the word's bits 0-23.
std::vector<uint8_t> Class2Register(uint32_t bits) {
    return {static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits >> 16), 0, 0, 0, 0};
}

// Expected outcome of an action that passes every check: its step runs.
constexpr uint8_t kStepRuns = 0xFF;

class FrameTest : public EngineTest {
protected:
    // Every run ends with exactly one dp_exit, sent byte for byte.
    void ExpectOneExit() {
        EXPECT_EQ(trace->Count("dp_exit() \r\n"), 1u);
        const std::vector<FakeHidBackend::Transfer> exit = ExitReports(box.irCapture);
        const std::vector<FakeHidBackend::Transfer> transfers = box.Transfers();
        ASSERT_GE(transfers.size(), exit.size());
        for (size_t i = 0; i < exit.size(); ++i) {
            const FakeHidBackend::Transfer& sent = transfers[transfers.size() - exit.size() + i];
            EXPECT_EQ(sent.set, exit[i].set) << "exit report " << i;
            EXPECT_EQ(sent.bytes, exit[i].bytes) << "exit report " << i;
        }
    }

    // The run's code is the expected one; for kStepRuns, any code that the
    // action step itself can leave.
    static void ExpectCode(uint8_t code, uint8_t expected, const std::string& what) {
        if (expected == kStepRuns)
            EXPECT_TRUE(code != DPE_ACTION_NOT_FOUND && code != DPE_IMAGE_LACKS_DATA && code != DPE_ACTION_NOT_BUILT)
                << what << ": " << int{code};
        else
            EXPECT_EQ(code, expected) << what;
    }

    bool Traced(const std::string& text) const { return trace->Text().find(text) != std::string::npos; }
};

TEST_F(FrameTest, ActionNamesIgnoreLetterCase) {
    EXPECT_EQ(dp_action_code_from_name("PROGRAM"), DP_ACTION_PROGRAM);
    EXPECT_EQ(dp_action_code_from_name("Device_Info"), DP_ACTION_DEVICE_INFO);
    EXPECT_EQ(dp_action_code_from_name("verify_device_info"), DP_ACTION_VERIFY_DEVICE_INFO);
    EXPECT_EQ(dp_action_code_from_name("programx"), DP_ACTION_NONE);
    EXPECT_EQ(dp_action_code_from_name("progra"), DP_ACTION_NONE);
    EXPECT_EQ(dp_action_code_from_name(""), DP_ACTION_NONE);
    EXPECT_EQ(dp_action_code_from_name(nullptr), DP_ACTION_NONE);
}

TEST_F(FrameTest, ReadIdcodeRunsTheFrameAroundItsReport) {
    Load(HealthyImage().Build());
    EXPECT_EQ(Run("read_idcode"), DPE_SUCCESS);
    EXPECT_EQ(trace->Text(),
              "\r\nActID = 29121CF ExpID = 29121CF"
              "\r\nInitializing Target Device...\r\nSetting BSR Configurations...\r\nLoading BSR..."
              "\r\nReading Security..."
              "\r\nIDCODE: 29121CF"
              "dp_exit() \r\n");
    // Reset, identification, BSR, programming mode and its status, security
    // read, the report, exit.
    EXPECT_EQ(box.gotoStates.front(), DP_TAP_RESET);
    EXPECT_EQ(box.Instructions(), std::vector<uint8_t>({0x0F, 0x01, 0x80, 0x80, 0x84, 0xA4, 0x0F, 0x81, 0xFF, 0x07}));
    ExpectOneExit();
}

TEST_F(FrameTest, DeviceInfoReportsWhatTheDeviceHolds) {
    box.answers[0x0E] = {0x11, 0x22, 0x33, 0x44};
    box.answers[0xA8] = {0x00, 0x01, 0x02, 0x40, 'D', 'E', 'S', 'I', 'G', 'N', '-', 'V', 0xC5, 0x03, 0x34, 0x12};
    box.answers[0xBF] = {0x0A, 0xBC, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D};
    FakeJtagBox::Responder healthy = box.responder;
    box.responder = [&](uint8_t ir, unsigned bits, const std::vector<uint8_t>& in) -> std::vector<uint8_t> {
        if (ir == 0x93) {
            const uint8_t page = box.LastDataIn(0x9F).at(0);
            return {page, static_cast<uint8_t>(0xF0 | page)};
        }
        return healthy(ir, bits, in);
    };
    Load(HealthyImage().Build());
    EXPECT_EQ(Run("device_info"), DPE_SUCCESS);

    std::string flashRom = "\r\n\nFlashROM Information: ";
    for (int page = 7; page >= 0; --page) {
        char line[64];
        snprintf(line, sizeof line, "\r\n%X F%X 0 0 0 0 0 0 0 0 0 0 0 0 0 0 ", page, page);
        flashRom += line;
    }
    EXPECT_EQ(trace->Text(),
              std::string("\r\nActID = 29121CF ExpID = 29121CF"
                          "\r\nInitializing Target Device...\r\nSetting BSR Configurations...\r\nLoading BSR..."
                          "\r\nReading Security..."
                          "\r\nSILSIG: 11 22 33 44 "
                          "\r\nFPGA_SLOG_UROW = 0 1 2 40 44 45 53 49 47 4E 2D 56 C5 3 34 12 "
                          "\r\nUser information: \r\nCYCLE COUNT: 15\r\nCHECKSUM = 34 12 "
                          "\r\nDesign Name = 44 45 53 49 47 4E 2D 56 C5 ") +
                  kRule + flashRom + kRule +
                  "\r\nReading Factory Row...\r\nFSN: A BC 0 1 2 3 4 5 6 7 8 9 A B C D "
                  "\r\nSecurity Setting : " +
                  kRule + "dp_exit() \r\n");
    EXPECT_EQ(g_dpState.cycleCount, 15u);
    // Page numbers go out as 3-bit scans, highest page first.
    std::vector<uint8_t> pages;
    for (const JtagScan& scan : box.scans)
        if (!scan.instruction && scan.ir == 0x9F) pages.push_back(scan.in.at(0));
    EXPECT_EQ(pages, std::vector<uint8_t>({7, 6, 5, 4, 3, 2, 1, 0}));
    ExpectOneExit();
}

TEST_F(FrameTest, FlashRomInformationSkippedOnlyWhenReadProtectedWithoutSecuritySettings) {
    struct Case {
        bool readProtected;
        bool securitySettings;
        bool printed;
    };
    for (const Case& c : {Case{false, false, true}, Case{false, true, true}, Case{true, false, false},
                          Case{true, true, true}}) {
        trace->Clear();
        box.answers[0xA4] = {static_cast<uint8_t>(c.readProtected ? 0x10 : 0x00), 0};  // class 1: byte 0 -> bits 12-19
        Load(HealthyImage().Support(DP_SUPPORT_ARRAY | (c.securitySettings ? DP_SUPPORT_SECURITY : 0)).Build());
        EXPECT_EQ(Run("device_info"), DPE_SUCCESS);
        EXPECT_EQ(trace->Contains("FlashROM Information"), c.printed)
            << c.readProtected << " " << c.securitySettings;
        EXPECT_EQ(Traced("\r\nFlashROM Read protected by pass key."), c.readProtected);
    }
}

TEST_F(FrameTest, SecurityReportListsSetBitsInItsOrderAndNvmLinesOnlyForClass2) {
    g_dpState.securityWord = 0x00FFFFFF;
    g_dpState.deviceClass = 2;
    dp_report_security();
    EXPECT_EQ(trace->Text(), std::string("\r\nSecurity Setting : "
                                         "\r\nFlashROM Write/Erase protected by pass key."
                                         "\r\nFlashROM Read protected by pass key."
                                         "\r\nArray Write/Erase protected by pass key."
                                         "\r\nArray Verify protected by pass key."
                                         "\r\nEncrypted FlashROM Programming Enabled."
                                         "\r\nEncrypted FPGA Array Programming Enabled."
                                         "\r\nNVM block 0 Write protected by pass key."
                                         "\r\nNVM block 0 Read protected by pass key."
                                         "\r\nNVM block 1 Write protected by pass key."
                                         "\r\nNVM block 1 Read protected by pass key."
                                         "\r\nEncrypted NVM block 0 Programming Enabled."
                                         "\r\nEncrypted NVM block 1 Programming Enabled.") +
                                 kRule);
    trace->Clear();
    g_dpState.securityWord = 0x0000003F | DP_SEC_ARRAY_ENCRYPTION;
    g_dpState.deviceClass = 1;
    dp_report_security();
    EXPECT_EQ(trace->Text(), std::string("\r\nSecurity Setting : \r\nEncrypted FPGA Array Programming Enabled.") + kRule);
}

TEST_F(FrameTest, IdentificationTakesTheFirstMatchingRowUnderItsMask) {
    struct Case {
        uint32_t id;
        uint8_t factor;
        uint32_t rows;
        uint8_t deviceClass;
        uint32_t bsrLength;
    };
    const Case cases[] = {
        {0x123261CF, 6, 3444, 1, 1056},   // bits 26 and up lie outside the first row's mask
        {0x029121CF, 2, 1244, 1, 372},
        {0x0353A1CF, 10, 5556, 2, 1740},  // not the 5644-row class-1 family under 0x03FFFFFF
        {0x071921CF, 3, 1244, 2, 468},   // bit 26 lies outside 0x0BFFFFFF
    };
    for (const Case& c : cases) {
        MakeHealthy(box, c.id);
        Load(HealthyImage(c.id).Build());
        EXPECT_EQ(Run("read_idcode"), DPE_SUCCESS) << std::hex << c.id;
        EXPECT_EQ(g_dpState.rowWidthFactor, c.factor) << std::hex << c.id;
        EXPECT_EQ(g_dpState.arrayRowCount, c.rows) << std::hex << c.id;
        EXPECT_EQ(g_dpState.deviceClass, c.deviceClass) << std::hex << c.id;
        EXPECT_EQ(g_dpState.bsrLength, c.bsrLength) << std::hex << c.id;
    }
    // Both codes must match the same row: the device alone is not enough.
    MakeHealthy(box, 0x123261CF);
    Load(HealthyImage(0x023261CE).Build());
    EXPECT_EQ(Run("read_idcode"), DPE_ID_MISMATCH);
}

TEST_F(FrameTest, BoundaryScanDataIsLoadedWhenTheImageCarriesIt) {
    std::vector<uint8_t> bsr(47);
    for (size_t i = 0; i < bsr.size(); ++i) bsr[i] = static_cast<uint8_t>(i * 7);
    Load(HealthyImage().Block(DP_BLOCK_BSR, bsr).Build());
    EXPECT_EQ(Run("read_idcode"), DPE_SUCCESS);
    auto afterBsrInstruction = [&]() {
        auto it = std::find_if(box.scans.begin(), box.scans.end(), [](const JtagScan& s) { return s.instruction && s.ir == 0x01; });
        return it + 1;
    };
    ASSERT_FALSE(afterBsrInstruction()->instruction);
    EXPECT_EQ(afterBsrInstruction()->bits, 372u);
    EXPECT_EQ(afterBsrInstruction()->in, bsr);

    box.scans.clear();
    Load(HealthyImage().Build());
    EXPECT_EQ(Run("read_idcode"), DPE_SUCCESS);
    EXPECT_TRUE(afterBsrInstruction()->instruction);  // straight on to instruction 0x80
    EXPECT_EQ(afterBsrInstruction()->ir, 0x80);
}

TEST_F(FrameTest, UnknownActionEndsAfterTheSecurityRead) {
    Load(HealthyImage().Build());
    EXPECT_EQ(Run("programm"), DPE_ACTION_NOT_FOUND);
    EXPECT_EQ(trace->Text(),
              "\r\nActID = 29121CF ExpID = 29121CF"
              "\r\nInitializing Target Device...\r\nSetting BSR Configurations...\r\nLoading BSR..."
              "\r\nReading Security..."
              "\r\nUser Error: Action not found..."
              "dp_exit() \r\n");
    ExpectOneExit();
}

TEST_F(FrameTest, ActionCheckAgainstTheImage) {
    struct Case {
        const char* action;
        uint32_t support;
        uint8_t code;
    };
    const Case cases[] = {
        {"verify_from", DP_SUPPORT_FROM | DP_SUPPORT_FROM_ENCRYPTED, DPE_IMAGE_LACKS_DATA},
        {"verify_from", DP_SUPPORT_FROM, kStepRuns},
        {"erase", 0, DPE_IMAGE_LACKS_DATA},
        {"erase", DP_SUPPORT_SECURITY, kStepRuns},
        {"erase_all", 0, kStepRuns},
        {"program", 0, kStepRuns},
        {"verify", DP_SUPPORT_FROM | DP_SUPPORT_FROM_ENCRYPTED, DPE_IMAGE_LACKS_DATA},
        {"verify", DP_SUPPORT_NVM_VERIFY, kStepRuns},
        {"enc_data_authentication", DP_SUPPORT_ARRAY, DPE_IMAGE_LACKS_DATA},
        {"erase_array", DP_SUPPORT_FROM, DPE_IMAGE_LACKS_DATA},
        {"program_from", DP_SUPPORT_ARRAY, DPE_IMAGE_LACKS_DATA},
        {"erase_security", DP_SUPPORT_ARRAY, DPE_IMAGE_LACKS_DATA},
        {"program_nvm", DP_SUPPORT_NVM_VERIFY, DPE_IMAGE_LACKS_DATA},
        {"program_nvm", DP_SUPPORT_NVM(2), kStepRuns},
        // The action check wants NVM data for "verify_nvm", the dispatcher the verify flag.
        {"verify_nvm", DP_SUPPORT_NVM_VERIFY, DPE_IMAGE_LACKS_DATA},
        {"verify_nvm", DP_SUPPORT_NVM(0), DPE_ACTION_NOT_FOUND},
        {"verify_nvm", DP_SUPPORT_NVM(3) | DP_SUPPORT_NVM_VERIFY, kStepRuns},
        {"device_info", 0, DPE_SUCCESS},
    };
    for (const Case& c : cases) {
        trace->Clear();
        box.Reset();
        Load(ImageAnnouncing(c.support).Build());
        ExpectCode(Run(c.action), c.code, c.action);
        EXPECT_EQ(Traced(kLacksData), c.code == DPE_IMAGE_LACKS_DATA) << c.action;
        EXPECT_EQ(Traced("\r\nAction not found..."), c.code == DPE_ACTION_NOT_FOUND) << c.action;
        EXPECT_FALSE(Traced("User Error: Action not found")) << c.action;
        ExpectOneExit();
    }
}

TEST_F(FrameTest, EveryActionNameReachesItsStep) {
    // An image with everything in plain form lets every action through the
    // checks; each action then runs its own step, never the not-found or
    // not-built ends.
    const uint32_t everything = DP_SUPPORT_ARRAY | DP_SUPPORT_FROM | DP_SUPPORT_NVM_ANY | DP_SUPPORT_NVM_VERIFY |
                                DP_SUPPORT_SECURITY;
    struct Case {
        const char* action;
        const char* firstStepLine;
    };
    const Case cases[] = {
        {"erase", "\r\nErase..."},
        {"erase_all", "Erase FPGA Array, FlashROM and Security Settings ...\r\n"},
        {"program", "\r\nErase..."},
        {"verify", "\r\nVerifying FPGA Array..."},
        {"erase_array", "\r\nErase FPGA Array..."},
        {"program_array", "\r\nErase FPGA Array..."},
        {"verify_array", "\r\nVerifying FPGA Array..."},
        {"erase_from", "\r\nErase FlashROM..."},
        {"program_from", "\r\nErase FlashROM..."},
        {"verify_from", "\r\nVerifying FlashROM..."},
        {"erase_security", "\r\nErase Security..."},
        {"program_security", "\r\nErase Security..."},
        {"program_nvm", "\r\nProgramming NVM block 0"},
        {"verify_nvm", "\r\nVerifying NVM block 0"},
    };
    for (const Case& c : cases) {
        trace->Clear();
        Load(ImageAnnouncing(everything).Block(DP_BLOCK_PASS_KEY, kPassKey).Build());
        const uint8_t code = Run(c.action);
        EXPECT_TRUE(code != DPE_ACTION_NOT_FOUND && code != DPE_IMAGE_LACKS_DATA && code != DPE_ACTION_NOT_BUILT)
            << c.action << " " << int{code};
        EXPECT_TRUE(Traced(c.firstStepLine)) << c.action;
    }
    // Action 7 needs encrypted array data (and a device that takes it).
    trace->Clear();
    box.answers[0xA4] = {0x00, 0x01};  // class 1: register byte 1 bit 0 is security bit 20
    Load(ImageAnnouncing(DP_SUPPORT_ARRAY | DP_SUPPORT_ARRAY_ENCRYPTED).Build());
    EXPECT_NE(Run("enc_data_authentication"), DPE_ACTION_NOT_BUILT);
    EXPECT_TRUE(Traced("\r\nPerforming Data Authentication..."));
}

TEST_F(FrameTest, SecurityReadOfAClass1DeviceKeepsTheSignatureOutOfTheFlags) {
    box.answers[0xA4] = {0xAB, 0xFC, 0xFF, 0xFF, 0xFF, 0xFF};
    Load(HealthyImage().Build());
    EXPECT_EQ(Run("read_idcode"), DPE_SUCCESS);
    EXPECT_EQ(g_dpState.securityWord, 0x00CAB000u);

    MakeHealthy(box, kClass2DeviceId);
    box.answers[0xA4] = {0x12, 0x34, 0x56, 0xFF, 0xFF, 0xFF, 0xFF};
    Load(HealthyImage(kClass2DeviceId).Build());
    EXPECT_EQ(Run("read_idcode"), DPE_SUCCESS);
    EXPECT_EQ(g_dpState.securityWord, 0x00563412u);
    // The register is 44 bits on class 1 and 56 bits on class 2.
    auto registerScan = std::find_if(box.scans.rbegin(), box.scans.rend(),
                                     [](const JtagScan& s) { return !s.instruction && s.ir == 0xA4; });
    EXPECT_EQ(registerScan->bits, 56u);
}

TEST_F(FrameTest, PassKeyPresentedAtInitialisation) {
    struct Case {
        uint8_t answer;
        bool zeroKey;
        uint32_t support;
        uint32_t flags;
    };
    const Case cases[] = {
        {0x01, false, DP_SUPPORT_ARRAY, DP_SEC_PASS_KEY_MATCHED},
        {0xFD, false, DP_SUPPORT_ARRAY, DP_SEC_PASS_KEY_MATCHED},  // only the two low bits count
        {0x03, false, DP_SUPPORT_ARRAY, 0},
        {0x02, true, DP_SUPPORT_ARRAY, 0},  // all-zero key matters only with security settings
        {0x02, true, DP_SUPPORT_SECURITY, DP_SEC_PASS_KEY_ZERO},
        {0x01, true, DP_SUPPORT_SECURITY, DP_SEC_PASS_KEY_MATCHED | DP_SEC_PASS_KEY_ZERO},
    };
    for (const Case& c : cases) {
        box.answers[0x92] = {c.answer};
        const std::vector<uint8_t> key = c.zeroKey ? std::vector<uint8_t>(16, 0) : kPassKey;
        Load(HealthyImage().Support(c.support).Block(DP_BLOCK_PASS_KEY, key).Build());
        EXPECT_EQ(Run("read_idcode"), DPE_SUCCESS);
        EXPECT_EQ(g_dpState.securityWord & 0xFF000000, c.flags) << int(c.answer) << " " << c.zeroKey;
        EXPECT_EQ(box.LastDataIn(0x92), key);
    }
    // Without block 29 no pass key is presented.
    box.scans.clear();
    Load(HealthyImage().Build());
    EXPECT_EQ(Run("read_idcode"), DPE_SUCCESS);
    const std::vector<uint8_t> instructions = box.Instructions();
    EXPECT_EQ(std::count(instructions.begin(), instructions.end(), 0x92), 0);
}

TEST_F(FrameTest, AesKeyCheckedAtInitialisationForEncryptedImages) {
    struct Case {
        const char* action;
        uint32_t support;
        bool aesBlock;
        uint8_t answer;
        uint8_t code;
    };
    const Case cases[] = {
        {"program_array", DP_SUPPORT_ARRAY | DP_SUPPORT_ARRAY_ENCRYPTED, true, 0x80, DPE_AES_KEY_CHECK_FAILED},
        {"program_nvm", DP_SUPPORT_NVM(1) | DP_SUPPORT_NVM_ENCRYPTED(3), true, 0x40, DPE_AES_KEY_CHECK_FAILED},
        {"read_idcode", DP_SUPPORT_ARRAY | DP_SUPPORT_ARRAY_ENCRYPTED, true, 0x00, DPE_SUCCESS},  // report action
        {"program_array", DP_SUPPORT_ARRAY, true, 0x00, kStepRuns},  // nothing encrypted: no check
    };
    for (const Case& c : cases) {
        box.scans.clear();
        trace->Clear();
        box.answers[0x0A][15] = c.answer;
        Load(ImageAnnouncing(c.support).Block(DP_BLOCK_AES_CHECK, kPassKey).Build());
        ExpectCode(Run(c.action), c.code, c.action);
        if (c.code == DPE_AES_KEY_CHECK_FAILED) {
            EXPECT_FALSE(trace->Contains("Reading Security")) << c.action;
            EXPECT_FALSE(trace->Contains("Failed to verify AES Sec")) << c.action;  // no text of its own
        }
        ExpectOneExit();
    }
}

TEST_F(FrameTest, SecurityPrecheckGroups) {
    struct Case {
        const char* what;
        const char* action;
        uint32_t support;
        uint32_t securityBits;
        bool passKeyMatched;
        bool aesCheckPasses;
        uint8_t code;
        std::string lines;
    };
    const std::string validKey = "\r\nA valid pass key needs to be provided.";
    const std::string noAesKey = "\r\nCannot gaurantee valid AES key present in target device.";
    const uint32_t array = DP_SUPPORT_ARRAY;
    const uint32_t rom = DP_SUPPORT_FROM;
    const Case cases[] = {
        // Group A: the array.
        {"A enforced", "program_array", array | DP_SUPPORT_ARRAY_ENCRYPTED, 0, false, true, 33,
         "\r\nFPGA Array Encryption is enforced. Plain text programming and verification is prohibited."},
        {"A AES check failed", "program_array", array | DP_SUPPORT_ARRAY_ENCRYPTED, DP_SEC_ARRAY_ENCRYPTION, false,
         false, 30, "\r\nFailed to verify AES Sec."},
        {"A AES check passed", "verify_array", array | DP_SUPPORT_ARRAY_ENCRYPTED, DP_SEC_ARRAY_ENCRYPTION, false, true,
         kStepRuns, ""},
        {"A not enforced", "program_array", array, DP_SEC_ARRAY_ENCRYPTION, false, true, 37,
         "\r\nFPGA Array Encryption is not enforced." + noAesKey +
             "\r\nUnable to proceed with Encrypted FPGA Array operation."},
        {"A not enforced, key matched", "program_array", array, DP_SEC_ARRAY_ENCRYPTION, true, true, kStepRuns, ""},
        {"A verify protected", "verify_array", array, DP_SEC_ARRAY_VERIFY_PROTECTED, false, true, 30,
         "\r\nFPGA Array Verification is protected by pass key." + validKey},
        {"A write protected", "erase_array", array, DP_SEC_ARRAY_WRITE_PROTECTED, false, true, 30,
         "\r\nFPGA Array Write/Erase is protected by pass key." + validKey},
        {"A write protected, verify only", "verify_array", array, DP_SEC_ARRAY_WRITE_PROTECTED, false, true, kStepRuns, ""},
        {"A write protected, key matched", "program_array", array, DP_SEC_ARRAY_WRITE_PROTECTED, true, true, kStepRuns, ""},
        {"A no array data", "erase", DP_SUPPORT_SECURITY, 0x103000 /* 12, 13, 20 */, false, true, kStepRuns, ""},
        // Group B: the FlashROM.
        {"B enforced", "program_from", rom | DP_SUPPORT_FROM_ENCRYPTED, 0, false, true, 34,
         "\r\nFlashROM Encryption is enforced. Plain text programming and verification is prohibited."},
        {"B AES check failed", "program_from", rom | DP_SUPPORT_FROM_ENCRYPTED, DP_SEC_FROM_ENCRYPTION, false, false,
         27, "\r\nFailed to verify AES Sec."},
        {"B not enforced", "verify_from", rom, DP_SEC_FROM_ENCRYPTION, false, true, 36,
         "\r\nFlashROM Encryption is not enforced." + noAesKey +
             "\r\nUnable to proceed with Encrypted FlashROM programming."},
        {"B read protected", "verify_from", rom, DP_SEC_FROM_READ_PROTECTED, false, true, 37,
         "\r\nFROM Verification is protected by pass key." + validKey},
        {"B write protected", "program_from", rom, DP_SEC_FROM_WRITE_PROTECTED, false, true, 37,
         "\r\nFROM Write/Erase is protected by pass key." + validKey},
        {"B write protected, verify only", "verify_from", rom, DP_SEC_FROM_WRITE_PROTECTED, false, true, kStepRuns, ""},
        {"B protected, key matched", "erase_from", rom, DP_SEC_FROM_READ_PROTECTED | DP_SEC_FROM_WRITE_PROTECTED, true,
         true, kStepRuns, ""},
        // Group C: the NVM blocks, each named in its lines.
        {"C block 1 enforced", "program_nvm", DP_SUPPORT_NVM(1) | DP_SUPPORT_NVM_ENCRYPTED(1), 0, false, true, 47,
         "\r\nNVM block 1 Encryption is enforced. Plain text programming is prohibited."},
        {"C block 1 AES check failed", "program_nvm", DP_SUPPORT_NVM(1) | DP_SUPPORT_NVM_ENCRYPTED(1),
         DP_SEC_NVM_ENCRYPTION(1), false, false, 48, "\r\nFailed to verify AES Sec."},
        {"C block 3 not enforced", "program_nvm", DP_SUPPORT_NVM(3), DP_SEC_NVM_ENCRYPTION(3), false, true, 49,
         "\r\nNVM block 3 Encryption is not enforced." + noAesKey + "\r\nUnable to proceed with Encrypted NVM programming."},
        {"C block 0 read protected", "verify_nvm", DP_SUPPORT_NVM(0) | DP_SUPPORT_NVM_VERIFY,
         DP_SEC_NVM_READ_PROTECTED(0), false, true, 37, "\r\nNVM block 0 Read is protected by pass key." + validKey},
        {"C block 2 write protected", "program_nvm", DP_SUPPORT_NVM(2), DP_SEC_NVM_WRITE_PROTECTED(2), false, true, 37,
         "\r\nNVM block 2 Read is protected by pass key." + validKey},
        {"C block 2 write protected, verify only", "verify_nvm", DP_SUPPORT_NVM(2) | DP_SUPPORT_NVM_VERIFY,
         DP_SEC_NVM_WRITE_PROTECTED(2), false, true, kStepRuns, ""},
        {"C protection of a block the image lacks", "program_nvm", DP_SUPPORT_NVM(0), 0x38 /* block 1 */, false, true,
         kStepRuns, ""},
        {"C second block refused after the first passed", "program", DP_SUPPORT_NVM(0) | DP_SUPPORT_NVM(2),
         DP_SEC_NVM_READ_PROTECTED(2), false, true, 37, "\r\nNVM block 2 Read is protected by pass key." + validKey},
        // Group D: the security segment.
        {"D protected", "erase_security", DP_SUPPORT_SECURITY, DP_SEC_SECURITY_PROTECTED, false, true, 35,
         "\r\nError, pass key match failure."},
        {"D protected, key matched", "program_security", DP_SUPPORT_SECURITY, DP_SEC_SECURITY_PROTECTED, true, true,
         kStepRuns, ""},
        {"D only for security actions", "program_array", array | DP_SUPPORT_SECURITY, DP_SEC_SECURITY_PROTECTED, false,
         true, kStepRuns, ""},
        // Groups run in order A, B, C: the first refusal decides.
        {"A before B", "program", array | rom, DP_SEC_ARRAY_VERIFY_PROTECTED | DP_SEC_FROM_READ_PROTECTED, false, true,
         30, "\r\nFPGA Array Verification is protected by pass key." + validKey},
        {"report actions skip the pre-check", "device_info", array | DP_SUPPORT_ARRAY_ENCRYPTED, 0, false, true, 0, ""},
    };
    for (const Case& c : cases) {
        MakeHealthy(box, kClass2DeviceId);
        box.answers[0xA4] = Class2Register(c.securityBits);
        box.answers[0x92] = {static_cast<uint8_t>(c.passKeyMatched ? 0x01 : 0x02)};
        box.answers[0x0A][15] = c.aesCheckPasses ? 0xC0 : 0x40;
        trace->Clear();
        box.Reset();
        box.scans.clear();
        // No AES check block: the check at initialisation stays out of the way
        // and the pre-check's own check decides on the device's answer.
        Load(ImageAnnouncing(c.support, kClass2DeviceId).Block(DP_BLOCK_PASS_KEY, kPassKey).Build());
        ExpectCode(Run(c.action), c.code, c.what);
        if (!c.lines.empty()) {
            EXPECT_TRUE(Traced(c.lines)) << c.what << "\n" << trace->Text();
        } else {
            EXPECT_FALSE(trace->Contains("pass key")) << c.what;
            EXPECT_FALSE(trace->Contains("Encryption is")) << c.what;
            EXPECT_FALSE(trace->Contains("Failed to verify AES Sec.")) << c.what;
        }
        EXPECT_FALSE(Traced("FROM Verification") && c.code == 30) << c.what;  // one refusal only
        ExpectOneExit();
    }
}

TEST_F(FrameTest, VerifyDeviceInfoComparesLockBitsAndUrow) {
    // Class 1: the image's 2-byte lock value 0x0208 sits at word bits 12-27,
    // bit 15 always set: the device's register holds bytes 0x08, 0x02.
    const std::vector<uint8_t> urow = {0, 0, 0, 0x40, 'D', 'E', 'S', 'I', 'G', 'N', '-', 'V', '1', 0x00, 0x34, 0x12};
    struct Case {
        const char* what;
        std::vector<uint8_t> securityRegister;
        int urowByte;        // -1: the UROW as programmed
        uint8_t urowValue;
        uint8_t code;
    };
    const Case cases[] = {
        {"matching", {0x08, 0x02}, -1, 0, DPE_SUCCESS},
        {"signature bits above the lock bits", {0x08, 0xF2}, -1, 0, DPE_SUCCESS},
        {"lock bits differ", {0x08, 0x03}, -1, 0, DPE_USER_LOCK_MISMATCH},
        {"checksum differs", {0x08, 0x02}, 15, 0x13, DPE_UROW_MISMATCH},
        {"name differs", {0x08, 0x02}, 7, 'X', DPE_UROW_MISMATCH},
        {"cycle bits of byte 12 ignored", {0x08, 0x02}, 12, '1' | 0xC0, DPE_SUCCESS},
        {"name bits of byte 12 compared", {0x08, 0x02}, 12, '2', DPE_UROW_MISMATCH},
    };
    for (const Case& c : cases) {
        trace->Clear();
        box.scans.clear();
        box.answers[0xA4] = c.securityRegister;
        box.answers[0xA8] = urow;
        if (c.urowByte >= 0) box.answers[0xA8][c.urowByte] = c.urowValue;
        Load(HealthyImage().Block(DP_BLOCK_USER_LOCK, {0x08, 0x02}).Build());
        EXPECT_EQ(Run("verify_device_info"), c.code) << c.what;
        EXPECT_TRUE(trace->Contains("\r\nVerifying device info...")) << c.what;
        EXPECT_EQ(trace->Contains("\r\nUser LOCK Setting Error..."), c.code == DPE_USER_LOCK_MISMATCH) << c.what;
        EXPECT_EQ(trace->Contains("\r\nUROW Setting Error..."), c.code == DPE_UROW_MISMATCH) << c.what;
        const std::vector<uint8_t> instructions = box.Instructions();
        EXPECT_EQ(std::count(instructions.begin(), instructions.end(), 0xA8), c.code == DPE_USER_LOCK_MISMATCH ? 0 : 1)
            << c.what;
        ExpectOneExit();
    }
    // Class 2: the 3-byte lock value compares as it is, bits 0-21.
    MakeHealthy(box, kClass2DeviceId);
    box.answers[0xA8] = urow;
    box.answers[0xA4] = {0x21, 0x80, 0x3F};
    Load(HealthyImage(kClass2DeviceId).Block(DP_BLOCK_USER_LOCK, {0x21, 0x00, 0xFF}).Build());
    EXPECT_EQ(Run("verify_device_info"), DPE_SUCCESS);  // bit 15 always set, bits 22-23 not compared
    box.answers[0xA4] = {0x21, 0x00, 0x3F};
    EXPECT_EQ(Run("verify_device_info"), DPE_USER_LOCK_MISMATCH);
}

TEST_F(FrameTest, ARunDuringWhichTheProgrammerFailsNeverSucceeds) {
    Load(HealthyImage().Build());
    EXPECT_EQ(Run("device_info"), DPE_SUCCESS);
    const long reports = static_cast<long>(box.Transfers().size());
    struct Case {
        long failFrom;
        uint8_t code;
    };
    // From the first report on the ID code reads as 0; later the report
    // reads zeros, but the run knows that its commands failed.
    for (const Case& c : {Case{0, DPE_ID_MISMATCH}, Case{reports / 2, DPE_POLL_TIMEOUT}, Case{reports - 3, DPE_POLL_TIMEOUT}}) {
        CDevManage::FindDevice();
        box.Reset();
        box.failTransfer = c.failFrom < 0 ? 0 : static_cast<size_t>(c.failFrom) + 1;
        trace->Clear();
        EXPECT_EQ(Run("device_info"), c.code) << c.failFrom;
        EXPECT_EQ(trace->Count("dp_exit() \r\n"), 1u);
        box.failTransfer = 0;
    }
}

}  // namespace
}  // namespace vexu::test
