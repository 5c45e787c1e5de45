// The serial-flash job: puts the programmer box into serial-flash mode,
// identifies the chip by its signature, erases it, writes the serial-flash
// image page by page, reads every page back and compares it, posting
// "SetEepromProgress" percentages, and leaves serial-flash mode. Runs on the
// run thread, between the switching on and off of the serial port.
#pragma once

#include <cstdint>
#include <string>

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

// Writes and verifies g_eepromData; nonzero when every byte of the image was
// written and read back equal. On failure the reason is in GetEepromError.
// An empty image is refused before anything is sent: it would erase the
// chip, write nothing and pass.
int RunEepromJob();
// The same for another image: a run that writes a per-board serial number
// programs its own copy of g_eepromData.
int RunEepromJob(const uint8_t* image, uint32_t size);
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
