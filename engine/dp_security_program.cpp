#include "engine/dp_security_program.h"

#include <algorithm>

#include "engine/dp_array.h"
#include "engine/dp_image.h"
#include "engine/dp_jtag.h"
#include "engine/dp_security.h"
#include "engine/dp_state.h"

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

bool IsClass2() { return g_dpState.deviceClass == 2; }

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
