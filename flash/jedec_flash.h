// CJedecFlash: any SPI NOR part of the chip table that is not one of the
// first boards' chips, driven from its row alone: page read (0x03, or 0x13
// with four address bytes), page program (0x02 or 0x12), the row's erase
// types, the status register (0x05, written with 0x01) and the bulk erase
// (0xC7), with which the serial-flash job erases the whole chip. The programmer box sends write enable before each program, erase
// and status write.
#pragma once

#include <cstdint>
#include <string>

#include "flash/chip_table.h"
#include "flash/flash_wait.h"
#include "flash/memory.h"

class CJedecFlash : public CMemory {
public:
    // part is copied: a row made from a chip's SFDP table may not outlive
    // the identification.
    CJedecFlash(const FlashPart& part, std::string name, FlashTiming timing);
    ~CJedecFlash() override;

    // Erases the whole chip with one bulk erase (0xC7) and waits for it.
    int WriteInit() override;
    // Programs one page and waits until the chip is ready.
    int WriteVisualPage(int page, const char* data, int len) override;
    int ReadInit() override;
    int ReadVisualPage(int page, char* data, int len) override;
    int EraseChip(const std::function<void(uint32_t waitedMs)>& onWait) override;
    void UseChipTiming(const FlashPart& part) override;
    uint32_t EraseUnitSize() const override;
    int EraseUnit(uint32_t index) override;

    // The status register; 1 when it was read.
    int ReadStatus(uint8_t& status);
    // Writes the status register and waits until the write is done.
    int WriteStatus(uint8_t status);
    int IsBusy();
    // The lock register of a 64 KiB sector, where the part has them.
    int ReadSectorLock(uint32_t sector, uint8_t& lock);
    int WriteSectorLock(uint32_t sector, uint8_t lock);
    const FlashPart& Part() const { return part_; }

private:
    int Read(uint32_t address, uint8_t* dst, uint32_t len);
    int Program(uint32_t address, const uint8_t* src, uint32_t len);
    int Erase(const FlashErase& erase, uint32_t address);
    int SendBulkErase();
    // The instruction and address bytes of a frame.
    size_t Header(uint8_t* frame, uint8_t opcode3, uint8_t opcode4, uint32_t address) const;
    void Trace(const char* operation) const;

    FlashPart part_;
    FlashTiming timing_;
    uint64_t pollUs_ = 0;  // what the last status test took
};
