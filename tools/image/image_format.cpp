#include "tools/image/image_format.h"

#include "engine/dp_image_check.h"

namespace vexu::image {

namespace {

constexpr const char* kSupportBitNames[kSupportByteCount] = {
    "FPGA array",
    "FlashROM",
    "bit 2 (unused)",
    "NVM block 0",
    "NVM block 1",
    "NVM block 2",
    "NVM block 3",
    "NVM verify",
    "security settings",
    "AES key",
    "FPGA array encrypted",
    "FlashROM encrypted",
    "NVM block 0 encrypted",
    "NVM block 1 encrypted",
    "NVM block 2 encrypted",
    "NVM block 3 encrypted",
};

}  // namespace

const char* BlockName(uint8_t id) { return dp_block_name(id); }

const char* SupportBitName(unsigned bit) { return bit < kSupportByteCount ? kSupportBitNames[bit] : "unknown"; }

std::string SupportFlagWords(uint16_t flags) {
    std::string words;
    for (unsigned bit = 0; bit < kSupportByteCount; ++bit) {
        if ((flags & (1u << bit)) == 0) continue;
        if (!words.empty()) words += ", ";
        words += kSupportBitNames[bit];
    }
    return words.empty() ? "none" : words;
}

uint16_t Crc16Kermit(const uint8_t* data, size_t size) {
    uint16_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        uint8_t byte = data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = ((byte ^ crc) & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
            byte >>= 1;
        }
    }
    return crc;
}

}  // namespace vexu::image
