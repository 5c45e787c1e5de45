// A stand-in cipher for the image tool's tests: its output shows what went
// in, so that the layout of encrypted parts can be checked without real
// cryptography.
#pragma once

#include <algorithm>
#include <vector>

#include "tools/image/image_cipher.h"

namespace vexu::image {

class TracingCipher : public ImageCipher {
public:
    std::vector<uint8_t> EncryptRow(const Key128& key, std::span<const uint8_t> plainRow) const override {
        std::vector<uint8_t> out;
        for (size_t chunk = 0; chunk * 26 < plainRow.size(); ++chunk) {
            out.insert(out.end(), plainRow.begin() + chunk * 26, plainRow.begin() + chunk * 26 + 26);
            const uint8_t tail[6] = {'E', 'N', 'C', key[0], static_cast<uint8_t>(chunk), 0};
            out.insert(out.end(), tail, tail + 6);
        }
        return out;
    }
    std::vector<uint8_t> EncryptFlashRomPage(const Key128& key, uint8_t page, const FlashRomPage& data) const override {
        std::vector<uint8_t> out(32, key[0]);
        out[0] = page;
        std::copy(data.begin(), data.end(), out.begin() + 1);
        return out;
    }
    std::vector<uint8_t> EncryptNvmPage(const Key128&, std::span<const uint8_t, kNvmPageBytes> data) const override {
        std::vector<uint8_t> out(data.begin(), data.end());
        out.insert(out.end(), data.begin(), data.end());
        return out;
    }
    std::vector<uint8_t> NvmPageTrailer(const Key128& key, uint16_t page,
                                        std::span<const uint8_t, kNvmPageBytes> data) const override {
        std::vector<uint8_t> out = {'T', 'R', 'L', static_cast<uint8_t>(page), static_cast<uint8_t>(page >> 8), key[0]};
        out.resize(16, data[0]);
        return out;
    }
    Key128 AesCheckBlock(const Key128& key) const override {
        Key128 check = key;
        for (uint8_t& byte : check) byte ^= 0x5A;
        return check;
    }
};

}  // namespace vexu::image
