#include "sim/spi_flash.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "platform/clock.h"

namespace vexu::sim {

namespace {

constexpr uint8_t kReleased = 0xFF;  // MISO while the chip does not drive it
constexpr uint32_t kResDummyBytes = 3;
constexpr uint32_t kBlockShift = 16;
constexpr uint32_t kBlockBytes = 1u << kBlockShift;

FlashChip ChipOf(const FlashPart& part) {
    FlashChip chip{&part, part.name, part.size, part.signature ? part.signature : kReleased,
                   {part.maker, part.type, part.capacity}, part.programUs.typical, 0,
                   part.chipEraseMs.typical * 1000};
    for (const FlashErase& erase : part.erase)
        if (erase.opcode == kFlashSectorErase) chip.sectorEraseUs = erase.ms.typical * 1000;
    return chip;
}

const std::vector<FlashChip>& Chips() {
    static const std::vector<FlashChip> chips = [] {
        std::vector<FlashChip> all;
        for (const FlashPart& part : FlashParts()) all.push_back(ChipOf(part));
        return all;
    }();
    return chips;
}

// --- SFDP, as JESD216B lays it out --------------------------------------------

constexpr uint32_t kSfdpTableAt = 0x30;
constexpr uint32_t kSfdpDwords = 16;

// (count + 1) units: the smallest unit in which count fits five bits.
void EncodeTime(uint32_t value, std::span<const uint32_t> units, uint32_t& count, uint32_t& unit) {
    for (unit = 0; unit + 1 < units.size(); ++unit)
        if ((value + units[unit] - 1) / units[unit] <= 32) break;
    count = std::clamp<uint32_t>((value + units[unit] - 1) / units[unit], 1, 32) - 1;
}

uint32_t Multiplier(uint32_t typical, uint32_t max) {
    // max = 2 * (m + 1) * typical
    return typical ? std::clamp<uint32_t>(max / (2 * typical), 1, 16) - 1 : 0;
}

void PutDword(std::vector<uint8_t>& image, uint32_t number, uint32_t value) {
    const uint32_t at = kSfdpTableAt + (number - 1) * 4;
    for (int i = 0; i < 4; ++i) image[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

std::span<const FlashChip> FlashChips() { return Chips(); }

const FlashChip* FindFlashChip(std::string_view name) {
    for (const FlashChip& chip : Chips())
        if (name == chip.name) return &chip;
    return nullptr;
}

std::vector<uint8_t> SfdpImage(const FlashPart& part) {
    if (!part.sfdp) return {};
    std::vector<uint8_t> image(kSfdpTableAt + kSfdpDwords * 4, 0xFF);
    const uint8_t header[] = {'S', 'F', 'D', 'P', 6, 1, 0, 0xFF,  // JESD216B, one parameter header
                              0x00, 6, 1, kSfdpDwords, kSfdpTableAt, 0, 0, 0xFF};
    std::copy(std::begin(header), std::end(header), image.begin());
    const FlashErase& smallest = SmallestErase(part);
    const bool has4K = smallest.size == 4096;
    const uint32_t addressModes = part.addressBytes == 4 ? 1 : 0;
    PutDword(image, 1, 0xFF800000u | (addressModes << 17) | (uint32_t{has4K ? smallest.opcode : uint8_t{0xFF}} << 8) |
                           (1u << 2) | (has4K ? 1u : 3u));
    PutDword(image, 2, part.size * 8 - 1);
    for (uint32_t number = 3; number <= 7; ++number) PutDword(image, number, 0);
    uint32_t types[4] = {};
    for (int i = 0; i < kMaxEraseTypes; ++i)
        if (part.erase[i].size)
            types[i] = static_cast<uint32_t>(std::countr_zero(part.erase[i].size)) | (part.erase[i].opcode << 8);
    PutDword(image, 8, types[0] | (types[1] << 16));
    PutDword(image, 9, types[2] | (types[3] << 16));
    constexpr uint32_t kEraseUnits[] = {1, 16, 128, 1000};
    const FlashErase& largest = LargestErase(part);
    uint32_t d10 = Multiplier(largest.ms.typical, largest.ms.max);
    const int low[3] = {4, 11, 18};
    for (int i = 0; i < kMaxEraseTypes; ++i) {
        if (!part.erase[i].size) continue;
        uint32_t count = 0, unit = 0;
        EncodeTime(part.erase[i].ms.typical, kEraseUnits, count, unit);
        d10 |= (count << low[i]) | (unit << (low[i] + 5));
    }
    PutDword(image, 10, d10);
    constexpr uint32_t kProgramUnits[] = {8, 64};
    constexpr uint32_t kChipUnits[] = {16, 256, 4000, 64000};
    uint32_t programCount = 0, programUnit = 0, chipCount = 0, chipUnit = 0;
    EncodeTime(part.programUs.typical, kProgramUnits, programCount, programUnit);
    EncodeTime(part.chipEraseMs.typical, kChipUnits, chipCount, chipUnit);
    PutDword(image, 11, Multiplier(part.programUs.typical, part.programUs.max) |
                            (static_cast<uint32_t>(std::countr_zero(part.pageSize)) << 4) | (programCount << 8) |
                            (programUnit << 13) | (chipCount << 24) | (chipUnit << 29));
    for (uint32_t number = 12; number <= kSfdpDwords; ++number) PutDword(image, number, 0);
    return image;
}

SpiFlash::SpiFlash(const FlashChip& chip, uint8_t fill)
    : chip_(chip),
      fill_(fill),
      blocks_((chip.size + kBlockBytes - 1) / kBlockBytes),
      blockValue_(blocks_.size(), fill),
      jedecId_{chip.jedecId[0], chip.jedecId[1], chip.jedecId[2]},
      sfdp_(SfdpImage(*chip.part)),
      locks_(chip.part->sectorLocks ? chip.size / kLockSectorSize : 0),
      pageData_(chip.part->pageSize),
      pageWritten_(chip.part->pageSize) {}

SpiFlash::~SpiFlash() = default;

void SpiFlash::SetJedecId(uint8_t maker, uint8_t type, uint8_t capacity) {
    jedecId_[0] = maker;
    jedecId_[1] = type;
    jedecId_[2] = capacity;
}

const std::vector<uint8_t>& SpiFlash::Contents() const {
    if (flat_.empty()) {
        flat_.resize(chip_.size);
        for (uint32_t block = 0; block < blocks_.size(); ++block) {
            const uint32_t base = block * kBlockBytes;
            const uint32_t length = std::min(kBlockBytes, chip_.size - base);
            if (blocks_[block])
                std::copy(blocks_[block].get(), blocks_[block].get() + length, flat_.begin() + base);
            else
                std::fill(flat_.begin() + base, flat_.begin() + base + length, blockValue_[block]);
        }
        blocks_.clear();
        blockValue_.clear();
    }
    return flat_;
}

std::vector<uint8_t>& SpiFlash::MutableContents() {
    Contents();
    return flat_;
}

uint8_t SpiFlash::ByteAt(uint32_t address) const {
    if (!flat_.empty()) return flat_[address];
    const std::unique_ptr<uint8_t[]>& block = blocks_[address >> kBlockShift];
    return block ? block[address & (kBlockBytes - 1)] : blockValue_[address >> kBlockShift];
}

uint8_t& SpiFlash::Cell(uint32_t address) {
    if (!flat_.empty()) return flat_[address];
    std::unique_ptr<uint8_t[]>& block = blocks_[address >> kBlockShift];
    if (!block) {
        block = std::make_unique<uint8_t[]>(kBlockBytes);
        memset(block.get(), blockValue_[address >> kBlockShift], kBlockBytes);
    }
    return block[address & (kBlockBytes - 1)];
}

void SpiFlash::Settle() {
    if (busy_ && !stuckBusy_ && GetClock().NowUs() >= busyUntilUs_) {
        busy_ = false;
        wel_ = false;
    }
}

void SpiFlash::StartBusy(uint32_t us, CountedWait& counted, CountedWait& other) {
    busy_ = true;
    busyUntilUs_ = GetClock().NowUs() + uint64_t{us} * busyPercent_ / 100;
    counted.Started();
    other.Cancel();
}

// A status read while an operation counted in polls is in progress holds
// it busy, or ends it now.
void SpiFlash::CountStatusRead() {
    for (CountedWait* counted : {&eraseWait_, &programWait_}) {
        switch (counted->Read()) {
            case CountedWait::Answer::kNotCounted: break;
            case CountedWait::Answer::kBusy:
                busy_ = true;
                busyUntilUs_ = UINT64_MAX;
                break;
            case CountedWait::Answer::kReady: busyUntilUs_ = GetClock().NowUs(); break;
        }
    }
}

bool SpiFlash::Busy() {
    Settle();
    return busy_;
}

uint8_t SpiFlash::Status() {
    Settle();
    return static_cast<uint8_t>(statusBits_ | (busy_ ? kFlashStatusWip : 0) | (wel_ ? kFlashStatusWel : 0));
}

const FlashErase* SpiFlash::EraseType(uint8_t opcode, bool& fourByte) const {
    for (const FlashErase& erase : chip_.part->erase) {
        if (!erase.size) continue;
        if (erase.opcode == opcode) {
            fourByte = false;
            return &erase;
        }
        if (chip_.part->addressBytes == 4 && erase.opcode4 != 0 && erase.opcode4 == opcode) {
            fourByte = true;
            return &erase;
        }
    }
    return nullptr;
}

// Address bytes of the current instruction; 0 for one that has none.
uint32_t SpiFlash::AddressBytes() const {
    const bool four = chip_.part->addressBytes == 4;
    switch (opcode_) {
        case kFlashRead:
        case kFlashPageProgram:
        case kFlashReadSfdp: return 3;
        case kFlashReadSectorLock:
        case kFlashWriteSectorLock: return locks_.empty() ? 0 : chip_.part->addressBytes;
        case kFlashRead4:
        case kFlashPageProgram4: return four ? 4 : 0;
        default: break;
    }
    bool fourByte = false;
    if (EraseType(opcode_, fourByte)) return fourByte ? 4 : 3;
    return 0;
}

bool SpiFlash::Protected(uint32_t base, uint32_t length) const {
    const ProtectedRange range = ProtectedBytes(*chip_.part, statusBits_);
    if (range.length != 0 && base < range.first + range.length && range.first < base + length) return true;
    for (uint32_t sector = base / kLockSectorSize; sector < locks_.size() && sector * kLockSectorSize < base + length;
         ++sector)
        if (locks_[sector] & kSectorLocked) return true;
    return false;
}

void SpiFlash::Select() {
    selected_ = true;
    ignored_ = false;
    opcode_ = 0;
    bytes_ = 0;
    addressBytes_ = 0;
    address_ = 0;
    pageBytes_ = 0;
}

uint8_t SpiFlash::Transfer(uint8_t mosi) {
    if (!selected_) return kReleased;
    const uint32_t index = bytes_++;
    if (index == 0) {
        opcode_ = mosi;
        ignored_ = Busy() && opcode_ != kFlashReadStatus;
        addressBytes_ = AddressBytes();
        if ((opcode_ == kFlashRead4 || opcode_ == kFlashPageProgram4) && addressBytes_ == 0) ignored_ = true;
        if (opcode_ == kFlashReadSfdp && sfdp_.empty()) ignored_ = true;
        if ((opcode_ == kFlashReadSectorLock || opcode_ == kFlashWriteSectorLock) && locks_.empty()) ignored_ = true;
        if (opcode_ == kFlashPageProgram || opcode_ == kFlashPageProgram4)
            std::fill(pageWritten_.begin(), pageWritten_.end(), false);
        if (!ignored_ && (opcode_ == kFlashRead || opcode_ == kFlashRead4)) ++reads_;
        return kReleased;
    }
    if (ignored_) return kReleased;
    const bool addressByte = index <= addressBytes_;
    if (addressByte) address_ = (address_ << 8) | mosi;
    const uint32_t header = 1 + addressBytes_;
    switch (opcode_) {
        case kFlashReadStatus:
            CountStatusRead();
            return Status();
        case kFlashWriteStatus:
            if (index == 1) newStatus_ = mosi;
            return kReleased;
        case kFlashReadId:
            return index <= 3 ? jedecId_[index - 1] : 0x00;
        case kFlashReadSectorLock:
            return addressByte ? kReleased : locks_[(address_ % chip_.size) / kLockSectorSize];
        case kFlashWriteSectorLock:
            if (index == header) newStatus_ = mosi;
            return kReleased;
        case kFlashReleaseSignature:
            return index > kResDummyBytes ? chip_.resSignature : kReleased;
        case kFlashReadSfdp: {
            if (index <= header) return kReleased;  // address and the dummy byte
            const uint32_t at = address_ + index - header - 1;
            return at < sfdp_.size() ? sfdp_[at] : kReleased;
        }
        case kFlashRead:
        case kFlashRead4: {
            if (addressByte) return kReleased;
            const uint32_t offset = index - header;
            uint8_t value = ByteAt((address_ + offset) % chip_.size);
            if (flakyReads_ && offset == 0 && reads_ % 2 == 0) value ^= 0x01;
            return value;
        }
        case kFlashPageProgram:
        case kFlashPageProgram4:
            if (!addressByte) {
                // Bytes past the end of the page wrap to its start, so of
                // more than a page the last page's worth remains.
                const uint32_t pageSize = chip_.part->pageSize;
                const uint32_t offset = (address_ + pageBytes_++) % pageSize;
                pageData_[offset] = mosi;
                pageWritten_[offset] = true;
            }
            return kReleased;
        default:
            return kReleased;
    }
}

void SpiFlash::Deselect() {
    if (!selected_) return;
    selected_ = false;
    if (ignored_ || bytes_ == 0) return;
    const uint32_t header = 1 + addressBytes_;
    bool fourByte = false;
    switch (opcode_) {
        case kFlashWriteEnable:
            if (bytes_ == 1) wel_ = true;
            return;
        case kFlashWriteDisable:
            if (bytes_ == 1) wel_ = false;
            return;
        case kFlashWriteStatus:
            if (wel_ && (bytes_ == 2 || bytes_ == 3)) {
                statusBits_ = static_cast<uint8_t>(newStatus_ & ~(kFlashStatusWip | kFlashStatusWel));
                ++statusWrites_;
                busy_ = true;
                busyUntilUs_ = GetClock().NowUs() + uint64_t{chip_.part->statusWriteMs.typical} * 1000 * busyPercent_ / 100;
            }
            return;
        case kFlashPageProgram:
        case kFlashPageProgram4:
            if (wel_ && bytes_ > header) ExecutePageProgram();
            return;
        case kFlashWriteSectorLock:
            if (wel_ && bytes_ == header + 1) {
                locks_[(address_ % chip_.size) / kLockSectorSize] = newStatus_ & kSectorLocked;
                wel_ = false;
            }
            return;
        case kFlashBulkErase:
        case kFlashBulkErase60:
            if (wel_ && bytes_ == 1) ExecuteBulkErase();
            return;
        default:
            break;
    }
    if (const FlashErase* erase = EraseType(opcode_, fourByte); erase && wel_ && bytes_ == header)
        ExecuteErase(*erase);
}

void SpiFlash::ExecutePageProgram() {
    const uint32_t pageSize = chip_.part->pageSize;
    const uint32_t page = (address_ % chip_.size) / pageSize;
    const uint32_t base = page * pageSize;
    if (Protected(base, pageSize)) {
        wel_ = false;  // a protected page is left as it is
        return;
    }
    for (uint32_t offset = 0; offset < pageSize; ++offset)
        if (pageWritten_[offset]) Cell(base + offset) &= pageData_[offset];
    if (bitErrorPage_ && *bitErrorPage_ == page) Cell(base) ^= 0x01;
    ++programs_;
    StartBusy(chip_.pageProgramUs, programWait_, eraseWait_);
}

void SpiFlash::Erase(uint32_t base, uint32_t length) {
    for (uint32_t at = base; at < base + length;) {
        const uint32_t block = at >> kBlockShift;
        if (flat_.empty() && at % kBlockBytes == 0 && base + length - at >= kBlockBytes) {
            blocks_[block].reset();  // a whole erased block holds nothing
            blockValue_[block] = 0xFF;
            at += kBlockBytes;
            continue;
        }
        const uint32_t end = std::min(base + length, (block + 1) * kBlockBytes);
        for (; at < end; ++at) Cell(at) = 0xFF;
    }
    if (eraseFailPage_) {
        const uint32_t worn = *eraseFailPage_ * chip_.part->pageSize;
        if (worn >= base && worn < base + length) Cell(worn) &= 0xFE;
    }
}

void SpiFlash::ExecuteErase(const FlashErase& erase) {
    const uint32_t base = (address_ % chip_.size) / erase.size * erase.size;
    if (Protected(base, erase.size)) {
        wel_ = false;
        return;
    }
    Erase(base, erase.size);
    ++erases_;
    StartBusy(erase.ms.typical * 1000, eraseWait_, programWait_);
}

void SpiFlash::ExecuteBulkErase() {
    if (Protected(0, chip_.size)) {
        wel_ = false;  // any protected block or locked sector stops a bulk erase
        return;
    }
    Erase(0, chip_.size);
    ++erases_;
    StartBusy(chip_.bulkEraseUs, eraseWait_, programWait_);
}

}  // namespace vexu::sim
