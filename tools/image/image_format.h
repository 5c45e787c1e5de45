// The FPGA data image as the programming engine reads it: a header, a
// directory of numbered blocks, the blocks, and a CRC-16 over everything but
// the last two bytes. All multi-byte fields are little-endian.
//
//   24        directory position D (offset of the first directory entry)
//   25..28    image size in bytes, CRC included
//   30        device variant marker (7: M7, 1: M1, other: neither)
//   31..34    expected ID code
//   39..54    support bytes: byte 39 + i non-zero sets support flag bit i
//   D - 1     number of directory entries N
//   D + 9 i   entry i: block id (1), block offset (4), block length (4; the
//             engine does not read it, this tool writes and checks it)
//   size - 2  CRC-16/KERMIT of bytes 0 .. size - 3
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexu::image {

constexpr size_t kDirectoryPositionOffset = 24;
constexpr size_t kImageSizeOffset = 25;
constexpr size_t kVariantMarkerOffset = 30;
constexpr size_t kExpectedIdOffset = 31;
constexpr size_t kSupportBytesOffset = 39;
constexpr size_t kSupportByteCount = 16;
// Bytes 0 .. 54 hold every header field the engine reads.
constexpr size_t kHeaderFieldsEnd = kSupportBytesOffset + kSupportByteCount;
constexpr size_t kDirectoryEntrySize = 9;
constexpr size_t kCrcSize = 2;

constexpr uint8_t kVariantM7 = 7;
constexpr uint8_t kVariantM1 = 1;

enum BlockId : uint8_t {
    kBlockHeader = 0,
    kBlockDesignName = 1,
    kBlockBoundaryScan = 2,
    kBlockSilsig = 3,
    kBlockDesignChecksum = 4,
    kBlockArrayRows = 5,
    kBlockRlock = 6,
    kBlockFlashRomMask = 7,
    kBlockFlashRomPages = 8,
    kBlockNvmFirst = 9,  // NVM block k uses ids 5k + 9 .. 5k + 13
    kBlockPassKey = 29,
    kBlockAesKey = 30,
    kBlockAesCheck = 31,
    kBlockUserLock = 32,
};

constexpr size_t kNvmBlockCount = 4;
// The five image blocks of one NVM block, in the order of their ids.
enum NvmPart : uint8_t { kNvmWordCounts = 0, kNvmSegmentCount, kNvmStartAddresses, kNvmData, kNvmTrailer };
constexpr uint8_t NvmBlockId(size_t nvmBlock, NvmPart part) {
    return static_cast<uint8_t>(kBlockNvmFirst + 5 * nvmBlock + part);
}

constexpr size_t kDesignNameSize = 9;
constexpr size_t kSilsigSize = 4;
constexpr size_t kDesignChecksumSize = 2;
constexpr size_t kKeySize = 16;
constexpr size_t kFlashRomPageCount = 8;
constexpr size_t kFlashRomPageSize = 16;
constexpr size_t kNvmAddressBits = 22;
constexpr size_t kNvmPageValueBits = 3;
constexpr size_t kNvmWordsPerPage = 32;
constexpr size_t kEncryptedFrameSize = 16;
constexpr size_t kNvmFramesPerPage = 16;

// Support flag bits (header byte 39 + bit).
enum SupportBit : uint16_t {
    kSupportArray = 1u << 0,
    kSupportFlashRom = 1u << 1,
    kSupportNvm0 = 1u << 3,  // NVM block k: kSupportNvm0 << k
    kSupportNvmVerify = 1u << 7,
    kSupportSecurity = 1u << 8,
    kSupportAesKey = 1u << 9,
    kSupportArrayEncrypted = 1u << 10,
    kSupportFlashRomEncrypted = 1u << 11,
    kSupportNvm0Encrypted = 1u << 12,  // NVM block k: kSupportNvm0Encrypted << k
};

// What a block holds, in words ("array rows"); "unknown block" for ids the
// engine does not use.
const char* BlockName(uint8_t id);
// What a support flag bit means, in words.
const char* SupportBitName(unsigned bit);
// The support flags as a list of words ("FPGA array, FlashROM"); "none" for 0.
std::string SupportFlagWords(uint16_t flags);

// CRC-16/KERMIT: polynomial 0x1021 processed reflected (0x8408), initial 0,
// no final XOR. "123456789" gives 0x2189.
uint16_t Crc16Kermit(const uint8_t* data, size_t size);

inline uint32_t GetLe(const uint8_t* bytes, size_t count) {
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i) value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
    return value;
}

inline void PutLe(uint8_t* bytes, uint32_t value, size_t count) {
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace vexu::image
