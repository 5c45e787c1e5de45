#include "engine/dp_image.h"

#include <algorithm>

#include "engine/dp_jtag.h"
#include "engine/dp_state.h"
#include "platform/trace.h"
#include "common/image_buffers.h"

namespace {

constexpr uint16_t kCrcPolynomialReflected = 0x8408;  // CRC-16/KERMIT
constexpr unsigned kSupportBytes = 16;

// Bytes from position to the end of the image: the size the header records,
// never beyond what was loaded. 0 for a position outside.
uint32_t BytesFrom(uint64_t position) {
    const uint64_t end = std::min(g_dpState.imageSize, g_dpState.loadedBytes);
    return position < end ? static_cast<uint32_t>(end - position) : 0;
}

// Where byteOffset of the block lies; null (return bytes 0) when the block
// is absent or the position lies outside the image.
const uint8_t* Locate(uint8_t blockId, uint64_t byteOffset) {
    uint64_t blockStart = 0;
    if (blockId != DP_BLOCK_HEADER) {
        dp_block_lookup(blockId);
        if (g_dpState.cachedBlockOffset == 0) {
            g_dpState.returnBytes = 0;
            return nullptr;
        }
        blockStart = g_dpState.cachedBlockOffset;
    }
    const uint64_t position = blockStart + byteOffset;
    g_dpState.returnBytes = BytesFrom(position);
    return g_dpState.returnBytes ? g_dpState.imageBase + position : nullptr;
}

uint8_t HeaderByte(uint32_t offset) {
    return static_cast<uint8_t>(dp_image_bytes(DP_BLOCK_HEADER, offset, 1));
}

}  // namespace

uint16_t dp_crc16_kermit(const uint8_t* bytes, uint32_t count) {
    uint16_t crc = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t byte = bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = ((byte ^ crc) & 1) ? static_cast<uint16_t>((crc >> 1) ^ kCrcPolynomialReflected)
                                     : static_cast<uint16_t>(crc >> 1);
            byte >>= 1;
        }
    }
    return crc;
}

void dp_image_attach() {
    if (g_dpState.imageBase == g_fpgaData && g_dpState.loadedBytes == g_fpgaSize) return;
    g_dpState.imageBase = g_fpgaData;
    g_dpState.loadedBytes = g_fpgaData ? g_fpgaSize : 0;
    g_dpState.imageSize = g_dpState.loadedBytes;
    g_dpState.cachedBlockId = 0;
    g_dpState.cachedBlockOffset = 0;
    g_dpState.returnBytes = 0;
    g_dpState.pagePointer = nullptr;
    g_dpState.requestedBytes = 0;
}

void dp_block_lookup(uint8_t blockId) {
    if (blockId == g_dpState.cachedBlockId) return;
    g_dpState.cachedBlockId = 0;
    g_dpState.cachedBlockOffset = 0;
    const uint32_t directory = HeaderByte(DP_HEADER_DIRECTORY_POSITION);
    g_dpState.imageSize = dp_image_bytes(DP_BLOCK_HEADER, DP_HEADER_IMAGE_SIZE, 4);
    const uint32_t entries = HeaderByte(directory - 1);
    for (uint32_t i = 0; i < entries; ++i) {
        const uint32_t entry = directory + DP_DIRECTORY_ENTRY_BYTES * i;
        if (HeaderByte(entry) == blockId) {
            // An offset of 0 marks the block absent: the cache then stays
            // cleared, exactly as for a missing entry.
            g_dpState.cachedBlockOffset = dp_image_bytes(DP_BLOCK_HEADER, entry + 1, 4);
            g_dpState.cachedBlockId = g_dpState.cachedBlockOffset ? blockId : 0;
            return;
        }
    }
}

const uint8_t* dp_image_pointer(uint8_t blockId, uint32_t bitIndex) { return Locate(blockId, bitIndex / 8); }

uint32_t dp_image_bytes(uint8_t blockId, uint32_t byteOffset, uint8_t count) {
    uint32_t value = 0;
    uint32_t done = 0;
    uint64_t offset = byteOffset;
    uint32_t left = std::min<uint32_t>(count, 4);
    while (left > 0) {
        const uint8_t* p = Locate(blockId, offset);
        if (g_dpState.returnBytes == 0) break;  // the rest reads as 0
        const uint32_t take = std::min(left, g_dpState.returnBytes);
        for (uint32_t j = 0; j < take; ++j) value |= uint32_t{p[j]} << (8 * (done + j));
        done += take;
        offset += take;
        left -= take;
    }
    return value;
}

bool dp_image_has_block(uint8_t blockId) {
    dp_image_bytes(blockId, 0, 1);
    return g_dpState.returnBytes != 0;
}

void dp_load_support_flags() {
    g_dpState.supportFlags = 0;
    for (unsigned i = 0; i < kSupportBytes; ++i)
        if (dp_image_bytes(DP_BLOCK_HEADER, DP_HEADER_SUPPORT_BYTES + i, 1)) g_dpState.supportFlags |= 1u << i;
}

void dp_crc_check_image() {
    // The check covers the image as its header records it, on the first run
    // as on every later one, so that a run's verdict never depends on
    // whether an earlier run walked the directory. An image that claims
    // more bytes than were loaded, or has no room for data before its
    // trailer, cannot match whatever its bytes say.
    g_dpState.imageSize = dp_image_bytes(DP_BLOCK_HEADER, DP_HEADER_IMAGE_SIZE, 4);
    const uint32_t size = g_dpState.imageSize;
    const bool whole = size >= 3 && size <= g_dpState.loadedBytes;
    const uint32_t covered = size >= 2 ? std::min(size - 2, g_dpState.loadedBytes) : 0;
    const uint16_t computed = dp_crc16_kermit(g_dpState.imageBase, covered);
    const uint32_t stored = dp_image_bytes(DP_BLOCK_HEADER, size - 2, 2);
    if (whole && computed == stored) return;
    dp_trace_text("\r\nCRC verification failed.  Expected CRC = ");
    dp_trace_value(computed, 0);
    dp_trace_text(" Actual CRC = ");
    dp_trace_value(stored, 0);
    dp_trace_text("\r\n");
    dp_fail(DPE_IMAGE_CRC_MISMATCH);
}

void dp_get_and_shift_in(uint8_t blockId, uint32_t bitCount, uint32_t startBit) {
    const uint32_t pageStartBitIndex = startBit % 8;
    const uint64_t requested = (uint64_t{pageStartBitIndex} + bitCount + 7) / 8;
    const uint8_t* page = dp_image_pointer(blockId, startBit);
    if (g_dpState.returnBytes < requested) {
        dp_trace_text("\r\n dp_get_and_shift_in()...return_bytes < requested_bytes ");
        return;
    }
    const uint32_t available = g_dpState.returnBytes;
    g_dpState.requestedBytes = static_cast<uint32_t>(requested);
    g_dpState.returnBytes = g_dpState.requestedBytes;
    g_dpState.pagePointer = page;
    if (blockId == DP_BLOCK_ARRAY_ROWS) {
        // The page is named by its offset in the image; bytes past the end
        // of the image print as 0.
        auto byteAt = [&](uint32_t i) { return i < available ? unsigned{page[i]} : 0u; };
        vexu::TraceF("page_start_bit_index=%d   bits_to_shift=%d   page_buffer_ptr=%d   terminate=%d\r\n  %X%X%X",
                     static_cast<int>(pageStartBitIndex), static_cast<int>(bitCount),
                     page ? static_cast<int>(page - g_dpState.imageBase) : 0, 1, byteAt(0), byteAt(1),
                     byteAt(2));
    }
    dp_tap_shift(pageStartBitIndex, bitCount, page, 1);
}

void dp_get_and_shift_in_out(uint8_t blockId, uint8_t bitCount, uint32_t startBit, uint8_t* capture) {
    const uint32_t requested = (uint32_t{bitCount} + 7) / 8;
    const uint8_t* page = dp_image_pointer(blockId, startBit);
    if (g_dpState.returnBytes < requested) {
        dp_trace_text("\r\n dp_get_and_shift_in_out()...return_bytes < requested_bytes ");
        dp_trace_text("\r\nError: Page buffer size is not big enough...");
        return;
    }
    g_dpState.requestedBytes = requested;
    g_dpState.returnBytes = requested;
    g_dpState.pagePointer = page;
    dp_tap_shift_capture(bitCount, page, capture);
}

void dp_block_in(uint8_t blockId, uint32_t bits, uint8_t endState) {
    dp_block_in_from(blockId, bits, g_dpState.dataBitIndex, endState);
}

void dp_block_in_from(uint8_t blockId, uint32_t bits, uint32_t startBit, uint8_t endState) {
    dp_tap_goto(DP_SHIFT_DR);
    dp_get_and_shift_in(blockId, bits, startBit);
    dp_tap_goto(endState);
}

void dp_block_in_out(uint8_t blockId, uint8_t bits, uint32_t startBit, uint8_t* capture, uint8_t endState) {
    dp_tap_goto(DP_SHIFT_DR);
    dp_get_and_shift_in_out(blockId, bits, startBit, capture);
    dp_tap_goto(endState);
}
