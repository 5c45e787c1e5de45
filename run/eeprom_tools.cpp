#include "run/eeprom_tools.h"

#include <algorithm>
#include <functional>

#include "flash/flash_chips.h"
#include "flash/memory_owner.h"
#include "platform/trace.h"
#include "run/eeprom_job.h"

namespace {

constexpr uint8_t kErased = 0xFF;

const SerialFlashGeometry* ChipRow(const std::string& name) {
    for (const SerialFlashChip& chip : SerialFlashChips())
        if (name == chip.geometry.name) return &chip.geometry;
    return nullptr;
}

EepromChipInfo ChipInfo(const std::string& name, const CMemory& chip) {
    EepromChipInfo info;
    info.name = name;
    info.vendor = chip.GetVendor();
    info.pageSize = static_cast<uint32_t>(std::max(0, chip.GetVisualPageSize()));
    info.pages = static_cast<uint32_t>(std::max(0, chip.GetVisualPageCount()));
    info.bytes = info.pageSize * info.pages;
    if (const SerialFlashGeometry* row = ChipRow(name)) {
        info.sectorSize = static_cast<uint32_t>(row->sectorSize);
        info.sectors = static_cast<uint32_t>(row->sectorTotal);
    }
    return info;
}

// Serial-flash mode around work on the identified chip; the mode is left
// whenever it was entered.
EepromOutcome WithChip(const std::function<bool(CMemory&, EepromOutcome&)>& work) {
    EepromOutcome outcome;
    if (EntryEepromMode() != 1) {
        outcome.failure = kEepromEntryFailed;
        return outcome;
    }
    const std::string type = ReadEepromType();
    if (type.empty()) {
        outcome.failure = kEepromIdError;
        ExitEepromMode();
        return outcome;
    }
    CMemoryOwner owner;
    owner.Create(type);
    if (owner.Get()) {
        outcome.chip = ChipInfo(type, *owner.Get());
        outcome.ok = work(*owner.Get(), outcome);
    } else {
        outcome.failure = kEepromDeviceError;
    }
    ExitEepromMode();
    return outcome;
}

// Reads the first `bytes` bytes of the chip page by page and hands each
// page to take (its address, its bytes); progress counts the pages from
// `already` on. False with "Device Read Error" when a page cannot be read.
bool ReadPages(CMemory& chip, const EepromChipInfo& info, uint64_t bytes, EepromProgress& progress,
               uint64_t already, EepromOutcome& outcome,
               const std::function<void(uint32_t address, const uint8_t* data, uint32_t length)>& take) {
    std::vector<uint8_t> page(info.pageSize);
    const uint32_t pages = info.pageSize ? static_cast<uint32_t>((bytes + info.pageSize - 1) / info.pageSize) : 0;
    for (uint32_t index = 0; index < pages; ++index) {
        const uint32_t address = index * info.pageSize;
        const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(info.pageSize, bytes - address));
        std::fill(page.begin(), page.end(), 0);
        if (!chip.ReadVisualPage(static_cast<int>(index), reinterpret_cast<char*>(page.data()),
                                 static_cast<int>(length))) {
            outcome.failure = kEepromReadError;
            return false;
        }
        take(address, page.data(), length);
        progress.Done(already + index + 1);
    }
    return true;
}

// Counts where the chip's bytes differ from the expected ones.
void Compare(uint32_t address, const uint8_t* chip, const uint8_t* expected, uint32_t length,
             EepromDifference& difference) {
    for (uint32_t i = 0; i < length; ++i) {
        if (chip[i] == expected[i]) continue;
        if (!difference.first) difference.first = address + i;
        ++difference.differing;
    }
    difference.compared += length;
}

}  // namespace

EepromOutcome IdentifyEeprom() {
    return WithChip([](CMemory&, EepromOutcome&) { return true; });
}

EepromOutcome ReadEeprom(std::vector<uint8_t>& contents) {
    contents.clear();
    return WithChip([&contents](CMemory& chip, EepromOutcome& outcome) {
        const EepromChipInfo& info = outcome.chip;
        if (info.bytes == 0) {
            outcome.failure = kEepromDeviceError;
            return false;
        }
        vexu::Trace("\r\nRead Eeprom...");
        contents.assign(info.bytes, 0);
        EepromProgress progress(info.pages);
        return ReadPages(chip, info, info.bytes, progress, 0, outcome,
                         [&contents](uint32_t address, const uint8_t* data, uint32_t length) {
                             std::copy(data, data + length, contents.begin() + address);
                         });
    });
}

EepromOutcome VerifyEeprom(std::span<const uint8_t> image, EepromDifference& difference) {
    difference = {};
    if (image.empty()) {
        vexu::Trace("No Eeprom Data\r\n");
        return EepromOutcome{false, kEepromImageEmpty, {}};
    }
    return WithChip([&image, &difference](CMemory& chip, EepromOutcome& outcome) {
        const EepromChipInfo& info = outcome.chip;
        if (image.size() > info.bytes) {
            outcome.failure = kEepromImageTooLarge;
            return false;
        }
        vexu::Trace("\r\nRead And Check Eeprom...");
        const uint64_t pages = (image.size() + info.pageSize - 1) / info.pageSize;
        EepromProgress progress(pages);
        const bool read = ReadPages(chip, info, image.size(), progress, 0, outcome,
                                    [&image, &difference](uint32_t address, const uint8_t* data, uint32_t length) {
                                        Compare(address, data, image.data() + address, length, difference);
                                    });
        if (!read) return false;
        if (difference.differing != 0) {
            outcome.failure = kEepromCheckError;
            return false;
        }
        return true;
    });
}

EepromOutcome EraseEeprom(EepromDifference& notBlank) {
    notBlank = {};
    return WithChip([&notBlank](CMemory& chip, EepromOutcome& outcome) {
        const EepromChipInfo& info = outcome.chip;
        const SerialFlashGeometry* row = ChipRow(info.name);
        if (info.bytes == 0 || !row) {
            outcome.failure = kEepromDeviceError;
            return false;
        }
        // The erase fills the first half of the bar as its typical time
        // passes (never more while it lasts), the blank check the second.
        const uint64_t pages = info.pages;
        EepromProgress progress(2 * pages);
        vexu::Trace("\r\nErase Eeprom...");
        const bool erased = chip.EraseChip([&](uint32_t waitedMs) {
            const uint64_t typical = std::max<uint32_t>(1, row->bulkEraseTypicalMs);
            progress.Done(std::min<uint64_t>(pages - 1, pages * waitedMs / typical));
        });
        if (!erased) {
            outcome.failure = kEepromDeviceError;
            return false;
        }
        progress.Done(pages);
        vexu::Trace("\r\nBlank Check Eeprom...");
        const std::vector<uint8_t> blank(info.pageSize, kErased);
        const bool read = ReadPages(chip, info, info.bytes, progress, pages, outcome,
                                    [&blank, &notBlank](uint32_t address, const uint8_t* data, uint32_t length) {
                                        Compare(address, data, blank.data(), length, notBlank);
                                    });
        if (!read) return false;
        if (notBlank.differing != 0) {
            outcome.failure = kEepromBlankCheckError;
            return false;
        }
        return true;
    });
}
