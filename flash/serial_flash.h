// The SPI serial flash chip families. The ST line (CStFlash, CStFlashAdd24p)
// and the TSI line (CTsiFlash, CTsiFlashAdd24) use the same instructions and
// differ only in their maker and in the names they use for themselves, so
// each line is one instance of the same two class templates, told apart by a
// family record. Every chip operation is one serial transfer through the
// programmer box, which sends the write-enable instruction by itself before
// each program and erase frame.
#pragma once

#include <cstdint>

#include "flash/chip_table.h"
#include "flash/flash_wait.h"
#include "flash/memory.h"

// The names a family's classes give themselves.
struct SerialFlashFamily {
    const char* vendor;            // "ST"
    const char* defaultName;       // name of a default-built family object
    const char* add24DefaultName;  // name of a default-built 24-bit object
    const char* statusClass;       // class in the status-read failure line
    const char* add24Class;        // class in the 24-bit class's trace lines
};

inline constexpr SerialFlashFamily kStFamily{"ST", "STSerialFlash", "STSerialFlashAddress24bit",
                                             "CStFlash::", "CStFlashAdd24p::"};
inline constexpr SerialFlashFamily kTsiFamily{"TSI", "TSISerialFlash", "TsiSerialFlashAddress24bit",
                                              "CTsiFlash::", "CTsiFlashAdd24::"};

// SPI instructions.
enum : uint8_t {
    kSpiPageProgram = 0x02,
    kSpiReadData = 0x03,
    kSpiReadStatus = 0x05,
    kSpiWriteEnable = 0x06,
    kSpiSectorErase = 0xD8,
    kSpiBulkErase = 0xC7,
};

// Status register bit 0: a program or erase cycle is in progress.
constexpr uint8_t kStatusWriteInProgress = 0x01;

// Busy waits: kFixedEraseWait and kFixedProgramWait (flash_wait.h), or the
// chip's own times once UseChipTiming was called.
// A bulk erase takes seconds: it is tested every 100 ms, for twice the
// longest time the chip's datasheet gives it.
constexpr uint32_t kBulkEraseWaitStepMs = 100;

// One chip: its geometry and signature bytes.
struct SerialFlashGeometry {
    const char* name;
    int memorySize;
    int pageSize;
    int pageTotal;
    int sectorSize;
    int sectorTotal;
    uint8_t signature[3];
    uint32_t bulkEraseTypicalMs;  // a whole-chip erase, as the datasheet gives it
    uint32_t bulkEraseMaxMs;
};

// Family class: the chip geometry, the status read and the busy test.
template <const SerialFlashFamily& Family>
class CSerialFlash : public CMemory {
public:
    CSerialFlash();
    CSerialFlash(const char* name, int addressBits, int memorySize, int pageSize, int pageTotal,
                 int sectorSize, int sectorTotal, uint8_t signature0, uint8_t signature1,
                 uint8_t signature2);
    ~CSerialFlash() override;

    // Reads len status bytes into out; 1 when the transfer succeeded.
    int Read_Status_Register(unsigned char* out, int len);
    // 1 while a program or erase runs, 0 when ready. A status read that
    // fails counts as busy.
    int IsBusy();

    int GetMemorySize() const { return memorySize_; }
    int GetPageSize() const { return pageSize_; }
    int GetPageTotal() const { return pageTotal_; }
    int GetSectorSize() const { return sectorSize_; }
    int GetSectorTotal() const { return sectorTotal_; }
    uint32_t GetBulkEraseMaxMs() const { return bulkEraseMaxMs_; }

protected:
    explicit CSerialFlash(const char* defaultName);

    uint8_t signature_[3];
    int addressBits_;
    int memorySize_;
    int pageSize_;
    int pageTotal_;
    int sectorSize_;
    int sectorTotal_;
    uint32_t bulkEraseMaxMs_ = 0;  // 0: the chip's time is not known, no bulk erase
};

// 24-bit addressing: page read, page program and sector erase, and the four
// operations of a memory device on top of them.
template <const SerialFlashFamily& Family>
class CSerialFlashAdd24 : public CSerialFlash<Family> {
public:
    CSerialFlashAdd24();
    CSerialFlashAdd24(const char* name, int memorySize, int pageSize, int pageTotal, int sectorSize,
                      int sectorTotal, uint8_t signature0, uint8_t signature1, uint8_t signature2);
    explicit CSerialFlashAdd24(const SerialFlashGeometry& chip);
    ~CSerialFlashAdd24() override;

    // Reads len bytes (1 to pageSize) from the start of page index.
    int Read_Data_Bytes(unsigned index, char* dst, unsigned len);
    // Sends the program frame for len bytes (1 to pageSize) at the start of
    // page index; does not wait for the chip.
    int Page_Program(unsigned index, const char* src, unsigned len);
    // Sends the erase frame of sector index; does not wait for the chip.
    int Sector_Erase(unsigned index);
    // Erases sector index and waits until the chip is ready.
    int SectorErase(int index);
    // Sends the bulk erase frame; does not wait for the chip.
    int Bulk_Erase();

    // Erases every sector, one by one.
    int WriteInit() override;
    // Programs one page and waits until the chip is ready.
    int WriteVisualPage(int page, const char* data, int len) override;
    int ReadInit() override;
    int ReadVisualPage(int page, char* data, int len) override;
    // Bulk erase, then waits until the chip is ready, at most twice the
    // longest bulk erase of the chip.
    int EraseChip(const std::function<void(uint32_t waitedMs)>& onWait) override;
    // Sector erase and page program wait from the part's times.
    void UseChipTiming(const FlashPart& part) override;
    // The sector.
    uint32_t EraseUnitSize() const override;
    int EraseUnit(uint32_t index) override;

private:
    FlashTiming timing_ = FlashTiming::kFixed;
    FlashTime programUs_;
    FlashTime sectorEraseMs_;
    uint64_t pollUs_ = 0;  // what the last status test took

    // The 24-bit chip address of unit index of unitSize bytes.
    static uint32_t Address(unsigned index, int unitSize);
};

using CStFlash = CSerialFlash<kStFamily>;
using CStFlashAdd24p = CSerialFlashAdd24<kStFamily>;
using CTsiFlash = CSerialFlash<kTsiFamily>;
using CTsiFlashAdd24 = CSerialFlashAdd24<kTsiFamily>;

extern template class CSerialFlash<kStFamily>;
extern template class CSerialFlash<kTsiFamily>;
extern template class CSerialFlashAdd24<kStFamily>;
extern template class CSerialFlashAdd24<kTsiFamily>;
