// How the encrypted parts of a data image are formed from plain data and the
// device's AES key. The builder lays the encrypted parts out; a cipher forms
// each of them. The device cipher is the form the simulated FPGA accepts.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "tools/image/image_format.h"

namespace vexu::image {

using Key128 = std::array<uint8_t, kKeySize>;
using FlashRomPage = std::array<uint8_t, kFlashRomPageSize>;

constexpr size_t kNvmPageBytes = kNvmWordsPerPage * 4;

class ImageCipher {
public:
    virtual ~ImageCipher() = default;
    // A plain array or RLOCK row of factor x 26 bytes becomes factor x 32 bytes.
    virtual std::vector<uint8_t> EncryptRow(const Key128& key, std::span<const uint8_t> plainRow) const = 0;
    // FlashROM page `page` (0..7) becomes two frames (32 bytes).
    virtual std::vector<uint8_t> EncryptFlashRomPage(const Key128& key, uint8_t page,
                                                     const FlashRomPage& data) const = 0;
    // One NVM page of 32 little-endian words becomes 16 frames (256 bytes).
    virtual std::vector<uint8_t> EncryptNvmPage(const Key128& key,
                                                std::span<const uint8_t, kNvmPageBytes> data) const = 0;
    // The frame (16 bytes) that ends an encrypted NVM page; page is the
    // device-wide NVM page number (byte address >> 8).
    virtual std::vector<uint8_t> NvmPageTrailer(const Key128& key, uint16_t page,
                                                std::span<const uint8_t, kNvmPageBytes> data) const = 0;
    // Image block 31, which lets the device check that it holds the key.
    virtual Key128 AesCheckBlock(const Key128& key) const = 0;
};

// The form the simulated FPGA accepts.
const ImageCipher* DeviceCipher();

}  // namespace vexu::image
