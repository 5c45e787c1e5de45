#include "engine/dp_variant.h"

#include <cstring>

#include "engine/dp_image.h"
#include "engine/dp_jtag.h"
#include "engine/dp_state.h"

namespace {

constexpr uint8_t kAesEngineAnswered = 0x80;  // byte 15 of the answer
constexpr uint8_t kVariantPresent = 0x40;

struct Variant {
    const uint8_t* challenge;
    uint32_t detectedFlag;
    uint8_t marker;
    const char* detected;
    const char* detectedButNotCompiledFor;
    const char* compiledForButNotDetected;
};

constexpr Variant kM7 = {
    DP_M7_CHALLENGE,
    DP_SEC_M7_DETECTED,
    DP_VARIANT_MARKER_M7,
    "\r\nM7 Device Detected...",
    "\r\nError: M7 Device Detected. Data file is not compiled for M7 Device...",
    "\r\nError: M7 Device is not Detected. Data file is compiled for M7 Device...",
};

constexpr Variant kM1 = {
    DP_M1_CHALLENGE,
    DP_SEC_M1_DETECTED,
    DP_VARIANT_MARKER_M1,
    "\r\nM1 Device Detected...",
    "\r\nError: M1 Device Detected. Data file is not compiled for M1 Device...",
    "\r\nError: M1 Device is not Detected. Data file is compiled for M1 Device...",
};

void CheckVariant(const Variant& v) {
    memcpy(g_dpState.shiftBuffer, v.challenge, DP_BUFFER_BYTES);
    dp_ir(0x0A, DP_PAUSE_IR);
    dp_dr_in(128, g_dpState.shiftBuffer, DP_IDLE);
    dp_wait(3);
    dp_delay(256);
    dp_dr_out(128, g_dpState.urowBuffer, DP_PAUSE_DR);

    const uint8_t answer = g_dpState.urowBuffer[15];
    if (!(answer & kAesEngineAnswered)) {
        dp_trace_text("\r\nFailed to verify AES Sec...");
        dp_fail(DPE_AES_KEY_CHECK_FAILED);
        return;
    }
    if (answer & kVariantPresent) {
        dp_trace_text(v.detected);
        g_dpState.securityWord |= v.detectedFlag;
    }
    const bool compiledFor = dp_image_bytes(DP_BLOCK_HEADER, DP_HEADER_VARIANT, 1) == v.marker;
    const bool detected = g_dpState.securityWord & v.detectedFlag;
    if (detected && !compiledFor) {
        dp_trace_text(v.detectedButNotCompiledFor);
        dp_fail(DPE_ID_MISMATCH);
    } else if (!detected && compiledFor) {
        dp_trace_text(v.compiledForButNotDetected);
        dp_fail(DPE_ID_MISMATCH);
    }
}

}  // namespace

void dp_check_variant() {
    if (!dp_image_has_block(DP_BLOCK_AES_CHECK)) return;
    dp_decryptor_reset();
    dp_variant_check_m7();
    if (!dp_failed()) dp_variant_check_m1();
}

void dp_variant_check_m7() { CheckVariant(kM7); }

void dp_variant_check_m1() { CheckVariant(kM1); }
