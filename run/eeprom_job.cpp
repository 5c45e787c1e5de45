#include "run/eeprom_job.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "flash/jedec_flash.h"
#include "flash/memory_owner.h"
#include "link/hid_device.h"
#include "platform/clock.h"
#include "platform/trace.h"
#include "common/image_buffers.h"
#include "common/run_messages.h"

namespace {

std::string g_eepromError;
std::string g_eepromChip;
EepromFindings g_eepromFindings;

// The box settles for 5 s before the entry frame and again after it
// accepted serial-flash mode.
constexpr uint32_t kEntrySettleMs = 5000;
// Serial timing of the box's SPI port for the chips of the board.
constexpr unsigned char kSerialTiming[9] = {40, 2, 22, 3, 3, 3, 3, 22, 2};

constexpr unsigned char kEntryFrame[] = {0xFF, 0xFF, 'V', 'O', 'R'};
constexpr unsigned char kEntryAccepted = 0xAA;
constexpr unsigned char kExitFrame[] = {0x55};

// The two questions that identify the chip: the electronic signature (0xAB
// and three dummy bytes) and the identification read (0x9F). Both answer
// with one byte.
enum class ChipQuestion { Signature, Identification };

constexpr unsigned char kSignatureFrame[] = {0xAB, 0x00, 0x00, 0x00};
constexpr unsigned char kIdentificationFrame[] = {0x9F};

struct ChipAnswer {
    ChipQuestion question;
    unsigned char answer;
    const char* type;
    const char* trace;
};

// Asked in this order; the identification read only when the signature
// matched no row.
constexpr ChipAnswer kChipAnswers[] = {
    {ChipQuestion::Signature, 0x13, "M25P80", "EEPROM: M25P80.   \r\n"},
    {ChipQuestion::Signature, 0x12, "M25P40", "EEPROM: M25P40.  \r\n"},
    {ChipQuestion::Signature, 0x11, "M25P20", "EEPROM: M25P20.  \r\n"},
    {ChipQuestion::Identification, 0x20, "TS25L80P", "EEPROM: TS25L80P. \r\n  "},
};

// What a question answers when its transfer failed: no chip gives it.
constexpr unsigned char kNoAnswer = 0x00;

constexpr bool NoChipAnswers(unsigned char value) {
    for (const ChipAnswer& row : kChipAnswers) {
        if (row.answer == value) return false;
    }
    return value != kEntryAccepted;
}
static_assert(NoChipAnswers(kNoAnswer), "a failed transfer must not read as a chip's answer");

unsigned char Ask(ChipQuestion question) {
    const bool signature = question == ChipQuestion::Signature;
    const unsigned char* frame = signature ? kSignatureFrame : kIdentificationFrame;
    const unsigned length = signature ? sizeof kSignatureFrame : sizeof kIdentificationFrame;
    unsigned char answer = kNoAnswer;
    if (CHidDevice::SendTransmitCommand(0, 0, 1, frame, length, &answer, 1) != 1) answer = kNoAnswer;
    return answer;
}

int Fail(const std::string& text) {
    g_eepromError = text;
    return 0;
}

constexpr unsigned char kJedecIdFrame[] = {0x9F};
constexpr unsigned char kReadSfdp = 0x5A;
constexpr uint8_t kStatusWriteBits = 0x03;  // write in progress, write enabled: not written

// The three JEDEC ID bytes: maker, memory type, capacity.
bool ReadJedecId(uint8_t* id) {
    return CHidDevice::SendTransmitCommand(0, 0, 1, kJedecIdFrame, sizeof kJedecIdFrame, id, 3) == 1;
}

// SFDP bytes: 0x5A, three address bytes, one dummy byte.
bool ReadSfdpBytes(uint32_t address, uint8_t* out, uint32_t length) {
    const unsigned char frame[] = {kReadSfdp, static_cast<unsigned char>(address >> 16),
                                   static_cast<unsigned char>(address >> 8), static_cast<unsigned char>(address), 0};
    return CHidDevice::SendTransmitCommand(0, 0, 1, frame, sizeof frame, out, length) == 1;
}

std::string Hex(uint8_t value) {
    char text[8];
    snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

// Erases the chip, writes the image and reads it back. The last page of an
// image whose length is not a whole number of pages is written and compared
// for the bytes it has; an image larger than the chip is refused before
// anything is erased.
int ProgramPages(CMemory* chip, const uint8_t* image, uint32_t size) {
    const uint32_t pageSize = static_cast<uint32_t>(std::max(0, chip->GetVisualPageSize()));
    const uint32_t pageCount = static_cast<uint32_t>(std::max(0, chip->GetVisualPageCount()));
    const uint64_t imageSize = image ? size : 0;
    if (imageSize > uint64_t{pageSize} * pageCount) return Fail(kEepromImageTooLarge);
    const uint32_t pages =
        pageSize ? static_cast<uint32_t>((imageSize + pageSize - 1) / pageSize) : 0;
    auto pageBytes = [&](uint32_t page) {
        return static_cast<int>(std::min<uint64_t>(pageSize, imageSize - uint64_t{page} * pageSize));
    };
    auto pageData = [&](uint32_t page) {
        return reinterpret_cast<const char*>(image + uint64_t{page} * pageSize);
    };
    std::vector<char> readBack(pageSize, 0);

    vexu::Trace("\r\nErase Eeprom...");
    if (!chip->WriteInit()) return Fail(kEepromDeviceError);

    vexu::Trace("\r\nWrite,Read And Check Eeprom...");
    EepromProgress progress(uint64_t{2} * pages);
    for (uint32_t page = 0; page < pages; ++page) {
        if (!chip->WriteVisualPage(static_cast<int>(page), pageData(page), pageBytes(page)))
            return Fail(kEepromWriteError);
        progress.Done(page);
    }
    for (uint32_t page = 0; page < pages; ++page) {
        const int length = pageBytes(page);
        std::fill(readBack.begin(), readBack.end(), 0);
        if (!chip->ReadVisualPage(static_cast<int>(page), readBack.data(), length))
            return Fail(kEepromReadError);
        if (memcmp(readBack.data(), pageData(page), static_cast<size_t>(length)) != 0)
            return Fail(kEepromCheckError);
        progress.Done(uint64_t{page} + pages);
    }
    return 1;
}

// Block protection is checked (and cleared on request) before anything is
// erased, and set again after the pages whatever became of them.
int ProgramChip(CMemory* chip, const uint8_t* image, uint32_t size, const EepromJobOptions& options) {
    if (!chip) return Fail(kEepromDeviceError);
    const uint64_t imageSize = image ? size : 0;
    if (imageSize > uint64_t(std::max(0, chip->GetVisualPageSize())) * std::max(0, chip->GetVisualPageCount()))
        return Fail(kEepromImageTooLarge);
    std::string failure;
    if (!PrepareProtection(*chip, options, g_eepromFindings, failure)) return Fail(failure);
    const int result = ProgramPages(chip, image, size);
    if (!RestoreProtection(*chip, options, g_eepromFindings, failure) && result) return Fail(failure);
    return result;
}

}  // namespace

void EepromProgress::Done(uint64_t done) {
    const int percent = static_cast<int>(static_cast<double>(done) / total_ * 100.0);
    if (percent == last_) return;
    last_ = percent;
    PostMsgText(kEepromProgressText, static_cast<vexu::WPARAM>(percent), 0);
}

int EntryEepromMode() {
    vexu::GetClock().SleepMs(kEntrySettleMs);
    const unsigned char* t = kSerialTiming;
    CHidDevice::SetE2pDelay(t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7], t[8]);
    vexu::Trace("Entry Eeprom Mode.\r\n");
    unsigned char answer = 0;
    if (CHidDevice::SendTransmitCommand(0, 0, 0, kEntryFrame, sizeof kEntryFrame, &answer, 1) != 1)
        answer = 0;
    if (answer != kEntryAccepted) {
        vexu::Trace(" Card Error!! \r\n");
        return 0;
    }
    vexu::GetClock().SleepMs(kEntrySettleMs);
    return 1;
}

int ExitEepromMode() {
    vexu::Trace("Exit Eeprom Mode.\r\n");
    return CHidDevice::SendTransmitCommand(0, 0, 1, kExitFrame, sizeof kExitFrame, nullptr, 0);
}

std::string ReadEepromType() { return IdentifyEepromChip(false).name; }

namespace {

// The answer of a first boards' chip to one question, with its trace line.
const ChipAnswer* Answered(ChipQuestion question, unsigned char answer) {
    for (const ChipAnswer& row : kChipAnswers)
        if (row.question == question && row.answer == answer) return &row;
    return nullptr;
}

void TakeLegacy(EepromIdentity& identity, const ChipAnswer& answer) {
    vexu::Trace(answer.trace);
    identity.name = answer.type;
    if (const FlashPart* part = FindFlashPart(answer.type)) identity.part = *part;
}

}  // namespace

EepromIdentity IdentifyEepromChip(bool allowSfdpChip) {
    EepromIdentity identity;
    if (const ChipAnswer* legacy = Answered(ChipQuestion::Signature, Ask(ChipQuestion::Signature))) {
        TakeLegacy(identity, *legacy);
        return identity;
    }
    const unsigned char first = Ask(ChipQuestion::Identification);
    identity.idRead = ReadJedecId(identity.id);
    const std::string id = FormatJedecId(identity.id[0], identity.id[1], identity.id[2]);
    const FlashPart* row = identity.idRead ? FindFlashPartById(identity.id[0], identity.id[1], identity.id[2]) : nullptr;
    if (row) {
        vexu::Trace(std::string("EEPROM: ") + row->name + " (JEDEC " + id + ").\r\n");
        identity.part = *row;
        if (row->sfdp) {
            // A part whose own table disagrees with its row is relabelled
            // or counterfeit: it is refused, naming both values.
            SfdpParameters sfdp;
            std::string error;
            if (!ReadSfdp(ReadSfdpBytes, sfdp, error)) {
                identity.failure = std::string(kEepromSfdpMismatch) + ": " + row->name + " (" + id + "): " + error;
                vexu::Trace(identity.failure + "\r\n");
                return identity;
            }
            identity.sfdp = sfdp;
            const std::string mismatch = CompareSfdp(sfdp, *row);
            if (!mismatch.empty()) {
                identity.failure = std::string(kEepromSfdpMismatch) + ": " + row->name + " (" + id + ") has " + mismatch;
                vexu::Trace(identity.failure + "\r\n");
                return identity;
            }
        }
        identity.name = row->name;
        return identity;
    }
    if (const ChipAnswer* legacy = Answered(ChipQuestion::Identification, first)) {
        TakeLegacy(identity, *legacy);
        return identity;
    }
    SfdpParameters sfdp;
    std::string error;
    if (!identity.idRead || !ReadSfdp(ReadSfdpBytes, sfdp, error)) return identity;
    identity.sfdp = sfdp;
    identity.sfdpOnly = true;
    identity.part = PartFromSfdp(sfdp, "", identity.id[0], identity.id[1], identity.id[2]);
    const std::string name = "SFDP-" + FormatJedecId(identity.id[0], identity.id[1], identity.id[2]);
    vexu::Trace("EEPROM: " + id + " is in no row of the chip table; " + DescribeSfdp(sfdp) + "\r\n");
    if (!allowSfdpChip) {
        identity.failure = std::string(kEepromIdError) + ": " + id +
                           " is in no row of the chip table and only its SFDP describes it (allow SFDP chips to "
                           "program it)";
        return identity;
    }
    identity.name = name;
    std::replace(identity.name.begin(), identity.name.end(), ' ', '-');
    return identity;
}

namespace {

// The sectors whose lock register is set; false when one could not be read.
bool ReadLockedSectors(CJedecFlash& chip, std::vector<uint32_t>& locked) {
    locked.clear();
    if (!chip.Part().sectorLocks) return true;
    for (uint32_t sector = 0; sector < chip.Part().size / kLockSectorSize; ++sector) {
        uint8_t lock = 0;
        if (!chip.ReadSectorLock(sector, lock)) return false;
        if (lock & kSectorLocked) locked.push_back(sector);
    }
    return true;
}

// "sectors 5, 9 locked"
std::string DescribeLocks(const std::vector<uint32_t>& locked) {
    std::string text = locked.size() == 1 ? "sector " : "sectors ";
    for (size_t i = 0; i < locked.size(); ++i) text += (i ? ", " : "") + std::to_string(locked[i]);
    return text + " locked";
}

// Sets each sector's lock register to lock and reads it back.
bool SetSectorLocks(CJedecFlash& chip, const std::vector<uint32_t>& sectors, uint8_t lock) {
    for (uint32_t sector : sectors) {
        uint8_t now = 0;
        if (!chip.WriteSectorLock(sector, lock) || !chip.ReadSectorLock(sector, now) ||
            (now & kSectorLocked) != (lock & kSectorLocked))
            return false;
    }
    return true;
}

}  // namespace

bool PrepareProtection(CMemory& memory, const EepromJobOptions& options, EepromFindings& findings,
                       std::string& failure) {
    auto* chip = dynamic_cast<CJedecFlash*>(&memory);
    if (!chip) return true;
    uint8_t status = 0;
    if (!chip->ReadStatus(status) || !ReadLockedSectors(*chip, findings.lockedSectors)) {
        failure = kEepromDeviceError;
        return false;
    }
    findings.statusBefore = status;
    const ProtectedRange range = ProtectedBytes(chip->Part(), status);
    const std::vector<uint32_t>& locked = findings.lockedSectors;
    if (range.length == 0 && locked.empty()) return true;
    std::string what;
    if (range.length != 0) what = DescribeBlocks(range) + " (status register " + Hex(status) + ")";
    if (!locked.empty()) what += (what.empty() ? "" : ", ") + DescribeLocks(locked);
    if (!options.unprotect) {
        failure = std::string(kEepromProtected) + ": " + what;
        vexu::Trace(failure + "\r\n");
        return false;
    }
    const uint8_t mask = ProtectMask(chip->Part());
    uint8_t cleared = status;
    const bool bitsCleared = range.length == 0 ||
                             (chip->WriteStatus(static_cast<uint8_t>(status & ~mask & ~kStatusWriteBits)) &&
                              chip->ReadStatus(cleared) && (cleared & mask) == 0);
    if (!bitsCleared || !SetSectorLocks(*chip, locked, 0)) {
        failure = std::string(kEepromUnprotectFailed) + ": status register " + Hex(cleared) + " after clearing " + what;
        vexu::Trace(failure + "\r\n");
        return false;
    }
    return true;
}

bool RestoreProtection(CMemory& memory, const EepromJobOptions& options, EepromFindings& findings,
                       std::string& failure) {
    auto* chip = dynamic_cast<CJedecFlash*>(&memory);
    if (!chip || !findings.statusBefore) return true;
    const uint8_t before = *findings.statusBefore;
    const uint8_t mask = ProtectMask(chip->Part());
    const bool again = options.unprotect && options.reprotect;
    const bool reprotect = again && (before & mask) != 0;
    bool ok = true;
    if (reprotect && !chip->WriteStatus(static_cast<uint8_t>(before & ~kStatusWriteBits))) ok = false;
    if (again && !SetSectorLocks(*chip, findings.lockedSectors, kSectorLocked)) ok = false;
    uint8_t after = 0;
    if (!chip->ReadStatus(after)) {
        ok = false;
    } else {
        findings.statusAfter = after;
        if (reprotect && (after & mask) != (before & mask)) ok = false;
    }
    if (!ok) {
        failure = std::string(kEepromReprotectFailed) + ": status register " + Hex(after) + ", " + Hex(before) +
                  " was set before" + (findings.lockedSectors.empty() ? "" : "; " + DescribeLocks(findings.lockedSectors));
        vexu::Trace(failure + "\r\n");
    }
    return ok;
}

int RunEepromJob() { return RunEepromJob(g_eepromData, g_eepromSize); }

int RunEepromJob(const uint8_t* image, uint32_t size) { return RunEepromJob(image, size, EepromJobOptions{}); }

int RunEepromJob(const uint8_t* image, uint32_t size, const EepromJobOptions& options) {
    g_eepromChip.clear();
    g_eepromFindings = {};
    if (image == nullptr || size == 0) {
        vexu::Trace("No Eeprom Data\r\n");
        return Fail(kEepromImageEmpty);
    }
    if (EntryEepromMode() != 1) return Fail(kEepromEntryFailed);
    const EepromIdentity identity = IdentifyEepromChip(options.allowSfdpChip);
    g_eepromChip = identity.name;
    if (identity.name.empty() || !identity.part) {
        Fail(identity.failure.empty() ? std::string(kEepromIdError) : identity.failure);
        ExitEepromMode();
        return 0;
    }
    g_eepromFindings.sfdpChip = identity.sfdpOnly;
    CMemoryOwner owner;
    owner.Create(*identity.part, identity.name, options.timing);
    const int result = ProgramChip(owner.Get(), image, size, options);
    ExitEepromMode();
    return result;
}

std::string GetEepromError() { return g_eepromError; }

std::string GetEepromChip() { return g_eepromChip; }

EepromFindings GetEepromFindings() { return g_eepromFindings; }
