#include "tools/image/image_info.h"

#include <algorithm>
#include <bit>
#include <cstdarg>
#include <cstdio>

#include "engine/device_id_table.h"
#include "engine/dp_frame.h"
#include "engine/dp_image_check.h"
#include "platform/printf_format.h"
#include "tools/image/image_format.h"

namespace vexu::image {

namespace {

std::string Printf(const char* format, ...) VEXU_PRINTF_FORMAT(1, 2);
std::string Printf(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return n < 0 ? std::string() : std::string(text);
}

// Bounded little-endian reads over the first `limit` bytes of a buffer.
class Bounded {
public:
    Bounded(const uint8_t* data, size_t limit) : data_(data), limit_(limit) {}
    bool Has(size_t offset, size_t count) const { return offset <= limit_ && count <= limit_ - offset; }
    std::optional<uint32_t> Le(size_t offset, size_t count) const {
        if (!Has(offset, count)) return std::nullopt;
        return GetLe(data_ + offset, count);
    }
    const uint8_t* At(size_t offset) const { return data_ + offset; }
    size_t Limit() const { return limit_; }

private:
    const uint8_t* data_;
    size_t limit_;
};

void Add(ImageInfo& info, Severity severity, std::string text) { info.findings.push_back({severity, std::move(text)}); }

const DirectoryEntry* FirstEntry(const ImageInfo& info, uint8_t id) {
    for (const DirectoryEntry& entry : info.directory) {
        if (entry.id == id) return entry.offset != 0 ? &entry : nullptr;
    }
    return nullptr;
}

// Bytes a block holds up to the CRC trailer, 0 when absent or outside.
size_t AvailableBytes(const ImageInfo& info, const DirectoryEntry& entry) {
    const size_t dataEnd = info.imageSize >= kCrcSize ? info.imageSize - kCrcSize : 0;
    return entry.offset < dataEnd ? dataEnd - entry.offset : 0;
}

// Reads count bytes of a block (within what the block holds) or nothing.
std::optional<uint32_t> ReadBlock(const ImageInfo& info, const Bounded& image, uint8_t id, size_t offset,
                                  size_t count) {
    const DirectoryEntry* entry = FirstEntry(info, id);
    if (entry == nullptr || offset > AvailableBytes(info, *entry) ||
        count > AvailableBytes(info, *entry) - offset) {
        return std::nullopt;
    }
    return image.Le(entry->offset + offset, count);
}

void ReadHeader(ImageInfo& info, const Bounded& file) {
    for (size_t i = 0; i < kDirectoryPositionOffset && file.Has(i, 1); ++i) {
        const uint8_t c = *file.At(i);
        if (c < 0x20 || c > 0x7E) break;
        info.producerTag += static_cast<char>(c);
    }
    if (auto v = file.Le(kDirectoryPositionOffset, 1)) info.directoryPosition = static_cast<uint8_t>(*v);
    info.sizeField = file.Le(kImageSizeOffset, 4);
    if (auto v = file.Le(kVariantMarkerOffset, 1)) info.variantMarker = static_cast<uint8_t>(*v);
    info.expectedIdCode = file.Le(kExpectedIdOffset, 4);
    if (file.Has(kSupportBytesOffset, kSupportByteCount)) {
        uint16_t flags = 0;
        for (size_t bit = 0; bit < kSupportByteCount; ++bit) {
            if (*file.At(kSupportBytesOffset + bit) != 0) flags |= static_cast<uint16_t>(1u << bit);
        }
        info.supportFlags = flags;
    }
    if (info.fileSize == 0) {
        Add(info, Severity::kError, "the file is empty");
    } else if (info.fileSize < kHeaderFieldsEnd) {
        Add(info, Severity::kError,
            Printf("the file is too short for the header: %zu bytes, the header fields end at byte %zu",
                   info.fileSize, kHeaderFieldsEnd - 1));
    }

    info.imageSize = info.fileSize;
    if (info.sizeField) {
        const uint32_t sizeField = *info.sizeField;
        if (sizeField > info.fileSize) {
            Add(info, Severity::kError,
                Printf("the image size field says %u bytes but the file has only %zu; reading stops at the end "
                       "of the file",
                       sizeField, info.fileSize));
        } else {
            if (sizeField < info.fileSize) {
                Add(info, Severity::kWarning,
                    Printf("the file has %zu bytes after the image's recorded size of %u; they are ignored",
                           info.fileSize - sizeField, sizeField));
            }
            info.imageSize = sizeField;
        }
        if (sizeField < kHeaderFieldsEnd + kCrcSize) {
            Add(info, Severity::kError, Printf("the image size field (%u) is smaller than the header", sizeField));
        }
    }

    if (info.expectedIdCode) {
        info.idTableRow = FindDeviceIdRow(*info.expectedIdCode, *info.expectedIdCode);
        if (info.idTableRow < 0) {
            Add(info, Severity::kError,
                Printf("the expected ID code 0x%08X matches no row of the identification table", *info.expectedIdCode));
        }
    }
    if (info.variantMarker && *info.variantMarker != 0 && *info.variantMarker != kVariantM1 &&
        *info.variantMarker != kVariantM7) {
        Add(info, Severity::kNote,
            Printf("variant marker %u is neither M7 (7) nor M1 (1)", static_cast<unsigned>(*info.variantMarker)));
    }
}

void ReadDirectory(ImageInfo& info, const Bounded& image) {
    if (!info.directoryPosition) return;
    const size_t position = *info.directoryPosition;
    if (position == 0) {
        Add(info, Severity::kError, "directory position 0: the entry count would lie before the start of the image");
        return;
    }
    const std::optional<uint32_t> count = image.Le(position - 1, 1);
    if (!count) {
        Add(info, Severity::kError,
            Printf("the directory entry count at byte %zu lies beyond the end of the image (%zu bytes)",
                   position - 1, image.Limit()));
        return;
    }
    info.declaredEntries = static_cast<uint8_t>(*count);
    if (position - 1 < kHeaderFieldsEnd) {
        Add(info, Severity::kWarning,
            Printf("directory position %zu puts the entry count inside the header fields", position));
    }
    for (size_t i = 0; i < *count; ++i) {
        const size_t at = position + kDirectoryEntrySize * i;
        if (!image.Has(at, kDirectoryEntrySize)) {
            Add(info, Severity::kError,
                Printf("the directory runs past the end of the image: entry %zu of %u at byte %zu does not fit in "
                       "%zu bytes",
                       i, *count, at, image.Limit()));
            break;
        }
        DirectoryEntry entry;
        entry.index = i;
        entry.id = *image.At(at);
        entry.offset = GetLe(image.At(at + 1), 4);
        entry.recordedLength = GetLe(image.At(at + 5), 4);
        info.directory.push_back(entry);
    }
}

bool HasProblem(const ImageInfo& info, uint8_t block) {
    for (const ActionVerdict& action : info.actions)
        for (const DpImageProblem& problem : action.problems)
            if (problem.block == block) return true;
    return false;
}

// The most bytes any action takes from the block; nullopt when no action
// of this image reads it.
std::optional<uint64_t> MostNeeded(const ImageInfo& info, uint8_t block) {
    std::optional<uint64_t> most;
    for (const ActionVerdict& action : info.actions)
        for (const DpBlockNeed& need : action.needs)
            if (need.block == block) most = std::max(most.value_or(0), need.bytes);
    return most;
}

// What the directory itself says about its entries. A block that an action
// cannot be served from is the action check's finding, not one of these.
void CheckEntries(ImageInfo& info) {
    const size_t directoryEnd =
        info.directoryPosition ? *info.directoryPosition + kDirectoryEntrySize * info.directory.size() : 0;
    for (const DirectoryEntry& entry : info.directory) {
        const char* name = BlockName(entry.id);
        const DirectoryEntry* first = nullptr;
        for (const DirectoryEntry& other : info.directory) {
            if (other.id == entry.id) {
                first = &other;
                break;
            }
        }
        if (first != &entry) {
            Add(info, Severity::kNote,
                Printf("block %u (%s) is listed again at entry %zu; the first entry (%zu) is the one used", entry.id,
                       name, entry.index, first->index));
            continue;
        }
        const bool problem = HasProblem(info, entry.id);
        if (entry.offset == 0) {
            if (!problem) Add(info, Severity::kNote, Printf("block %u (%s) has offset 0 and reads as absent", entry.id, name));
            continue;
        }
        if (entry.offset >= info.imageSize) {
            if (!problem) {
                Add(info, Severity::kWarning,
                    Printf("block %u (%s) at offset %u lies beyond the end of the image (%zu bytes); no action of "
                           "this image reads it",
                           entry.id, name, entry.offset, info.imageSize));
            }
            continue;
        }
        if (entry.offset < directoryEnd) {
            Add(info, Severity::kWarning,
                Printf("block %u (%s) at offset %u points into the header or directory", entry.id, name, entry.offset));
        }
        if (problem) continue;
        const size_t available = AvailableBytes(info, entry);
        const std::optional<uint64_t> needed = MostNeeded(info, entry.id);
        if (entry.recordedLength > available) {
            Add(info, Severity::kWarning,
                Printf("block %u (%s): its recorded length %u runs past the end of the data (%zu bytes remain)",
                       entry.id, name, entry.recordedLength, available));
        } else if (needed && entry.recordedLength != *needed) {
            Add(info, Severity::kNote,
                Printf("block %u (%s): recorded length %u, the device takes %llu bytes", entry.id, name,
                       entry.recordedLength, static_cast<unsigned long long>(*needed)));
        }
    }
}

// Every action the engine knows, checked as the engine checks it before a
// run: the image's support flags, then the blocks the action reads. Each
// block that stops an action is one finding, naming the actions it stops.
void CheckActions(ImageInfo& info, const uint8_t* data) {
    if (!info.supportFlags || info.idTableRow < 0 || !info.declaredEntries) return;
    const uint32_t support = *info.supportFlags;
    const DeviceIdRow& device = kDeviceIdTable[info.idTableRow];
    const uint32_t size = static_cast<uint32_t>(info.imageSize);
    const bool crcHolds = info.CrcOk() && info.sizeField && *info.sizeField >= 3 && *info.sizeField <= info.fileSize;
    for (unsigned code = 1; code <= 0xFF; ++code) {
        const DpActionEntry* entry = dp_action_entry(static_cast<uint8_t>(code));
        if (entry == nullptr) continue;
        ActionVerdict verdict;
        verdict.name = entry->name;
        if (!crcHolds) {
            // The engine stops every run at the CRC, before it looks further;
            // an image that claims more bytes than it has never passes it.
            verdict.engineCode = DPE_IMAGE_CRC_MISMATCH;
        } else if (!entry->accepted(support)) {
            verdict.engineCode = DPE_IMAGE_LACKS_DATA;
        } else if (!entry->runnable(support)) {
            verdict.engineCode = DPE_ACTION_NOT_FOUND;
        } else {
            verdict.needs = dp_action_block_needs(data, size, entry->code, support, device);
            verdict.problems = dp_check_action_blocks(data, size, entry->code, support, device);
            if (!verdict.problems.empty())
                verdict.engineCode = verdict.problems.front().kind == DpImageProblem::kAbsent ? DPE_IMAGE_LACKS_DATA
                                                                                             : DPE_IMAGE_BLOCK_OUTSIDE;
        }
        info.actions.push_back(std::move(verdict));
    }
    // One finding per block and fault, with the actions it stops.
    std::vector<std::pair<DpImageProblem, std::string>> stopped;
    for (const ActionVerdict& action : info.actions) {
        for (const DpImageProblem& problem : action.problems) {
            auto same = std::find_if(stopped.begin(), stopped.end(), [&](const auto& s) {
                return s.first.block == problem.block && s.first.kind == problem.kind;
            });
            if (same == stopped.end()) {
                stopped.push_back({problem, action.name});
            } else {
                same->first.needed = std::max(same->first.needed, problem.needed);
                same->second += ", " + action.name;
            }
        }
    }
    for (const auto& [problem, actions] : stopped) {
        const uint8_t code = problem.kind == DpImageProblem::kAbsent ? DPE_IMAGE_LACKS_DATA : DPE_IMAGE_BLOCK_OUTSIDE;
        Add(info, Severity::kError,
            Printf("%s; the engine refuses %s with code %u before anything is sent", dp_image_problem_text(problem).c_str(),
                   actions.c_str(), static_cast<unsigned>(code)));
    }
}

// What each support flag makes the engine read, and what it reads without a flag.
struct FlagBlock {
    uint16_t flag;
    uint8_t block;
};
constexpr FlagBlock kFlagBlocks[] = {
    {kSupportArray, kBlockArrayRows},
    {kSupportArray, kBlockRlock},
    {kSupportFlashRom, kBlockFlashRomMask},
    {kSupportNvm0 << 0, NvmBlockId(0, kNvmSegmentCount)},
    {kSupportNvm0 << 1, NvmBlockId(1, kNvmSegmentCount)},
    {kSupportNvm0 << 2, NvmBlockId(2, kNvmSegmentCount)},
    {kSupportNvm0 << 3, NvmBlockId(3, kNvmSegmentCount)},
    {kSupportSecurity, kBlockPassKey},
    {kSupportSecurity, kBlockUserLock},
    {kSupportAesKey, kBlockAesKey},
};

void CheckSupportAgainstBlocks(ImageInfo& info) {
    if (!info.supportFlags || !info.declaredEntries) return;
    for (const FlagBlock& rule : kFlagBlocks) {
        const bool flagged = *info.supportFlags & rule.flag;
        const bool present = FirstEntry(info, rule.block) != nullptr;
        if (flagged && !present && !HasProblem(info, rule.block)) {
            Add(info, Severity::kWarning,
                Printf("the support flags announce %s but block %u (%s) is absent",
                       SupportBitName(static_cast<unsigned>(std::countr_zero(rule.flag))), rule.block,
                       BlockName(rule.block)));
        } else if (!flagged && present) {
            Add(info, Severity::kNote,
                Printf("block %u (%s) is present but the support flags do not announce %s", rule.block,
                       BlockName(rule.block), SupportBitName(static_cast<unsigned>(std::countr_zero(rule.flag)))));
        }
    }
}

void CheckCrc(ImageInfo& info, const Bounded& image) {
    if (info.imageSize < kCrcSize) return;
    info.crcChecked = true;
    info.crcComputed = Crc16Kermit(image.At(0), info.imageSize - kCrcSize);
    info.crcStored = static_cast<uint16_t>(GetLe(image.At(info.imageSize - kCrcSize), kCrcSize));
    if (!info.CrcOk()) {
        Add(info, Severity::kError,
            Printf("CRC mismatch: computed 0x%04X, stored 0x%04X", info.crcComputed, info.crcStored));
    }
}

const char* VariantWords(uint8_t marker) {
    switch (marker) {
    case kVariantM7:
        return "compiled for M7 devices";
    case kVariantM1:
        return "compiled for M1 devices";
    default:
        return "neither M7 nor M1";
    }
}

const char* SeverityWord(Severity severity) {
    switch (severity) {
    case Severity::kError:
        return "error";
    case Severity::kWarning:
        return "warning";
    case Severity::kNote:
        return "note";
    }
    return "";
}

std::string HexBytes(const uint8_t* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += Printf(i ? " %02X" : "%02X", bytes[i]);
    return text;
}

// Short previews of the small blocks, read only within what each block holds.
void FormatContents(std::string& out, const ImageInfo& info, const Bounded& image) {
    auto bytesOf = [&](uint8_t id, size_t count) -> const uint8_t* {
        const DirectoryEntry* entry = FirstEntry(info, id);
        return entry && AvailableBytes(info, *entry) >= count ? image.At(entry->offset) : nullptr;
    };
    std::string lines;
    if (const uint8_t* name = bytesOf(kBlockDesignName, kDesignNameSize)) {
        std::string text;
        for (size_t i = 0; i < kDesignNameSize; ++i) text += (name[i] >= 0x20 && name[i] < 0x7F) ? name[i] : '.';
        lines += Printf("  design name        %s  (%s)\n", text.c_str(), HexBytes(name, kDesignNameSize).c_str());
    }
    if (auto v = ReadBlock(info, image, kBlockDesignChecksum, 0, kDesignChecksumSize)) {
        lines += Printf("  design checksum    0x%04X\n", *v);
    }
    if (auto v = ReadBlock(info, image, kBlockSilsig, 0, kSilsigSize)) {
        lines += Printf("  silicon signature  0x%08X\n", *v);
    }
    if (auto v = ReadBlock(info, image, kBlockFlashRomMask, 0, 1)) {
        std::string pages;
        for (int page = 0; page < 8; ++page) {
            if (*v & (1u << page)) pages += Printf("%s%d", pages.empty() ? "" : " ", page);
        }
        lines += Printf("  FlashROM mask      0x%02X (pages %s)\n", *v, pages.empty() ? "none" : pages.c_str());
    }
    if (info.idTableRow >= 0) {
        const size_t lockBytes = kDeviceIdTable[info.idTableRow].deviceClass == 2 ? 3 : 2;
        if (auto v = ReadBlock(info, image, kBlockUserLock, 0, lockBytes)) {
            lines += Printf("  user lock bits     0x%0*X\n", static_cast<int>(2 * lockBytes), *v);
        }
    }
    for (size_t k = 0; k < kNvmBlockCount; ++k) {
        if (auto v = ReadBlock(info, image, NvmBlockId(k, kNvmSegmentCount), 0, 2)) {
            lines += Printf("  NVM block %zu        %u segment%s\n", k, *v, *v == 1 ? "" : "s");
        }
    }
    if (const uint8_t* key = bytesOf(kBlockPassKey, kKeySize)) {
        bool zero = true;
        for (size_t i = 0; i < kKeySize; ++i) zero = zero && key[i] == 0;
        lines += Printf("  pass key           %s\n", zero ? "all zero" : "set");
    }
    if (!lines.empty()) out += "Contents\n" + lines;
}

}  // namespace

bool ImageInfo::HasErrors() const {
    for (const Finding& finding : findings) {
        if (finding.severity == Severity::kError) return true;
    }
    return false;
}

ImageInfo InspectImage(const uint8_t* data, size_t size) {
    ImageInfo info;
    info.fileSize = data ? size : 0;
    ReadHeader(info, Bounded(data, info.fileSize));
    const Bounded image(data, info.imageSize);
    ReadDirectory(info, image);
    CheckCrc(info, image);
    CheckActions(info, info.fileSize ? data : nullptr);
    CheckEntries(info);
    CheckSupportAgainstBlocks(info);
    return info;
}

std::string FormatImageInfo(const ImageInfo& info, const uint8_t* data, size_t size) {
    const Bounded image(data, std::min(info.imageSize, data ? size : 0));
    std::string out;
    out += Printf("File size          %zu bytes\n", info.fileSize);
    out += "Header\n";
    if (!info.producerTag.empty()) out += Printf("  producer tag       %s\n", info.producerTag.c_str());
    if (info.directoryPosition) out += Printf("  directory at       %u\n", *info.directoryPosition);
    if (info.sizeField) out += Printf("  image size         %u bytes\n", *info.sizeField);
    if (info.variantMarker) {
        out += Printf("  variant marker     %u (%s)\n", *info.variantMarker, VariantWords(*info.variantMarker));
    }
    if (info.expectedIdCode) {
        out += Printf("  expected ID code   0x%08X\n", *info.expectedIdCode);
        if (info.idTableRow >= 0) {
            const DeviceIdRow& row = kDeviceIdTable[info.idTableRow];
            out += Printf("  device             ID-table row %d: mask 0x%08X value 0x%08X, row-width factor %u, "
                          "%u rows, class %u, boundary scan %u bits\n",
                          info.idTableRow + 1, row.mask, row.value, row.rowWidthFactor, row.arrayRowCount,
                          row.deviceClass, row.boundaryScanLength);
        } else {
            out += "  device             no row of the identification table\n";
        }
    }
    if (info.supportFlags) {
        out += Printf("  support flags      0x%04X: %s\n", *info.supportFlags, SupportFlagWords(*info.supportFlags).c_str());
    }
    if (info.declaredEntries) {
        out += Printf("Directory          %u entr%s\n", *info.declaredEntries, *info.declaredEntries == 1 ? "y" : "ies");
        out += "   #   id    offset    length  block\n";
        for (const DirectoryEntry& entry : info.directory) {
            out += Printf("  %2zu  %3u  %8u  %8u  %s\n", entry.index, entry.id, entry.offset, entry.recordedLength,
                          BlockName(entry.id));
        }
    }
    FormatContents(out, info, image);
    if (!info.actions.empty()) {
        out += "Actions\n";
        for (const ActionVerdict& action : info.actions) {
            std::string verdict = "runs";
            if (action.engineCode == DPE_IMAGE_CRC_MISMATCH)
                verdict = "refused (engine code 100): the CRC does not hold";
            else if (action.engineCode == DPE_IMAGE_LACKS_DATA && action.problems.empty())
                verdict = "not served: the support flags lack its data (engine code 151)";
            else if (action.engineCode == DPE_ACTION_NOT_FOUND)
                verdict = "not served: the support flags lack the NVM verify flag (engine code 150)";
            else if (!action.problems.empty())
                verdict = Printf("refused (engine code %u): %s", static_cast<unsigned>(action.engineCode),
                                 dp_image_problem_text(action.problems.front()).c_str());
            out += Printf("  %-24s %s\n", action.name.c_str(), verdict.c_str());
        }
    }
    if (info.crcChecked) {
        out += Printf("CRC                computed 0x%04X  stored 0x%04X  %s\n", info.crcComputed, info.crcStored,
                      info.CrcOk() ? "OK" : "MISMATCH");
    } else {
        out += "CRC                not checked: the image is too short\n";
    }
    if (info.findings.empty()) {
        out += "Findings           none\n";
    } else {
        out += "Findings\n";
        for (const Finding& finding : info.findings) {
            out += Printf("  %-8s %s\n", SeverityWord(finding.severity), finding.text.c_str());
        }
    }
    return out;
}

}  // namespace vexu::image
