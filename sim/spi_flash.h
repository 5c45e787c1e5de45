// SPI serial flash chips on the simulated board, one model for every part of
// the chip table (flash/chip_table.h), each from its row: its JEDEC ID and
// one-byte signature, size, page size, erase types and opcodes (three- and
// four-byte address forms), program and erase times, block protection in
// the status register, and the SFDP table its datasheet gives. Instructions:
// RES, RDID, READ (0x03, 0x13), PAGE PROGRAM (0x02, 0x12), the row's erases,
// BULK ERASE (0xC7, 0x60), READ and WRITE STATUS, WRITE ENABLE and DISABLE,
// READ SFDP. Program and erase take their time on the system clock; while
// one runs the chip decodes only READ STATUS.
//
// The contents are kept in 64 KiB blocks made when first written, so that a
// 128 MiB part costs only what a run writes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "flash/chip_table.h"
#include "sim/counted_wait.h"
#include "sim/spi_device.h"

namespace vexu::sim {

// A part as the model sees it: its row and the figures of its answers and
// times.
struct FlashChip {
    const FlashPart* part;
    const char* name;
    uint32_t size;
    uint8_t resSignature;  // answer to RES (0xAB + three dummy bytes); 0xFF: the part does not drive it
    uint8_t jedecId[3];    // answer to RDID (0x9F)
    uint32_t pageProgramUs;  // typical page program time
    uint32_t sectorEraseUs;  // typical time of the 0xD8 erase
    uint32_t bulkEraseUs;    // typical bulk erase time
};

constexpr uint32_t kFlashPageSize = 256;
constexpr uint32_t kFlashSectorSize = 0x10000;

// Every part of the chip table. The TS25L80P answers RES with 0x14, outside
// the M25P signatures, so that only its RDID tells it apart.
std::span<const FlashChip> FlashChips();
// Exact, case-sensitive name; null when unknown.
const FlashChip* FindFlashChip(std::string_view name);
// The SFDP area (header, parameter header, basic flash parameter table of
// JESD216B) that a part's datasheet gives, from its row.
std::vector<uint8_t> SfdpImage(const FlashPart& part);

// Instructions and status bits.
enum : uint8_t {
    kFlashWriteStatus = 0x01,
    kFlashWriteEnable = 0x06,
    kFlashWriteDisable = 0x04,
    kFlashReadStatus = 0x05,
    kFlashRead = 0x03,
    kFlashRead4 = 0x13,
    kFlashPageProgram = 0x02,
    kFlashPageProgram4 = 0x12,
    kFlashSectorErase = 0xD8,
    kFlashBulkErase = 0xC7,
    kFlashBulkErase60 = 0x60,
    kFlashReadSfdp = 0x5A,
    kFlashReadId = 0x9F,
    kFlashWriteSectorLock = 0xE5,
    kFlashReadSectorLock = 0xE8,
    kFlashReleaseSignature = 0xAB,
    kFlashStatusWip = 0x01,
    kFlashStatusWel = 0x02,
};

class SpiFlash final : public SpiDevice {
public:
    explicit SpiFlash(const FlashChip& chip, uint8_t fill = 0xFF);
    ~SpiFlash() override;

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
    // A flaky read path: every second READ returns bit 0 of its first data
    // byte inverted.
    void SetFlakyReads(bool flaky) { flakyReads_ = flaky; }
    // A relabelled part: RDID answers these bytes, SFDP serves this table.
    void SetJedecId(uint8_t maker, uint8_t type, uint8_t capacity);
    void SetSfdp(std::vector<uint8_t> sfdp) { sfdp_ = std::move(sfdp); }
    // The status register's non-volatile bits (block protection) as the
    // board's chip keeps them.
    void SetStatusBits(uint8_t bits) { statusBits_ = static_cast<uint8_t>(bits & ~(kFlashStatusWip | kFlashStatusWel)); }
    // A sector's lock register (parts with sector locks; 64 KiB sectors).
    void SetSectorLock(uint32_t sector, uint8_t lock) { locks_.at(sector) = lock; }
    uint8_t SectorLock(uint32_t sector) const { return locks_.at(sector); }

    const FlashChip& Chip() const { return chip_; }
    // The whole array. The first call makes it one flat copy that the model
    // then works on (tests and scenario files are about small chips).
    const std::vector<uint8_t>& Contents() const;
    std::vector<uint8_t>& MutableContents();
    uint8_t ByteAt(uint32_t address) const;
    // The status register as READ STATUS would give it now.
    uint8_t Status();
    bool Busy();
    uint64_t ProgramCount() const { return programs_; }
    uint64_t EraseCount() const { return erases_; }
    uint64_t StatusWriteCount() const { return statusWrites_; }

private:
    void Settle();
    void StartBusy(uint32_t us, CountedWait& counted, CountedWait& other);
    void CountStatusRead();
    uint32_t AddressBytes() const;
    bool Protected(uint32_t base, uint32_t length) const;
    const FlashErase* EraseType(uint8_t opcode, bool& fourByte) const;
    void ExecutePageProgram();
    void ExecuteErase(const FlashErase& erase);
    void ExecuteBulkErase();
    void Erase(uint32_t base, uint32_t length);
    uint8_t& Cell(uint32_t address);

    const FlashChip& chip_;
    uint8_t fill_;
    mutable std::vector<std::unique_ptr<uint8_t[]>> blocks_;  // 64 KiB each, null: all one value,
    mutable std::vector<uint8_t> blockValue_;                 // which (fill_ until erased)
    mutable std::vector<uint8_t> flat_;                       // the whole array once asked for
    uint8_t jedecId_[3];
    std::vector<uint8_t> sfdp_;
    uint8_t statusBits_ = 0;
    std::vector<uint8_t> locks_;  // per 64 KiB sector, where the part has lock registers
    bool wel_ = false;
    bool busy_ = false;
    uint64_t busyUntilUs_ = 0;
    bool stuckBusy_ = false;
    uint32_t busyPercent_ = 100;
    std::optional<uint32_t> bitErrorPage_;
    CountedWait eraseWait_;
    CountedWait programWait_;
    std::optional<uint32_t> eraseFailPage_;
    bool flakyReads_ = false;
    uint64_t reads_ = 0;

    // The instruction of the current chip-select cycle.
    bool selected_ = false;
    bool ignored_ = false;  // not decoded (busy, or unknown instruction)
    uint8_t opcode_ = 0;
    uint32_t bytes_ = 0;  // bytes clocked in this cycle, opcode included
    uint32_t addressBytes_ = 0;  // of this instruction
    uint32_t address_ = 0;
    uint8_t newStatus_ = 0;
    std::vector<uint8_t> pageData_;  // page program data by page offset
    std::vector<bool> pageWritten_;  // which offsets were sent
    uint32_t pageBytes_ = 0;

    uint64_t programs_ = 0;
    uint64_t erases_ = 0;
    uint64_t statusWrites_ = 0;
};

}  // namespace vexu::sim
