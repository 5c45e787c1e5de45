#include "engine/dp_frame.h"

#include <cctype>
#include <cstdio>

#include "engine/device_id_table.h"
#include "engine/dp_array.h"
#include "engine/dp_composite.h"
#include "engine/dp_flashrom.h"
#include "engine/dp_identify.h"
#include "engine/dp_image.h"
#include "engine/dp_image_check.h"
#include "engine/dp_jtag.h"
#include "engine/dp_nvm.h"
#include "engine/dp_security.h"
#include "engine/dp_state.h"
#include "engine/dp_variant.h"
#include "link/hid_device.h"
#include "platform/trace.h"

namespace {

// ---- What an image must carry ------------------------------------------

bool Always(uint32_t) { return true; }
bool HasArray(uint32_t s) { return s & DP_SUPPORT_ARRAY; }
bool HasFlashRom(uint32_t s) { return s & DP_SUPPORT_FROM; }
bool HasPlainFlashRom(uint32_t s) { return (s & DP_SUPPORT_FROM) && !(s & DP_SUPPORT_FROM_ENCRYPTED); }
bool HasSecurity(uint32_t s) { return s & DP_SUPPORT_SECURITY; }
bool HasEncryptedArray(uint32_t s) { return s & DP_SUPPORT_ARRAY_ENCRYPTED; }
bool HasNvm(uint32_t s) { return s & DP_SUPPORT_NVM_ANY; }
bool HasNvmVerify(uint32_t s) { return s & DP_SUPPORT_NVM_VERIFY; }
bool HasAnythingToErase(uint32_t s) { return HasArray(s) || HasFlashRom(s) || HasSecurity(s); }
bool HasAnythingToVerify(uint32_t s) { return HasArray(s) || HasPlainFlashRom(s) || HasNvmVerify(s); }

constexpr DpAccess kNone = DP_ACCESS_NONE;
constexpr DpAccess kRead = DP_ACCESS_READ;
constexpr DpAccess kWrite = DP_ACCESS_WRITE;

// Every action the engine knows.
constexpr DpActionEntry kActions[] = {
    // name, code, step, accepted, runnable, reportOnly, array, FlashROM, NVM, security
    {"device_info", DP_ACTION_DEVICE_INFO, dp_action_device_info, Always, Always, true, kNone, kNone, kNone, false},
    {"read_idcode", DP_ACTION_READ_IDCODE, dp_action_read_idcode, Always, Always, true, kNone, kNone, kNone, false},
    {"erase", DP_ACTION_ERASE, dp_action_erase, HasAnythingToErase, Always, false, kWrite, kWrite, kNone, false},
    {"erase_all", DP_ACTION_ERASE_ALL, dp_action_erase_all, Always, Always, false, kWrite, kWrite, kNone, false},
    {"program", DP_ACTION_PROGRAM, dp_action_program, Always, Always, false, kWrite, kWrite, kWrite, false},
    {"verify", DP_ACTION_VERIFY, dp_action_verify, HasAnythingToVerify, HasAnythingToVerify, false, kRead, kRead, kRead, false},
    {"enc_data_authentication", DP_ACTION_ENC_DATA_AUTHENTICATION, dp_action_enc_data_authentication, HasEncryptedArray, HasEncryptedArray, false, kWrite, kNone, kNone, false},
    {"erase_array", DP_ACTION_ERASE_ARRAY, dp_action_erase_array, HasArray, HasArray, false, kWrite, kNone, kNone, false},
    {"program_array", DP_ACTION_PROGRAM_ARRAY, dp_action_program_array, HasArray, HasArray, false, kWrite, kNone, kNone, false},
    {"verify_array", DP_ACTION_VERIFY_ARRAY, dp_action_verify_array, HasArray, HasArray, false, kRead, kNone, kNone, false},
    {"erase_from", DP_ACTION_ERASE_FROM, dp_action_erase_from, HasFlashRom, HasFlashRom, false, kNone, kWrite, kNone, false},
    {"program_from", DP_ACTION_PROGRAM_FROM, dp_action_program_from, HasFlashRom, HasFlashRom, false, kNone, kWrite, kNone, false},
    {"verify_from", DP_ACTION_VERIFY_FROM, dp_action_verify_from, HasPlainFlashRom, HasPlainFlashRom, false, kNone, kRead, kNone, false},
    {"erase_security", DP_ACTION_ERASE_SECURITY, dp_action_erase_security, HasSecurity, HasSecurity, false, kNone, kNone, kNone, true},
    {"program_security", DP_ACTION_PROGRAM_SECURITY, dp_action_program_security, HasSecurity, HasSecurity, false, kNone, kNone, kNone, true},
    {"program_nvm", DP_ACTION_PROGRAM_NVM, dp_action_program_nvm, HasNvm, HasNvm, false, kNone, kNone, kWrite, false},
    // The action check asks for NVM data, the dispatcher for the verify flag.
    {"verify_nvm", DP_ACTION_VERIFY_NVM, dp_action_verify_nvm, HasNvm, HasNvmVerify, false, kNone, kNone, kRead, false},
    {"verify_device_info", DP_ACTION_VERIFY_DEVICE_INFO, dp_action_verify_device_info, Always, Always, true, kNone, kNone, kNone, false},
};

// Programming-mode status bits.
constexpr uint8_t kIrCaptureRefused = 0x20;  // IR capture after instruction 0x80
constexpr uint8_t kModeWordEntered = 0x01;   // bit 16 of the 18-bit mode word (byte 2, bit 0)
constexpr uint8_t kStatusModeError = 0x04;   // 5-bit status after instruction 0x84

bool IsReportOnly(uint8_t code) {
    const DpActionEntry* entry = dp_action_entry(code);
    return entry && entry->reportOnly;
}

uint32_t LittleEndian32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

// ---- Security pre-check ----------------------------------------------------

// One protected region of the device as the pre-check sees it: what the
// image carries for it, what the device's security word says about it,
// the lines to write and the codes to set.
struct PrecheckGroup {
    uint32_t encryptedImage;       // support flag: the image's data for the region is encrypted
    uint32_t encryptionEnabled;    // security bit: the device takes encrypted data for it
    uint32_t readProtected;        // security bit
    uint32_t writeProtected;       // security bit
    const char* encryptionEnforced;
    const char* notEnforced;
    const char* unableToProceed;
    const char* readProtectedText;
    const char* writeProtectedText;
    uint8_t enforcedCode;
    uint8_t aesFailedCode;
    uint8_t notEnforcedCode;
    uint8_t readProtectedCode;
    uint8_t writeProtectedCode;
};

constexpr PrecheckGroup kArrayGroup = {
    DP_SUPPORT_ARRAY_ENCRYPTED, DP_SEC_ARRAY_ENCRYPTION, DP_SEC_ARRAY_VERIFY_PROTECTED,
    DP_SEC_ARRAY_WRITE_PROTECTED,
    "\r\nFPGA Array Encryption is enforced. Plain text programming and verification is prohibited.",
    "\r\nFPGA Array Encryption is not enforced.",
    "\r\nUnable to proceed with Encrypted FPGA Array operation.",
    "\r\nFPGA Array Verification is protected by pass key.",
    "\r\nFPGA Array Write/Erase is protected by pass key.",
    DPE_ARRAY_ENCRYPTION_ENFORCED, DPE_ARRAY_PROTECTED, DPE_PLAIN_DATA_NEEDS_PASS_KEY,
    DPE_ARRAY_PROTECTED, DPE_ARRAY_PROTECTED,
};

constexpr PrecheckGroup kFlashRomGroup = {
    DP_SUPPORT_FROM_ENCRYPTED, DP_SEC_FROM_ENCRYPTION, DP_SEC_FROM_READ_PROTECTED,
    DP_SEC_FROM_WRITE_PROTECTED,
    "\r\nFlashROM Encryption is enforced. Plain text programming and verification is prohibited.",
    "\r\nFlashROM Encryption is not enforced.",
    "\r\nUnable to proceed with Encrypted FlashROM programming.",
    "\r\nFROM Verification is protected by pass key.",
    "\r\nFROM Write/Erase is protected by pass key.",
    DPE_FROM_ENCRYPTION_ENFORCED, DPE_FROM_AES_CHECK_FAILED, DPE_FROM_ENCRYPTION_NOT_ENFORCED,
    DPE_PLAIN_DATA_NEEDS_PASS_KEY, DPE_PLAIN_DATA_NEEDS_PASS_KEY,
};

// NVM block k: the texts name the block ("%u"); a write-protected block
// reports the read text.
constexpr PrecheckGroup kNvmGroupTemplate = {
    0, 0, 0, 0,
    "\r\nNVM block %u Encryption is enforced. Plain text programming is prohibited.",
    "\r\nNVM block %u Encryption is not enforced.",
    "\r\nUnable to proceed with Encrypted NVM programming.",
    "\r\nNVM block %u Read is protected by pass key.",
    "\r\nNVM block %u Read is protected by pass key.",
    DPE_NVM_ENCRYPTION_ENFORCED, DPE_NVM_AES_CHECK_FAILED, DPE_NVM_ENCRYPTION_NOT_ENFORCED,
    DPE_PLAIN_DATA_NEEDS_PASS_KEY, DPE_PLAIN_DATA_NEEDS_PASS_KEY,
};

constexpr unsigned kNvmBlocks = 4;

constexpr const char* kValidPassKeyNeeded = "\r\nA valid pass key needs to be provided.";
constexpr const char* kCannotGuaranteeAesKey = "\r\nCannot gaurantee valid AES key present in target device.";
constexpr const char* kAesCheckFailed = "\r\nFailed to verify AES Sec.";

void TraceGroupText(const char* format, unsigned block) {
    char text[160];
    snprintf(text, sizeof text, format, block);
    dp_trace_text(text);
}

bool PassKeyMatched() { return g_dpState.securityWord & DP_SEC_PASS_KEY_MATCHED; }

// The five checks of one group, in order; the first that fails sets its
// code and ends the pre-check. block names the NVM block in the texts.
void CheckGroup(const PrecheckGroup& g, DpAccess access, unsigned block) {
    const uint32_t security = g_dpState.securityWord;
    const bool encryptedImage = g_dpState.supportFlags & g.encryptedImage;
    const bool encryptionEnabled = security & g.encryptionEnabled;
    if (encryptedImage && !encryptionEnabled) {
        TraceGroupText(g.encryptionEnforced, block);
        dp_fail(g.enforcedCode);
        return;
    }
    if (encryptedImage) {
        dp_sec_check_aes_key();
        if (dp_failed()) {
            dp_trace_text(kAesCheckFailed);
            g_dpState.errorCode = g.aesFailedCode;  // replaces the check's own code
        }
        return;
    }
    if (encryptionEnabled && !PassKeyMatched()) {
        TraceGroupText(g.notEnforced, block);
        dp_trace_text(kCannotGuaranteeAesKey);
        dp_trace_text(g.unableToProceed);
        dp_fail(g.notEnforcedCode);
        return;
    }
    if ((security & g.readProtected) && !PassKeyMatched()) {
        TraceGroupText(g.readProtectedText, block);
        dp_trace_text(kValidPassKeyNeeded);
        dp_fail(g.readProtectedCode);
        return;
    }
    if (access == DP_ACCESS_WRITE && (security & g.writeProtected) && !PassKeyMatched()) {
        TraceGroupText(g.writeProtectedText, block);
        dp_trace_text(kValidPassKeyNeeded);
        dp_fail(g.writeProtectedCode);
    }
}

PrecheckGroup NvmGroup(unsigned block) {
    PrecheckGroup g = kNvmGroupTemplate;
    g.encryptedImage = DP_SUPPORT_NVM_ENCRYPTED(block);
    g.encryptionEnabled = DP_SEC_NVM_ENCRYPTION(block);
    g.readProtected = DP_SEC_NVM_READ_PROTECTED(block);
    g.writeProtected = DP_SEC_NVM_WRITE_PROTECTED(block);
    return g;
}

// ---- Dispatcher ----------------------------------------------------------

void dp_precheck_unless_report() {
    if (!IsReportOnly(g_dpState.actionCode)) dp_security_precheck();
}

void dp_run_action_step() {
    const DpActionEntry* entry = dp_action_entry(g_dpState.actionCode);
    if (!entry || !entry->runnable(g_dpState.supportFlags)) {
        dp_trace_text("\r\nAction not found...");
        dp_fail(DPE_ACTION_NOT_FOUND);
        return;
    }
    entry->step();
}

// The frame's steps in order; the first failure skips the rest.
constexpr DpStep kFrameSteps[] = {
    dp_identify_device,
    dp_init_target,
    dp_read_security_word,
    dp_validate_action,
    dp_precheck_unless_report,
    dp_check_variant,
    dp_run_action_step,
};

}  // namespace

const DpActionEntry* dp_action_entry(uint8_t code) {
    for (const DpActionEntry& entry : kActions)
        if (entry.code == code) return &entry;
    return nullptr;
}

uint8_t dp_action_code_from_name(const char* name) {
    if (!name) return DP_ACTION_NONE;
    for (const DpActionEntry& entry : kActions) {
        const char* a = entry.name;
        const char* b = name;
        while (*a && *b && tolower(static_cast<unsigned char>(*a)) == tolower(static_cast<unsigned char>(*b))) {
            ++a;
            ++b;
        }
        if (*a == '\0' && *b == '\0') return entry.code;
    }
    return DP_ACTION_NONE;
}

uint8_t dp_engine_run() {
    g_dpState.securityWord = 0;
    g_dpState.errorCode = DPE_SUCCESS;
    g_dpState.failedCommands = 0;
    g_dpState.deviceIdRead = 0;
    g_dpState.progressPosted = 0;
    g_dpState.imageProblem = {};
    dp_image_attach();
    dp_crc_check_image();
    // A corrupted image stops here, before anything reaches the device.
    if (dp_failed()) return g_dpState.errorCode;
    dp_load_support_flags();
    // So does an action whose blocks the image lacks or holds only in part.
    if (!dp_check_image_for_action()) return g_dpState.errorCode;
    dp_tap_goto(DP_TAP_RESET);
    dp_dispatch_action();
    // A run during which the programmer stopped taking commands proves
    // nothing about the device, whatever its checks read back.
    if (!dp_failed() && g_dpState.failedCommands > 0) {
        dp_trace_text("\r\nProgrammer commands failed during the run.");
        dp_fail(DPE_POLL_TIMEOUT);
    }
    return g_dpState.errorCode;
}

void dp_dispatch_action() {
    for (DpStep step : kFrameSteps) {
        step();
        if (dp_failed()) break;
    }
    dp_exit();
}

void dp_identify_device() {
    dp_ir(0x0F, DP_IDLE);
    dp_dr_out(32, g_dpState.shiftBuffer, DP_IDLE);
    g_dpState.deviceId = LittleEndian32(g_dpState.shiftBuffer);
    // A failed capture reads as zeros: such an ID was never read.
    g_dpState.deviceIdRead = g_dpState.failedCommands == 0;
    g_dpState.expectedId = dp_image_bytes(DP_BLOCK_HEADER, DP_HEADER_EXPECTED_ID, 4);
    dp_trace_text("\r\nActID = ");
    dp_trace_value(g_dpState.deviceId, 0);
    dp_trace_text(" ExpID = ");
    dp_trace_value(g_dpState.expectedId, 0);

    const int row = FindDeviceIdRow(g_dpState.deviceId, g_dpState.expectedId);
    if (row < 0) {
        dp_fail(DPE_ID_MISMATCH);
        return;
    }
    const DeviceIdRow& device = kDeviceIdTable[row];
    g_dpState.rowWidthFactor = device.rowWidthFactor;
    g_dpState.arrayRowCount = device.arrayRowCount;
    g_dpState.deviceClass = device.deviceClass;
    g_dpState.bsrLength = device.boundaryScanLength;
}

void dp_bsr_setup() {
    dp_trace_text("\r\nSetting BSR Configurations...");
    dp_ir(0x01, DP_PAUSE_IR);
    dp_trace_text("\r\nLoading BSR...");
    if (!dp_image_has_block(DP_BLOCK_BSR)) return;  // the TAP stays in Pause-IR
    dp_block_in_from(DP_BLOCK_BSR, g_dpState.bsrLength, 0, DP_IDLE);
}

void dp_init_target() {
    dp_trace_text("\r\nInitializing Target Device...");
    dp_bsr_setup();
    dp_enter_mode_c0();

    dp_ir(0x80, DP_PAUSE_IR);
    dp_dr_in(18, nullptr, DP_IDLE);
    dp_wait(3);
    dp_delay(1000);

    // The IR capture of instruction 0x80 tells whether the device refused.
    dp_tap_goto(DP_SHIFT_IR);
    dp_tap_shift_capture(8, &g_dpState.instructionByte, &g_dpState.statusByte);
    dp_tap_goto(DP_PAUSE_IR);
    if (g_dpState.statusByte & kIrCaptureRefused) return dp_fail(DPE_PROGRAMMING_MODE_REFUSED);

    dp_dr_out(18, g_dpState.shiftBuffer, DP_PAUSE_DR);
    if (!(g_dpState.shiftBuffer[2] & kModeWordEntered)) return dp_fail(DPE_PROGRAMMING_MODE_REFUSED);

    dp_ir(0x84, DP_PAUSE_IR);
    dp_dr_out(5, &g_dpState.statusByte, DP_PAUSE_DR);
    if (g_dpState.statusByte & kStatusModeError) return dp_fail(DPE_PROGRAMMING_MODE_REFUSED);

    if (!IsReportOnly(g_dpState.actionCode) && (g_dpState.supportFlags & DP_SUPPORT_ANY_ENCRYPTED) &&
        dp_image_has_block(DP_BLOCK_AES_CHECK)) {
        dp_sec_check_aes_key();
        if (dp_failed()) return;
    }
    if (dp_image_has_block(DP_BLOCK_PASS_KEY)) dp_sec_match_pass_key();
}

void dp_validate_action() {
    const DpActionEntry* entry = dp_action_entry(g_dpState.actionCode);
    if (!entry) {
        dp_fail(DPE_ACTION_NOT_FOUND);
        dp_trace_text("\r\nUser Error: Action not found...");
    } else if (!entry->accepted(g_dpState.supportFlags)) {
        dp_fail(DPE_IMAGE_LACKS_DATA);
        dp_trace_text("\r\nUser Error: Data file does not contain the data needed to support requested action.  "
                      "Check original STAPL file configuration.");
    }
}

void dp_security_precheck() {
    const DpActionEntry* entry = dp_action_entry(g_dpState.actionCode);
    if (!entry) return;
    const uint32_t support = g_dpState.supportFlags;

    if (entry->array != DP_ACCESS_NONE && (support & DP_SUPPORT_ARRAY)) CheckGroup(kArrayGroup, entry->array, 0);
    if (dp_failed()) return;

    if (entry->flashRom != DP_ACCESS_NONE && (support & DP_SUPPORT_FROM))
        CheckGroup(kFlashRomGroup, entry->flashRom, 0);
    if (dp_failed()) return;

    if (entry->nvm != DP_ACCESS_NONE) {
        for (unsigned block = 0; block < kNvmBlocks && !dp_failed(); ++block)
            if (support & DP_SUPPORT_NVM(block)) CheckGroup(NvmGroup(block), entry->nvm, block);
    }
    if (dp_failed()) return;

    if (entry->securitySegment && (support & DP_SUPPORT_SECURITY) &&
        (g_dpState.securityWord & DP_SEC_SECURITY_PROTECTED) && !PassKeyMatched()) {
        dp_trace_text("\r\nError, pass key match failure.");
        dp_fail(DPE_PASS_KEY_MISMATCH);
    }
}

void dp_exit() {
    vexu::Trace("dp_exit() \r\n");
    // Leave programming mode: instruction 0x81, no data.
    dp_link_result(CHidDevice::ShiftInEx(DP_SHIFT_IR, 0x81, DP_IDLE, 0, 1, 0, 0, nullptr, 0, 0, 0, 0));
    dp_delay(20);
    // The IR capture value of an all-ones instruction.
    g_dpState.instructionByte = 0xFF;
    g_dpState.statusByte = 0;
    dp_link_result(CHidDevice::ShiftInOutEx(0, 0, 0, 0, 0, 8, &g_dpState.instructionByte, &g_dpState.statusByte,
                                            DP_SHIFT_IR, DP_IDLE, 0));
    if (!(g_dpState.statusByte & 0x04))
        dp_link_result(CHidDevice::ShiftInEx(DP_SHIFT_IR, 0x07, DP_IDLE, 1, 1, 0, 0, nullptr, 0, 0, 0, 0));
    dp_delay(200);
    dp_tap_goto(DP_TAP_RESET);
}
