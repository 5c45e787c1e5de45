// Loading the programmer's embedded resources: the FPGA data image
// (FPGADATA, 144) and the serial-flash image (EEPROMDATA, 145), both stored
// scrambled, and the settings record (APPSETTING, 146), stored plain. The
// window runs the loaders once at start-up; the results go to the image
// buffers of run/image_buffers.h.
#pragma once

#include <cstdint>

constexpr uint32_t kFpgaDataResourceId = 144;
constexpr uint32_t kEepromDataResourceId = 145;
constexpr uint32_t kAppSettingResourceId = 146;
constexpr const char* kFpgaDataResourceType = "FPGADATA";
constexpr const char* kEepromDataResourceType = "EEPROMDATA";
constexpr const char* kAppSettingResourceType = "APPSETTING";

// The largest FPGA data image a file may hold. The largest device of the
// identification table (7844 rows of factor 14) with its array, RLOCK and
// FlashROM encrypted, its keys and four NVM blocks of 1024 encrypted pages
// each comes to under 5 MiB; a larger file is not an image.
constexpr uint32_t kMaxFpgaImageBytes = 8u << 20;

// The largest serial-flash image: the largest chip of the chip table.
uint32_t MaxEepromImageBytes();

// Zero-fills capacity bytes of destination, then copies min(size, capacity)
// bytes of the resource into it. Returns 1 on success, 0 (buffer left
// zero-filled) when the resource is missing, empty or cannot be loaded.
int LoadFile(void* destination, uint32_t capacity, uint32_t id, const char* type);

// The resource's size in bytes, 0 when it is not found.
uint32_t GetDataSize(uint32_t id, const char* type);

// Fill g_eepromData/g_eepromSize and g_fpgaData/g_fpgaSize with the
// unscrambled images. A missing image, or one that cannot be loaded, leaves
// null and length 0 and writes "No Eeprom Data" / "No Fpga Data".
void LoadEepromData();
void LoadFpgaData();

// Frees the FPGA buffer, then the serial-flash buffer (null, length 0).
void FreeImageData();

// In-place scrambling of a whole image; both return the bytes processed.
// DecodeData turns the stored form into the plain image, EncodeData the
// plain image into the stored form.
uint32_t DecodeData(uint8_t* buffer, uint32_t length);
uint32_t EncodeData(uint8_t* buffer, uint32_t length);
