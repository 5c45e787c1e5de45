#include "engine/dp_security.h"

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
