#include "flash/serial_flash.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "link/hid_device.h"
#include "platform/clock.h"
#include "platform/trace.h"

namespace {

// Address bytes follow the instruction, most significant first.
constexpr unsigned kAddressBytes = 3;
constexpr unsigned kFrameHeader = 1 + kAddressBytes;

void TraceJoined(const char* first, const char* second) {
    vexu::Trace(std::string(first) + second);
}

// "<name> <class>Operation( page )  \r\n"
void TracePageOperation(const std::string& name, const char* cls, const char* operation, int page) {
    vexu::Trace(name + " " + cls + operation + "( " + std::to_string(page) + " )  \r\n");
}

void PutFrameHeader(unsigned char* frame, uint8_t instruction, uint32_t address) {
    frame[0] = instruction;
    frame[1] = static_cast<unsigned char>((address >> 16) & 0xFF);
    frame[2] = static_cast<unsigned char>((address >> 8) & 0xFF);
    frame[3] = static_cast<unsigned char>(address & 0xFF);
}

}  // namespace

// ---- family class ----------------------------------------------------------

template <const SerialFlashFamily& Family>
CSerialFlash<Family>::CSerialFlash() : CSerialFlash(Family.defaultName) {}

template <const SerialFlashFamily& Family>
CSerialFlash<Family>::CSerialFlash(const char* defaultName)
    : CMemory(Family.vendor, "SerialFlash", defaultName, 0, 0),
      signature_{0, 0, 0},
      addressBits_(0),
      memorySize_(0),
      pageSize_(0),
      pageTotal_(0),
      sectorSize_(0),
      sectorTotal_(0) {}

template <const SerialFlashFamily& Family>
CSerialFlash<Family>::CSerialFlash(const char* name, int addressBits, int memorySize, int pageSize,
                                   int pageTotal, int sectorSize, int sectorTotal,
                                   uint8_t signature0, uint8_t signature1, uint8_t signature2)
    : CMemory(Family.vendor, "SerialFlash", name, pageSize, pageTotal),
      signature_{signature0, signature1, signature2},
      addressBits_(addressBits),
      memorySize_(memorySize),
      pageSize_(pageSize),
      pageTotal_(pageTotal),
      sectorSize_(sectorSize),
      sectorTotal_(sectorTotal) {}

template <const SerialFlashFamily& Family>
CSerialFlash<Family>::~CSerialFlash() = default;

template <const SerialFlashFamily& Family>
int CSerialFlash<Family>::Read_Status_Register(unsigned char* out, int len) {
    const unsigned char frame[] = {kSpiReadStatus};
    if (len < 0 || (!out && len > 0) ||
        CHidDevice::SendTransmitCommand(0, 0, 1, frame, sizeof frame, out,
                                        static_cast<unsigned>(len)) != 1) {
        TraceJoined(Family.statusClass, "Read_Status_Register()   FALSE  \r\n");
        return 0;
    }
    return 1;
}

template <const SerialFlashFamily& Family>
int CSerialFlash<Family>::IsBusy() {
    vexu::Trace(Name() + " IsBusy()  \r\n");
    unsigned char status = 0;
    if (!Read_Status_Register(&status, 1)) return 1;
    return (status & kStatusWriteInProgress) ? 1 : 0;
}

// ---- 24-bit class ----------------------------------------------------------

template <const SerialFlashFamily& Family>
CSerialFlashAdd24<Family>::CSerialFlashAdd24() : CSerialFlash<Family>(Family.add24DefaultName) {}

template <const SerialFlashFamily& Family>
CSerialFlashAdd24<Family>::CSerialFlashAdd24(const char* name, int memorySize, int pageSize,
                                             int pageTotal, int sectorSize, int sectorTotal,
                                             uint8_t signature0, uint8_t signature1,
                                             uint8_t signature2)
    : CSerialFlash<Family>(name, 24, memorySize, pageSize, pageTotal, sectorSize, sectorTotal,
                           signature0, signature1, signature2) {}

template <const SerialFlashFamily& Family>
CSerialFlashAdd24<Family>::CSerialFlashAdd24(const SerialFlashGeometry& chip)
    : CSerialFlashAdd24(chip.name, chip.memorySize, chip.pageSize, chip.pageTotal, chip.sectorSize,
                        chip.sectorTotal, chip.signature[0], chip.signature[1], chip.signature[2]) {
    this->bulkEraseMaxMs_ = chip.bulkEraseMaxMs;
}

template <const SerialFlashFamily& Family>
CSerialFlashAdd24<Family>::~CSerialFlashAdd24() = default;

template <const SerialFlashFamily& Family>
uint32_t CSerialFlashAdd24<Family>::Address(unsigned index, int unitSize) {
    return static_cast<uint32_t>(uint64_t{index} * static_cast<uint32_t>(unitSize)) & 0xFFFFFF;
}

template <const SerialFlashFamily& Family>
int CSerialFlashAdd24<Family>::Read_Data_Bytes(unsigned index, char* dst, unsigned len) {
    const unsigned pageSize = static_cast<unsigned>(this->pageSize_);
    if (len > pageSize || len < 1) {
        TraceJoined(Family.add24Class, "Read_Data_Bytes() (len>pagesize)||(len<1)  FALSE  \r\n");
        return 0;
    }
    if (index >= static_cast<unsigned>(this->pageTotal_)) {
        TraceJoined(Family.add24Class, "Read_Data_Bytes() index>=pagetotal  FALSE  \r\n");
        return 0;
    }
    unsigned char frame[kFrameHeader];
    PutFrameHeader(frame, kSpiReadData, Address(index, this->pageSize_));
    std::vector<unsigned char> scratch(pageSize);
    if (!dst ||
        CHidDevice::SendTransmitCommand(0, 0, 1, frame, kFrameHeader, scratch.data(), len) != 1) {
        TraceJoined(Family.add24Class, "Read_Data_Bytes()   FALSE  \r\n");
        return 0;
    }
    memcpy(dst, scratch.data(), len);
    return 1;
}

template <const SerialFlashFamily& Family>
int CSerialFlashAdd24<Family>::Page_Program(unsigned index, const char* src, unsigned len) {
    const unsigned pageSize = static_cast<unsigned>(this->pageSize_);
    if (len > pageSize || len < 1) {
        TraceJoined(Family.add24Class, "Page_Program()  (len>pagesize)||(len<1) FALSE  \r\n");
        return 0;
    }
    if (index >= static_cast<unsigned>(this->pageTotal_)) {
        TraceJoined(Family.add24Class, "Page_Program()  index>=pagetotal FALSE  \r\n");
        return 0;
    }
    if (!src) {
        TraceJoined(Family.add24Class, "Page_Program()   FALSE  \r\n");
        return 0;
    }
    std::vector<unsigned char> frame(pageSize + kFrameHeader);
    PutFrameHeader(frame.data(), kSpiPageProgram, Address(index, this->pageSize_));
    memcpy(frame.data() + kFrameHeader, src, len);
    if (CHidDevice::SendTransmitCommand(1, kSpiWriteEnable, 1, frame.data(), len + kFrameHeader,
                                        nullptr, 0) != 1) {
        TraceJoined(Family.add24Class, "Page_Program()   FALSE  \r\n");
        return 0;
    }
    return 1;
}

template <const SerialFlashFamily& Family>
int CSerialFlashAdd24<Family>::Sector_Erase(unsigned index) {
    if (index >= static_cast<unsigned>(this->sectorTotal_)) {
        TraceJoined(Family.add24Class, "Sector_Erase() index>=sectortotal  FALSE  \r\n");
        return 0;
    }
    unsigned char frame[kFrameHeader];
    PutFrameHeader(frame, kSpiSectorErase, Address(index, this->sectorSize_));
    if (CHidDevice::SendTransmitCommand(1, kSpiWriteEnable, 1, frame, kFrameHeader, nullptr, 0) != 1) {
        TraceJoined(Family.add24Class, "Sector_Erase()   FALSE  \r\n");
        return 0;
    }
    return 1;
}

template <const SerialFlashFamily& Family>
int CSerialFlashAdd24<Family>::SectorErase(int index) {
    vexu::Trace(this->Name() + " " + Family.add24Class + "SectorErase()  \r\n");
    if (!Sector_Erase(static_cast<unsigned>(index))) return 0;
    return WaitUntilReady([this] { return this->IsBusy(); }, timing_, kFixedEraseWait,
                          uint64_t{sectorEraseMs_.typical} * 1000, uint64_t{sectorEraseMs_.max} * 1000, pollUs_)
               ? 1
               : 0;
}

template <const SerialFlashFamily& Family>
int CSerialFlashAdd24<Family>::Bulk_Erase() {
    const unsigned char frame[] = {kSpiBulkErase};
    if (CHidDevice::SendTransmitCommand(1, kSpiWriteEnable, 1, frame, sizeof frame, nullptr, 0) != 1) {
        TraceJoined(Family.add24Class, "Bulk_Erase()   FALSE  \r\n");
        return 0;
    }
    return 1;
}

template <const SerialFlashFamily& Family>
int CSerialFlashAdd24<Family>::EraseChip(const std::function<void(uint32_t)>& onWait) {
    vexu::Trace(this->Name() + " " + Family.add24Class + "EraseChip()  \r\n");
    // A chip whose bulk erase time is not known cannot be waited for.
    if (this->bulkEraseMaxMs_ == 0) {
        TraceJoined(Family.add24Class, "EraseChip() no bulk erase time  FALSE  \r\n");
        return 0;
    }
    if (!Bulk_Erase()) return 0;
    const uint32_t limitMs = 2 * this->bulkEraseMaxMs_;
    for (uint32_t waitedMs = 0; waitedMs < limitMs;) {
        vexu::GetClock().SleepMs(kBulkEraseWaitStepMs);
        waitedMs += kBulkEraseWaitStepMs;
        const bool busy = this->IsBusy() == 1;
        if (onWait) onWait(waitedMs);
        if (!busy) return 1;
    }
    TraceJoined(Family.add24Class, "EraseChip() still busy  FALSE  \r\n");
    return 0;
}

template <const SerialFlashFamily& Family>
int CSerialFlashAdd24<Family>::WriteInit() {
    vexu::Trace(this->Name() + " " + Family.add24Class + "WriteInit()  \r\n");
    for (int sector = 0; sector < this->sectorTotal_; ++sector) {
        if (!SectorErase(sector)) return 0;
    }
    return 1;
}

template <const SerialFlashFamily& Family>
int CSerialFlashAdd24<Family>::WriteVisualPage(int page, const char* data, int len) {
    TracePageOperation(this->Name(), Family.add24Class, "WriteVisualPage", page);
    if (!Page_Program(static_cast<unsigned>(page), data, static_cast<unsigned>(len))) return 0;
    return WaitUntilReady([this] { return this->IsBusy(); }, timing_, kFixedProgramWait, programUs_.typical,
                          programUs_.max, pollUs_)
               ? 1
               : 0;
}

template <const SerialFlashFamily& Family>
void CSerialFlashAdd24<Family>::UseChipTiming(const FlashPart& part) {
    timing_ = FlashTiming::kChip;
    programUs_ = part.programUs;
    sectorEraseMs_ = part.erase[0].ms;
}

template <const SerialFlashFamily& Family>
uint32_t CSerialFlashAdd24<Family>::EraseUnitSize() const {
    return static_cast<uint32_t>(std::max(0, this->sectorSize_));
}

template <const SerialFlashFamily& Family>
int CSerialFlashAdd24<Family>::EraseUnit(uint32_t index) {
    return SectorErase(static_cast<int>(index));
}

template <const SerialFlashFamily& Family>
int CSerialFlashAdd24<Family>::ReadInit() {
    vexu::Trace(this->Name() + " " + Family.add24Class + "ReadInit()  \r\n");
    return 1;
}

template <const SerialFlashFamily& Family>
int CSerialFlashAdd24<Family>::ReadVisualPage(int page, char* data, int len) {
    TracePageOperation(this->Name(), Family.add24Class, "ReadVisualPage", page);
    return Read_Data_Bytes(static_cast<unsigned>(page), data, static_cast<unsigned>(len));
}

template class CSerialFlash<kStFamily>;
template class CSerialFlash<kTsiFamily>;
template class CSerialFlashAdd24<kStFamily>;
template class CSerialFlashAdd24<kTsiFamily>;
