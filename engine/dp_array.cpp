#include "engine/dp_array.h"

#include "engine/dp_identify.h"
#include "engine/dp_image.h"
#include "engine/dp_jtag.h"
#include "engine/dp_state.h"
#include "link/hid_device.h"
#include "common/run_messages.h"

namespace {

// Instructions of the array.
constexpr uint8_t kInstrErase = 0x85;
constexpr uint8_t kInstrStatus = 0x84;
constexpr uint8_t kInstrRowAddress = 0x87;
constexpr uint8_t kInstrRowLoad = 0x89;
constexpr uint8_t kInstrRowLoadEncrypted = 0xDF;
constexpr uint8_t kInstrRowProgram = 0x83;
constexpr uint8_t kInstrRlockProgram = 0x8C;

// Row address register commands.
constexpr uint8_t kRowAddressReset = 2;
constexpr uint8_t kRowAddressNext = 3;

constexpr uint16_t kPlainFrameBits = 26;
constexpr uint8_t kPlainFrameDelay = 0;
constexpr uint16_t kEncryptedFrameBits = 128;
constexpr uint8_t kEncryptedFrameDelay = 48;
constexpr uint8_t kFrameWaitCycles = 3;

constexpr unsigned kEraseTries = 262141;
constexpr uint32_t kErasePollDelayUs = 1000;
constexpr uint8_t kEraseBusyBits = 0x03;
constexpr uint8_t kAuthenticationFailedBit = 0x08;
constexpr uint8_t kRowVerifyFailedBits = 0x03;
constexpr uint32_t kVerifySettleUs = 264;
constexpr uint32_t kAuthenticationSettleUs = 264;
constexpr uint32_t kEncryptedRlockFrameDelayUs = 48;

constexpr int32_t kRowsPerMark = 100;  // one "." trace mark per hundred rows

// The two verify passes of a row.
struct VerifyPass {
    uint8_t instruction;
    const char* failure;
};
constexpr VerifyPass kVerifyPasses[] = {
    {0x8D, "\r\nVerify 0 failed\nRow Number : "},
    {0x8E, "\r\nVerify 1 failed\nRow Number : "},
};

constexpr const char* kRowProgramFailure = "\r\nFailed to program FPGA Array at row ";
constexpr const char* kAuthenticationFailure = "\r\nFailed to authenticate the encrypted data.\r\n";

// What each array loop does with a row once it is loaded.
enum class RowStep : uint8_t { Program, Verify, Authenticate };

// One row loop over the array, highest row first.
struct ArrayLoop {
    const char* title;
    bool encrypted;
    RowStep step;
    uint8_t loadFailure;     // code when a row cannot be loaded
    bool loadFailurePrints;  // the load failure prints the row-program failure text
    bool addressNext;        // moves the row address on after each row
    uint32_t progressBase;   // percent posted for the first row
    uint32_t progressDivisor;
};

constexpr ArrayLoop kPlainProgram{"\r\nProgramming FPGA Array...", false, RowStep::Program,
                                  DPE_ARRAY_PROGRAM_FAILED, true, true, 0, 2};
constexpr ArrayLoop kPlainVerify{"\r\nVerifying FPGA Array...", false, RowStep::Verify,
                                 DPE_ARRAY_VERIFY_FAILED, false, true, 50, 2};
constexpr ArrayLoop kEncryptedProgram{"\r\nProgramming FPGA Array...", true, RowStep::Program,
                                      DPE_ARRAY_PROGRAM_FAILED, true, true, 33, 3};
constexpr ArrayLoop kEncryptedVerify{"\r\nVerifying FPGA Array...", true, RowStep::Verify,
                                     DPE_ARRAY_VERIFY_FAILED, false, true, 66, 3};
constexpr ArrayLoop kAuthentication{"\r\nPerforming Data Authentication...", true, RowStep::Authenticate,
                                    DPE_AUTHENTICATION_FAILED, false, false, 0, 3};

// The FPGA progress of one loop: base + finished / rows x 100 / divisor,
// truncated. A percent is posted only when it differs from the one posted
// last in the run, so a loop that starts where the one before ended does
// not post its first value again.
class ArrayProgress {
public:
    ArrayProgress(uint32_t base, uint32_t divisor, uint32_t rows) : base_(base), divisor_(divisor), rows_(rows) {}
    void RowDone() {
        const uint32_t percent =
            base_ + static_cast<uint32_t>(uint64_t{finished_} * 100 / (uint64_t{rows_} * divisor_));
        if (percent != g_dpState.progressPosted) {
            dp_post_text(kFpgaProgressText, percent);
            g_dpState.progressPosted = percent;
        }
        ++finished_;
    }

private:
    uint32_t base_;
    uint32_t divisor_;
    uint32_t rows_;
    uint32_t finished_ = 0;
};

void TraceRow(const char* text) {
    dp_trace_text(text);
    dp_trace_value(static_cast<uint32_t>(g_dpState.currentRow), 1);
}

// Row-address register: reset to the first row, or on to the next.
void RowAddress(uint8_t command) {
    g_dpState.statusByte = command;
    dp_link_result(CHidDevice::ShiftInEx(DP_SHIFT_IR, kInstrRowAddress, DP_PAUSE_IR, 0, 1, 0, 2,
                                         &g_dpState.statusByte, 1, DP_SHIFT_DR, DP_IDLE, 3));
}

// One framed load of bits of the block at the data bit index. The
// programmer reads the row straight out of the image, so a row that does not
// lie wholly inside it is not sent at all.
bool SendFrames(uint8_t blockId, uint8_t instruction, uint32_t bits, uint16_t frameBits, uint8_t frameDelay) {
    const uint32_t bitOffset = g_dpState.dataBitIndex & 7;
    const uint8_t* data = dp_image_pointer(blockId, g_dpState.dataBitIndex);
    const uint64_t bytesNeeded = (uint64_t{bitOffset} + bits + 7) / 8;
    bool sent = data != nullptr && g_dpState.returnBytes >= bytesNeeded;
    if (sent)
        sent = dp_link_result(CHidDevice::ShiftInFrame(DP_SHIFT_IR, instruction, DP_PAUSE_IR, 1, bitOffset, bits, data,
                                                       frameBits, DP_SHIFT_DR, DP_IDLE, kFrameWaitCycles,
                                                       frameDelay)) != 0;
    g_dpState.dataBitIndex += bits;
    return sent;
}

uint32_t PlainRowBits() { return uint32_t{g_dpState.rowWidthFactor} * DP_PLAIN_ROW_BITS_PER_FACTOR; }
uint32_t EncryptedRowBits() { return uint32_t{g_dpState.rowWidthFactor} * DP_ENCRYPTED_ROW_BITS_PER_FACTOR; }

// Shifts an 8-bit instruction as the data stage of a scan from Shift-IR, so
// that it lands without a separate instruction stage.
bool InstructionAsData(uint8_t instruction, uint8_t waitCycles) {
    g_dpState.instructionByte = instruction;
    return dp_link_result(CHidDevice::ShiftInEx(0, 0, 0, 0, 0, 0, 8, &g_dpState.instructionByte, 1, DP_SHIFT_IR,
                                                DP_IDLE, waitCycles)) != 0;
}

void RunArrayLoop(const ArrayLoop& loop) {
    if (dp_failed()) return;
    dp_trace_text(loop.title);
    if (loop.encrypted) dp_decryptor_reset();
    dp_row_address_reset();
    g_dpState.dataBitIndex = 0;
    const uint32_t rows = g_dpState.arrayRowCount;
    ArrayProgress progress(loop.progressBase, loop.progressDivisor, rows);
    for (int64_t row = int64_t{rows} - 1; row >= 0; --row) {
        g_dpState.currentRow = static_cast<int32_t>(row);
        if (row % kRowsPerMark == 0) dp_trace_text(".");
        const bool loaded = loop.encrypted ? dp_row_send_enc() : dp_row_send();
        if (!loaded) {
            if (loop.loadFailurePrints) TraceRow(kRowProgramFailure);
            dp_fail(loop.loadFailure);
            return;
        }
        switch (loop.step) {
            case RowStep::Program:
                if (!dp_row_pulse()) {
                    TraceRow(kRowProgramFailure);
                    dp_set_error(DPE_ARRAY_PROGRAM_FAILED);
                }
                break;
            case RowStep::Verify: dp_row_check(); break;
            case RowStep::Authenticate: dp_auth_status_check(); break;
        }
        if (dp_failed()) return;
        if (loop.addressNext) dp_row_address_next();
        progress.RowDone();
    }
}

}  // namespace

void dp_set_error(uint8_t code) { g_dpState.errorCode = code; }

// ---- Actions.

void dp_action_erase() {
    if (dp_failed()) return;
    if (g_dpState.supportFlags & DP_SUPPORT_SECURITY) g_dpState.securityWord |= DP_SEC_SECURITY_SETTINGS_ERASED;
    g_dpState.securityWord |= DP_SEC_ERASED_IN_RUN;
    dp_erase_present();
}

void dp_action_erase_all() {
    dp_erase_with("Erase FPGA Array, FlashROM and Security Settings ...\r\n",
                  DP_ERASE_ARRAY | DP_ERASE_SECURITY | DP_ERASE_KEEP_UROW | (0xFFu << DP_ERASE_FROM_PAGE_SHIFT),
                  DP_SEC_ERASED_IN_RUN);
}

void dp_action_enc_data_authentication() { dp_array_authenticate(); }

void dp_action_erase_array() {
    if (dp_failed()) return;
    g_dpState.securityWord |= DP_SEC_ERASED_IN_RUN;
    dp_array_erase();
}

void dp_action_program_array() {
    const uint32_t support = g_dpState.supportFlags;
    if ((support & DP_SUPPORT_ARRAY) && (support & DP_SUPPORT_ARRAY_ENCRYPTED)) dp_array_authenticate();
    dp_array_erase();
    if (support & DP_SUPPORT_ARRAY) dp_array_program();
}

void dp_array_program() {
    if (g_dpState.supportFlags & DP_SUPPORT_ARRAY_ENCRYPTED) {
        dp_array_write_enc();
        g_dpState.verifyMode = DP_VERIFY_AFTER_PROGRAM;
        dp_array_check_enc();
        dp_rlock_write_enc();
    } else {
        dp_array_write();
        g_dpState.verifyMode = DP_VERIFY_AFTER_PROGRAM;
        dp_array_check();
        dp_rlock_write();
    }
}

void dp_action_verify_array() {
    if (dp_failed()) return;
    g_dpState.verifyMode = DP_VERIFY_STANDALONE;
    if (g_dpState.supportFlags & DP_SUPPORT_ARRAY_ENCRYPTED)
        dp_array_check_enc();
    else
        dp_array_check();
}

// ---- Erase.

uint32_t dp_erase_word() {
    const uint8_t* word = g_dpState.shiftBuffer;
    return uint32_t{word[0]} | uint32_t{word[1]} << 8 | uint32_t{word[2]} << 16;
}

void dp_set_erase_word(uint32_t word) {
    dp_clear_shift_buffer();
    g_dpState.shiftBuffer[0] = static_cast<uint8_t>(word);
    g_dpState.shiftBuffer[1] = static_cast<uint8_t>(word >> 8);
    g_dpState.shiftBuffer[2] = static_cast<uint8_t>((word >> 16) & 0x7F);
}

void dp_erase_with(const char* title, uint32_t eraseWord, uint32_t securityFlags) {
    if (dp_failed()) return;
    dp_trace_text(title);
    dp_set_erase_word(eraseWord);
    g_dpState.securityWord |= securityFlags;
    dp_erase_apply();
}

uint8_t dp_rom_page_mask() { return static_cast<uint8_t>(dp_image_bytes(DP_BLOCK_FROM_MASK, 0, 1)); }

void dp_erase_present() {
    if (dp_failed()) return;
    const uint32_t support = g_dpState.supportFlags;
    uint32_t word = DP_ERASE_PRESENT | DP_ERASE_KEEP_UROW;
    if (support & DP_SUPPORT_ARRAY) word |= DP_ERASE_ARRAY;
    if (support & DP_SUPPORT_FROM) word |= uint32_t{dp_rom_page_mask()} << DP_ERASE_FROM_PAGE_SHIFT;
    if (support & DP_SUPPORT_SECURITY) word |= DP_ERASE_SECURITY;
    dp_erase_with("\r\nErase...", word, 0);
}

void dp_array_erase() { dp_erase_with("\r\nErase FPGA Array...", DP_ERASE_ARRAY | DP_ERASE_KEEP_UROW, 0); }

void dp_erase_apply() {
    if (dp_failed()) return;
    const bool keepUrow = (dp_erase_word() & DP_ERASE_KEEP_UROW) != 0;
    if (keepUrow) dp_fetch_urow();
    dp_ir(kInstrErase, DP_PAUSE_IR);
    dp_dr_in(DP_ERASE_WORD_BITS, g_dpState.shiftBuffer, DP_IDLE);
    dp_wait(3);
    // An erase whose end the device never confirmed is a failed erase, also
    // when the poll lost the link: the UROW is not programmed over it.
    const bool erased = dp_erase_wait();
    if (!erased || dp_failed()) {
        dp_trace_text("\r\nFailed Erease Operation");
        dp_set_error(DPE_ERASE_FAILED);
        return;
    }
    if (keepUrow) dp_write_urow();
}

bool dp_erase_wait() {
    dp_ir(kInstrStatus, DP_IDLE);
    for (unsigned attempt = 0; attempt < kEraseTries; ++attempt) {
        dp_delay(kErasePollDelayUs);
        if (!dp_tap_goto(DP_SHIFT_DR)) return false;
        if (!dp_tap_shift_capture(5, nullptr, &g_dpState.statusByte)) return false;
        if (!dp_tap_goto(DP_IDLE)) return false;
        if ((g_dpState.statusByte & kEraseBusyBits) == 0) return true;
    }
    dp_fail(DPE_ERASE_FAILED);
    return false;
}

// ---- Rows.

void dp_row_address_reset() { RowAddress(kRowAddressReset); }

void dp_row_address_next() { RowAddress(kRowAddressNext); }

bool dp_row_send() {
    return SendFrames(DP_BLOCK_ARRAY_ROWS, kInstrRowLoad, PlainRowBits(), kPlainFrameBits, kPlainFrameDelay);
}

bool dp_row_send_enc() {
    return SendFrames(DP_BLOCK_ARRAY_ROWS, kInstrRowLoadEncrypted, EncryptedRowBits(), kEncryptedFrameBits,
                      kEncryptedFrameDelay);
}

bool dp_row_pulse() {
    const bool pulsed = dp_link_result(CHidDevice::ShiftInEx(DP_SHIFT_IR, kInstrRowProgram, DP_IDLE, 3, 1, 0, 0,
                                                             nullptr, 0, 0, 0, 0)) != 0;
    dp_wait_ready();
    return pulsed && !dp_failed();
}

void dp_row_check() {
    if (dp_failed()) return;
    for (const VerifyPass& pass : kVerifyPasses) {
        dp_link_result(CHidDevice::ShiftInEx(DP_SHIFT_IR, pass.instruction, DP_PAUSE_IR, 0, 1, 0, 2,
                                             &g_dpState.verifyMode, 1, DP_SHIFT_DR, DP_IDLE, 3));
        dp_delay(kVerifySettleUs);
        dp_wait_ready();
        // A result that could not be read is no pass: only a captured status
        // with both failure bits clear passes the row.
        bool passed = !dp_failed();
        if (passed)
            passed = dp_link_result(CHidDevice::ShiftInOutEx(DP_SHIFT_IR, pass.instruction, DP_PAUSE_IR, 0, 1, 2,
                                                             g_dpState.shiftBuffer, &g_dpState.statusByte,
                                                             DP_SHIFT_DR, DP_PAUSE_DR, 0)) != 0 &&
                     (g_dpState.statusByte & kRowVerifyFailedBits) == 0;
        if (!passed) {
            TraceRow(pass.failure);
            dp_set_error(DPE_ROW_VERIFY_FAILED);
            return;
        }
    }
}

// ---- Array loops.

void dp_array_write() { RunArrayLoop(kPlainProgram); }

void dp_array_check() { RunArrayLoop(kPlainVerify); }

void dp_array_write_enc() { RunArrayLoop(kEncryptedProgram); }

void dp_array_check_enc() { RunArrayLoop(kEncryptedVerify); }

void dp_array_authenticate() {
    RunArrayLoop(kAuthentication);
    if (!dp_failed()) dp_auth_status_check();
}

void dp_auth_status_check() {
    if (dp_failed()) return;
    const bool sent = InstructionAsData(kInstrStatus, 3);
    dp_delay(kAuthenticationSettleUs);
    g_dpState.statusByte = 0;
    const bool read = dp_link_result(CHidDevice::ShiftOutEx(0, 0, 0, 0, 0, 5, &g_dpState.statusByte, DP_SHIFT_DR,
                                                            DP_PAUSE_DR, 3)) != 0;
    if (!sent || !read) {
        dp_trace_text(kAuthenticationFailure);
        dp_fail(DPE_AUTHENTICATION_FAILED);
    }
    if (g_dpState.statusByte & kAuthenticationFailedBit) {
        dp_trace_text(kAuthenticationFailure);
        dp_fail(DPE_AUTHENTICATION_FAILED);
    }
}

// ---- RLOCK.

void dp_rlock_write() {
    if (dp_failed()) return;
    dp_trace_text("\r\nProgramming RLOCK...");
    g_dpState.dataBitIndex = 0;
    // The RLOCK row is programmed only once it was loaded whole.
    bool programmed = SendFrames(DP_BLOCK_RLOCK, kInstrRowLoad, PlainRowBits(), kPlainFrameBits, kPlainFrameDelay);
    if (programmed) {
        programmed = InstructionAsData(kInstrRlockProgram, 3);
        dp_wait_ready();
    }
    if (!programmed || dp_failed()) {
        dp_trace_text("\r\nFailed to program RLOCK ");
        dp_set_error(DPE_ARRAY_PROGRAM_FAILED);
    }
}

void dp_rlock_write_enc() {
    if (dp_failed()) return;
    dp_trace_text("\r\nProgramming Rlock...");
    g_dpState.dataBitIndex = 0;
    dp_ir(kInstrRowLoadEncrypted, DP_PAUSE_IR);
    const unsigned frames = 2u * g_dpState.rowWidthFactor;
    for (unsigned frame = 0; frame < frames; ++frame) {
        dp_block_in(DP_BLOCK_RLOCK, kEncryptedFrameBits, DP_IDLE);
        dp_wait(3);
        dp_delay(kEncryptedRlockFrameDelayUs);
        g_dpState.dataBitIndex += kEncryptedFrameBits;
    }
    dp_ir(kInstrRlockProgram, DP_IDLE);
    dp_wait(1);
    dp_wait_ready();
}
