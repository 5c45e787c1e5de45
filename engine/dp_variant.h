// Device variants M7 and M1: before every action the engine sends one fixed
// challenge per variant through the device's AES check instruction. Byte 15
// of the answer tells whether the AES engine answered (bit 7) and whether
// the device is that variant (bit 6); the detected variant must agree with
// the variant the data image was compiled for.
#pragma once

#include <cstdint>

// The fixed challenge blocks, shifted from byte 0 ("VX-M7-CHALLENGE" and
// "VX-M1-CHALLENGE" with the variant marker as the last byte). The
// simulated device answers them as a device of its configured variant.
constexpr uint8_t DP_M7_CHALLENGE[16] = {0x56, 0x58, 0x2D, 0x4D, 0x37, 0x2D, 0x43, 0x48,
                                         0x41, 0x4C, 0x4C, 0x45, 0x4E, 0x47, 0x45, 0x07};
constexpr uint8_t DP_M1_CHALLENGE[16] = {0x56, 0x58, 0x2D, 0x4D, 0x31, 0x2D, 0x43, 0x48,
                                         0x41, 0x4C, 0x4C, 0x45, 0x4E, 0x47, 0x45, 0x01};

// Header byte 30 of an image compiled for one of the variants.
constexpr uint8_t DP_VARIANT_MARKER_M7 = 7;
constexpr uint8_t DP_VARIANT_MARKER_M1 = 1;

// Runs both variant checks when the image carries AES check data (block 31).
void dp_check_variant();
void dp_variant_check_m7();
void dp_variant_check_m1();
