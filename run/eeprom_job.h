// The serial-flash job: puts the programmer box into serial-flash mode,
// identifies the chip by its signature, erases it, writes the serial-flash
// image page by page, reads every page back and compares it, posting
// "SetEepromProgress" percentages, and leaves serial-flash mode. Runs on the
// run thread, between the switching on and off of the serial port.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "flash/chip_table.h"
#include "flash/flash_wait.h"
#include "flash/sfdp.h"

class CMemory;

// Failure texts the job leaves for the run worker.
constexpr const char* kEepromEntryFailed = " Entry Eeprom Mode False";
constexpr const char* kEepromIdError = " Eeprom Id Error";
constexpr const char* kEepromImageTooLarge = "Eeprom Image Too Large";
constexpr const char* kEepromImageEmpty = "Eeprom Image Empty";
constexpr const char* kEepromDeviceError = "Device Error";
constexpr const char* kEepromWriteError = "Device Write Error";
constexpr const char* kEepromReadError = "Device Read Error";
constexpr const char* kEepromCheckError = "Device Check Error";
constexpr const char* kEepromBlankCheckError = "Device Blank Check Error";
constexpr const char* kEepromSfdpMismatch = "Eeprom SFDP Mismatch";
constexpr const char* kEepromProtected = "Eeprom Write Protected";
constexpr const char* kEepromUnprotectFailed = "Eeprom Unprotect Failed";
constexpr const char* kEepromReprotectFailed = "Eeprom Reprotect Failed";
constexpr const char* kEepromReadUnstable = "Device Read Unstable";

// Choices of a station or engineer for the serial-flash step; the defaults
// are the one-button run's.
struct EepromJobOptions {
    FlashTiming timing = FlashTiming::kFixed;
    bool allowSfdpChip = false;  // program a part that only its SFDP table describes
    bool unprotect = false;      // clear block protection before erasing
    bool reprotect = false;      // with unprotect: set the same protection again at the end
};

// What the step found beyond the chip's name, for the run record.
struct EepromFindings {
    std::optional<uint8_t> statusBefore;  // status register before erasing (parts of the chip table)
    std::optional<uint8_t> statusAfter;   // and at the end
    bool sfdpChip = false;                // known by its SFDP table alone
    std::vector<uint32_t> lockedSectors;  // 64 KiB sectors whose lock register was set before
};

// The chip found by IdentifyEepromChip.
struct EepromIdentity {
    std::string name;  // empty: none, or refused (failure says why)
    // Its row; for a part that only its SFDP describes, the row made from
    // that table (sfdpOnly).
    std::optional<FlashPart> part;
    bool sfdpOnly = false;
    std::optional<SfdpParameters> sfdp;  // the part's table, when read
    bool idRead = false;                 // the three JEDEC ID bytes were read
    uint8_t id[3] = {};
    std::string failure;  // why a chip that answered was refused (SFDP mismatch, SFDP-only part)
};

// Identifies the chip: the first boards' chips exactly as ReadEepromType,
// then the JEDEC ID (0x9F, three bytes) in the chip table, its SFDP table
// checked against the row; a part in no row is taken from its SFDP table
// only when allowSfdpChip.
EepromIdentity IdentifyEepromChip(bool allowSfdpChip);

// Reads and checks block protection before a part of the chip table is
// erased: protected blocks fail (failure names them) unless
// options.unprotect, which clears them and reads the status back. Nothing is
// done for the first boards' chips.
bool PrepareProtection(CMemory& chip, const EepromJobOptions& options, EepromFindings& findings,
                       std::string& failure);
// After the work: with reprotect sets the protection found before again and
// reads it back; records the status register at the end.
bool RestoreProtection(CMemory& chip, const EepromJobOptions& options, EepromFindings& findings,
                       std::string& failure);

// Writes and verifies g_eepromData; nonzero when every byte of the image was
// written and read back equal. On failure the reason is in GetEepromError.
// An empty image is refused before anything is sent: it would erase the
// chip, write nothing and pass.
int RunEepromJob();
// The same for another image: a run that writes a per-board serial number
// programs its own copy of g_eepromData.
int RunEepromJob(const uint8_t* image, uint32_t size);
int RunEepromJob(const uint8_t* image, uint32_t size, const EepromJobOptions& options);
// 1 when the programmer accepted serial-flash mode, 0 otherwise. Spends
// 5 s before the entry frame and 5 s after an accepted answer.
int EntryEepromMode();
// Leaves serial-flash mode; the transfer's result.
int ExitEepromMode();
// The chip type name ("M25P80", "M25P40", "M25P20", "TS25L80P"), empty when
// the chip was not recognised.
std::string ReadEepromType();

// Posts "SetEepromProgress" whenever the whole-number percent of done out of
// total changes; it starts from the 0 that the caller posted.
class EepromProgress {
public:
    explicit EepromProgress(uint64_t total) : total_(static_cast<double>(total)) {}
    void Done(uint64_t done);

private:
    double total_;
    int last_ = 0;
};
// The failure text of the last failed job; it stays until a job fails again.
std::string GetEepromError();
// The chip type the last job identified; empty when it identified none (or
// never got as far as asking). For the run log.
std::string GetEepromChip();
// What the last job found beyond the chip's name.
EepromFindings GetEepromFindings();
