#include <span>

#include "sim/fpga_crypto.h"
#include "tools/image/image_cipher.h"

namespace vexu::image {

namespace {

namespace crypto = vexu::sim::fpga_crypto;

static_assert(kNvmPageBytes == crypto::kNvmPageBytes);
static_assert(kFlashRomPageSize == crypto::kFlashRomPageBytes);

// The encrypted formats the simulated FPGA opens with its AES key.
class SimulatedDeviceCipher final : public ImageCipher {
public:
    std::vector<uint8_t> EncryptRow(const Key128& key, std::span<const uint8_t> plainRow) const override {
        return crypto::EncryptArrayRow(key, plainRow);
    }

    std::vector<uint8_t> EncryptFlashRomPage(const Key128& key, uint8_t page,
                                             const FlashRomPage& data) const override {
        std::vector<uint8_t> unit(crypto::kUnitBytes);
        crypto::EncryptFlashRomPage(key, page, std::span<const uint8_t, crypto::kFlashRomPageBytes>(data),
                                    std::span<uint8_t, crypto::kUnitBytes>(unit.data(), crypto::kUnitBytes));
        return unit;
    }

    std::vector<uint8_t> EncryptNvmPage(const Key128& key,
                                        std::span<const uint8_t, kNvmPageBytes> data) const override {
        const auto frames = crypto::EncryptNvmPage(key, data);
        return std::vector<uint8_t>(frames.begin(), frames.end());
    }

    std::vector<uint8_t> NvmPageTrailer(const Key128& key, uint16_t page,
                                        std::span<const uint8_t, kNvmPageBytes> data) const override {
        const auto trailer = crypto::NvmPageTrailer(key, page, data);
        return std::vector<uint8_t>(trailer.begin(), trailer.end());
    }

    Key128 AesCheckBlock(const Key128& key) const override { return crypto::AesCheckBlock(key); }
};

}  // namespace

const ImageCipher* DeviceCipher() {
    static const SimulatedDeviceCipher cipher;
    return &cipher;
}

}  // namespace vexu::image
