#include "sim/spi_flash.h"

#include <algorithm>
#include <array>

#include "platform/clock.h"

namespace vexu::sim {

namespace {

constexpr std::array<FlashChip, 4> kChips{{
    {"M25P20", 0x40000, 0x11, {0x20, 0x20, 0x12}, 800, 600'000, 3'000'000},
    {"M25P40", 0x80000, 0x12, {0x20, 0x20, 0x13}, 800, 600'000, 4'500'000},
    {"M25P80", 0x100000, 0x13, {0x20, 0x20, 0x14}, 640, 600'000, 8'000'000},
    {"TS25L80P", 0x100000, 0x14, {0x20, 0x20, 0x14}, 800, 600'000, 8'000'000},
}};

constexpr uint8_t kReleased = 0xFF;  // MISO while the chip does not drive it
constexpr uint32_t kAddressBytes = 3;
constexpr uint32_t kResDummyBytes = 3;

}  // namespace

std::span<const FlashChip> FlashChips() { return kChips; }

const FlashChip* FindFlashChip(std::string_view name) {
    for (const FlashChip& chip : kChips)
        if (name == chip.name) return &chip;
    return nullptr;
}

SpiFlash::SpiFlash(const FlashChip& chip, uint8_t fill)
    : chip_(chip), memory_(chip.size, fill), pageData_(kFlashPageSize), pageWritten_(kFlashPageSize) {}

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
    return static_cast<uint8_t>((busy_ ? kFlashStatusWip : 0) | (wel_ ? kFlashStatusWel : 0));
}

void SpiFlash::Select() {
    selected_ = true;
    ignored_ = false;
    opcode_ = 0;
    bytes_ = 0;
    address_ = 0;
    pageBytes_ = 0;
}

uint8_t SpiFlash::Transfer(uint8_t mosi) {
    if (!selected_) return kReleased;
    const uint32_t index = bytes_++;
    if (index == 0) {
        opcode_ = mosi;
        ignored_ = Busy() && opcode_ != kFlashReadStatus;
        if (opcode_ == kFlashPageProgram) std::fill(pageWritten_.begin(), pageWritten_.end(), false);
        return kReleased;
    }
    if (ignored_) return kReleased;
    const bool addressByte = index <= kAddressBytes;
    if (addressByte && (opcode_ == kFlashRead || opcode_ == kFlashPageProgram || opcode_ == kFlashSectorErase))
        address_ = ((address_ << 8) | mosi) & 0xFFFFFF;
    switch (opcode_) {
        case kFlashReadStatus:
            CountStatusRead();
            return Status();
        case kFlashReadId:
            return index <= 3 ? chip_.jedecId[index - 1] : 0x00;
        case kFlashReleaseSignature:
            return index > kResDummyBytes ? chip_.resSignature : kReleased;
        case kFlashRead:
            if (addressByte) return kReleased;
            return memory_[(address_ + index - kAddressBytes - 1) % chip_.size];
        case kFlashPageProgram:
            if (!addressByte) {
                // Bytes past the end of the page wrap to its start, so of
                // more than 256 bytes the last 256 remain.
                const uint32_t offset = (address_ + pageBytes_++) % kFlashPageSize;
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
    switch (opcode_) {
        case kFlashWriteEnable:
            if (bytes_ == 1) wel_ = true;
            break;
        case kFlashWriteDisable:
            if (bytes_ == 1) wel_ = false;
            break;
        case kFlashPageProgram:
            if (wel_ && bytes_ > 1 + kAddressBytes) ExecutePageProgram();
            break;
        case kFlashSectorErase:
            if (wel_ && bytes_ == 1 + kAddressBytes) ExecuteSectorErase();
            break;
        case kFlashBulkErase:
            if (wel_ && bytes_ == 1) ExecuteBulkErase();
            break;
        default:
            break;
    }
}

void SpiFlash::ExecutePageProgram() {
    const uint32_t page = (address_ % chip_.size) / kFlashPageSize;
    const uint32_t base = page * kFlashPageSize;
    for (uint32_t offset = 0; offset < kFlashPageSize; ++offset)
        if (pageWritten_[offset]) memory_[base + offset] &= pageData_[offset];
    if (bitErrorPage_ && *bitErrorPage_ == page) memory_[base] ^= 0x01;
    ++programs_;
    StartBusy(chip_.pageProgramUs, programWait_, eraseWait_);
}

void SpiFlash::Erase(uint32_t base, uint32_t length) {
    std::fill(memory_.begin() + base, memory_.begin() + base + length, 0xFF);
    if (eraseFailPage_) {
        const uint32_t worn = *eraseFailPage_ * kFlashPageSize;
        if (worn >= base && worn < base + length) memory_[worn] &= 0xFE;
    }
}

void SpiFlash::ExecuteSectorErase() {
    Erase((address_ % chip_.size) / kFlashSectorSize * kFlashSectorSize, kFlashSectorSize);
    ++erases_;
    StartBusy(chip_.sectorEraseUs, eraseWait_, programWait_);
}

void SpiFlash::ExecuteBulkErase() {
    Erase(0, chip_.size);
    ++erases_;
    StartBusy(chip_.bulkEraseUs, eraseWait_, programWait_);
}

}  // namespace vexu::sim
