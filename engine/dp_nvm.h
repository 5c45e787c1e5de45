// The embedded flash memory blocks (NVM blocks 0 to 3). Block k of the
// device is described by five image blocks from 5k + 9: the word count of
// each segment, the number of segments, the 22-bit start address of each
// segment, the data words, and per segment a 3-bit page-programming value
// (plain images) or one 128-bit trailer frame per page (encrypted images).
// A page is 32 words of 32 bits.
#pragma once

#include <cstdint>

constexpr unsigned DP_NVM_BLOCKS = 4;
constexpr uint32_t DP_NVM_WORD_BITS = 32;
constexpr uint32_t DP_NVM_PAGE_WORDS = 32;
constexpr uint32_t DP_NVM_FRAME_BITS = 128;
constexpr uint32_t DP_NVM_FRAMES_PER_PAGE = 16;  // data frames, then one trailer frame

// Image block ids of NVM block k.
constexpr uint8_t dp_nvm_image_block(uint8_t k, uint8_t part) { return static_cast<uint8_t>(5 * k + 9 + part); }
enum DpNvmPart : uint8_t {
    DP_NVM_WORD_COUNTS = 0,   // 32 bits per segment
    DP_NVM_SEGMENT_COUNT = 1, // 16 bits
    DP_NVM_START_ADDRESSES = 2,  // 22 bits per segment
    DP_NVM_DATA = 3,
    DP_NVM_PAGE_VALUES = 4,   // plain: 3 bits per segment; encrypted: trailer frames
};

// Every NVM block the image carries: encrypted or plain programming.
void dp_action_program_nvm();
// Every plainly programmed NVM block the image carries.
void dp_action_verify_nvm();

void dp_nvm_write(uint8_t k);
void dp_nvm_check(uint8_t k);
void dp_nvm_write_enc(uint8_t k);
