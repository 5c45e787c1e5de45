#include "run/fpga_job.h"

#include <mutex>

#include "engine/dp_frame.h"
#include "engine/dp_identify.h"
#include "engine/dp_image_check.h"
#include "engine/dp_jtag.h"
#include "engine/dp_state.h"
#include "common/run_messages.h"

namespace {

struct ResultMessage {
    uint32_t code;
    const char* text;
};

constexpr ResultMessage kResultMessages[] = {
    {0, "SUCCESS"},
    {6,
     "The IDCODE of the target device does not match the expected value in the DAT file image.\r\n"
     "This could be due to one of several reasons:\r\n"
     "\r\n"
     "     * Firmware not compatible with the chip. \r\n"
     "     * Bad flat cable connection. Check it to both ends, KTR and Halvo. \r\n"},
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
    {49, "NVM encryption is not enforced.\r\n Cannot guarantee valid AES key present in target device. \r\nUnable "
         "to proceed withencrypted NVM programming."},
    {100, "CRC data error. Data file is corrupted or programming on system board is not cussessful."},
    {150, "Request action is not found."},
    {151, "Action is not supported because required data block is missing from the data file."},
    {152, "Compiled code does not support the requested action."},
    {153, "Data block runs past the end of the data file. Data file is damaged."},
};

constexpr const char* kUnknownCode = "????????";

std::mutex g_fpgaErrorMutex;
std::string g_fpgaError;

void SetFpgaError(const std::string& text) {
    std::lock_guard<std::mutex> guard(g_fpgaErrorMutex);
    g_fpgaError = text;
}

}  // namespace

std::string FpgaErrorMessage(uint32_t code) {
    for (const ResultMessage& message : kResultMessages)
        if (message.code == code) return message.text;
    return kUnknownCode;
}

std::string GetFpgaError() {
    std::lock_guard<std::mutex> guard(g_fpgaErrorMutex);
    return g_fpgaError;
}

int RunFpgaJob(const char* actionName) {
    dp_calibrate_delay();
    g_dpState.actionCode = dp_action_code_from_name(actionName);
    PostMsgText("\r\nUpdating Program...", 1, 0);
    const uint8_t code = dp_engine_run();
    if (code == DPE_SUCCESS) {
        dp_trace_text("\r\nExit code = 0... Success");
        return 1;
    }
    dp_trace_text("Error return code \r\n");
    dp_post_text("Error\r\n", 0);
    dp_trace_value(code, 1);
    std::string message = FpgaErrorMessage(code);
    // A run refused for a block of the image names the block.
    if (g_dpState.imageProblem.kind != DpImageProblem::kNone)
        message += "\r\nData " + dp_image_problem_text(g_dpState.imageProblem) + ".";
    SetFpgaError(message);
    dp_post_text((message + "\r\n").c_str(), 0);
    return 0;
}

std::optional<RunDesign> GetProgrammedDesign() {
    if (!g_dpState.urowWritten) return std::nullopt;
    const uint8_t* urow = g_dpState.urowProgrammed;
    RunDesign design;
    for (unsigned i = 0; i < DP_UROW_DESIGN_NAME_BYTES; ++i) {
        uint8_t byte = urow[DP_UROW_DESIGN_NAME + i];
        // The last name byte shares its top two bits with the cycle count.
        if (i + 1 == DP_UROW_DESIGN_NAME_BYTES) byte &= 0x3F;
        design.name += byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.';
    }
    design.checksum = static_cast<uint16_t>(urow[DP_UROW_CHECKSUM] | urow[DP_UROW_CHECKSUM + 1] << 8);
    design.cycles = g_dpState.cycleCount;
    return design;
}
