#include "tools/image/demo_images.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace vexu::image {

namespace {

// A small deterministic generator, so that every row carries different,
// unstructured bits and a row programmed in the wrong place shows.
uint32_t NextRandom(uint32_t& state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

}  // namespace

ImageParts DemoFpgaParts() {
    DeviceGeometry geometry;
    GeometryForIdCode(kDemoIdCode, geometry);

    ImageParts parts;
    parts.idCode = kDemoIdCode;
    parts.variantMarker = 0;

    parts.boundaryScan.resize(geometry.BoundaryScanBytes());
    for (size_t i = 0; i < parts.boundaryScan.size(); ++i) parts.boundaryScan[i] = static_cast<uint8_t>(0x11 * (i % 15));

    // Each row starts with its number in the order sent and a marker byte;
    // the rest is pseudo-random.
    const uint32_t rowBytes = geometry.PlainRowBytes();
    parts.arrayRows.resize(static_cast<size_t>(rowBytes) * geometry.arrayRowCount);
    for (uint32_t row = 0; row < geometry.arrayRowCount; ++row) {
        uint8_t* bytes = &parts.arrayRows[static_cast<size_t>(row) * rowBytes];
        uint32_t state = 0x9E3779B9u ^ (row * 0x85EBCA6Bu) ^ 1u;
        PutLe(bytes, row, 2);
        bytes[2] = 0xA5;
        for (uint32_t j = 3; j < rowBytes; ++j) bytes[j] = static_cast<uint8_t>(NextRandom(state) >> 24);
    }
    parts.rlock.resize(rowBytes);
    for (uint32_t j = 0; j < rowBytes; ++j) parts.rlock[j] = static_cast<uint8_t>(0xF0 | (j & 0x0F));

    FlashRomParts flashRom;
    flashRom.mask = 0xFF;
    for (size_t page = 0; page < kFlashRomPageCount; ++page) {
        char text[kFlashRomPageSize + 1];
        std::snprintf(text, sizeof text, "VEXU FROM PAGE %zu", page);
        std::memcpy(flashRom.pages[page].data(), text, kFlashRomPageSize);
    }
    parts.flashRom = flashRom;

    parts.silsig = 0x55584556;  // the bytes "VEXU"
    parts.designName = DesignNameFromText("VEXUDEMO1");
    uint32_t sum = 0;
    for (uint8_t byte : parts.arrayRows) sum += byte;
    parts.designChecksum = static_cast<uint16_t>(sum);

    // Lock bits that protect nothing and read back as written on a class 1
    // device (bits 2 and 3 are the register's fixed ones); the pass key is
    // the demo's own.
    parts.userLock = 0x000C;
    const char passKey[] = "VexuDemoPassKey1";
    Key128 key{};
    std::memcpy(key.data(), passKey, kKeySize);
    parts.passKey = key;
    return parts;
}

std::vector<uint8_t> MakeDemoFpgaImage() {
    std::vector<uint8_t> image;
    std::string error;
    BuildImage(DemoFpgaParts(), image, error);
    return image;
}

std::vector<uint8_t> MakeDemoEepromImage() {
    std::vector<uint8_t> image(kDemoEepromSize);
    for (uint32_t page = 0; page < kDemoEepromSize / kDemoEepromPageSize; ++page) {
        uint8_t* bytes = &image[static_cast<size_t>(page) * kDemoEepromPageSize];
        char header[17];
        std::snprintf(header, sizeof header, "Vexu page %04X\r\n", page);
        std::memcpy(bytes, header, 16);
        for (uint32_t i = 16; i < kDemoEepromPageSize; ++i) bytes[i] = static_cast<uint8_t>(page * 7 + i);
    }
    const char banner[] = "Vexu Dual Programmer demo serial-flash image";
    std::memcpy(&image[16], banner, sizeof banner - 1);
    return image;
}

}  // namespace vexu::image
