// Composing an FPGA data image from its parts: the device it is meant for,
// array rows, RLOCK, FlashROM, design identification, security settings and
// NVM contents. The builder lays out the header, the directory and the
// blocks, derives the support flags from what is present, and closes the
// image with its CRC. Used by "vexu-cli image build", the build's demo image
// and the tests.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/image/image_cipher.h"
#include "tools/image/image_format.h"

namespace vexu::image {

struct FlashRomParts {
    uint8_t mask = 0;  // bit k selects page k
    std::array<FlashRomPage, kFlashRomPageCount> pages{};  // pages[k] is page k; unselected pages are not stored
};

struct NvmSegment {
    uint32_t startAddress = 0;  // 22-bit byte address; its page is startAddress >> 8
    uint8_t pageValue = 0;      // 3-bit page-programming value (plain blocks)
    std::vector<uint32_t> words;  // encrypted blocks: whole pages of 32 words
};

struct NvmBlockParts {
    bool present = false;
    bool encrypted = false;
    std::vector<NvmSegment> segments;
};

// A block written as given, for images with unusual directories (a block
// listed twice, an entry with offset 0).
struct ExtraBlock {
    uint8_t id = 0;
    std::vector<uint8_t> data;
    bool absent = false;        // directory entry with offset 0 and no data
    bool beforeOthers = false;  // listed ahead of the builder's own entries
};

struct ImageParts {
    // The device: must match a row of the identification table, which
    // decides the row count, row width and device class.
    uint32_t idCode = 0;
    uint8_t variantMarker = 0;
    // Block 2: ceil(boundary-scan length / 8) bytes; empty for none.
    std::vector<uint8_t> boundaryScan;
    // Block 5: every array row, plain, factor x 26 bytes each, in the order
    // the engine sends them (the first row of the block is programmed
    // first). Empty: no array data.
    std::vector<uint8_t> arrayRows;
    // Block 6: one plain row of factor x 26 bytes; empty for none.
    std::vector<uint8_t> rlock;
    std::optional<FlashRomParts> flashRom;
    std::optional<uint32_t> silsig;
    // Block 1. Byte 8 shares its UROW byte with the cycle count: only its
    // bits 0-5 belong to the name, so it must be below 0x40.
    std::optional<std::array<uint8_t, kDesignNameSize>> designName;
    std::optional<uint16_t> designChecksum;
    // Security settings: the user lock bits (2 bytes for device class 1,
    // 3 bytes for class 2) together with the pass key.
    std::optional<uint32_t> userLock;
    std::optional<Key128> passKey;
    // Block 30: an AES key for the device to program.
    std::optional<Key128> aesKey;
    // The key the device holds when it programs this image: encrypted parts
    // and the AES check block (block 31) are made with it. Defaults to aesKey.
    std::optional<Key128> encryptionKey;
    std::array<NvmBlockParts, kNvmBlockCount> nvm;
    bool encryptArray = false;     // array rows and RLOCK
    bool encryptFlashRom = false;
    // The support flags are derived from the parts unless given here.
    std::optional<uint16_t> supportFlags;
    std::vector<ExtraBlock> extraBlocks;
};

// Geometry of the device an ID code names.
struct DeviceGeometry {
    int tableRow = -1;  // 0-based row of the identification table
    uint8_t rowWidthFactor = 0;
    uint32_t arrayRowCount = 0;
    uint8_t deviceClass = 0;
    uint32_t boundaryScanLength = 0;
    uint32_t PlainRowBytes() const { return rowWidthFactor * 26u; }
    uint32_t EncryptedRowBytes() const { return rowWidthFactor * 32u; }
    uint32_t BoundaryScanBytes() const { return (boundaryScanLength + 7) / 8; }
    uint32_t UserLockBytes() const { return deviceClass == 2 ? 3u : 2u; }
};

// False when the ID code matches no row.
bool GeometryForIdCode(uint32_t idCode, DeviceGeometry& geometry);

// The support flags the parts call for.
uint16_t DeriveSupportFlags(const ImageParts& parts);

// Why an image with encrypted parts carries no security settings.
inline constexpr const char* kEncryptedWithSecurity =
    "encrypted parts cannot go with security settings: \"program\" erases the security settings, and with "
    "them the AES key the device opens encrypted data with, before that data arrives";

// The device's security-word bits that let it take the image's encrypted
// parts: 20 for the array, 18 for the FlashROM, 3k + 2 for NVM block k.
uint32_t EncryptionEnableBits(const ImageParts& parts);

// Composes the image; encrypted parts are formed by the cipher. Returns
// false and a reason (nothing written to image) when the parts do not fit
// the device or each other, or encryption is asked for without a cipher
// or key, or with security settings (kEncryptedWithSecurity).
bool BuildImage(const ImageParts& parts, std::vector<uint8_t>& image, std::string& error,
                const ImageCipher* cipher = DeviceCipher());

// A design name from text: up to 9 characters, zero-padded.
std::array<uint8_t, kDesignNameSize> DesignNameFromText(const std::string& text);

}  // namespace vexu::image
