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

// The chip found, from its row of the chip table.
struct EepromChipInfo {
    std::string name;    // "M25P20"; empty when none was identified
    std::string vendor;  // the chip family's maker: "ST", "TSI"
    uint32_t bytes = 0;
    uint32_t pageSize = 0;
    uint32_t pages = 0;
    uint32_t sectorSize = 0;
    uint32_t sectors = 0;
};

// How an operation ended. failure holds the serial-flash job's texts
// (" Entry Eeprom Mode False", " Eeprom Id Error", "Device Read Error",
// "Device Check Error", ...); chip what was identified, also on failure.
struct EepromOutcome {
    bool ok = false;
    std::string failure;
    EepromChipInfo chip;
};

// What a comparison found: the bytes compared, how many of them differ and
// the chip address of the first that does.
struct EepromDifference {
    uint64_t compared = 0;
    uint64_t differing = 0;
    std::optional<uint32_t> first;
};

// Identifies the chip; nothing else is sent.
EepromOutcome IdentifyEeprom();

// Reads the whole chip into contents (its size in bytes).
EepromOutcome ReadEeprom(std::vector<uint8_t>& contents);

// Reads back as many bytes as the image has and compares them with it,
// every page to the end, so that difference counts all differing bytes.
// Fails with "Device Check Error" when any byte differs, with "Eeprom Image
// Too Large" (nothing read) when the image is larger than the chip and with
// "Eeprom Image Empty" (nothing sent) for an empty image.
EepromOutcome VerifyEeprom(std::span<const uint8_t> image, EepromDifference& difference);

// Erases the whole chip with one bulk erase, waits until the chip is done
// ("Device Error" when it does not finish in twice its datasheet's longest
// time), then reads it all back: every byte must be 0xFF, else "Device Blank
// Check Error" with the bytes that are not in notBlank.
EepromOutcome EraseEeprom(EepromDifference& notBlank);
