#include "tools/image/image_format.h"

namespace vexu::image {

namespace {

struct NamedBlock {
    uint8_t id;
    const char* name;
};

constexpr NamedBlock kBlockNames[] = {
    {kBlockHeader, "header"},
    {kBlockDesignName, "design name"},
    {kBlockBoundaryScan, "boundary-scan register data"},
    {kBlockSilsig, "silicon signature"},
    {kBlockDesignChecksum, "design checksum"},
    {kBlockArrayRows, "FPGA array rows"},
    {kBlockRlock, "RLOCK row"},
    {kBlockFlashRomMask, "FlashROM page mask"},
    {kBlockFlashRomPages, "FlashROM pages"},
    {9, "NVM 0 word counts"},
    {10, "NVM 0 segment count"},
    {11, "NVM 0 start addresses"},
    {12, "NVM 0 data"},
    {13, "NVM 0 page values / trailers"},
    {14, "NVM 1 word counts"},
    {15, "NVM 1 segment count"},
    {16, "NVM 1 start addresses"},
    {17, "NVM 1 data"},
    {18, "NVM 1 page values / trailers"},
    {19, "NVM 2 word counts"},
    {20, "NVM 2 segment count"},
    {21, "NVM 2 start addresses"},
    {22, "NVM 2 data"},
    {23, "NVM 2 page values / trailers"},
    {24, "NVM 3 word counts"},
    {25, "NVM 3 segment count"},
    {26, "NVM 3 start addresses"},
    {27, "NVM 3 data"},
    {28, "NVM 3 page values / trailers"},
    {kBlockPassKey, "pass key"},
    {kBlockAesKey, "AES key"},
    {kBlockAesCheck, "AES key verification data"},
    {kBlockUserLock, "user lock bits"},
};

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

const char* BlockName(uint8_t id) {
    for (const NamedBlock& block : kBlockNames) {
        if (block.id == id) return block.name;
    }
    return "unknown block";
}

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
