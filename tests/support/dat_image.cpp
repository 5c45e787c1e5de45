#include "dat_image.h"

namespace vexu::test {

namespace {

void PutLe32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Written here independently of the engine, so that the two check each other.
uint16_t Kermit(const uint8_t* bytes, size_t count) {
    uint16_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
    }
    return crc;
}

constexpr uint32_t kDirectoryPosition = DatImage::kHeaderBytes + 1;
constexpr uint32_t kEntryBytes = 9;

}  // namespace

DatImage& DatImage::ExpectedId(uint32_t id) {
    PutLe32(header_, 31, id);
    return *this;
}

DatImage& DatImage::Variant(uint8_t marker) {
    header_[30] = marker;
    return *this;
}

DatImage& DatImage::Support(uint32_t flags) {
    for (unsigned i = 0; i < 16; ++i) header_[39 + i] = (flags >> i) & 1;
    return *this;
}

DatImage& DatImage::SupportByte(unsigned i, uint8_t value) {
    header_[39 + i] = value;
    return *this;
}

DatImage& DatImage::Block(uint8_t id, std::vector<uint8_t> data) {
    entries_.push_back({id, std::nullopt, std::move(data)});
    return *this;
}

DatImage& DatImage::RawEntry(uint8_t id, uint32_t offset) {
    entries_.push_back({id, offset, {}});
    return *this;
}

DatImage& DatImage::SizeField(uint32_t size) {
    sizeField_ = size;
    return *this;
}

uint32_t DatImage::OffsetOf(uint8_t id) const {
    uint32_t offset = kDirectoryPosition + kEntryBytes * static_cast<uint32_t>(entries_.size());
    for (const Entry& entry : entries_) {
        if (entry.rawOffset) continue;
        if (entry.id == id) return offset;
        offset += static_cast<uint32_t>(entry.data.size());
    }
    return 0;
}

std::vector<uint8_t> DatImage::Build() const {
    std::vector<uint8_t> image = header_;
    image[24] = static_cast<uint8_t>(kDirectoryPosition);
    image.push_back(static_cast<uint8_t>(entries_.size()));  // count at D - 1
    uint32_t dataOffset = kDirectoryPosition + kEntryBytes * static_cast<uint32_t>(entries_.size());
    for (const Entry& entry : entries_) {
        std::vector<uint8_t> raw(kEntryBytes, 0);
        raw[0] = entry.id;
        const uint32_t offset = entry.rawOffset ? *entry.rawOffset : dataOffset;
        PutLe32(raw, 1, offset);
        PutLe32(raw, 5, static_cast<uint32_t>(entry.data.size()));
        image.insert(image.end(), raw.begin(), raw.end());
        if (!entry.rawOffset) dataOffset += static_cast<uint32_t>(entry.data.size());
    }
    for (const Entry& entry : entries_) image.insert(image.end(), entry.data.begin(), entry.data.end());
    image.resize(image.size() + 2, 0);
    PutLe32(image, 25, sizeField_ ? *sizeField_ : static_cast<uint32_t>(image.size()));
    SealCrc(image);
    return image;
}

void SealCrc(std::vector<uint8_t>& image) {
    if (image.size() < 2) return;
    const uint16_t crc = Kermit(image.data(), image.size() - 2);
    image[image.size() - 2] = static_cast<uint8_t>(crc & 0xFF);
    image[image.size() - 1] = static_cast<uint8_t>(crc >> 8);
}

}  // namespace vexu::test
