#include "run/eeprom_tools.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include "flash/memory_owner.h"
#include "platform/trace.h"
#include "run/eeprom_job.h"

namespace {

constexpr uint8_t kErased = 0xFF;

EepromChipInfo ChipInfo(const EepromIdentity& identity, const CMemory& chip) {
    EepromChipInfo info;
    info.name = identity.name;
    info.vendor = chip.GetVendor();
    info.pageSize = static_cast<uint32_t>(std::max(0, chip.GetVisualPageSize()));
    info.pages = static_cast<uint32_t>(std::max(0, chip.GetVisualPageCount()));
    info.bytes = info.pageSize * info.pages;
    if (identity.part) {
        const FlashErase& largest = LargestErase(*identity.part);
        info.sectorSize = largest.size;
        info.sectors = largest.size ? identity.part->size / largest.size : 0;
        info.eraseUnit = chip.EraseUnitSize();
    }
    if (identity.idRead) info.jedecId = FormatJedecId(identity.id[0], identity.id[1], identity.id[2]);
    info.sfdpOnly = identity.sfdpOnly;
    info.sfdp = identity.sfdp;
    if (identity.sfdpOnly && identity.part) {
        FlashPart row = *identity.part;
        row.name = info.name.c_str();
        info.tableRow = FormatTableRow(row);
    }
    return info;
}

// Serial-flash mode around work on the identified chip; the mode is left
// whenever it was entered. Block protection is checked before work and
// restored after it when protect is set (work that erases or writes).
EepromOutcome WithChip(const EepromJobOptions& options, bool protect,
                       const std::function<bool(CMemory&, EepromOutcome&)>& work) {
    EepromOutcome outcome;
    if (EntryEepromMode() != 1) {
        outcome.failure = kEepromEntryFailed;
        return outcome;
    }
    const EepromIdentity identity = IdentifyEepromChip(options.allowSfdpChip);
    if (identity.name.empty() || !identity.part) {
        outcome.failure = identity.failure.empty() ? std::string(kEepromIdError) : identity.failure;
        ExitEepromMode();
        return outcome;
    }
    outcome.findings.sfdpChip = identity.sfdpOnly;
    CMemoryOwner owner;
    owner.Create(*identity.part, identity.name, options.timing);
    if (!owner.Get()) {
        outcome.failure = kEepromDeviceError;
    } else {
        outcome.chip = ChipInfo(identity, *owner.Get());
        if (protect && !PrepareProtection(*owner.Get(), options, outcome.findings, outcome.failure)) {
            outcome.ok = false;
        } else {
            outcome.ok = work(*owner.Get(), outcome);
            std::string failure;
            if (protect && !RestoreProtection(*owner.Get(), options, outcome.findings, failure) && outcome.ok) {
                outcome.ok = false;
                outcome.failure = failure;
            }
        }
    }
    ExitEepromMode();
    return outcome;
}

// Reads length bytes from chip address `first` (a page boundary) page by
// page and hands each page to take (its address, its bytes); progress counts
// the pages from `already` on. With twice, every page is read a second time
// and two readings that differ fail with "Device Read Unstable". False with
// "Device Read Error" when a page cannot be read.
bool ReadPages(CMemory& chip, const EepromChipInfo& info, uint32_t first, uint64_t length, bool twice,
               EepromProgress& progress, uint64_t already, EepromOutcome& outcome,
               const std::function<void(uint32_t address, const uint8_t* data, uint32_t length)>& take) {
    std::vector<uint8_t> page(info.pageSize);
    std::vector<uint8_t> again(info.pageSize);
    const uint32_t firstPage = info.pageSize ? first / info.pageSize : 0;
    const uint32_t pages = info.pageSize ? static_cast<uint32_t>((length + info.pageSize - 1) / info.pageSize) : 0;
    for (uint32_t index = 0; index < pages; ++index) {
        const uint32_t address = first + index * info.pageSize;
        const uint32_t bytes = static_cast<uint32_t>(std::min<uint64_t>(info.pageSize, first + length - address));
        const int number = static_cast<int>(firstPage + index);
        std::fill(page.begin(), page.end(), 0);
        if (!chip.ReadVisualPage(number, reinterpret_cast<char*>(page.data()), static_cast<int>(bytes))) {
            outcome.failure = kEepromReadError;
            return false;
        }
        if (twice) {
            std::fill(again.begin(), again.end(), 0);
            if (!chip.ReadVisualPage(number, reinterpret_cast<char*>(again.data()), static_cast<int>(bytes))) {
                outcome.failure = kEepromReadError;
                return false;
            }
            if (memcmp(page.data(), again.data(), bytes) != 0) {
                char where[96];
                snprintf(where, sizeof where, ": page %d (0x%06X) read differently twice", number, address);
                outcome.failure = std::string(kEepromReadUnstable) + where;
                vexu::Trace(outcome.failure + "\r\n");
                return false;
            }
        }
        take(address, page.data(), bytes);
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

bool RangeFits(uint64_t offset, uint64_t length, const EepromChipInfo& info, EepromOutcome& outcome) {
    if (offset <= info.bytes && length <= info.bytes - offset) return true;
    char text[160];
    snprintf(text, sizeof text, "%s: %llu bytes at 0x%06llX leave the chip of %u bytes", kEepromRangeError,
             static_cast<unsigned long long>(length), static_cast<unsigned long long>(offset), info.bytes);
    outcome.failure = text;
    return false;
}

}  // namespace

EepromOutcome IdentifyEeprom() {
    EepromJobOptions options;
    options.allowSfdpChip = true;  // only shown, never written
    return WithChip(options, false, [](CMemory&, EepromOutcome&) { return true; });
}

EepromOutcome ReadEeprom(std::vector<uint8_t>& contents, const EepromJobOptions& options) {
    return ReadEepromRange(contents, 0, 0, options);
}

EepromOutcome ReadEepromRange(std::vector<uint8_t>& contents, uint64_t offset, uint64_t length,
                              const EepromJobOptions& options) {
    contents.clear();
    return WithChip(options, false, [&](CMemory& chip, EepromOutcome& outcome) {
        const EepromChipInfo& info = outcome.chip;
        if (info.bytes == 0) {
            outcome.failure = kEepromDeviceError;
            return false;
        }
        const uint64_t bytes = length ? length : (offset < info.bytes ? info.bytes - offset : 0);
        if (!RangeFits(offset, bytes, info, outcome)) return false;
        vexu::Trace("\r\nRead Eeprom...");
        // Whole pages are read; the range is cut from them.
        const uint32_t first = static_cast<uint32_t>(offset / info.pageSize * info.pageSize);
        const uint64_t span = offset + bytes - first;
        std::vector<uint8_t> pages(span, 0);
        EepromProgress progress((span + info.pageSize - 1) / info.pageSize);
        if (!ReadPages(chip, info, first, span, true, progress, 0, outcome,
                       [&pages, first](uint32_t address, const uint8_t* data, uint32_t n) {
                           std::copy(data, data + n, pages.begin() + (address - first));
                       }))
            return false;
        contents.assign(pages.begin() + (offset - first), pages.begin() + (offset - first) + bytes);
        return true;
    });
}

EepromOutcome VerifyEeprom(std::span<const uint8_t> image, EepromDifference& difference,
                           const EepromJobOptions& options) {
    difference = {};
    if (image.empty()) {
        vexu::Trace("No Eeprom Data\r\n");
        return EepromOutcome{false, kEepromImageEmpty, {}, {}};
    }
    return WithChip(options, false, [&image, &difference](CMemory& chip, EepromOutcome& outcome) {
        const EepromChipInfo& info = outcome.chip;
        if (image.size() > info.bytes) {
            outcome.failure = kEepromImageTooLarge;
            return false;
        }
        vexu::Trace("\r\nRead And Check Eeprom...");
        const uint64_t pages = (image.size() + info.pageSize - 1) / info.pageSize;
        EepromProgress progress(pages);
        const bool read = ReadPages(chip, info, 0, image.size(), false, progress, 0, outcome,
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

EepromOutcome EraseEeprom(EepromDifference& notBlank, const EepromJobOptions& options) {
    notBlank = {};
    const FlashPart* row = nullptr;
    return WithChip(options, true, [&notBlank, &row](CMemory& chip, EepromOutcome& outcome) {
        const EepromChipInfo& info = outcome.chip;
        row = FindFlashPart(info.name);
        const uint32_t typicalMs = row ? row->chipEraseMs.typical : 0;
        if (info.bytes == 0) {
            outcome.failure = kEepromDeviceError;
            return false;
        }
        // The erase fills the first half of the bar as its typical time
        // passes (never more while it lasts), the blank check the second.
        const uint64_t pages = info.pages;
        EepromProgress progress(2 * pages);
        vexu::Trace("\r\nErase Eeprom...");
        const bool erased = chip.EraseChip([&](uint32_t waitedMs) {
            const uint64_t typical = std::max<uint32_t>(1, typicalMs);
            progress.Done(std::min<uint64_t>(pages - 1, pages * waitedMs / typical));
        });
        if (!erased) {
            outcome.failure = kEepromDeviceError;
            return false;
        }
        progress.Done(pages);
        vexu::Trace("\r\nBlank Check Eeprom...");
        const std::vector<uint8_t> blank(info.pageSize, kErased);
        const bool read = ReadPages(chip, info, 0, info.bytes, false, progress, pages, outcome,
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

EepromOutcome WriteEepromAt(std::span<const uint8_t> data, uint64_t offset, const EepromJobOptions& options,
                            EepromWriteReport& report) {
    report = {};
    if (data.empty()) {
        vexu::Trace("No Eeprom Data\r\n");
        return EepromOutcome{false, kEepromImageEmpty, {}, {}};
    }
    return WithChip(options, true, [&](CMemory& chip, EepromOutcome& outcome) {
        const EepromChipInfo& info = outcome.chip;
        const uint32_t unit = chip.EraseUnitSize();
        if (info.bytes == 0 || unit == 0 || unit % info.pageSize != 0) {
            outcome.failure = kEepromDeviceError;
            return false;
        }
        if (!RangeFits(offset, data.size(), info, outcome)) return false;
        const uint32_t firstUnit = static_cast<uint32_t>(offset / unit);
        const uint32_t lastUnit = static_cast<uint32_t>((offset + data.size() - 1) / unit);
        report.eraseUnit = unit;
        report.firstUnit = firstUnit * unit;
        const uint32_t pagesPerUnit = unit / info.pageSize;
        const uint32_t units = lastUnit - firstUnit + 1;
        // Per unit: read, erase, program, read back; the bar counts pages.
        EepromProgress progress(uint64_t{units} * pagesPerUnit * 3);
        uint64_t done = 0;
        std::vector<uint8_t> merged(unit);
        vexu::Trace("\r\nWrite Eeprom At...");
        for (uint32_t u = firstUnit; u <= lastUnit; ++u) {
            const uint32_t base = u * unit;
            // What the unit holds now, then the data over it.
            if (!ReadPages(chip, info, base, unit, true, progress, done, outcome,
                           [&merged, base](uint32_t address, const uint8_t* bytes, uint32_t n) {
                               std::copy(bytes, bytes + n, merged.begin() + (address - base));
                           }))
                return false;
            done += pagesPerUnit;
            const uint64_t from = std::max<uint64_t>(offset, base);
            const uint64_t to = std::min<uint64_t>(offset + data.size(), uint64_t{base} + unit);
            std::copy(data.begin() + (from - offset), data.begin() + (to - offset), merged.begin() + (from - base));
            report.bytesKept += unit - (to - from);
            if (!chip.EraseUnit(u)) {
                outcome.failure = kEepromDeviceError;
                return false;
            }
            ++report.unitsErased;
            for (uint32_t p = 0; p < pagesPerUnit; ++p) {
                const uint8_t* page = merged.data() + p * info.pageSize;
                // An erased page stays as the erase left it.
                if (std::all_of(page, page + info.pageSize, [](uint8_t b) { return b == kErased; })) continue;
                if (!chip.WriteVisualPage(static_cast<int>(base / info.pageSize + p), reinterpret_cast<const char*>(page),
                                          static_cast<int>(info.pageSize))) {
                    outcome.failure = kEepromWriteError;
                    return false;
                }
                progress.Done(done + p + 1);
            }
            done += pagesPerUnit;
            bool same = true;
            if (!ReadPages(chip, info, base, unit, false, progress, done, outcome,
                           [&merged, &same, base](uint32_t address, const uint8_t* bytes, uint32_t n) {
                               if (memcmp(bytes, merged.data() + (address - base), n) != 0) same = false;
                           }))
                return false;
            done += pagesPerUnit;
            if (!same) {
                outcome.failure = kEepromCheckError;
                return false;
            }
        }
        return true;
    });
}
