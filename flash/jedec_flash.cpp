#include "flash/jedec_flash.h"

#include <cstring>
#include <vector>

#include "link/hid_device.h"
#include "platform/clock.h"
#include "platform/trace.h"

namespace {

enum : uint8_t {
    kWriteStatus = 0x01,
    kPageProgram = 0x02,
    kRead = 0x03,
    kReadStatus = 0x05,
    kWriteEnable = 0x06,
    kPageProgram4 = 0x12,
    kRead4 = 0x13,
    kWriteSectorLock = 0xE5,
    kReadSectorLock = 0xE8,
    kBulkErase = 0xC7,
};

constexpr uint8_t kWriteInProgress = 0x01;
constexpr size_t kMaxHeader = 5;
constexpr uint32_t kBulkStepMs = 100;

void Fail(const char* operation) { vexu::Trace(std::string("CJedecFlash::") + operation + "   FALSE  \r\n"); }

}  // namespace

CJedecFlash::CJedecFlash(const FlashPart& part, std::string name, FlashTiming timing)
    : CMemory(part.vendor, "SerialFlash", std::move(name), static_cast<int>(part.pageSize),
              static_cast<int>(part.size / part.pageSize)),
      part_(part),
      timing_(timing) {}

CJedecFlash::~CJedecFlash() = default;

void CJedecFlash::Trace(const char* operation) const { vexu::Trace(Name() + " CJedecFlash::" + operation + "  \r\n"); }

size_t CJedecFlash::Header(uint8_t* frame, uint8_t opcode3, uint8_t opcode4, uint32_t address) const {
    const bool four = part_.addressBytes == 4;
    size_t at = 0;
    frame[at++] = four ? opcode4 : opcode3;
    if (four) frame[at++] = static_cast<uint8_t>(address >> 24);
    frame[at++] = static_cast<uint8_t>(address >> 16);
    frame[at++] = static_cast<uint8_t>(address >> 8);
    frame[at++] = static_cast<uint8_t>(address);
    return at;
}

int CJedecFlash::ReadStatus(uint8_t& status) {
    const uint8_t frame[] = {kReadStatus};
    status = 0;
    if (CHidDevice::SendTransmitCommand(0, 0, 1, frame, sizeof frame, &status, 1) != 1) {
        Fail("ReadStatus()");
        return 0;
    }
    return 1;
}

int CJedecFlash::IsBusy() {
    vexu::Trace(Name() + " IsBusy()  \r\n");
    uint8_t status = 0;
    if (!ReadStatus(status)) return 1;
    return (status & kWriteInProgress) ? 1 : 0;
}

int CJedecFlash::WriteStatus(uint8_t status) {
    Trace("WriteStatus()");
    const uint8_t frame[] = {kWriteStatus, status};
    if (CHidDevice::SendTransmitCommand(1, kWriteEnable, 1, frame, sizeof frame, nullptr, 0) != 1) {
        Fail("WriteStatus()");
        return 0;
    }
    const FlashTime& time = part_.statusWriteMs;
    return WaitUntilReady([this] { return IsBusy(); }, timing_, kFixedEraseWait, uint64_t{time.typical} * 1000,
                          uint64_t{time.max} * 1000, pollUs_)
               ? 1
               : 0;
}

int CJedecFlash::ReadSectorLock(uint32_t sector, uint8_t& lock) {
    uint8_t frame[kMaxHeader];
    const size_t header = Header(frame, kReadSectorLock, kReadSectorLock, sector * kLockSectorSize);
    lock = 0;
    if (CHidDevice::SendTransmitCommand(0, 0, 1, frame, static_cast<unsigned>(header), &lock, 1) != 1) {
        Fail("ReadSectorLock()");
        return 0;
    }
    return 1;
}

int CJedecFlash::WriteSectorLock(uint32_t sector, uint8_t lock) {
    uint8_t frame[kMaxHeader + 1];
    const size_t header = Header(frame, kWriteSectorLock, kWriteSectorLock, sector * kLockSectorSize);
    frame[header] = lock;
    if (CHidDevice::SendTransmitCommand(1, kWriteEnable, 1, frame, static_cast<unsigned>(header + 1), nullptr, 0) != 1) {
        Fail("WriteSectorLock()");
        return 0;
    }
    return 1;
}

int CJedecFlash::Read(uint32_t address, uint8_t* dst, uint32_t len) {
    uint8_t frame[kMaxHeader];
    const size_t header = Header(frame, kRead, kRead4, address);
    std::vector<uint8_t> scratch(len);
    if (!dst || CHidDevice::SendTransmitCommand(0, 0, 1, frame, static_cast<unsigned>(header), scratch.data(), len) != 1) {
        Fail("Read()");
        return 0;
    }
    memcpy(dst, scratch.data(), len);
    return 1;
}

int CJedecFlash::Program(uint32_t address, const uint8_t* src, uint32_t len) {
    std::vector<uint8_t> frame(kMaxHeader + len);
    const size_t header = Header(frame.data(), kPageProgram, kPageProgram4, address);
    memcpy(frame.data() + header, src, len);
    if (CHidDevice::SendTransmitCommand(1, kWriteEnable, 1, frame.data(), static_cast<unsigned>(header + len),
                                        nullptr, 0) != 1) {
        Fail("Program()");
        return 0;
    }
    const FlashTime& time = part_.programUs;
    return WaitUntilReady([this] { return IsBusy(); }, timing_, kFixedProgramWait, time.typical, time.max, pollUs_) ? 1 : 0;
}

int CJedecFlash::Erase(const FlashErase& erase, uint32_t address) {
    uint8_t frame[kMaxHeader];
    const size_t header = Header(frame, erase.opcode, erase.opcode4, address);
    if (CHidDevice::SendTransmitCommand(1, kWriteEnable, 1, frame, static_cast<unsigned>(header), nullptr, 0) != 1) {
        Fail("Erase()");
        return 0;
    }
    return WaitUntilReady([this] { return IsBusy(); }, timing_, kFixedEraseWait, uint64_t{erase.ms.typical} * 1000,
                          uint64_t{erase.ms.max} * 1000, pollUs_)
               ? 1
               : 0;
}

int CJedecFlash::WriteInit() {
    Trace("WriteInit()");
    if (!SendBulkErase()) return 0;
    // The fixed waits test the chip every 100 ms for twice its datasheet's
    // longest bulk erase, as "flash erase" does.
    const FixedWait fixed{static_cast<int>(2 * part_.chipEraseMs.max / kBulkStepMs), kBulkStepMs * 1000, false};
    return WaitUntilReady([this] { return IsBusy(); }, timing_, fixed, uint64_t{part_.chipEraseMs.typical} * 1000,
                          uint64_t{part_.chipEraseMs.max} * 1000, pollUs_)
               ? 1
               : 0;
}

int CJedecFlash::SendBulkErase() {
    const uint8_t frame[] = {kBulkErase};
    if (CHidDevice::SendTransmitCommand(1, kWriteEnable, 1, frame, sizeof frame, nullptr, 0) != 1) {
        Fail("EraseChip()");
        return 0;
    }
    return 1;
}

int CJedecFlash::WriteVisualPage(int page, const char* data, int len) {
    vexu::Trace(Name() + " CJedecFlash::WriteVisualPage( " + std::to_string(page) + " )  \r\n");
    if (page < 0 || page >= GetVisualPageCount() || len < 1 || len > GetVisualPageSize() || !data) {
        Fail("WriteVisualPage()");
        return 0;
    }
    return Program(static_cast<uint32_t>(page) * part_.pageSize, reinterpret_cast<const uint8_t*>(data),
                   static_cast<uint32_t>(len));
}

int CJedecFlash::ReadInit() {
    Trace("ReadInit()");
    return 1;
}

int CJedecFlash::ReadVisualPage(int page, char* data, int len) {
    vexu::Trace(Name() + " CJedecFlash::ReadVisualPage( " + std::to_string(page) + " )  \r\n");
    if (page < 0 || page >= GetVisualPageCount() || len < 1 || len > GetVisualPageSize()) {
        Fail("ReadVisualPage()");
        return 0;
    }
    return Read(static_cast<uint32_t>(page) * part_.pageSize, reinterpret_cast<uint8_t*>(data),
                static_cast<uint32_t>(len));
}

int CJedecFlash::EraseChip(const std::function<void(uint32_t waitedMs)>& onWait) {
    Trace("EraseChip()");
    if (!SendBulkErase()) return 0;
    // Tested every 100 ms for twice the datasheet's longest bulk erase.
    const uint32_t limitMs = 2 * part_.chipEraseMs.max;
    for (uint32_t waitedMs = 0; waitedMs < limitMs;) {
        vexu::GetClock().SleepMs(kBulkStepMs);
        waitedMs += kBulkStepMs;
        const bool busy = IsBusy() == 1;
        if (onWait) onWait(waitedMs);
        if (!busy) return 1;
    }
    Fail("EraseChip() still busy");
    return 0;
}

void CJedecFlash::UseChipTiming(const FlashPart&) { timing_ = FlashTiming::kChip; }

uint32_t CJedecFlash::EraseUnitSize() const { return SmallestErase(part_).size; }

int CJedecFlash::EraseUnit(uint32_t index) {
    const FlashErase& erase = SmallestErase(part_);
    if (uint64_t{index} * erase.size >= part_.size) {
        Fail("EraseUnit()");
        return 0;
    }
    return Erase(erase, index * erase.size);
}
