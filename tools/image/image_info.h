// Reading an FPGA data image the way an engineer wants to see it first:
// header fields, the directory, the support flags in words, the device the
// image is meant for, and whether its CRC holds. Every read is bounded by
// the bytes actually present: truncated, corrupt or hostile images give
// findings, never reads beyond the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexu::image {

enum class Severity : uint8_t { kNote, kWarning, kError };

struct Finding {
    Severity severity;
    std::string text;
};

struct DirectoryEntry {
    size_t index = 0;
    uint8_t id = 0;
    uint32_t offset = 0;
    uint32_t recordedLength = 0;  // entry bytes 5..8, which the engine does not read
};

struct ImageInfo {
    size_t fileSize = 0;
    // The bytes the image covers: the header's size field, cut to the file.
    size_t imageSize = 0;
    std::string producerTag;  // printable start of header bytes 0..23

    std::optional<uint8_t> directoryPosition;
    std::optional<uint32_t> sizeField;
    std::optional<uint8_t> variantMarker;
    std::optional<uint32_t> expectedIdCode;
    std::optional<uint16_t> supportFlags;  // only when all 16 support bytes are present
    int idTableRow = -1;                   // 0-based row the expected ID code matches

    std::optional<uint8_t> declaredEntries;
    std::vector<DirectoryEntry> directory;  // the entries that lie within the image

    bool crcChecked = false;
    uint16_t crcComputed = 0;
    uint16_t crcStored = 0;

    std::vector<Finding> findings;

    bool HasErrors() const;
    bool CrcOk() const { return crcChecked && crcComputed == crcStored; }
};

ImageInfo InspectImage(const uint8_t* data, size_t size);

// The report "vexu-cli image info" prints, reading block contents only
// within the image.
std::string FormatImageInfo(const ImageInfo& info, const uint8_t* data, size_t size);

}  // namespace vexu::image
