// "vexu-cli image ...": inspect, build and scramble FPGA data images.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "run/image_load.h"
#include "tools/cli.h"
#include "tools/cli_session.h"
#include "tools/image/demo_images.h"
#include "tools/image/image_builder.h"
#include "tools/image/image_files.h"
#include "tools/image/image_info.h"

namespace vexu::cli {

namespace {

using namespace vexu::image;

// A limit as the user would write it: hexadecimal for masks and codes.
std::string LimitText(uint64_t value) {
    if (value <= 0xFFFF) return std::to_string(value);
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& value, const char* what, std::string& error,
                   uint64_t min = 0) {
    errno = 0;
    char* end = nullptr;
    const bool digits = !text.empty() && std::isdigit(static_cast<unsigned char>(text[0]));
    const unsigned long long parsed = digits ? std::strtoull(text.c_str(), &end, 0) : 0;
    if (!digits || errno != 0 || end == nullptr || *end != '\0' || parsed > max || parsed < min) {
        error = std::string(what) + " needs a number from " + LimitText(min) + " to " + LimitText(max) + ", not \"" +
                text + "\"";
        return false;
    }
    value = parsed;
    return true;
}

template <typename T>
bool ParseField(const std::string& text, uint64_t max, std::optional<T>& field, const char* what, std::string& error) {
    if (text.empty()) return true;
    uint64_t value = 0;
    if (!ParseUnsigned(text, max, value, what, error)) return false;
    field = static_cast<T>(value);
    return true;
}

bool ParseKey(const std::string& text, std::optional<Key128>& key, const char* what, std::string& error) {
    if (text.empty()) return true;
    std::string hex = text.rfind("0x", 0) == 0 ? text.substr(2) : text;
    if (hex.size() != 2 * kKeySize || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        error = std::string(what) + " must be 32 hex digits, first byte first: " + text;
        return false;
    }
    Key128 bytes{};
    for (size_t i = 0; i < kKeySize; ++i) bytes[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    key = bytes;
    return true;
}

bool ReadPart(const std::string& path, const char* what, std::vector<uint8_t>& bytes, std::string& error) {
    return path.empty() || ReadBinaryFile(path, bytes, error, what);
}

// BLOCK:ADDRESS:PAGEVALUE:FILE, FILE holding the segment's little-endian words.
bool ParseNvmSegment(const std::string& text, ImageParts& parts, std::string& error) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        const size_t colon = text.find(':', start);
        if (colon == std::string::npos) break;
        fields.push_back(text.substr(start, colon - start));
        start = colon + 1;
    }
    fields.push_back(text.substr(start));
    if (fields.size() != 4) {
        error = "an NVM segment is BLOCK:ADDRESS:PAGEVALUE:FILE, not " + text;
        return false;
    }
    uint64_t block = 0;
    uint64_t address = 0;
    uint64_t pageValue = 0;
    if (!ParseUnsigned(fields[0], kNvmBlockCount - 1, block, "the NVM block", error) ||
        !ParseUnsigned(fields[1], (1u << kNvmAddressBits) - 1, address, "the NVM start address", error) ||
        !ParseUnsigned(fields[2], 7, pageValue, "the NVM page value", error)) {
        return false;
    }
    std::vector<uint8_t> bytes;
    if (!ReadBinaryFile(fields[3], bytes, error, "NVM segment file")) return false;
    if (bytes.size() % 4 != 0) {
        error = fields[3] + " does not hold whole 32-bit words";
        return false;
    }
    NvmSegment segment;
    segment.startAddress = static_cast<uint32_t>(address);
    segment.pageValue = static_cast<uint8_t>(pageValue);
    for (size_t i = 0; i < bytes.size(); i += 4) segment.words.push_back(GetLe(&bytes[i], 4));
    parts.nvm[block].present = true;
    parts.nvm[block].segments.push_back(std::move(segment));
    return true;
}

bool ParseEncrypt(const std::vector<std::string>& names, ImageParts& parts, std::string& error) {
    for (const std::string& name : names) {
        if (name == "array") {
            parts.encryptArray = true;
        } else if (name == "flashrom") {
            parts.encryptFlashRom = true;
        } else if (name.size() == 4 && name.rfind("nvm", 0) == 0 && name[3] >= '0' && name[3] <= '3') {
            parts.nvm[name[3] - '0'].encrypted = true;
        } else {
            error = "unknown part to encrypt: " + name + " (array, flashrom, nvm0 .. nvm3)";
            return false;
        }
    }
    return true;
}

bool PartsFromOptions(const ImageBuildOptions& options, ImageParts& parts, std::string& error) {
    if (options.demo) parts = DemoFpgaParts();
    std::optional<uint32_t> idCode;
    std::optional<uint8_t> variant;
    if (!ParseField(options.idCode, 0xFFFFFFFF, idCode, "the ID code", error) ||
        !ParseField(options.variant, 0xFF, variant, "the variant marker", error)) {
        return false;
    }
    // The engine knows the markers of M7 and M1 images; any other marker
    // would be neither, as 0 is.
    if (variant && *variant != 0 && *variant != kVariantM1 && *variant != kVariantM7) {
        error = "the variant marker is 7 (M7), 1 (M1) or 0 (neither), not \"" + options.variant + "\"";
        return false;
    }
    if (idCode) parts.idCode = *idCode;
    if (variant) parts.variantMarker = *variant;
    if (!options.demo && !idCode) {
        error = "give --idcode (or --demo)";
        return false;
    }
    if (!ReadPart(options.boundaryScanFile, "boundary-scan file", parts.boundaryScan, error) ||
        !ReadPart(options.arrayFile, "array rows file", parts.arrayRows, error) ||
        !ReadPart(options.rlockFile, "RLOCK row file", parts.rlock, error)) {
        return false;
    }
    std::optional<uint8_t> mask;
    if (!ParseField(options.flashRomMask, 0xFF, mask, "the FlashROM page mask", error)) return false;
    if (mask || !options.flashRomFile.empty()) {
        FlashRomParts flashRom = parts.flashRom.value_or(FlashRomParts{});
        if (mask) flashRom.mask = *mask;
        if (!options.flashRomFile.empty()) {
            std::vector<uint8_t> pages;
            if (!ReadBinaryFile(options.flashRomFile, pages, error, "FlashROM pages file",
                                kFlashRomPageCount * kFlashRomPageSize))
                return false;
            if (pages.size() != kFlashRomPageCount * kFlashRomPageSize) {
                error = options.flashRomFile + " must hold 8 pages of 16 bytes (128 bytes), page 0 first";
                return false;
            }
            for (size_t page = 0; page < kFlashRomPageCount; ++page) {
                std::memcpy(flashRom.pages[page].data(), &pages[page * kFlashRomPageSize], kFlashRomPageSize);
            }
        }
        parts.flashRom = flashRom;
    }
    if (options.noSecurity) {
        if (!options.userLock.empty() || !options.passKey.empty()) {
            error = "--no-security leaves out the security settings: give it without --user-lock and --pass-key";
            return false;
        }
        parts.userLock.reset();
        parts.passKey.reset();
    }
    if (!ParseField(options.silsig, 0xFFFFFFFF, parts.silsig, "the silicon signature", error) ||
        !ParseField(options.designChecksum, 0xFFFF, parts.designChecksum, "the design checksum", error) ||
        !ParseField(options.userLock, 0xFFFFFF, parts.userLock, "the user lock bits", error) ||
        !ParseKey(options.passKey, parts.passKey, "the pass key", error) ||
        !ParseKey(options.aesKey, parts.aesKey, "the AES key", error) ||
        !ParseKey(options.encryptionKey, parts.encryptionKey, "the encryption key", error)) {
        return false;
    }
    if (!options.designName.empty()) {
        if (options.designName.size() > kDesignNameSize) {
            error = "the design name holds at most 9 bytes, not " + std::to_string(options.designName.size());
            return false;
        }
        parts.designName = DesignNameFromText(options.designName);
    }
    for (const std::string& segment : options.nvmSegments) {
        if (!ParseNvmSegment(segment, parts, error)) return false;
    }
    if (!ParseEncrypt(options.encrypt, parts, error)) return false;
    if (!options.encrypt.empty() && (parts.userLock || parts.passKey)) {
        error = std::string(kEncryptedWithSecurity) +
                (options.demo && options.userLock.empty() && options.passKey.empty()
                     ? "; add --no-security to leave out the demo's"
                     : "; leave out --user-lock and --pass-key");
        return false;
    }
    return ParseField(options.supportFlags, 0xFFFF, parts.supportFlags, "the support flags", error);
}

}  // namespace

int RunImageInfo(const GlobalOptions& options, const std::string& file) {
    Reporter out(options, "image info");
    std::vector<uint8_t> bytes;
    std::string error;
    if (!ReadBinaryFile(file, bytes, error, "FPGA data image")) return out.Finish(kExitUsage, error);
    const ImageInfo info = InspectImage(bytes.data(), bytes.size());
    std::string report = FormatImageInfo(info, bytes.data(), bytes.size());
    if (!report.empty() && report.back() == '\n') report.pop_back();
    out.Say(report);
    // The errors are among the findings the report lists: a person reads
    // them there, a script also in the result's failure.
    size_t errors = 0;
    for (const Finding& finding : info.findings) errors += finding.severity == Severity::kError;
    const std::string failure = errors == 0 ? ""
                                : file + ": " + std::to_string(errors) +
                                      (errors == 1 ? " finding is an error" : " findings are errors");
    const int exitCode = errors == 0 ? kExitOk : kExitFailed;
    return out.Finish(exitCode, "", out.Result(exitCode, failure).Text("report", report));
}

int RunImageBuild(const GlobalOptions& global, const ImageBuildOptions& options) {
    Reporter out(global, "image build");
    ImageParts parts;
    std::vector<uint8_t> image;
    std::string error;
    if (!PartsFromOptions(options, parts, error)) return out.Finish(kExitUsage, error);
    if (!BuildImage(parts, image, error)) return out.Finish(kExitFailed, "cannot build the image: " + error);
    if (!WriteBinaryFile(options.output, image, error)) return out.Finish(kExitFailed, error);
    char flags[16];
    std::snprintf(flags, sizeof flags, "0x%04X", DeriveSupportFlags(parts));
    std::string report = options.output + ": " + std::to_string(image.size()) + " bytes, support flags " + flags +
                         " (" + SupportFlagWords(DeriveSupportFlags(parts)) + ")";
    // What the device needs to take the encrypted parts, in the simulated
    // board's terms.
    const uint32_t enable = EncryptionEnableBits(parts);
    const std::optional<Key128> key = parts.encryptionKey ? parts.encryptionKey : parts.aesKey;
    if (enable != 0 && key) {
        std::string hex;
        for (uint8_t byte : *key) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02X", byte);
            hex += pair;
        }
        char word[16];
        std::snprintf(word, sizeof word, "0x%06X", enable);
        report += "\nencrypted parts: the device must hold the AES key " + hex +
                  " and take encrypted data (security word " + word + "); on the simulated board: --simulate=aes-key=" +
                  hex + ",security=" + word;
    }
    out.Say(report);
    return out.Finish(kExitOk, "", out.Result(kExitOk, "").Text("report", report));
}

int RunImageScramble(const GlobalOptions& options, const std::string& input, const std::string& output,
                     bool scramble) {
    Reporter out(options, scramble ? "image scramble" : "image unscramble");
    std::vector<uint8_t> bytes;
    std::string error;
    // An embedded image is an FPGA data image or a serial-flash image, and
    // no serial flash is larger than the largest FPGA data image.
    if (!ReadBinaryFile(input, bytes, error, scramble ? "plain image" : "stored image", kMaxFpgaImageBytes))
        return out.Finish(kExitUsage, error);
    const uint32_t length = static_cast<uint32_t>(bytes.size());
    if (scramble) {
        EncodeData(bytes.data(), length);
    } else {
        DecodeData(bytes.data(), length);
    }
    if (!WriteBinaryFile(output, bytes, error)) return out.Finish(kExitFailed, error);
    return out.Finish(kExitOk);
}

}  // namespace vexu::cli
