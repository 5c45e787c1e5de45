#include "engine/dp_security.h"

#include <iterator>

#include "engine/dp_array.h"  // the shared erase
#include "engine/dp_identify.h"
#include "engine/dp_image.h"
#include "engine/dp_jtag.h"
#include "engine/dp_state.h"

namespace {

constexpr uint32_t kClass2RegisterBits = 56;
constexpr uint32_t kClass1RegisterBits = 44;
constexpr uint8_t kPassKeyResultMask = 0x03;
constexpr uint8_t kPassKeyMatched = 0x01;
constexpr uint8_t kAesAnswerBits = 0xC0;  // byte 15 of the AES check result
constexpr uint32_t kUserLockCompareBits = 0x003FFFFF;  // bits 0-21
constexpr uint32_t kUserLockAlwaysSet = 0x8000;
constexpr uint8_t kUrowNameLastByteMask = 0x3F;  // byte 12 also carries cycle bits

bool IsClass2() { return g_dpState.deviceClass == 2; }

}  // namespace

uint32_t dp_security_register_bits() { return IsClass2() ? kClass2RegisterBits : kClass1RegisterBits; }

void dp_read_security_word() {
    dp_trace_text("\r\nReading Security...");
    const uint32_t bits = dp_security_register_bits();
    dp_ir(0xA4, DP_IDLE);
    dp_wait(3);
    dp_clear_urow_buffer();
    g_dpState.securityWord &= ~DP_SEC_DEVICE_BITS;
    dp_dr_out(bits, g_dpState.urowBuffer, DP_PAUSE_DR);
    const uint8_t* reg = g_dpState.urowBuffer;
    if (IsClass2()) {
        g_dpState.securityWord |= uint32_t{reg[0]} | uint32_t{reg[1]} << 8 | uint32_t{reg[2]} << 16;
    } else {
        // Byte 1's upper half is the start of the silicon signature; only
        // its lower half is lock bits, and the flags above bit 23 stay the
        // run's own.
        g_dpState.securityWord |= uint32_t{reg[0]} << 12 | uint32_t{reg[1] & 0x0Fu} << 20;
    }
}

void dp_sec_match_pass_key() {
    dp_ir(0x92, DP_PAUSE_IR);
    dp_block_in_from(DP_BLOCK_PASS_KEY, 128, 0, DP_IDLE);
    dp_wait(3);
    dp_delay(48);
    dp_dr_out(128, g_dpState.shiftBuffer, DP_PAUSE_DR);
    if ((g_dpState.shiftBuffer[0] & kPassKeyResultMask) == kPassKeyMatched)
        g_dpState.securityWord |= DP_SEC_PASS_KEY_MATCHED;
    if (g_dpState.supportFlags & DP_SUPPORT_SECURITY) {
        uint32_t any = 0;
        for (uint32_t offset = 0; offset < 16; offset += 4) any |= dp_image_bytes(DP_BLOCK_PASS_KEY, offset, 4);
        if (any == 0) g_dpState.securityWord |= DP_SEC_PASS_KEY_ZERO;
    }
}

void dp_sec_check_aes_key() {
    dp_decryptor_reset();
    dp_ir(0x0A, DP_PAUSE_IR);
    dp_block_in_from(DP_BLOCK_AES_CHECK, 128, 0, DP_IDLE);
    dp_wait(3);
    dp_delay(256);
    dp_dr_out(128, g_dpState.shiftBuffer, DP_PAUSE_DR);
    if ((g_dpState.shiftBuffer[15] & kAesAnswerBits) != kAesAnswerBits) dp_fail(DPE_AES_KEY_CHECK_FAILED);
}

void dp_action_verify_device_info() {
    dp_trace_text("\r\nVerifying device info...");
    const uint32_t expectedLock =
        (IsClass2() ? dp_image_bytes(DP_BLOCK_USER_LOCK, 0, 3) : dp_image_bytes(DP_BLOCK_USER_LOCK, 0, 2) << 12) |
        kUserLockAlwaysSet;
    if ((g_dpState.securityWord & kUserLockCompareBits) != (expectedLock & kUserLockCompareBits)) {
        dp_trace_text("\r\nUser LOCK Setting Error...");
        dp_fail(DPE_USER_LOCK_MISMATCH);
        return;
    }

    dp_fetch_urow();
    const uint8_t* urow = g_dpState.urowBuffer;
    bool same = (urow[DP_UROW_CHECKSUM] | urow[DP_UROW_CHECKSUM + 1] << 8) ==
                static_cast<int>(dp_image_bytes(DP_BLOCK_CHECKSUM, 0, 2));
    for (unsigned i = 0; i < DP_UROW_DESIGN_NAME_BYTES && same; ++i) {
        uint8_t nameByte = urow[DP_UROW_DESIGN_NAME + i];
        if (DP_UROW_DESIGN_NAME + i == DP_UROW_CYCLE_LOW) nameByte &= kUrowNameLastByteMask;
        same = nameByte == dp_image_bytes(DP_BLOCK_DESIGN_NAME, i, 1);
    }
    if (!same) {
        dp_trace_text("\r\nUROW Setting Error...");
        dp_fail(DPE_UROW_MISMATCH);
    }
}

// ---- Programming the segment.

namespace {

constexpr uint8_t kInstrProgramPassKey = 0x8B;
constexpr uint8_t kInstrProgramAesKey = 0x91;
constexpr uint8_t kInstrProgramRegister = 0xA3;
constexpr uint8_t kInstrReadRegister = 0xA4;
constexpr uint32_t kKeyBits = 128;

// Bytes of the register compared after programming it; the others carry
// bits the device keeps for itself.
constexpr uint8_t kClass2ReadBackMask[] = {0xFF, 0xFF, 0x3F, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr uint8_t kClass1ReadBackMask[] = {0xFF, 0xF3, 0xFF, 0xFF, 0xFF, 0x0F};

uint32_t Signature() { return dp_image_bytes(DP_BLOCK_SILSIG, 0, 4); }

uint8_t Byte(uint32_t value, unsigned shift) { return static_cast<uint8_t>(value >> shift); }

// Shifts the register image of the shift buffer and waits for the device.
void ProgramRegister() {
    dp_ir(kInstrProgramRegister, DP_PAUSE_IR);
    dp_dr_in(dp_security_register_bits(), g_dpState.shiftBuffer, DP_IDLE);
    dp_wait(3);
    dp_wait_ready();
}

}  // namespace

void dp_build_security_register(uint32_t userLock, uint32_t signature) {
    uint8_t* r = g_dpState.shiftBuffer;
    dp_clear_shift_buffer();
    if (IsClass2()) {
        r[0] = Byte(userLock, 0);
        r[1] = Byte(userLock, 8) | 0x80;
        r[2] = Byte(userLock, 16) & 0x3F;
        for (unsigned i = 0; i < 4; ++i) r[3 + i] = Byte(signature, 8 * i);
    } else {
        r[0] = Byte(userLock, 0) | 0x04;
        r[1] = (Byte(userLock, 8) & 0xF3) | Byte(signature << 4, 0);
        r[2] = Byte(signature, 4);
        r[3] = Byte(signature, 12);
        r[4] = Byte(signature, 20);
        r[5] = Byte(signature, 28);
    }
}

void dp_build_silsig_register(uint32_t securityWord, uint32_t signature) {
    uint8_t* r = g_dpState.shiftBuffer;
    dp_clear_shift_buffer();
    if (IsClass2()) {
        for (unsigned i = 0; i < 3; ++i) r[i] = Byte(securityWord, 8 * i);
        for (unsigned i = 0; i < 4; ++i) r[3 + i] = Byte(signature, 8 * i);
    } else {
        r[0] = Byte(securityWord, 12);
        r[1] = (Byte(securityWord, 20) & 0x0F) | Byte(signature << 4, 0);
        r[2] = Byte(signature, 4);
        r[3] = Byte(signature, 12);
        r[4] = Byte(signature, 20);
        r[5] = Byte(signature, 28);
    }
}

void dp_action_erase_security() {
    if (dp_failed()) return;
    g_dpState.securityWord |= DP_SEC_ERASED_IN_RUN;
    dp_sec_erase();
}

void dp_action_program_security() {
    dp_sec_erase();
    if (g_dpState.supportFlags & DP_SUPPORT_SECURITY) dp_sec_write();
}

void dp_sec_erase() {
    dp_erase_with("\r\nErase Security...", DP_ERASE_SECURITY | DP_ERASE_KEEP_UROW, DP_SEC_SECURITY_ERASED_IN_RUN);
}

void dp_sec_write() {
    if (dp_failed()) return;
    dp_trace_text("\r\nProgramming Security...");
    dp_sec_write_pass_key();
    if (g_dpState.supportFlags & DP_SUPPORT_AES_KEY) dp_sec_write_aes_key();
    if (dp_failed()) return;
    // The match decides on the key just programmed, not on the one the
    // device held when the run began: a pass key that did not take must not
    // let the lock settings through.
    g_dpState.securityWord &= ~DP_SEC_PASS_KEY_MATCHED;
    dp_sec_match_pass_key();
    if (dp_failed()) return;
    if (!(g_dpState.securityWord & DP_SEC_PASS_KEY_MATCHED)) {
        dp_fail(DPE_PASS_KEY_MISMATCH);
        return;
    }
    dp_sec_write_settings();
}

void dp_sec_write_pass_key() {
    if (dp_failed()) return;
    dp_ir(kInstrProgramPassKey, DP_PAUSE_IR);
    dp_block_in_from(DP_BLOCK_PASS_KEY, kKeyBits, 0, DP_IDLE);
    dp_wait(3);
    dp_wait_ready();
}

void dp_sec_write_aes_key() {
    if (dp_failed()) return;
    dp_ir(kInstrProgramAesKey, DP_PAUSE_IR);
    dp_block_in_from(DP_BLOCK_AES_KEY, kKeyBits, 0, DP_IDLE);
    dp_wait(15);
    dp_wait_ready();
    if (!dp_failed()) dp_sec_check_aes_key();
}

void dp_sec_write_settings() {
    if (dp_failed()) return;
    const uint32_t userLock = dp_image_bytes(DP_BLOCK_USER_LOCK, 0, IsClass2() ? 3 : 2);
    dp_build_security_register(userLock, Signature());
    ProgramRegister();
    if (dp_failed()) return;
    dp_ir(kInstrReadRegister, DP_IDLE);
    dp_wait(3);
    dp_clear_urow_buffer();
    dp_dr_out(dp_security_register_bits(), g_dpState.urowBuffer, DP_PAUSE_DR);
    const uint8_t* mask = IsClass2() ? kClass2ReadBackMask : kClass1ReadBackMask;
    const size_t bytes = IsClass2() ? std::size(kClass2ReadBackMask) : std::size(kClass1ReadBackMask);
    for (size_t i = 0; i < bytes; ++i) {
        if ((g_dpState.shiftBuffer[i] ^ g_dpState.urowBuffer[i]) & mask[i]) {
            dp_fail(DPE_SECURITY_PROGRAM_FAILED);
            return;
        }
    }
}

void dp_silsig_write() {
    if (dp_failed()) return;
    dp_trace_text("\r\nProgramming SILSIG...");
    dp_build_silsig_register(g_dpState.securityWord, Signature());
    ProgramRegister();
    if (dp_failed()) dp_set_error(DPE_SECURITY_PROGRAM_FAILED);
}
