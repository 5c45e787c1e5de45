#include "run/eeprom_job.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "flash/memory_owner.h"
#include "link/hid_device.h"
#include "platform/clock.h"
#include "platform/trace.h"
#include "common/image_buffers.h"
#include "common/run_messages.h"

namespace {

std::string g_eepromError;
std::string g_eepromChip;

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

int Fail(const char* text) {
    g_eepromError = text;
    return 0;
}

// Erases the chip, writes the image and reads it back. The last page of an
// image whose length is not a whole number of pages is written and compared
// for the bytes it has; an image larger than the chip is refused before
// anything is erased.
int ProgramChip(CMemory* chip, const uint8_t* image, uint32_t size) {
    if (!chip) return Fail(kEepromDeviceError);
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

std::string ReadEepromType() {
    for (ChipQuestion question : {ChipQuestion::Signature, ChipQuestion::Identification}) {
        const unsigned char answer = Ask(question);
        for (const ChipAnswer& row : kChipAnswers) {
            if (row.question == question && row.answer == answer) {
                vexu::Trace(row.trace);
                return row.type;
            }
        }
    }
    return std::string();
}

int RunEepromJob() { return RunEepromJob(g_eepromData, g_eepromSize); }

int RunEepromJob(const uint8_t* image, uint32_t size) {
    g_eepromChip.clear();
    if (image == nullptr || size == 0) {
        vexu::Trace("No Eeprom Data\r\n");
        return Fail(kEepromImageEmpty);
    }
    if (EntryEepromMode() != 1) return Fail(kEepromEntryFailed);
    const std::string type = ReadEepromType();
    g_eepromChip = type;
    if (type.empty()) {
        Fail(kEepromIdError);
        ExitEepromMode();
        return 0;
    }
    CMemoryOwner owner;
    owner.Create(type);
    const int result = ProgramChip(owner.Get(), image, size);
    ExitEepromMode();
    return result;
}

std::string GetEepromError() { return g_eepromError; }

std::string GetEepromChip() { return g_eepromChip; }
