// The flash-based FPGA on the simulated board, as a device on the JTAG
// chain (8-bit instruction register).
//
// It holds what the real device holds - array rows, the RLOCK row, eight
// FlashROM pages, the UROW, the factory row, the security register (user
// lock bits and silicon signature), pass key, AES key and NVM pages - and
// the instructions of the programming sequences read and change that
// state. Operations take virtual time (vexu::GetClock()): a program, erase
// or verify keeps the device busy, and the status register says so.
//
// Conventions of the model:
// - Register bit i is bit (i % 8) of byte (i / 8), shifted first; values
//   are little-endian, as the programming engine keeps them.
// - Flash cells read 1 when erased; programming can only clear bits
//   (stored = stored AND data). NVM pages are written whole (page program
//   includes its own erase). The security register and the keys are
//   written as given; erasing them makes them 0.
// - Array rows are numbered as the programming sequence counts them: the
//   row address reset selects row rowCount - 1 and every "next" steps one
//   row down, so the k-th row loaded after a reset lands in row
//   rowCount - 1 - k.
// - Data registers are loaded at Update-DR; an operation that an
//   instruction starts (program, erase, verify, compare, reads that take
//   time, key checks) runs at the first Run-Test/Idle clock after the
//   Update-DR (or, for instructions without data, after the Update-IR).
// - Operations that change the device need programming mode; started while
//   the device is busy they are dropped. Both are counted as protocol
//   slips (Counters()), which a correct programming sequence never makes.
// - Plain programming and reading of protected regions need the pass key
//   to have been matched since programming mode was entered; encrypted
//   data needs only the AES key. Array and FlashROM erase stay allowed
//   when encrypted programming of that region is enabled.
//
// The encrypted data formats are those of sim/fpga_crypto.h.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "sim/counted_wait.h"
#include "sim/fpga_crypto.h"
#include "sim/fpga_scenario.h"
#include "sim/jtag_device.h"

namespace vexu::sim {

// How often the device did things, and the slips of whoever drove it.
struct FpgaCounters {
    uint32_t programModeEntries = 0;
    uint32_t erases = 0;            // erase operations started
    uint32_t arrayErases = 0;       // ... that erased the array
    uint32_t rowPrograms = 0;       // array row program pulses that programmed
    uint32_t rlockPrograms = 0;
    uint32_t verifies = 0;          // verify passes run
    uint32_t flashRomPrograms = 0;  // page programs, plain and encrypted
    uint32_t flashRomCompares = 0;
    uint32_t urowPrograms = 0;
    uint32_t securityPrograms = 0;  // security register programs
    uint32_t passKeyPrograms = 0;
    uint32_t aesKeyPrograms = 0;
    uint32_t passKeyPresentations = 0;
    uint32_t aesChecks = 0;
    uint32_t nvmPagePrograms = 0;
    uint32_t rowsAuthenticated = 0;  // encrypted rows that opened
    uint32_t authFailures = 0;       // encrypted units or trailers that did not
    uint32_t nvmFramesRefused = 0;
    uint32_t refusedByProtection = 0;  // plain operations on protected regions
    uint32_t addressOutOfRange = 0;    // program or verify with no row or NVM page there
    uint32_t nvmWordsBeyondPage = 0;   // page-buffer loads past word 31
    // Protocol slips: a correct programming sequence makes none.
    uint32_t outsideProgrammingMode = 0;
    uint32_t whileBusy = 0;
    uint32_t oddLengthScans = 0;  // data scans not as long as their register
};

class FpgaModel final : public JtagDevice {
public:
    explicit FpgaModel(const FpgaScenario& scenario = FpgaScenario{});

    // JtagDevice
    unsigned IrLength() const override { return 8; }
    void Reset() override;
    uint32_t CaptureIr() override;
    void UpdateIr(uint32_t instruction) override;
    void CaptureDr() override;
    bool ShiftDr(bool tdi) override;
    void UpdateDr() override;
    void ResumeDr() override;
    void Clock(TapState state, uint32_t cycles) override;

    // Inspection.
    const FpgaScenario& Scenario() const { return scenario_; }
    uint32_t RowBytes() const { return rowBytes_; }
    // Array row as its plain bytes (rowWidthFactor x 26); empty when out of range.
    std::span<const uint8_t> ArrayRow(uint32_t row) const;
    std::span<const uint8_t> Rlock() const { return rlock_; }
    bool IsArrayBlank() const;
    const std::array<uint8_t, 16>& FlashRomPage(unsigned page) const { return flashRom_[page & 7]; }
    const std::array<uint8_t, 16>& Urow() const { return urow_; }
    // The security register, L bits (44 or 56) in 6 or 7 bytes.
    std::vector<uint8_t> SecurityRegister() const;
    // Lock bits 0-23 as the engine's security word holds them.
    uint32_t SecurityLockWord() const;
    uint32_t SiliconSignature() const;
    const AesKey128& PassKey() const { return passKey_; }
    const AesKey128& AesKey() const { return aesKey_; }
    // NVM word (block, page within the block, word 0..31).
    uint32_t NvmWord(unsigned block, uint32_t page, unsigned word) const;
    std::span<const uint8_t> BoundaryScanRegister() const { return bsr_; }
    bool InProgrammingMode() const { return programMode_; }
    bool PassKeyMatched() const { return unlocked_; }
    uint8_t CurrentInstruction() const { return instruction_; }
    const FpgaCounters& Counters() const { return counters_; }
    // The operations counted in polls (FpgaScenario::readyPolls).
    const CountedWait& ProgramWait() const { return programWait_; }
    const CountedWait& EraseWait() const { return eraseWait_; }
    const CountedWait& NvmAddressWait() const { return nvmAddressWait_; }
    const CountedWait& NvmPageWait() const { return nvmPageWait_; }
    const CountedWait& NvmReadWait() const { return nvmReadWait_; }

    // Length in bits of the data register an instruction selects.
    unsigned DataRegisterBits(uint8_t instruction) const;

private:
    struct InstructionEntry;
    static std::span<const InstructionEntry> Instructions();

    using Bytes = std::vector<uint8_t>;
    using NvmPage = std::array<uint32_t, 32>;

    // The data register between Capture-DR and Update-DR: a ring so that
    // one shift costs the same for 2 bits as for 2424.
    class ShiftRegister {
    public:
        void Load(unsigned bits, const Bytes& value);
        bool Shift(bool tdi);
        Bytes Value() const;
        unsigned Length() const { return length_; }
        uint64_t Shifted() const { return shifted_; }

    private:
        std::vector<uint8_t> bits_;
        unsigned length_ = 0;
        unsigned head_ = 0;
        uint64_t shifted_ = 0;
    };

    const InstructionEntry* Find(uint8_t code) const;
    uint64_t Now() const;
    bool ProgramBusy() const;
    bool EraseBusy() const;
    bool NvmBusy() const;
    // Common gate of operations that change the device.
    bool MayOperate(bool busy);
    bool Locked(uint32_t lockBits) const;
    void Schedule(uint64_t& until, uint32_t us, bool never);
    void Schedule(uint64_t& until, uint32_t us, bool never, CountedWait& counted);
    void ScheduleProgram(uint32_t us);
    void CountRead(CountedWait& counted, uint64_t& until);
    void Hold(uint64_t& until, uint64_t newUntil);
    // The counted operation whose poll reads the current instruction's register.
    CountedWait* PolledWait();

    // Captures.
    Bytes CaptureIdcode();
    Bytes CaptureSilsig();
    Bytes CaptureStatus();
    Bytes CaptureModeFlag();
    Bytes CaptureVerifyResult();
    Bytes CapturePageSelect();
    Bytes CaptureCompareResult();
    Bytes CaptureFlashRomRead();
    Bytes CaptureUrowRead();
    Bytes CaptureFactoryRow();
    Bytes CaptureSecurity();
    Bytes CaptureMatchResult();
    Bytes CaptureAesResponse();
    Bytes CaptureNvmAddressStatus();
    Bytes CaptureNvmPageStatus();
    Bytes CaptureNvmRead();
    Bytes CaptureNvmFrameStatus();
    Bytes CaptureBoundaryScan();

    // Operations.
    void EnterProgrammingMode(const Bytes& data);
    void ExitProgrammingMode(const Bytes& data);
    void LoadBoundaryScan(const Bytes& data);
    void Erase(const Bytes& data);
    void AddressRow(const Bytes& data);
    void LoadPlainFrame(const Bytes& data);
    void LoadEncryptedFrame(const Bytes& data);
    void ProgramRow(const Bytes& data);
    void ProgramRlock(const Bytes& data);
    void VerifyPass0(const Bytes& data);
    void VerifyPass1(const Bytes& data);
    void Verify(unsigned pass);
    void SelectPage(const Bytes& data);
    void ProgramFlashRomPage(const Bytes& data);
    void CompareFlashRomPage(const Bytes& data);
    void ReadFlashRomPage(const Bytes& data);
    void LoadEncryptedPageFrame(const Bytes& data);
    void ProgramEncryptedPage(const Bytes& data);
    void ProgramUrow(const Bytes& data);
    void ReadUrow(const Bytes& data);
    void SelectFactoryRow(const Bytes& data);
    void ReadFactoryRow(const Bytes& data);
    void ProgramSecurity(const Bytes& data);
    void ProgramPassKey(const Bytes& data);
    void ProgramAesKey(const Bytes& data);
    void MatchPassKey(const Bytes& data);
    void CheckAes(const Bytes& data);
    void ResetDecryptor(const Bytes& data);
    void LoadNvmAddress(const Bytes& data);
    void LoadNvmWord(const Bytes& data);
    void ProgramNvmPage(const Bytes& data);
    void ReadNvmWord(const Bytes& data);
    void LoadNvmFrame(const Bytes& data);
    void LoadNvmTrailer(const Bytes& data);

    // Helpers.
    Bytes RowBuffer() const;
    void SetRowBuffer(const Bytes& row);
    void ProgramCells(std::span<uint8_t> cells, const Bytes& data);
    void WriteSecurityRegister(const Bytes& value);
    NvmPage ReadNvmPage(uint32_t page) const;
    bool NvmPageInDevice(uint32_t page) const;

    FpgaScenario scenario_;
    uint32_t rowBytes_ = 0;
    unsigned securityBits_ = 0;
    unsigned nvmBlocks_ = 0;

    // What the device holds.
    Bytes array_;
    Bytes rlock_;
    std::array<std::array<uint8_t, 16>, 8> flashRom_{};
    std::array<uint8_t, 16> urow_{};
    std::array<uint8_t, 7> security_{};
    AesKey128 passKey_{};
    AesKey128 aesKey_{};
    std::map<uint32_t, NvmPage> nvm_;  // device-wide page number -> words
    Bytes bsr_;

    // TAP-side state.
    uint8_t instruction_ = 0x0F;
    const InstructionEntry* current_ = nullptr;
    ShiftRegister dr_;
    bool pending_ = false;
    Bytes pendingData_;

    // Programming mode and protection.
    bool programMode_ = false;
    bool modeRequestRefused_ = false;
    bool modeFault_ = false;
    bool unlocked_ = false;

    // Busy times.
    uint64_t programBusyUntil_ = 0;
    uint64_t eraseBusyUntil_ = 0;
    CountedWait programWait_;
    CountedWait eraseWait_;
    CountedWait nvmAddressWait_;
    CountedWait nvmPageWait_;
    CountedWait nvmReadWait_;

    // Array row path.
    int64_t rowAddress_ = -1;
    std::vector<uint32_t> rowFrames_;  // ring of 26-bit frames
    size_t rowHead_ = 0;
    bool rowBufferValid_ = true;
    bool rowBufferEncrypted_ = false;
    std::array<uint8_t, 2> verifyResult_{};
    std::array<uint64_t, 2> verifyReadyAt_{};

    // Decryptor (encrypted rows and FlashROM pages).
    bool authFailed_ = false;
    std::array<uint8_t, fpga_crypto::kUnitBytes> unit_{};
    bool unitHalf_ = false;
    uint64_t unitsSinceReset_ = 0;
    uint64_t rowsSinceReset_ = 0;
    Bytes encryptedRow_;
    bool encryptedRowBad_ = false;
    std::array<uint8_t, fpga_crypto::kUnitBytes> pageUnit_{};
    bool pageFirstFrame_ = false;

    // FlashROM.
    uint8_t selectedPage_ = 0;
    uint8_t compareResult_ = 0;
    uint64_t compareReadyAt_ = 0;
    std::array<uint8_t, 16> flashRomLatch_{};
    uint64_t flashRomReadyAt_ = 0;

    // UROW and factory row reads.
    std::array<uint8_t, 16> urowLatch_{};
    uint64_t urowReadyAt_ = 0;
    uint8_t factorySelect_ = 0;
    std::array<uint8_t, 16> factoryLatch_{};
    uint64_t factoryReadyAt_ = 0;

    // Security checks.
    uint8_t matchResult_ = 0;
    uint64_t matchReadyAt_ = 0;
    std::array<uint8_t, 16> aesResponse_{};
    uint64_t aesReadyAt_ = 0;

    // NVM, plain path.
    uint32_t nvmPage_ = 0;
    uint32_t nvmWord_ = 0;
    NvmPage nvmBuffer_{};
    uint64_t nvmAddressBusyUntil_ = 0;
    uint64_t nvmProgramBusyUntil_ = 0;
    uint32_t nvmReadWord_ = 0;
    uint64_t nvmReadReadyAt_ = 0;

    // NVM, encrypted path.
    std::array<uint8_t, fpga_crypto::kNvmPageBytes> nvmEncryptedPage_{};
    std::array<uint8_t, fpga_crypto::kUnitBytes> nvmUnit_{};
    unsigned nvmFrames_ = 0;  // data frames of the current page
    bool nvmRefused_ = false;
    bool nvmFrameDropped_ = false;
    uint32_t nvmFramesOffered_ = 0;

    FpgaCounters counters_;
};

}  // namespace vexu::sim
