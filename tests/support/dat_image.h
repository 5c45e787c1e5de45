// Builds FPGA data images for tests: a header with the expected ID code,
// variant marker and support bytes, a directory, the blocks and the CRC
// trailer. Directory entries can also be written raw (duplicate ids,
// offset 0) to build images the engine must be careful with.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace vexu::test {

class DatImage {
public:
    static constexpr uint32_t kHeaderBytes = 64;  // header, directory count at the last byte

    DatImage& ExpectedId(uint32_t id);
    DatImage& Variant(uint8_t marker);
    // Sets support byte i to 1 for every bit i of flags.
    DatImage& Support(uint32_t flags);
    DatImage& SupportByte(unsigned i, uint8_t value);
    // A block with its data, listed in the directory in call order.
    DatImage& Block(uint8_t id, std::vector<uint8_t> data);
    // A directory entry with a given offset and no data of its own.
    DatImage& RawEntry(uint8_t id, uint32_t offset);
    // The size field written into the header (default: the real size).
    DatImage& SizeField(uint32_t size);

    std::vector<uint8_t> Build() const;
    // Offset at which the block's data starts in Build()'s image (first
    // entry with the id that carries data).
    uint32_t OffsetOf(uint8_t id) const;

private:
    struct Entry {
        uint8_t id;
        std::optional<uint32_t> rawOffset;
        std::vector<uint8_t> data;
    };
    std::vector<uint8_t> header_ = std::vector<uint8_t>(kHeaderBytes, 0);
    std::vector<Entry> entries_;
    std::optional<uint32_t> sizeField_;
};

// Writes the CRC-16/KERMIT of bytes 0..size-3 into the last two bytes.
void SealCrc(std::vector<uint8_t>& image);

}  // namespace vexu::test
