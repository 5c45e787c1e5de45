// Device variants M7 and M1: before every action the engine sends one fixed
// challenge per variant through the device's AES check instruction. Byte 15
// of the answer tells whether the AES engine answered (bit 7) and whether
// the device is that variant (bit 6); the detected variant must agree with
// the variant the data image was compiled for.
#pragma once

#include <cstdint>

// The fixed challenge blocks, shifted from byte 0. The simulated device
// answers them as a device of its configured variant would.
constexpr uint8_t DP_M7_CHALLENGE[16] = {0x4D, 0x37, 0x2D, 0x76, 0x61, 0x72, 0x69, 0x61,
                                         0x6E, 0x74, 0x2D, 0x63, 0x68, 0x65, 0x63, 0x6B};
constexpr uint8_t DP_M1_CHALLENGE[16] = {0x4D, 0x31, 0x2D, 0x76, 0x61, 0x72, 0x69, 0x61,
                                         0x6E, 0x74, 0x2D, 0x63, 0x68, 0x65, 0x63, 0x6B};

// Header byte 30 of an image compiled for one of the variants.
constexpr uint8_t DP_VARIANT_MARKER_M7 = 7;
constexpr uint8_t DP_VARIANT_MARKER_M1 = 1;

// Runs both variant checks when the image carries AES check data (block 31).
void dp_check_variant();
void dp_variant_check_m7();
void dp_variant_check_m1();
