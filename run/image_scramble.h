// The byte scrambling in which the executable stores its two images. Header
// only, so that the build-time resource generator shares it with the loader.
#pragma once

#include <cstdint>

inline constexpr uint8_t kScrambleKey = 0x3A;

// Stored byte -> plain byte: rotate left by 2 within the byte, then XOR the key.
constexpr uint8_t UnscrambleByte(uint8_t stored) {
    return static_cast<uint8_t>(((stored << 2) | (stored >> 6)) ^ kScrambleKey);
}

// Plain byte -> stored byte: XOR the key, then rotate right by 2; the exact
// inverse of UnscrambleByte.
constexpr uint8_t ScrambleByte(uint8_t plain) {
    const uint8_t x = static_cast<uint8_t>(plain ^ kScrambleKey);
    return static_cast<uint8_t>((x >> 2) | (x << 6));
}

static_assert(UnscrambleByte(0x00) == kScrambleKey);
static_assert(ScrambleByte(kScrambleKey) == 0x00);
