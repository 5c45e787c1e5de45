#include "run/image_load.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "flash/chip_table.h"
#include "flash/flash_chips.h"
#include "platform/resources.h"
#include "platform/trace.h"
#include "common/image_buffers.h"
#include "run/image_scramble.h"

using vexu::Trace;

int LoadFile(void* destination, uint32_t capacity, uint32_t id, const char* type) {
    if (destination != nullptr && capacity > 0) std::memset(destination, 0, capacity);
    const vexu::EmbeddedResource* resource = vexu::FindEmbeddedResource(id, type);
    if (resource == nullptr) {
        Trace("LoadFile() 查找资源 FALSE \r\n");
        return 0;
    }
    const uint32_t size = vexu::EmbeddedResourceSize(resource);
    if (size == 0) {
        Trace("LoadFile() 资源大小为0 FALSE \r\n");
        return 0;
    }
    const vexu::EmbeddedResource* loaded = vexu::LoadEmbeddedResource(resource);
    if (loaded == nullptr) {
        Trace("LoadFile() 加载资源 FALSE \r\n");
        return 0;
    }
    const uint8_t* bytes = vexu::LockEmbeddedResource(loaded);
    if (bytes == nullptr) {
        Trace("LoadFile() 锁定资源 FALSE \r\n");
        return 0;
    }
    if (destination != nullptr) std::memcpy(destination, bytes, std::min(size, capacity));
    Trace(std::string("LoadFile() TRUE ") + type + " \r\n");
    return 1;
}

uint32_t GetDataSize(uint32_t id, const char* type) {
    const vexu::EmbeddedResource* resource = vexu::FindEmbeddedResource(id, type);
    if (resource == nullptr) {
        Trace("GetDataSize() 查找资源 FALSE \r\n");
        return 0;
    }
    return vexu::EmbeddedResourceSize(resource);
}

namespace {

struct ImageBuffer {
    uint32_t id;
    const char* type;
    uint8_t*& data;
    uint32_t& size;
    const char* missingLine;
};

void Release(ImageBuffer& image) {
    delete[] image.data;
    image.data = nullptr;
    image.size = 0;
}

// One loader for both images. A load that fails after the size was read
// leaves no buffer behind: a zero-filled buffer would unscramble into a run
// of key bytes that a run would program as if it were the image.
void LoadImage(ImageBuffer image) {
    const uint32_t size = GetDataSize(image.id, image.type);
    if (size != 0) {
        Release(image);
        image.size = size;
        image.data = new uint8_t[size];
        if (LoadFile(image.data, size, image.id, image.type)) {
            DecodeData(image.data, size);
        } else {
            Release(image);
        }
    } else {
        Release(image);
    }
    if (image.size == 0) Trace(image.missingLine);
}

}  // namespace

void LoadEepromData() {
    LoadImage({kEepromDataResourceId, kEepromDataResourceType, g_eepromData, g_eepromSize, "No Eeprom Data\r\n"});
}

void LoadFpgaData() {
    LoadImage({kFpgaDataResourceId, kFpgaDataResourceType, g_fpgaData, g_fpgaSize, "No Fpga Data\r\n"});
}

void FreeImageData() {
    delete[] g_fpgaData;
    g_fpgaData = nullptr;
    g_fpgaSize = 0;
    delete[] g_eepromData;
    g_eepromData = nullptr;
    g_eepromSize = 0;
}

uint32_t MaxEepromImageBytes() {
    uint32_t largest = 0;
    for (const FlashPart& part : FlashParts()) largest = std::max(largest, part.size);
    return largest;
}

uint32_t DecodeData(uint8_t* buffer, uint32_t length) {
    if (buffer == nullptr) return 0;
    for (uint32_t i = 0; i < length; ++i) buffer[i] = UnscrambleByte(buffer[i]);
    return length;
}

uint32_t EncodeData(uint8_t* buffer, uint32_t length) {
    if (buffer == nullptr) return 0;
    for (uint32_t i = 0; i < length; ++i) buffer[i] = ScrambleByte(buffer[i]);
    return length;
}
