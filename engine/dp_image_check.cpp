#include "engine/dp_image_check.h"

#include <algorithm>
#include <bit>
#include <map>

#include "engine/dp_array.h"
#include "engine/dp_flashrom.h"
#include "engine/dp_frame.h"
#include "engine/dp_identify.h"
#include "engine/dp_image.h"
#include "engine/dp_jtag.h"
#include "engine/dp_nvm.h"
#include "engine/dp_state.h"

namespace {

// ---- What each action reads ------------------------------------------------

// Parts of the image an action reads, beyond what every run reads (the
// boundary-scan data, the pass key and the AES key verification data, each
// when the image carries it).
enum Reads : uint16_t {
    kArrayRows = 1 << 0,           // block 5, when the image has array data
    kRlock = 1 << 1,               // block 6, likewise
    kFlashRomMask = 1 << 2,        // block 7, when the image has FlashROM data
    kFlashRomPages = 1 << 3,       // block 8, the pages the mask selects
    kPlainFlashRomOnly = 1 << 4,   // the FlashROM parts only when they are plain (a verify)
    kNvmWrite = 1 << 5,            // every NVM block the image has, as programmed
    kNvmCheck = 1 << 6,            // every plain NVM block, as verified
    kSecurityWrite = 1 << 7,       // pass key, user lock bits, AES key: when the image has security settings
    kUrow = 1 << 8,                // design name and checksum, when present: the UROW an erase programs back
    kSilsig = 1 << 9,              // silicon signature, when present
    kUserLock = 1 << 10,           // user lock bits, when present
};

struct ActionReads {
    uint8_t action;
    uint16_t reads;
};

constexpr ActionReads kActionReads[] = {
    {DP_ACTION_ERASE, kFlashRomMask | kUrow},
    {DP_ACTION_ERASE_ALL, kUrow},
    {DP_ACTION_PROGRAM,
     kArrayRows | kRlock | kFlashRomMask | kFlashRomPages | kNvmWrite | kSecurityWrite | kUrow | kSilsig},
    {DP_ACTION_VERIFY, kArrayRows | kFlashRomMask | kFlashRomPages | kPlainFlashRomOnly | kNvmCheck},
    {DP_ACTION_ENC_DATA_AUTHENTICATION, kArrayRows},
    {DP_ACTION_ERASE_ARRAY, kUrow},
    {DP_ACTION_PROGRAM_ARRAY, kArrayRows | kRlock | kUrow},
    {DP_ACTION_VERIFY_ARRAY, kArrayRows},
    {DP_ACTION_ERASE_FROM, kFlashRomMask | kUrow},
    {DP_ACTION_PROGRAM_FROM, kFlashRomMask | kFlashRomPages | kUrow},
    {DP_ACTION_VERIFY_FROM, kFlashRomMask | kFlashRomPages | kPlainFlashRomOnly},
    {DP_ACTION_ERASE_SECURITY, kUrow},
    {DP_ACTION_PROGRAM_SECURITY, kSecurityWrite | kUrow | kSilsig},
    {DP_ACTION_PROGRAM_NVM, kNvmWrite},
    {DP_ACTION_VERIFY_NVM, kNvmCheck},
    {DP_ACTION_VERIFY_DEVICE_INFO, kUserLock | kUrow},
};

uint16_t ReadsOf(uint8_t action) {
    for (const ActionReads& entry : kActionReads)
        if (entry.action == action) return entry.reads;
    return 0;
}

struct NamedBlock {
    uint8_t id;
    const char* name;
};

constexpr NamedBlock kBlockNames[] = {
    {DP_BLOCK_HEADER, "header"},
    {DP_BLOCK_DESIGN_NAME, "design name"},
    {DP_BLOCK_BSR, "boundary-scan register data"},
    {DP_BLOCK_SILSIG, "silicon signature"},
    {DP_BLOCK_CHECKSUM, "design checksum"},
    {DP_BLOCK_ARRAY_ROWS, "FPGA array rows"},
    {DP_BLOCK_RLOCK, "RLOCK row"},
    {DP_BLOCK_FROM_MASK, "FlashROM page mask"},
    {DP_BLOCK_FROM_PAGES, "FlashROM pages"},
    {9, "NVM 0 word counts"},
    {10, "NVM 0 segment count"},
    {11, "NVM 0 start addresses"},
    {12, "NVM 0 data"},
    {13, "NVM 0 page values / trailers"},
    {14, "NVM 1 word counts"},
    {15, "NVM 1 segment count"},
    {16, "NVM 1 start addresses"},
    {17, "NVM 1 data"},
    {18, "NVM 1 page values / trailers"},
    {19, "NVM 2 word counts"},
    {20, "NVM 2 segment count"},
    {21, "NVM 2 start addresses"},
    {22, "NVM 2 data"},
    {23, "NVM 2 page values / trailers"},
    {24, "NVM 3 word counts"},
    {25, "NVM 3 segment count"},
    {26, "NVM 3 start addresses"},
    {27, "NVM 3 data"},
    {28, "NVM 3 page values / trailers"},
    {DP_BLOCK_PASS_KEY, "pass key"},
    {DP_BLOCK_AES_KEY, "AES key"},
    {DP_BLOCK_AES_CHECK, "AES key verification data"},
    {DP_BLOCK_USER_LOCK, "user lock bits"},
};

constexpr uint64_t kKeyBytes = 16;
constexpr uint64_t kFlashRomPageBytes = DP_FROM_PAGE_BITS / 8;
constexpr uint64_t kNvmFrameBytes = DP_NVM_FRAME_BITS / 8;

// ---- The image as the engine sees it ---------------------------------------

// Reads as the engine reads: the header at offset 0, the directory from the
// position the header names, the first entry of an id wins, an offset of 0
// marks the block absent, and a byte beyond the image reads as 0.
class ImageView {
public:
    ImageView(const uint8_t* bytes, uint32_t size) : bytes_(bytes), size_(bytes ? size : 0) {}

    uint64_t Le(uint64_t at, unsigned count) const {
        uint64_t value = 0;
        for (unsigned i = 0; i < count; ++i)
            if (at + i < size_) value |= uint64_t{bytes_[at + i]} << (8 * i);
        return value;
    }
    // Where the block starts; 0 when the image lacks it.
    uint64_t Offset(uint8_t id) const {
        const uint64_t directory = Le(DP_HEADER_DIRECTORY_POSITION, 1);
        if (directory == 0) return 0;
        const uint64_t entries = Le(directory - 1, 1);
        for (uint64_t i = 0; i < entries; ++i) {
            const uint64_t entry = directory + DP_DIRECTORY_ENTRY_BYTES * i;
            if (entry >= size_) return 0;
            if (Le(entry, 1) == id) return Le(entry + 1, 4);
        }
        return 0;
    }
    // Bytes from offset to the end of the data, which stops before the CRC.
    uint64_t Available(uint64_t offset) const {
        const uint64_t dataEnd = size_ >= 2 ? size_ - 2 : 0;
        return offset != 0 && offset < dataEnd ? dataEnd - offset : 0;
    }

private:
    const uint8_t* bytes_;
    uint64_t size_;
};

// The blocks an action needs, each with the most bytes any of its steps
// takes and whether the action cannot do without it.
class Needs {
public:
    explicit Needs(const ImageView& image) : image_(image) {}

    void Add(uint8_t block, uint64_t bytes, bool required) {
        if (bytes == 0) return;
        DpBlockNeed& need = needs_[block];
        need.block = block;
        need.bytes = std::max(need.bytes, bytes);
        need.required = need.required || required;
    }
    // Whether the block is there with at least bytes of data, so that its
    // values may be read to learn what the next blocks must hold.
    bool Holds(uint8_t block, uint64_t bytes) const {
        const uint64_t offset = image_.Offset(block);
        return offset != 0 && image_.Available(offset) >= bytes;
    }
    std::vector<DpBlockNeed> List() const {
        std::vector<DpBlockNeed> list;
        for (const auto& entry : needs_) list.push_back(entry.second);
        return list;
    }

private:
    const ImageView& image_;
    std::map<uint8_t, DpBlockNeed> needs_;
};

uint64_t CeilBytes(uint64_t bits) { return (bits + 7) / 8; }

// NVM block k as programmed or verified: its segment count, then the tables
// of that many segments, then the data they describe. A table that is not
// there stops the walk; the problem is then that table's.
void AddNvm(Needs& needs, const ImageView& image, uint8_t k, bool encrypted, bool verify) {
    const uint8_t countBlock = dp_nvm_image_block(k, DP_NVM_SEGMENT_COUNT);
    needs.Add(countBlock, 2, true);
    if (!needs.Holds(countBlock, 2)) return;
    const uint64_t segments = image.Le(image.Offset(countBlock), 2);
    const uint8_t wordsBlock = dp_nvm_image_block(k, DP_NVM_WORD_COUNTS);
    needs.Add(wordsBlock, 4 * segments, true);
    if (!encrypted) needs.Add(dp_nvm_image_block(k, DP_NVM_START_ADDRESSES), CeilBytes(22 * segments), true);
    if (!encrypted && !verify) needs.Add(dp_nvm_image_block(k, DP_NVM_PAGE_VALUES), CeilBytes(3 * segments), true);
    if (!needs.Holds(wordsBlock, 4 * segments)) return;
    const uint64_t wordsAt = image.Offset(wordsBlock);
    uint64_t words = 0;
    uint64_t pages = 0;
    for (uint64_t s = 0; s < segments; ++s) {
        const uint64_t count = image.Le(wordsAt + 4 * s, 4);
        words += count;
        pages += count / DP_NVM_PAGE_WORDS;
    }
    const uint8_t dataBlock = dp_nvm_image_block(k, DP_NVM_DATA);
    if (encrypted) {
        needs.Add(dataBlock, pages * DP_NVM_FRAMES_PER_PAGE * kNvmFrameBytes, true);
        needs.Add(dp_nvm_image_block(k, DP_NVM_PAGE_VALUES), pages * kNvmFrameBytes, true);
    } else {
        needs.Add(dataBlock, words * (DP_NVM_WORD_BITS / 8), true);
    }
}

}  // namespace

std::vector<DpBlockNeed> dp_action_block_needs(const uint8_t* bytes, uint32_t size, uint8_t actionCode,
                                               uint32_t support, const DeviceIdRow& device) {
    const DpActionEntry* entry = dp_action_entry(actionCode);
    if (entry == nullptr) return {};
    const ImageView image(bytes, size);
    Needs needs(image);
    const uint16_t reads = ReadsOf(actionCode);
    const uint64_t plainRow = uint64_t{device.rowWidthFactor} * DP_PLAIN_ROW_BITS_PER_FACTOR / 8;
    const uint64_t encryptedRow = uint64_t{device.rowWidthFactor} * DP_ENCRYPTED_ROW_BITS_PER_FACTOR / 8;
    const bool arrayEncrypted = support & DP_SUPPORT_ARRAY_ENCRYPTED;
    const uint64_t rowBytes = arrayEncrypted ? encryptedRow : plainRow;
    const uint64_t userLockBytes = device.deviceClass == 2 ? 3 : 2;

    // Every run: loaded, matched and checked when the image carries them.
    needs.Add(DP_BLOCK_BSR, CeilBytes(device.boundaryScanLength), false);
    needs.Add(DP_BLOCK_PASS_KEY, kKeyBytes, false);
    needs.Add(DP_BLOCK_AES_CHECK, kKeyBytes, false);

    if (support & DP_SUPPORT_ARRAY) {
        if (reads & kArrayRows) needs.Add(DP_BLOCK_ARRAY_ROWS, uint64_t{device.arrayRowCount} * rowBytes, true);
        if (reads & kRlock) needs.Add(DP_BLOCK_RLOCK, rowBytes, true);
    }
    const bool flashRomEncrypted = support & DP_SUPPORT_FROM_ENCRYPTED;
    if ((support & DP_SUPPORT_FROM) && !((reads & kPlainFlashRomOnly) && flashRomEncrypted)) {
        if (reads & kFlashRomMask) needs.Add(DP_BLOCK_FROM_MASK, 1, true);
        if ((reads & kFlashRomPages) && needs.Holds(DP_BLOCK_FROM_MASK, 1)) {
            const uint64_t mask = image.Le(image.Offset(DP_BLOCK_FROM_MASK), 1);
            const uint64_t pageBytes = flashRomEncrypted ? 2 * kFlashRomPageBytes : kFlashRomPageBytes;
            needs.Add(DP_BLOCK_FROM_PAGES, static_cast<uint64_t>(std::popcount(mask)) * pageBytes, true);
        }
    }
    for (uint8_t k = 0; k < DP_NVM_BLOCKS; ++k) {
        if (!(support & DP_SUPPORT_NVM(k))) continue;
        const bool encrypted = support & DP_SUPPORT_NVM_ENCRYPTED(k);
        if (reads & kNvmWrite) AddNvm(needs, image, k, encrypted, false);
        if ((reads & kNvmCheck) && !encrypted) AddNvm(needs, image, k, false, true);
    }
    if ((reads & kSecurityWrite) && (support & DP_SUPPORT_SECURITY)) {
        needs.Add(DP_BLOCK_PASS_KEY, kKeyBytes, true);
        needs.Add(DP_BLOCK_USER_LOCK, userLockBytes, true);
        if (support & DP_SUPPORT_AES_KEY) {
            needs.Add(DP_BLOCK_AES_KEY, kKeyBytes, true);
            needs.Add(DP_BLOCK_AES_CHECK, kKeyBytes, true);
        }
    }
    if (reads & kUrow) {
        needs.Add(DP_BLOCK_DESIGN_NAME, DP_UROW_DESIGN_NAME_BYTES, false);
        needs.Add(DP_BLOCK_CHECKSUM, 2, false);
    }
    if (reads & kSilsig) needs.Add(DP_BLOCK_SILSIG, 4, false);
    if (reads & kUserLock) needs.Add(DP_BLOCK_USER_LOCK, userLockBytes, false);
    return needs.List();
}

std::vector<DpImageProblem> dp_check_action_blocks(const uint8_t* bytes, uint32_t size, uint8_t actionCode,
                                                   uint32_t support, const DeviceIdRow& device) {
    const ImageView image(bytes, size);
    std::vector<DpImageProblem> problems;
    for (const DpBlockNeed& need : dp_action_block_needs(bytes, size, actionCode, support, device)) {
        const uint64_t offset = image.Offset(need.block);
        if (offset == 0) {
            if (need.required) problems.push_back({DpImageProblem::kAbsent, need.block, 0, need.bytes, 0});
            continue;
        }
        const uint64_t available = image.Available(offset);
        if (available < need.bytes)
            problems.push_back({DpImageProblem::kOutside, need.block, offset, need.bytes, available});
    }
    return problems;
}

const char* dp_block_name(uint8_t id) {
    for (const NamedBlock& block : kBlockNames)
        if (block.id == id) return block.name;
    return "unknown block";
}

std::string dp_image_problem_text(const DpImageProblem& problem) {
    std::string text = "block " + std::to_string(problem.block) + " (" + dp_block_name(problem.block) + ")";
    if (problem.kind == DpImageProblem::kAbsent) return text + " is missing from the data file";
    return text + " runs past the end of the data file: it needs " + std::to_string(problem.needed) +
           (problem.needed == 1 ? " byte" : " bytes") + " from byte " + std::to_string(problem.offset) + ", " +
           std::to_string(problem.available) + (problem.available == 1 ? " is there" : " are there");
}

bool dp_check_image_for_action() {
    DpImageProblem& problem = g_dpState.imageProblem;
    problem = {};
    const DpActionEntry* entry = dp_action_entry(g_dpState.actionCode);
    const uint32_t support = g_dpState.supportFlags;
    // An unknown action, or one the image's support flags do not allow, is
    // the action check's and the dispatcher's to refuse, as always.
    if (entry == nullptr || !entry->accepted(support) || !entry->runnable(support)) return true;
    const uint32_t expected = dp_image_bytes(DP_BLOCK_HEADER, DP_HEADER_EXPECTED_ID, 4);
    const int row = FindDeviceIdRow(expected, expected);
    if (row < 0) return true;  // identification refuses this image
    const uint32_t size = static_cast<uint32_t>(std::min<uint64_t>(g_dpState.imageSize, g_dpState.loadedBytes));
    const std::vector<DpImageProblem> problems =
        dp_check_action_blocks(g_dpState.imageBase, size, g_dpState.actionCode, support, kDeviceIdTable[row]);
    if (problems.empty()) return true;
    problem = problems.front();
    if (problem.kind == DpImageProblem::kAbsent) {
        dp_trace_text("\r\nUser Error: Data file does not contain the data needed to support requested action.  "
                      "Check original STAPL file configuration.");
        dp_fail(DPE_IMAGE_LACKS_DATA);
    } else {
        dp_fail(DPE_IMAGE_BLOCK_OUTSIDE);
    }
    dp_trace_text(("\r\nData " + dp_image_problem_text(problem) + ".").c_str());
    return false;
}
