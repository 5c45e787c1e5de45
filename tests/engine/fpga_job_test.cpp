// The FPGA job: its result messages, what it posts, and the failure text
// it keeps for the run worker.
#include "engine_fixture.h"
#include "run/fpga_job.h"
#include "run/run_messages.h"

namespace vexu::test {
namespace {

const char* const kIdMismatchMessage =
    "The IDCODE of the target device does not match the expected value in the DAT file image.\r\n"
    "This could be due to one of several reasons:\r\n"
    "\r\n"
    "     * Firmware not compatible with the chip. \r\n"
    "     * Bad flat cable connection. Check it to both ends, KTR and Halvo. \r\n";

TEST(FpgaErrorMessage, EveryCodeOfTheTable) {
    struct Case {
        uint32_t code;
        const char* message;
    };
    const Case cases[] = {
        {0, "SUCCESS"},
        {6, kIdMismatchMessage},
        {7, "Failed to poll the FPGA"},
        {8, "This message occurs when the FPGA failed during the Erase operation."},
        {10, "Failed to program FlashROM"},
        {11, "The message occurs when the FPGA failed verify."},
        {12, "Failed to verify"},
        {14, "Failed to program Silicon Signature"},
        {16, "DPE_ULOCK_ERROR"},
        {18, "Failed to authenticate the encrypted data."},
        {20, "Failed to verify FlashROM at row ###."},
        {22, "Failed to program pass key"},
        {23, "Failed to program AES key"},
        {24, "Failed to program UROW"},
        {25, "Failed to enter programming mode"},
        {27, "FlashROM Write/Erase is protected by the pass key. A valid pass key needs to be provided."},
        {30, "FPGA Array verification is protected by a pass key. \r\n A valid pass key needs to be provided."},
        {31, "Failed to program DMK"},
        {33, "FPGA Array encryption is enforced. Plain text programming is prohibited."},
        {34, "FlashROM encryption is enforced. Plain text programming is prohibited."},
        {35, "Pass key match failure."},
        {36, "FlashROM Encryption is not enforced.\r\n AES key may not be present in the target device.\r\n Unable to "
             "proceed with Encrypted FlashROM programming."},
        {37, "FPGA Array Encryption is not enforced.\r\n Cannot guarantee valid AES key present in target device.\r\n "
             "Unable to proceed with Encrypted FPGA Array programming."},
        {38, "Failed to program pass key."},
        {39, "Failed the Embedded Flash Block verification."},
        {41, "Failed to program Embedded Flash Block."},
        {42, "User lock bits do not match the lock bits in the data file."},
        {43, "User urow information does not match the urow information in the data file."},
        {47, "NVM encryption is enforced. Plain text programming is prohibited."},
        {48, "DPE_NVM_KEY_ERROR"},
        {49, "NVM encryption is not enforced.\r\n Cannot guarantee valid AES key present in target device. "
             "\r\nUnable to proceed withencrypted NVM programming."},
        {100, "CRC data error. Data file is corrupted or programming on system board is not cussessful."},
        {150, "Request action is not found."},
        {151, "Action is not supported because required data block is missing from the data file."},
        {152, "Compiled code does not support the requested action."},
    };
    for (const Case& c : cases) EXPECT_EQ(FpgaErrorMessage(c.code), c.message) << c.code;
    for (uint32_t code : {1u, 2u, 5u, 9u, 13u, 15u, 17u, 19u, 21u, 26u, 28u, 29u, 32u, 40u, 44u, 50u, 99u, 101u, 149u,
                          153u, 200u, 255u, 256u, 0xFFFFFFFFu})
        EXPECT_EQ(FpgaErrorMessage(code), "????????") << code;
}

class FpgaJobTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        InitMsgQueue(&window);
    }
    void TearDown() override {
        FreeMsgQueue();
        EngineTest::TearDown();
    }

    // The posted texts with their wParam, in order.
    std::vector<std::pair<std::string, WPARAM>> Posted() {
        std::vector<std::pair<std::string, WPARAM>> posted;
        for (const RecordingTarget::Message& m : window.Take())
            if (m.message == WM_RUN_TEXT) posted.emplace_back(GetMsgText(), m.wParam);
        return posted;
    }

    RecordingTarget window;
};

TEST_F(FpgaJobTest, SuccessFailureAndTheFailureTextThatStays) {
    Load(HealthyImage().Build());
    g_dpState.delayLoopCount = 0;
    EXPECT_EQ(RunFpgaJob("read_idcode"), 1);
    EXPECT_EQ(g_dpState.delayLoopCount, 1200u);  // calibrated on the virtual clock first
    EXPECT_EQ(Posted(), (std::vector<std::pair<std::string, WPARAM>>{{"\r\nUpdating Program...", 1}}));
    EXPECT_TRUE(trace->Contains("\r\nExit code = 0... Success"));

    // A device that does not match the image.
    Load(HealthyImage(0x02A121CF).Build());
    trace->Clear();
    EXPECT_EQ(RunFpgaJob("read_idcode"), 0);
    EXPECT_EQ(GetFpgaError(), kIdMismatchMessage);
    EXPECT_EQ(Posted(), (std::vector<std::pair<std::string, WPARAM>>{{"\r\nUpdating Program...", 1},
                                                                   {"Error\r\n", 0},
                                                                   {std::string(kIdMismatchMessage) + "\r\n", 0}}));
    const std::vector<std::string> lines = trace->Lines();
    const auto error = std::find(lines.begin(), lines.end(), "Error return code \r\n");
    ASSERT_NE(error, lines.end());
    ASSERT_NE(error + 1, lines.end());
    EXPECT_EQ(*(error + 1), "6");
    EXPECT_FALSE(trace->Contains("Exit code = 0"));

    // A later success leaves the failure text in place.
    Load(HealthyImage().Build());
    EXPECT_EQ(RunFpgaJob("READ_IDCODE"), 1);
    EXPECT_EQ(GetFpgaError(), kIdMismatchMessage);

    // An unknown action name, and an action step that fails: the scripted
    // device reads its UROW back as zeros after the erase.
    EXPECT_EQ(RunFpgaJob("read_idcode "), 0);
    EXPECT_EQ(GetFpgaError(), "Request action is not found.");
    EXPECT_EQ(RunFpgaJob("program"), 0);
    EXPECT_EQ(GetFpgaError(), "Failed to program UROW");
}

}  // namespace
}  // namespace vexu::test
