// The board's serial flash as an engineer reaches it outside a run: which
// chip is there, its whole contents, a comparison with an image without
// writing, and a bulk erase with a blank check. Each operation enters
// serial-flash mode, identifies the chip as the serial-flash job does, does
// its work on the same chip driver and leaves the mode again; the caller
// switches the serial port on and off around it, as the run worker does
// around the job. Reads post "SetEepromProgress" as the job does.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "run/eeprom_job.h"

// The chip found, from its row of the chip table.
struct EepromChipInfo {
    std::string name;    // "M25P20"; empty when none was identified
    std::string vendor;  // the chip family's maker: "ST", "TSI"
    uint32_t bytes = 0;
    uint32_t pageSize = 0;
    uint32_t pages = 0;
    uint32_t sectorSize = 0;
    uint32_t sectors = 0;
    uint32_t eraseUnit = 0;  // the smallest erase the part allows, in bytes
    std::string jedecId;     // "EF 40 18" when read
    bool sfdpOnly = false;   // known by its SFDP table alone
    std::optional<SfdpParameters> sfdp;
    std::string tableRow;    // for a part known by its SFDP alone: its row, ready to be added
};

// How an operation ended. failure holds the serial-flash job's texts
// (" Entry Eeprom Mode False", " Eeprom Id Error", "Device Read Error",
// "Device Check Error", ...); chip what was identified, also on failure.
struct EepromOutcome {
    bool ok = false;
    std::string failure;
    EepromChipInfo chip;
    EepromFindings findings;  // the status register before and after, where it was read
};

// What a comparison found: the bytes compared, how many of them differ and
// the chip address of the first that does.
struct EepromDifference {
    uint64_t compared = 0;
    uint64_t differing = 0;
    std::optional<uint32_t> first;
};

// Identifies the chip, a part only its SFDP describes included; nothing
// else is sent.
EepromOutcome IdentifyEeprom();

// Reads the whole chip into contents (its size in bytes). Every page is
// read twice: two readings that differ fail with "Device Read Unstable"
// rather than hand over bytes that may be wrong.
EepromOutcome ReadEeprom(std::vector<uint8_t>& contents, const EepromJobOptions& options = {});
// The same for length bytes from offset (length 0: to the end of the chip);
// "Eeprom Range Error" when the range leaves the chip.
EepromOutcome ReadEepromRange(std::vector<uint8_t>& contents, uint64_t offset, uint64_t length,
                              const EepromJobOptions& options = {});

// What a partial write did.
struct EepromWriteReport {
    uint32_t eraseUnit = 0;    // bytes per erase
    uint32_t unitsErased = 0;  // erases done
    uint32_t firstUnit = 0;    // chip address of the first
    uint64_t bytesKept = 0;    // bytes of those units outside the data, read and written back
};

// Writes data at offset and nothing else: erases only the units the data
// covers (the part's smallest erase), keeps the bytes of those units that
// lie outside the data (read, merge, write), and reads every unit back.
// Block protection as the serial-flash job handles it.
EepromOutcome WriteEepromAt(std::span<const uint8_t> data, uint64_t offset, const EepromJobOptions& options,
                            EepromWriteReport& report);

// Reads back as many bytes as the image has and compares them with it,
// every page to the end, so that difference counts all differing bytes.
// Fails with "Device Check Error" when any byte differs, with "Eeprom Image
// Too Large" (nothing read) when the image is larger than the chip and with
// "Eeprom Image Empty" (nothing sent) for an empty image.
EepromOutcome VerifyEeprom(std::span<const uint8_t> image, EepromDifference& difference,
                           const EepromJobOptions& options = {});

// Erases the whole chip with one bulk erase, waits until the chip is done
// ("Device Error" when it does not finish in twice its datasheet's longest
// time), then reads it all back: every byte must be 0xFF, else "Device Blank
// Check Error" with the bytes that are not in notBlank.
EepromOutcome EraseEeprom(EepromDifference& notBlank, const EepromJobOptions& options = {});

constexpr const char* kEepromRangeError = "Eeprom Range Error";
