// Test images whose array, FlashROM or NVM data is encrypted for the
// simulated FPGA's key (the formats of sim/fpga_crypto.h). The image
// builder lays out the plain parts; the encrypted blocks are added to it as
// extra blocks, with the support flags the encrypted parts call for.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/fpga_crypto.h"
#include "tools/image/image_builder.h"

namespace vexu::test {

// The parts' encryptArray, encryptFlashRom and nvm[k].encrypted decide what
// is encrypted with key; the AES check block for key is always added.
std::vector<uint8_t> BuildEncryptedImage(const image::ImageParts& parts, const sim::AesKey128& key);

// "0011..FF": 32 hexadecimal digits, byte 0 first, as the scenario takes keys.
std::string KeyHex(const sim::AesKey128& key);

}  // namespace vexu::test
