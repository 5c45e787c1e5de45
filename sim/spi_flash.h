// SPI serial flash chips on the simulated board: the M25P20, M25P40 and
// M25P80 and the TS25L80P. One table row per chip; one behaviour for all:
// RES, RDID, READ, PAGE PROGRAM, SECTOR ERASE, BULK ERASE, READ STATUS, WRITE
// ENABLE and WRITE DISABLE.
// Program and erase take their time on the system clock; while one runs the
// chip decodes only READ STATUS.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "sim/counted_wait.h"
#include "sim/spi_device.h"

namespace vexu::sim {

struct FlashChip {
    const char* name;
    uint32_t size;
    uint8_t resSignature;   // answer to RES (0xAB + three dummy bytes)
    uint8_t jedecId[3];     // answer to RDID (0x9F)
    uint32_t pageProgramUs;  // typical page program time
    uint32_t sectorEraseUs;  // typical sector erase time
    uint32_t bulkEraseUs;    // typical bulk erase time
};

constexpr uint32_t kFlashPageSize = 256;
constexpr uint32_t kFlashSectorSize = 0x10000;

// The chips the board can carry. The TS25L80P answers RES with 0x14, outside
// the M25P signatures, so that only its RDID tells it apart.
std::span<const FlashChip> FlashChips();
// Exact, case-sensitive name; null when unknown.
const FlashChip* FindFlashChip(std::string_view name);

// Instructions and status bits.
enum : uint8_t {
    kFlashWriteEnable = 0x06,
    kFlashWriteDisable = 0x04,
    kFlashReadStatus = 0x05,
    kFlashRead = 0x03,
    kFlashPageProgram = 0x02,
    kFlashSectorErase = 0xD8,
    kFlashBulkErase = 0xC7,
    kFlashReadId = 0x9F,
    kFlashReleaseSignature = 0xAB,
    kFlashStatusWip = 0x01,
    kFlashStatusWel = 0x02,
};

class SpiFlash final : public SpiDevice {
public:
    explicit SpiFlash(const FlashChip& chip, uint8_t fill = 0xFF);

    void Select() override;
    uint8_t Transfer(uint8_t mosi) override;
    void Deselect() override;

    // Faults. A stuck chip never finishes a program or erase once one has
    // begun. A bit error leaves bit 0 of the first byte of the page inverted
    // after each program of that page.
    void SetStuckBusy(bool stuck) { stuckBusy_ = stuck; }
    // Program and erase take this share of the chip's typical times (100:
    // as the table gives them, 0: done at once, so that the number of
    // status polls does not depend on how fast the host runs).
    void SetBusyPercent(uint32_t percent) { busyPercent_ = percent; }
    void SetBitErrorPage(std::optional<uint32_t> page) { bitErrorPage_ = page; }
    // The first sector erase, or the first page program, that the host polls
    // is ready at the N-th status byte read instead of after its time (0:
    // by time).
    void SetEraseReadyPoll(uint32_t poll) { eraseWait_.SetReadyPoll(poll); }
    void SetProgramReadyPoll(uint32_t poll) { programWait_.SetReadyPoll(poll); }
    const CountedWait& EraseWait() const { return eraseWait_; }
    const CountedWait& ProgramWait() const { return programWait_; }
    // A worn cell: every erase leaves bit 0 of the first byte of the page
    // at 0.
    void SetEraseFailPage(std::optional<uint32_t> page) { eraseFailPage_ = page; }

    const FlashChip& Chip() const { return chip_; }
    const std::vector<uint8_t>& Contents() const { return memory_; }
    // Fills the array directly (initial contents of a scenario or a test).
    std::vector<uint8_t>& MutableContents() { return memory_; }
    // The status register as READ STATUS would give it now.
    uint8_t Status();
    bool Busy();
    uint64_t ProgramCount() const { return programs_; }
    uint64_t EraseCount() const { return erases_; }

private:
    void Settle();
    void StartBusy(uint32_t us, CountedWait& counted, CountedWait& other);
    void CountStatusRead();
    void ExecutePageProgram();
    void ExecuteSectorErase();
    void ExecuteBulkErase();
    void Erase(uint32_t base, uint32_t length);

    const FlashChip& chip_;
    std::vector<uint8_t> memory_;
    bool wel_ = false;
    bool busy_ = false;
    uint64_t busyUntilUs_ = 0;
    bool stuckBusy_ = false;
    uint32_t busyPercent_ = 100;
    std::optional<uint32_t> bitErrorPage_;
    CountedWait eraseWait_;
    CountedWait programWait_;
    std::optional<uint32_t> eraseFailPage_;

    // The instruction of the current chip-select cycle.
    bool selected_ = false;
    bool ignored_ = false;  // not decoded (busy, or unknown instruction)
    uint8_t opcode_ = 0;
    uint32_t bytes_ = 0;  // bytes clocked in this cycle, opcode included
    uint32_t address_ = 0;
    std::vector<uint8_t> pageData_;     // page program data by page offset
    std::vector<bool> pageWritten_;     // which offsets were sent
    uint32_t pageBytes_ = 0;

    uint64_t programs_ = 0;
    uint64_t erases_ = 0;
};

}  // namespace vexu::sim
