// The FPGA data image as the engine reads it: a header (block 0), a
// directory of numbered blocks, the blocks, and a CRC-16 trailer. Block
// lookups go through a one-entry cache; values are read little-endian; the
// image-fed shifts hand the programmer a pointer into the image itself.
//
// Every read is bounded twice: by the image size the header records and by
// the bytes actually loaded, so a hostile header cannot make the engine
// read outside the image buffer.
#pragma once

#include <cstdint>

// Block ids of the data image.
enum DpBlock : uint8_t {
    DP_BLOCK_HEADER = 0,
    DP_BLOCK_DESIGN_NAME = 1,      // 9 bytes
    DP_BLOCK_BSR = 2,              // boundary-scan register bits
    DP_BLOCK_SILSIG = 3,           // 4 bytes
    DP_BLOCK_CHECKSUM = 4,         // 2 bytes
    DP_BLOCK_ARRAY_ROWS = 5,
    DP_BLOCK_RLOCK = 6,
    DP_BLOCK_FROM_MASK = 7,        // 1 byte, bit k selects FlashROM page k
    DP_BLOCK_FROM_PAGES = 8,
    DP_BLOCK_NVM_FIRST = 9,        // NVM block k uses ids 5k + 9 to 5k + 13
    DP_BLOCK_PASS_KEY = 29,        // 128 bits
    DP_BLOCK_AES_KEY = 30,         // 128 bits
    DP_BLOCK_AES_CHECK = 31,       // 128 bits
    DP_BLOCK_USER_LOCK = 32,       // 3 bytes (class 2) or 2 bytes (class 1)
};

// Header fields (offsets into block 0).
constexpr uint32_t DP_HEADER_DIRECTORY_POSITION = 24;  // 1 byte
constexpr uint32_t DP_HEADER_IMAGE_SIZE = 25;          // 4 bytes, CRC included
constexpr uint32_t DP_HEADER_VARIANT = 30;             // 1 byte: 7 = M7, 1 = M1
constexpr uint32_t DP_HEADER_EXPECTED_ID = 31;         // 4 bytes
constexpr uint32_t DP_HEADER_SUPPORT_BYTES = 39;       // 16 bytes
constexpr uint32_t DP_DIRECTORY_ENTRY_BYTES = 9;       // id, offset (4), unused (4)

// Takes the image from the image buffers at the start of a run; a buffer
// other than the one last seen drops the lookup state built for that one.
void dp_image_attach();

// Makes the cache describe the block (id not 0).
void dp_block_lookup(uint8_t blockId);
// Pointer to the byte that holds the bit of the block, or null when the
// block is absent or the bit lies outside the image. Sets return bytes.
const uint8_t* dp_image_pointer(uint8_t blockId, uint32_t bitIndex);
// Up to 4 bytes of the block from byteOffset, little-endian; bytes beyond
// the image read as 0, an absent block reads 0 with return bytes 0.
uint32_t dp_image_bytes(uint8_t blockId, uint32_t byteOffset, uint8_t count);
// True when the image carries the block (a one-byte probe).
bool dp_image_has_block(uint8_t blockId);
void dp_load_support_flags();
// CRC-16/KERMIT (reflected 0x1021, initial 0, no final XOR) of the bytes.
uint16_t dp_crc16_kermit(const uint8_t* bytes, uint32_t count);
// Checks the CRC trailer. A mismatch writes both values and stops the run
// with DPE_IMAGE_CRC_MISMATCH: a corrupted image is never sent to the device.
void dp_crc_check_image();

// Image-fed shifts; the TAP must already be in a shift state.
void dp_get_and_shift_in(uint8_t blockId, uint32_t bitCount, uint32_t startBit);
void dp_get_and_shift_in_out(uint8_t blockId, uint8_t bitCount, uint32_t startBit, uint8_t* capture);

// Block in (block, bits from the data bit index) to endState.
void dp_block_in(uint8_t blockId, uint32_t bits, uint8_t endState);
// Block in from an explicit start bit.
void dp_block_in_from(uint8_t blockId, uint32_t bits, uint32_t startBit, uint8_t endState);
// Block in/out (block, bits from startBit, into capture) to endState.
void dp_block_in_out(uint8_t blockId, uint8_t bits, uint32_t startBit, uint8_t* capture,
                     uint8_t endState);
