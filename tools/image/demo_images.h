// The demo images the build embeds when no images are given: an FPGA data
// image for the device of identification-table row 9 (ID 0x029121CF) with
// array, RLOCK, FlashROM and security data, and a 262144-byte serial-flash
// image whose every page says which page it is. Both are the same on every
// build.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/image/image_builder.h"

namespace vexu::image {

constexpr uint32_t kDemoIdCode = 0x029121CF;
constexpr uint32_t kDemoEepromSize = 262144;
constexpr uint32_t kDemoEepromPageSize = 256;

// The parts of the demo FPGA image (tests change them to build variants).
ImageParts DemoFpgaParts();
std::vector<uint8_t> MakeDemoFpgaImage();
std::vector<uint8_t> MakeDemoEepromImage();

}  // namespace vexu::image
