// The FPGA job: its result messages, what it posts, and the failure text
// it keeps for the run worker.
#include "engine_fixture.h"
#include "run/fpga_job.h"
#include "common/run_messages.h"

namespace vexu::test {
namespace {

const char* const kIdMismatchMessage =
    "The IDCODE of the target device does not match the expected value in the DAT file image.\r\n"
    "This could be due to one of several reasons:\r\n"
    "\r\n"
    "     * Firmware not compatible with the chip. \r\n"
    "     * Bad flat cable connection. Check it to both ends, KTR and Halvo. \r\n";

// Every code the engine can end a run with has a text of its own; the texts
// the operator sees stay exactly as the system words them, slips included.
TEST(FpgaErrorMessage, EveryEngineCodeHasItsText) {
    for (uint32_t code :
         {DPE_SUCCESS, DPE_ID_MISMATCH, DPE_POLL_TIMEOUT, DPE_ERASE_FAILED, DPE_ARRAY_PROGRAM_FAILED,
          DPE_ROW_VERIFY_FAILED, DPE_ARRAY_VERIFY_FAILED, DPE_SECURITY_PROGRAM_FAILED, DPE_AUTHENTICATION_FAILED,
          DPE_FROM_VERIFY_FAILED, DPE_UROW_PROGRAM_FAILED, DPE_PROGRAMMING_MODE_REFUSED, DPE_FROM_AES_CHECK_FAILED,
          DPE_ARRAY_PROTECTED, DPE_AES_KEY_CHECK_FAILED, DPE_ARRAY_ENCRYPTION_ENFORCED, DPE_FROM_ENCRYPTION_ENFORCED,
          DPE_PASS_KEY_MISMATCH, DPE_FROM_ENCRYPTION_NOT_ENFORCED, DPE_PLAIN_DATA_NEEDS_PASS_KEY,
          DPE_NVM_PROGRAM_FAILED, DPE_USER_LOCK_MISMATCH, DPE_UROW_MISMATCH, DPE_NVM_ENCRYPTION_ENFORCED,
          DPE_NVM_AES_CHECK_FAILED, DPE_NVM_ENCRYPTION_NOT_ENFORCED, DPE_IMAGE_CRC_MISMATCH, DPE_ACTION_NOT_FOUND,
          DPE_IMAGE_LACKS_DATA, DPE_ACTION_NOT_BUILT, DPE_IMAGE_BLOCK_OUTSIDE}) {
        const std::string text = FpgaErrorMessage(code);
        EXPECT_NE(text, "????????") << code;
        EXPECT_FALSE(text.empty()) << code;
    }
    EXPECT_EQ(FpgaErrorMessage(0), "SUCCESS");
    EXPECT_EQ(FpgaErrorMessage(6), kIdMismatchMessage);
    EXPECT_EQ(FpgaErrorMessage(20), "Failed to verify FlashROM at row ###.");
    EXPECT_EQ(FpgaErrorMessage(49), "NVM encryption is not enforced.\r\n Cannot guarantee valid AES key present in "
                                    "target device. \r\nUnable to proceed withencrypted NVM programming.");
    EXPECT_EQ(FpgaErrorMessage(100),
              "CRC data error. Data file is corrupted or programming on system board is not cussessful.");
    for (uint32_t code : {1u, 2u, 5u, 9u, 13u, 15u, 17u, 19u, 21u, 26u, 28u, 29u, 32u, 40u, 44u, 50u, 99u, 101u, 149u,
                          154u, 200u, 255u, 256u, 0xFFFFFFFFu})
        EXPECT_EQ(FpgaErrorMessage(code), "????????") << code;
}

class FpgaJobTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        InitMsgQueue(&window);
    }
    void TearDown() override {
        // The channel keeps posting to its window after FreeMsgQueue: the
        // window goes with this test, so the channel is pointed at nothing.
        InitMsgQueue(nullptr);
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
    Load(ImageAnnouncing(DP_SUPPORT_ARRAY).Build());
    EXPECT_EQ(RunFpgaJob("program"), 0);
    EXPECT_EQ(GetFpgaError(), "Failed to program UROW");

    // An image without the array rows it announces: the failure text names
    // the block after the code's own message.
    Load(HealthyImage().Build());
    EXPECT_EQ(RunFpgaJob("program"), 0);
    EXPECT_EQ(GetFpgaError(),
              "Action is not supported because required data block is missing from the data file.\r\n"
              "Data block 5 (FPGA array rows) is missing from the data file.");
}

}  // namespace
}  // namespace vexu::test
