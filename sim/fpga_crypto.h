// Encrypted programming data of the simulated flash-based FPGA.
//
// The device decrypts array rows, FlashROM pages and NVM pages with its
// AES-128 key. These functions are the one definition of how that data is
// formed, shared by the device model (which opens it) and the image tool
// (which builds encrypted images the device accepts).
//
// Keys. From the device key K (16 bytes) two working keys are derived with
// AES-128 in ECB mode:
//     Kmac = AES(K, 01 00 00 .. 00)      Kenc = AES(K, 02 00 00 .. 00)
//
// Sealed unit: 32 bytes (two 128-bit frames) that carry up to 26 payload
// bytes, authenticated and encrypted (a synthetic-IV construction):
//     P    = payload, zero-padded to 26 bytes
//     tag  = first 6 bytes of AES-CMAC(Kmac, kind | index | P)      (RFC 4493)
//     ctr  = tag | kind | index | 00 x 8                 (initial counter block)
//     C    = P XOR the first 26 bytes of AES-128-CTR(Kenc, ctr)
//     unit = tag | C
// A unit opened with another key, or altered in any bit, fails its tag.
//
// Uses of the unit ("frames" are shifted in order, byte 0 first, each byte
// least significant bit first, just as the plain data would be):
// - Encrypted array row (also the RLOCK row): the plain row of
//   rowWidthFactor x 26 bytes is cut into 26-byte chunks; chunk c becomes a
//   unit of kind kKindArrayChunk with index c. The encrypted row is the
//   units in chunk order, rowWidthFactor x 32 bytes (factor x 256 bits).
// - Encrypted FlashROM page: one unit of kind kKindFlashRom, index 0, whose
//   payload is the page number (0 to 7) followed by the 16 page bytes. The
//   device programs the page the unit names.
// - Encrypted NVM page (32 words, 128 bytes): eight data units of kind
//   kKindNvmData with index 0 to 7, unit u carrying page bytes 16u to
//   16u + 15 (256 bytes, 16 frames), followed by one 16-byte trailer frame:
//     trailer = AES-ECB(Kenc, "VXNT" | page (2 bytes, little-endian) | 00 00 | digest)
//     digest  = first 8 bytes of AES-CMAC(Kmac, 'T' | page (2 bytes LE) | 128 page bytes)
//   where page is the device-wide NVM page number (see the NVM address map
//   below). The device programs the page only when the trailer opens and
//   its digest matches the eight data units it received.
// - AES key check block (image block 31): AES-ECB(K, "VEXU AES KEY OK!").
//   The device answers a check block made with its own key with the two top
//   bits of response byte 15 set.
//
// NVM address map: an NVM byte address A (22 bits) names page A >> 8 and
// word (A >> 2) & 31 of that page; a page holds 32 words of 32 bits. NVM
// block k holds the device-wide pages k x kNvmPagesPerBlock up to
// (k + 1) x kNvmPagesPerBlock - 1.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vexu::sim {

using AesKey128 = std::array<uint8_t, 16>;

namespace fpga_crypto {

inline constexpr size_t kFrameBytes = 16;
inline constexpr size_t kUnitBytes = 32;
inline constexpr size_t kUnitPayloadBytes = 26;
inline constexpr size_t kTagBytes = 6;
inline constexpr size_t kArrayChunkBytes = 26;  // 208 plain row bits per unit
inline constexpr size_t kFlashRomPageBytes = 16;
inline constexpr size_t kNvmPageBytes = 128;
inline constexpr size_t kNvmUnitsPerPage = 8;
inline constexpr size_t kNvmEncryptedPageBytes = kNvmUnitsPerPage * kUnitBytes;  // 256
inline constexpr uint32_t kNvmPagesPerBlock = 1024;

inline constexpr uint8_t kKindArrayChunk = 0x41;
inline constexpr uint8_t kKindFlashRom = 0x46;
inline constexpr uint8_t kKindNvmData = 0x4E;

// The two fixed challenges of the M7 and M1 variant checks (instruction
// 0x0A). Every device answers them with bit 7 of response byte 15 set; the
// device of that variant also sets bit 6.
inline constexpr std::array<uint8_t, 16> kM7Challenge = {
    0x56, 0x58, 0x2D, 0x4D, 0x37, 0x2D, 0x43, 0x48, 0x41, 0x4C, 0x4C, 0x45, 0x4E, 0x47, 0x45, 0x07};
inline constexpr std::array<uint8_t, 16> kM1Challenge = {
    0x56, 0x58, 0x2D, 0x4D, 0x31, 0x2D, 0x43, 0x48, 0x41, 0x4C, 0x4C, 0x45, 0x4E, 0x47, 0x45, 0x01};

// Plain text of the AES key check block.
inline constexpr std::array<uint8_t, 16> kAesCheckPlain = {'V', 'E', 'X', 'U', ' ', 'A', 'E', 'S',
                                                           ' ', 'K', 'E', 'Y', ' ', 'O', 'K', '!'};

// --- Forming encrypted data (image tool) ---------------------------------

// A unit from up to 26 payload bytes; false when the payload is longer.
bool SealUnit(const AesKey128& key, uint8_t kind, uint8_t index, std::span<const uint8_t> payload,
              std::span<uint8_t, kUnitBytes> unit);

// Encrypted array or RLOCK row from a plain row of rowWidthFactor x 26
// bytes. Empty when the plain row is empty or not a whole number of chunks.
std::vector<uint8_t> EncryptArrayRow(const AesKey128& key, std::span<const uint8_t> plainRow);

// Encrypted FlashROM page (page 0 to 7); false for a page number above 7.
bool EncryptFlashRomPage(const AesKey128& key, uint8_t page,
                         std::span<const uint8_t, kFlashRomPageBytes> data,
                         std::span<uint8_t, kUnitBytes> out);

// The 16 data frames of an encrypted NVM page.
std::array<uint8_t, kNvmEncryptedPageBytes> EncryptNvmPage(
    const AesKey128& key, std::span<const uint8_t, kNvmPageBytes> data);

// The trailer frame that ends an encrypted NVM page (device-wide page number).
std::array<uint8_t, kFrameBytes> NvmPageTrailer(const AesKey128& key, uint16_t page,
                                                std::span<const uint8_t, kNvmPageBytes> data);

// Image block 31 for the key.
std::array<uint8_t, kFrameBytes> AesCheckBlock(const AesKey128& key);

// --- Opening encrypted data (device) -------------------------------------

// Opens a unit into its 26 payload bytes; false when the tag does not match.
bool OpenUnit(const AesKey128& key, uint8_t kind, uint8_t index,
              std::span<const uint8_t, kUnitBytes> unit,
              std::span<uint8_t, kUnitPayloadBytes> payload);

// Opens an NVM trailer and checks its digest against the page data.
// Returns false (page untouched) when the trailer does not open or the
// digest differs.
bool OpenNvmTrailer(const AesKey128& key, std::span<const uint8_t, kFrameBytes> trailer,
                    std::span<const uint8_t, kNvmPageBytes> data, uint16_t& page);

// True when the block is the AES key check block of the key.
bool IsAesCheckBlock(const AesKey128& key, std::span<const uint8_t, kFrameBytes> block);

}  // namespace fpga_crypto
}  // namespace vexu::sim
