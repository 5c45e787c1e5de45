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

#include "engine/dp_image_check.h"

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

// What the engine does with an action on this image before it sends
// anything: runs it, or stops with a code (100 for a CRC that does not
// hold, 151 without the data the action needs, 150 for "verify_nvm" without
// the NVM verify flag, 153 for a block that runs past the end of the data).
struct ActionVerdict {
    std::string name;
    uint8_t engineCode = 0;                // 0: the action runs
    std::vector<DpImageProblem> problems;  // blocks that stop it, in block order
    std::vector<DpBlockNeed> needs;        // the blocks it reads
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

    // Every action the engine knows, in the order of their codes; empty
    // when the header or directory cannot be read far enough to tell.
    std::vector<ActionVerdict> actions;

    std::vector<Finding> findings;

    bool HasErrors() const;
    bool CrcOk() const { return crcChecked && crcComputed == crcStored; }
};

ImageInfo InspectImage(const uint8_t* data, size_t size);

// The report "vexu-cli image info" prints, reading block contents only
// within the image.
std::string FormatImageInfo(const ImageInfo& info, const uint8_t* data, size_t size);

}  // namespace vexu::image
