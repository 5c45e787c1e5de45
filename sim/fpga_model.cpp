// The simulated flash-based FPGA: its instruction table, the registers the
// instructions select, and the operations they start.
#include "sim/fpga_model.h"

#include <algorithm>
#include <limits>

#include "platform/clock.h"

namespace vexu::sim {
namespace {

using namespace fpga_crypto;

constexpr unsigned kFrameBits = 26;  // plain row frame
constexpr unsigned kFramesPerChunk = kArrayChunkBytes * 8 / kFrameBits;  // 8

// Lock bits of the security word.
constexpr uint32_t kArrayVerifyLocked = 1u << 12;
constexpr uint32_t kArrayWriteLocked = 1u << 13;
constexpr uint32_t kFlashRomReadLocked = 1u << 16;
constexpr uint32_t kFlashRomWriteLocked = 1u << 17;
constexpr uint32_t kFlashRomEncrypted = 1u << 18;
constexpr uint32_t kSecurityLocked = 1u << 19;
constexpr uint32_t kArrayEncrypted = 1u << 20;
constexpr uint32_t NvmReadLocked(unsigned block) { return 1u << (3 * block); }
constexpr uint32_t NvmWriteLocked(unsigned block) { return 1u << (3 * block + 1); }
constexpr uint32_t NvmEncrypted(unsigned block) { return 1u << (3 * block + 2); }

// Status register (instruction 0x84) bits.
constexpr uint8_t kStatusProgramBusy = 0x01;
constexpr uint8_t kStatusEraseBusy = 0x02;
constexpr uint8_t kStatusModeFault = 0x04;
constexpr uint8_t kStatusAuthFailed = 0x08;

// IR capture bits beyond the standard 01.
constexpr uint8_t kIrUserMode = 0x04;
constexpr uint8_t kIrBusy = 0x08;
constexpr uint8_t kIrModeRefused = 0x20;

// Verify result bits: 1 mismatch, 2 not performed.
constexpr uint8_t kVerifyMismatch = 0x01;
constexpr uint8_t kVerifyNotDone = 0x02;

constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

uint32_t LittleEndian32(const std::vector<uint8_t>& data, size_t offset = 0) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4 && offset + i < data.size(); ++i) {
        value |= static_cast<uint32_t>(data[offset + i]) << (8 * i);
    }
    return value;
}

uint64_t LittleEndian64(const std::vector<uint8_t>& data) {
    uint64_t value = 0;
    for (size_t i = 0; i < 8 && i < data.size(); ++i) value |= static_cast<uint64_t>(data[i]) << (8 * i);
    return value;
}

std::vector<uint8_t> BytesOf(uint64_t value, size_t count) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count && i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
}

template <size_t N>
std::array<uint8_t, N> FirstBytes(const std::vector<uint8_t>& data) {
    std::array<uint8_t, N> out{};
    std::copy_n(data.begin(), std::min(N, data.size()), out.begin());
    return out;
}

}  // namespace

// --- The instruction table -----------------------------------------------

enum class RegisterLength : uint8_t { Fixed, BoundaryScan, Security };

enum class Trigger : uint8_t {
    None,
    AtUpdateDr,         // the data is taken at Update-DR
    IdleAfterUpdateDr,  // runs at the first Run-Test/Idle clock after Update-DR
    IdleAfterUpdateIr,  // runs at the first Run-Test/Idle clock after Update-IR
    AtUpdateIr,         // runs at Update-IR
};

struct FpgaModel::InstructionEntry {
    uint8_t code;
    RegisterLength length;
    uint16_t bits;
    Bytes (FpgaModel::*capture)();
    Trigger trigger;
    void (FpgaModel::*action)(const Bytes&);
    bool needsNvm;  // only devices with NVM blocks know it
};

std::span<const FpgaModel::InstructionEntry> FpgaModel::Instructions() {
    using L = RegisterLength;
    using T = Trigger;
    static const InstructionEntry table[] = {
        {0x0F, L::Fixed, 32, &FpgaModel::CaptureIdcode, T::None, nullptr, false},
        {0x0E, L::Fixed, 32, &FpgaModel::CaptureSilsig, T::None, nullptr, false},
        {0x01, L::BoundaryScan, 0, &FpgaModel::CaptureBoundaryScan, T::AtUpdateDr,
         &FpgaModel::LoadBoundaryScan, false},
        {0x80, L::Fixed, 18, &FpgaModel::CaptureModeFlag, T::IdleAfterUpdateDr,
         &FpgaModel::EnterProgrammingMode, false},
        {0x81, L::Fixed, 1, nullptr, T::AtUpdateIr, &FpgaModel::ExitProgrammingMode, false},
        {0x84, L::Fixed, 5, &FpgaModel::CaptureStatus, T::None, nullptr, false},
        {0x85, L::Fixed, 23, nullptr, T::IdleAfterUpdateDr, &FpgaModel::Erase, false},
        {0x87, L::Fixed, 2, nullptr, T::IdleAfterUpdateDr, &FpgaModel::AddressRow, false},
        {0x89, L::Fixed, kFrameBits, nullptr, T::AtUpdateDr, &FpgaModel::LoadPlainFrame, false},
        {0xDF, L::Fixed, 128, nullptr, T::AtUpdateDr, &FpgaModel::LoadEncryptedFrame, false},
        {0x83, L::Fixed, 1, nullptr, T::IdleAfterUpdateIr, &FpgaModel::ProgramRow, false},
        {0x8C, L::Fixed, 1, nullptr, T::IdleAfterUpdateIr, &FpgaModel::ProgramRlock, false},
        {0x8D, L::Fixed, 2, &FpgaModel::CaptureVerifyResult, T::IdleAfterUpdateDr,
         &FpgaModel::VerifyPass0, false},
        {0x8E, L::Fixed, 2, &FpgaModel::CaptureVerifyResult, T::IdleAfterUpdateDr,
         &FpgaModel::VerifyPass1, false},
        {0x9F, L::Fixed, 3, &FpgaModel::CapturePageSelect, T::AtUpdateDr, &FpgaModel::SelectPage,
         false},
        {0x9B, L::Fixed, 128, nullptr, T::IdleAfterUpdateDr, &FpgaModel::ProgramFlashRomPage, false},
        {0x9C, L::Fixed, 128, &FpgaModel::CaptureCompareResult, T::IdleAfterUpdateDr,
         &FpgaModel::CompareFlashRomPage, false},
        {0x93, L::Fixed, 128, &FpgaModel::CaptureFlashRomRead, T::IdleAfterUpdateDr,
         &FpgaModel::ReadFlashRomPage, false},
        {0xA5, L::Fixed, 128, nullptr, T::AtUpdateDr, &FpgaModel::LoadEncryptedPageFrame, false},
        {0xA6, L::Fixed, 128, nullptr, T::IdleAfterUpdateDr, &FpgaModel::ProgramEncryptedPage,
         false},
        {0xA7, L::Fixed, 128, nullptr, T::IdleAfterUpdateDr, &FpgaModel::ProgramUrow, false},
        {0xA8, L::Fixed, 128, &FpgaModel::CaptureUrowRead, T::IdleAfterUpdateIr,
         &FpgaModel::ReadUrow, false},
        {0xF9, L::Fixed, 3, nullptr, T::AtUpdateDr, &FpgaModel::SelectFactoryRow, false},
        {0xBF, L::Fixed, 128, &FpgaModel::CaptureFactoryRow, T::IdleAfterUpdateIr,
         &FpgaModel::ReadFactoryRow, false},
        {0xA3, L::Security, 0, nullptr, T::IdleAfterUpdateDr, &FpgaModel::ProgramSecurity, false},
        {0xA4, L::Security, 0, &FpgaModel::CaptureSecurity, T::None, nullptr, false},
        {0x8B, L::Fixed, 128, nullptr, T::IdleAfterUpdateDr, &FpgaModel::ProgramPassKey, false},
        {0x91, L::Fixed, 128, nullptr, T::IdleAfterUpdateDr, &FpgaModel::ProgramAesKey, false},
        {0x92, L::Fixed, 128, &FpgaModel::CaptureMatchResult, T::IdleAfterUpdateDr,
         &FpgaModel::MatchPassKey, false},
        {0x0A, L::Fixed, 128, &FpgaModel::CaptureAesResponse, T::IdleAfterUpdateDr,
         &FpgaModel::CheckAes, false},
        {0xDD, L::Fixed, 128, nullptr, T::IdleAfterUpdateDr, &FpgaModel::ResetDecryptor, false},
        {0xB8, L::Fixed, 35, &FpgaModel::CaptureNvmAddressStatus, T::IdleAfterUpdateDr,
         &FpgaModel::LoadNvmAddress, true},
        {0xB9, L::Fixed, 32, nullptr, T::AtUpdateDr, &FpgaModel::LoadNvmWord, true},
        {0xBA, L::Fixed, 5, &FpgaModel::CaptureNvmPageStatus, T::IdleAfterUpdateDr,
         &FpgaModel::ProgramNvmPage, true},
        {0xB7, L::Fixed, 35, &FpgaModel::CaptureNvmRead, T::IdleAfterUpdateDr,
         &FpgaModel::ReadNvmWord, true},
        {0x0C, L::Fixed, 128, &FpgaModel::CaptureNvmFrameStatus, T::AtUpdateDr,
         &FpgaModel::LoadNvmFrame, true},
        {0x0D, L::Fixed, 128, &FpgaModel::CaptureNvmFrameStatus, T::AtUpdateDr,
         &FpgaModel::LoadNvmTrailer, true},
    };
    return table;
}

// --- Shift register ------------------------------------------------------

void FpgaModel::ShiftRegister::Load(unsigned bits, const Bytes& value) {
    length_ = std::max(1u, bits);
    bits_.assign(length_, 0);
    for (unsigned i = 0; i < length_ && i / 8 < value.size(); ++i) {
        bits_[i] = (value[i / 8] >> (i % 8)) & 1;
    }
    head_ = 0;
    shifted_ = 0;
}

bool FpgaModel::ShiftRegister::Shift(bool tdi) {
    if (bits_.empty()) Load(1, {});
    bool out = bits_[head_] != 0;
    bits_[head_] = tdi ? 1 : 0;
    head_ = (head_ + 1) % length_;
    ++shifted_;
    return out;
}

FpgaModel::Bytes FpgaModel::ShiftRegister::Value() const {
    Bytes bytes((length_ + 7) / 8, 0);
    for (unsigned i = 0; i < length_; ++i) {
        if (bits_[(head_ + i) % length_]) bytes[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    }
    return bytes;
}

// --- Construction and the TAP side ---------------------------------------

FpgaModel::FpgaModel(const FpgaScenario& scenario) : scenario_(scenario) {
    const DeviceIdRow& g = scenario_.geometry;
    rowBytes_ = g.rowWidthFactor * static_cast<uint32_t>(kArrayChunkBytes);
    securityBits_ = g.deviceClass == 2 ? 56 : 44;
    nvmBlocks_ = scenario_.nvmBlocksGiven ? scenario_.nvmBlocks : (g.deviceClass == 2 ? 4 : 0);
    array_.assign(static_cast<size_t>(g.arrayRowCount) * rowBytes_, scenario_.arrayFill);
    rlock_.assign(rowBytes_, scenario_.arrayFill);
    for (unsigned page = 0; page < 8; ++page) {
        std::copy_n(scenario_.flashRom.begin() + 16 * page, 16, flashRom_[page].begin());
    }
    urow_ = scenario_.urow;
    passKey_ = scenario_.passKey;
    aesKey_ = scenario_.aesKey;
    bsr_.assign((g.boundaryScanLength + 7) / 8, 0);
    rowFrames_.assign(static_cast<size_t>(g.rowWidthFactor) * kFramesPerChunk, 0);
    programWait_.SetReadyPoll(scenario_.readyPolls.program);
    eraseWait_.SetReadyPoll(scenario_.readyPolls.erase);
    nvmAddressWait_.SetReadyPoll(scenario_.readyPolls.nvmAddress);
    nvmPageWait_.SetReadyPoll(scenario_.readyPolls.nvmPage);
    nvmReadWait_.SetReadyPoll(scenario_.readyPolls.nvmRead);
    for (CountedWait* wait : {&programWait_, &eraseWait_, &nvmAddressWait_, &nvmPageWait_, &nvmReadWait_})
        wait->SetCountedOperation(scenario_.readyPolls.countedOperation);

    const uint32_t w = scenario_.securityWord;
    const uint32_t s = scenario_.siliconSignature;
    if (g.deviceClass == 2) {
        security_ = {static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8),
                     static_cast<uint8_t>(w >> 16), static_cast<uint8_t>(s),
                     static_cast<uint8_t>(s >> 8), static_cast<uint8_t>(s >> 16),
                     static_cast<uint8_t>(s >> 24)};
    } else {
        security_ = {static_cast<uint8_t>(w >> 12),
                     static_cast<uint8_t>(((w >> 20) & 0x0F) | ((s & 0x0F) << 4)),
                     static_cast<uint8_t>(s >> 4),
                     static_cast<uint8_t>(s >> 12),
                     static_cast<uint8_t>(s >> 20),
                     static_cast<uint8_t>((s >> 28) & 0x0F),
                     0};
    }
    Reset();
}

const FpgaModel::InstructionEntry* FpgaModel::Find(uint8_t code) const {
    for (const InstructionEntry& entry : Instructions()) {
        if (entry.code == code) return entry.needsNvm && nvmBlocks_ == 0 ? nullptr : &entry;
    }
    return nullptr;
}

unsigned FpgaModel::DataRegisterBits(uint8_t code) const {
    const InstructionEntry* entry = Find(code);
    if (!entry) return 1;  // bypass
    switch (entry->length) {
        case RegisterLength::BoundaryScan: return scenario_.geometry.boundaryScanLength;
        case RegisterLength::Security: return securityBits_;
        case RegisterLength::Fixed: break;
    }
    return entry->bits;
}

void FpgaModel::Reset() {
    instruction_ = 0x0F;
    current_ = Find(instruction_);
    pending_ = false;
}

uint32_t FpgaModel::CaptureIr() {
    uint32_t value = 0x01;
    if (!programMode_) value |= kIrUserMode;
    if (ProgramBusy() || EraseBusy()) value |= kIrBusy;
    if (modeRequestRefused_) value |= kIrModeRefused;
    return value;
}

void FpgaModel::UpdateIr(uint32_t instruction) {
    instruction_ = static_cast<uint8_t>(instruction);
    current_ = Find(instruction_);
    pending_ = false;
    if (!current_) return;
    if (current_->trigger == Trigger::AtUpdateIr) {
        (this->*current_->action)({});
    } else if (current_->trigger == Trigger::IdleAfterUpdateIr) {
        pending_ = true;
        pendingData_.clear();
    }
}

void FpgaModel::CaptureDr() {
    Bytes value;
    if (current_ && current_->capture) value = (this->*current_->capture)();
    dr_.Load(DataRegisterBits(instruction_), value);
}

bool FpgaModel::ShiftDr(bool tdi) { return dr_.Shift(tdi); }

void FpgaModel::UpdateDr() {
    // An Update-DR that follows a capture without any shift (a state move
    // through the DR column) carries no data of the host's.
    if (dr_.Shifted() == 0 || !current_) return;
    if (dr_.Shifted() != dr_.Length()) ++counters_.oddLengthScans;
    if (current_->trigger == Trigger::AtUpdateDr) {
        (this->*current_->action)(dr_.Value());
    } else if (current_->trigger == Trigger::IdleAfterUpdateDr) {
        pending_ = true;
        pendingData_ = dr_.Value();
    }
}

void FpgaModel::Clock(TapState state, uint32_t cycles) {
    if (state != TapState::RunTestIdle || cycles == 0 || !pending_ || !current_) return;
    pending_ = false;
    (this->*current_->action)(pendingData_);
}

// --- Time, busy and protection -------------------------------------------

uint64_t FpgaModel::Now() const { return vexu::GetClock().NowUs(); }
bool FpgaModel::ProgramBusy() const { return Now() < programBusyUntil_; }
bool FpgaModel::EraseBusy() const { return Now() < eraseBusyUntil_; }
bool FpgaModel::NvmBusy() const { return Now() < nvmAddressBusyUntil_ || Now() < nvmProgramBusyUntil_; }

void FpgaModel::Schedule(uint64_t& until, uint32_t us, bool never) {
    until = never ? kNever : Now() + us;
}

// An operation that its poll may count (sim/counted_wait.h) takes its time
// unless the poll's reads hold it.
void FpgaModel::Schedule(uint64_t& until, uint32_t us, bool never, CountedWait& counted) {
    Schedule(until, us, never);
    if (!never) counted.Started();
}

void FpgaModel::ScheduleProgram(uint32_t us) {
    eraseWait_.Cancel();
    Schedule(programBusyUntil_, us, scenario_.faults.neverReady, programWait_);
}

// One read of a register that a poll reads, for the operation counted on
// it: held busy, or done now.
void FpgaModel::CountRead(CountedWait& counted, uint64_t& until) {
    switch (counted.Read()) {
        case CountedWait::Answer::kNotCounted: return;
        case CountedWait::Answer::kBusy: Hold(until, kNever); return;
        case CountedWait::Answer::kReady: Hold(until, Now()); return;
    }
}

// A held program operation takes the verify and compare results that wait
// for it along.
void FpgaModel::Hold(uint64_t& until, uint64_t newUntil) {
    if (&until == &programBusyUntil_) {
        for (uint64_t* readyAt : {&verifyReadyAt_[0], &verifyReadyAt_[1], &compareReadyAt_})
            if (*readyAt != 0 && *readyAt == programBusyUntil_) *readyAt = newUntil;
    }
    until = newUntil;
}

CountedWait* FpgaModel::PolledWait() {
    switch (instruction_) {
        case 0xB8: return &nvmAddressWait_;
        case 0xBA: return &nvmPageWait_;
        case 0xB7: return &nvmReadWait_;
        default: return nullptr;
    }
}

// The NVM polls end their scans in Pause-DR, so a retry goes back to
// Shift-DR without passing Capture-DR and would only read back what it
// shifted in. While a counted operation is in progress its register is read
// afresh on every scan, so that each retry is a poll of the device.
void FpgaModel::ResumeDr() {
    CountedWait* wait = PolledWait();
    if (wait && wait->Armed()) CaptureDr();
}

bool FpgaModel::MayOperate(bool busy) {
    if (!programMode_) {
        ++counters_.outsideProgrammingMode;
        return false;
    }
    if (busy) {
        ++counters_.whileBusy;
        return false;
    }
    return true;
}

bool FpgaModel::Locked(uint32_t lockBits) const {
    return (SecurityLockWord() & lockBits) != 0 && !unlocked_;
}

void FpgaModel::ProgramCells(std::span<uint8_t> cells, const Bytes& data) {
    for (size_t i = 0; i < cells.size(); ++i) cells[i] &= i < data.size() ? data[i] : 0xFF;
}

// --- Identification, programming mode, boundary scan ---------------------

FpgaModel::Bytes FpgaModel::CaptureIdcode() { return BytesOf(scenario_.idcode, 4); }
FpgaModel::Bytes FpgaModel::CaptureSilsig() { return BytesOf(SiliconSignature(), 4); }
FpgaModel::Bytes FpgaModel::CaptureBoundaryScan() { return bsr_; }
void FpgaModel::LoadBoundaryScan(const Bytes& data) {
    std::copy_n(data.begin(), std::min(data.size(), bsr_.size()), bsr_.begin());
}

FpgaModel::Bytes FpgaModel::CaptureModeFlag() {
    return BytesOf(programMode_ ? 1u << 16 : 0u, 3);
}

void FpgaModel::EnterProgrammingMode(const Bytes&) {
    ++counters_.programModeEntries;
    unlocked_ = false;
    modeRequestRefused_ = false;
    modeFault_ = false;
    programMode_ = true;
    switch (scenario_.faults.modeRefused) {
        case ModeRefusal::IrCapture:
            modeRequestRefused_ = true;
            programMode_ = false;
            break;
        case ModeRefusal::ModeFlag: programMode_ = false; break;
        case ModeRefusal::Status: modeFault_ = true; break;
        case ModeRefusal::None: break;
    }
}

void FpgaModel::ExitProgrammingMode(const Bytes&) {
    programMode_ = false;
    unlocked_ = false;
    modeRequestRefused_ = false;
    modeFault_ = false;
}

FpgaModel::Bytes FpgaModel::CaptureStatus() {
    CountRead(programWait_, programBusyUntil_);
    CountRead(eraseWait_, eraseBusyUntil_);
    uint8_t status = 0;
    if (ProgramBusy()) status |= kStatusProgramBusy;
    if (EraseBusy()) status |= kStatusEraseBusy;
    if (modeFault_) status |= kStatusModeFault;
    if (authFailed_) status |= kStatusAuthFailed;
    return {status};
}

// --- Erase ---------------------------------------------------------------

void FpgaModel::Erase(const Bytes& data) {
    if (!MayOperate(ProgramBusy() || EraseBusy())) return;
    const uint32_t word = LittleEndian32(data) & 0x7FFFFF;
    const uint32_t lock = SecurityLockWord();
    const bool arrayAllowed = !Locked(kArrayWriteLocked) || (lock & kArrayEncrypted);
    const bool flashRomAllowed = !Locked(kFlashRomWriteLocked) || (lock & kFlashRomEncrypted);
    const bool securityAllowed = !Locked(kSecurityLocked);
    ++counters_.erases;
    if (word & 0x1) {
        if (arrayAllowed) {
            std::fill(array_.begin(), array_.end(), 0xFF);
            std::fill(rlock_.begin(), rlock_.end(), 0xFF);
            ++counters_.arrayErases;
        } else {
            ++counters_.refusedByProtection;
        }
    }
    if (word & 0xE) {
        if (securityAllowed) {
            if (word & 0x2) security_.fill(0);
            if (word & 0x4) passKey_.fill(0);
            if (word & 0x8) aesKey_.fill(0);
        } else {
            ++counters_.refusedByProtection;
        }
    }
    if (word & 0x4000) urow_.fill(0xFF);
    const uint32_t pages = (word >> 15) & 0xFF;
    if (pages != 0) {
        if (flashRomAllowed) {
            for (unsigned page = 0; page < 8; ++page) {
                if (pages & (1u << page)) flashRom_[page].fill(0xFF);
            }
        } else {
            ++counters_.refusedByProtection;
        }
    }
    programWait_.Cancel();
    Schedule(eraseBusyUntil_, scenario_.times.eraseUs, scenario_.faults.eraseNeverCompletes, eraseWait_);
}

// --- Array rows ----------------------------------------------------------

void FpgaModel::AddressRow(const Bytes& data) {
    const uint8_t code = data.empty() ? 0 : data[0] & 0x3;
    if (code == 2) {
        rowAddress_ = static_cast<int64_t>(scenario_.geometry.arrayRowCount) - 1;
    } else if (code == 3 && rowAddress_ >= 0) {
        --rowAddress_;
    }
}

FpgaModel::Bytes FpgaModel::RowBuffer() const {
    Bytes row(rowBytes_, 0);
    const size_t frames = rowFrames_.size();
    for (size_t f = 0; f < frames; ++f) {
        const uint32_t frame = rowFrames_[(rowHead_ + f) % frames];
        for (unsigned b = 0; b < kFrameBits; ++b) {
            if (frame & (1u << b)) {
                const size_t bit = f * kFrameBits + b;
                row[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
            }
        }
    }
    return row;
}

void FpgaModel::SetRowBuffer(const Bytes& row) {
    rowHead_ = 0;
    for (size_t f = 0; f < rowFrames_.size(); ++f) {
        uint32_t frame = 0;
        for (unsigned b = 0; b < kFrameBits; ++b) {
            const size_t bit = f * kFrameBits + b;
            if ((row[bit / 8] >> (bit % 8)) & 1) frame |= 1u << b;
        }
        rowFrames_[f] = frame;
    }
}

void FpgaModel::LoadPlainFrame(const Bytes& data) {
    rowFrames_[rowHead_] = LittleEndian32(data) & ((1u << kFrameBits) - 1);
    rowHead_ = (rowHead_ + 1) % rowFrames_.size();
    rowBufferValid_ = true;
    rowBufferEncrypted_ = false;
}

void FpgaModel::LoadEncryptedFrame(const Bytes& data) {
    const size_t half = unitHalf_ ? kFrameBytes : 0;
    std::copy_n(data.begin(), kFrameBytes, unit_.begin() + half);
    unitHalf_ = !unitHalf_;
    if (unitHalf_) return;

    const unsigned factor = scenario_.geometry.rowWidthFactor;
    const unsigned chunk = static_cast<unsigned>(unitsSinceReset_ % factor);
    ++unitsSinceReset_;
    if (chunk == 0) {
        encryptedRow_.assign(rowBytes_, 0);
        encryptedRowBad_ = false;
    }
    const int64_t rowLabel =
        static_cast<int64_t>(scenario_.geometry.arrayRowCount) - 1 - static_cast<int64_t>(rowsSinceReset_);
    std::array<uint8_t, kUnitPayloadBytes> payload{};
    bool opened = OpenUnit(aesKey_, kKindArrayChunk, static_cast<uint8_t>(chunk), unit_, payload);
    // The RLOCK row that follows a whole array counts as row -1: only a
    // fault that names a row (0 or above) may hit it.
    if (scenario_.faults.authFailAll ||
        (scenario_.faults.authFailRow >= 0 && rowLabel == scenario_.faults.authFailRow))
        opened = false;
    if (opened) {
        std::copy(payload.begin(), payload.end(), encryptedRow_.begin() + chunk * kArrayChunkBytes);
    } else {
        encryptedRowBad_ = true;
        authFailed_ = true;
        ++counters_.authFailures;
    }
    if (chunk + 1 == factor) {
        ++rowsSinceReset_;
        rowBufferEncrypted_ = true;
        rowBufferValid_ = !encryptedRowBad_;
        if (rowBufferValid_) {
            SetRowBuffer(encryptedRow_);
            ++counters_.rowsAuthenticated;
        }
    }
}

void FpgaModel::ProgramRow(const Bytes&) {
    if (!MayOperate(ProgramBusy() || EraseBusy())) return;
    if (rowAddress_ < 0 || rowAddress_ >= static_cast<int64_t>(scenario_.geometry.arrayRowCount)) {
        ++counters_.addressOutOfRange;
        return;
    }
    // A row that did not authenticate is never programmed; status bit 3 tells.
    if (!rowBufferValid_ || (rowBufferEncrypted_ && authFailed_)) return;
    if (!rowBufferEncrypted_ && (Locked(kArrayWriteLocked) || Locked(kArrayEncrypted))) {
        ++counters_.refusedByProtection;
        return;
    }
    ProgramCells(std::span<uint8_t>(array_).subspan(static_cast<size_t>(rowAddress_) * rowBytes_,
                                                    rowBytes_),
                 RowBuffer());
    ++counters_.rowPrograms;
    ScheduleProgram(scenario_.times.rowProgramUs);
}

void FpgaModel::ProgramRlock(const Bytes&) {
    if (!MayOperate(ProgramBusy() || EraseBusy())) return;
    if (!rowBufferValid_ || (rowBufferEncrypted_ && authFailed_)) return;
    if (!rowBufferEncrypted_ && (Locked(kArrayWriteLocked) || Locked(kArrayEncrypted))) {
        ++counters_.refusedByProtection;
        return;
    }
    ProgramCells(rlock_, RowBuffer());
    ++counters_.rlockPrograms;
    ScheduleProgram(scenario_.times.registerProgramUs);
}

void FpgaModel::VerifyPass0(const Bytes&) { Verify(0); }
void FpgaModel::VerifyPass1(const Bytes&) { Verify(1); }

// Pass 0 finds cells that lost charge (read 0 where the row wants 1),
// pass 1 cells that did not take it (read 1 where the row wants 0).
void FpgaModel::Verify(unsigned pass) {
    verifyResult_[pass] = kVerifyNotDone;
    verifyReadyAt_[pass] = 0;
    if (!MayOperate(ProgramBusy() || EraseBusy())) return;
    ++counters_.verifies;
    ScheduleProgram(scenario_.times.verifyUs);
    verifyReadyAt_[pass] = programBusyUntil_;
    if (rowAddress_ < 0 || rowAddress_ >= static_cast<int64_t>(scenario_.geometry.arrayRowCount)) {
        ++counters_.addressOutOfRange;
        return;
    }
    if (!rowBufferValid_ || (rowBufferEncrypted_ && authFailed_)) return;
    if (!rowBufferEncrypted_ && Locked(kArrayVerifyLocked)) {
        ++counters_.refusedByProtection;
        return;
    }
    const Bytes wanted = RowBuffer();
    const uint8_t* cells = array_.data() + static_cast<size_t>(rowAddress_) * rowBytes_;
    bool mismatch = false;
    for (size_t i = 0; i < rowBytes_ && !mismatch; ++i) {
        const uint8_t stray = pass == 0 ? (wanted[i] & ~cells[i]) : (cells[i] & ~wanted[i]);
        mismatch = stray != 0;
    }
    if (rowAddress_ == scenario_.faults.verifyFailRow && pass == scenario_.faults.verifyFailPass) {
        mismatch = true;
    }
    verifyResult_[pass] = mismatch ? kVerifyMismatch : 0;
}

FpgaModel::Bytes FpgaModel::CaptureVerifyResult() {
    const unsigned pass = instruction_ == 0x8E ? 1 : 0;
    return {Now() < verifyReadyAt_[pass] ? kVerifyNotDone : verifyResult_[pass]};
}

// --- FlashROM ------------------------------------------------------------

FpgaModel::Bytes FpgaModel::CapturePageSelect() { return {selectedPage_}; }
void FpgaModel::SelectPage(const Bytes& data) { selectedPage_ = data.empty() ? 0 : data[0] & 7; }

void FpgaModel::ProgramFlashRomPage(const Bytes& data) {
    if (!MayOperate(ProgramBusy() || EraseBusy())) return;
    if (Locked(kFlashRomWriteLocked) || Locked(kFlashRomEncrypted)) {
        ++counters_.refusedByProtection;
        return;
    }
    ProgramCells(flashRom_[selectedPage_], data);
    ++counters_.flashRomPrograms;
    ScheduleProgram(scenario_.times.registerProgramUs);
}

void FpgaModel::CompareFlashRomPage(const Bytes& data) {
    compareResult_ = 0;
    compareReadyAt_ = 0;
    if (!MayOperate(ProgramBusy() || EraseBusy())) return;
    ++counters_.flashRomCompares;
    ScheduleProgram(scenario_.times.compareUs);
    compareReadyAt_ = programBusyUntil_;
    const auto& page = flashRom_[selectedPage_];
    bool equal = !Locked(kFlashRomReadLocked) && data.size() >= page.size() &&
                 std::equal(page.begin(), page.end(), data.begin());
    const int failPage = scenario_.faults.flashRomCompareFailPage;
    if (failPage == 8 || failPage == selectedPage_) equal = false;
    compareResult_ = equal ? 0x03 : 0x00;
}

FpgaModel::Bytes FpgaModel::CaptureCompareResult() {
    Bytes value(16, 0);
    value[0] = Now() < compareReadyAt_ ? 0 : compareResult_;
    return value;
}

void FpgaModel::ReadFlashRomPage(const Bytes&) {
    if (Locked(kFlashRomReadLocked)) {
        flashRomLatch_.fill(0);
        ++counters_.refusedByProtection;
    } else {
        flashRomLatch_ = flashRom_[selectedPage_];
    }
    flashRomReadyAt_ = Now() + scenario_.times.readUs;
}

FpgaModel::Bytes FpgaModel::CaptureFlashRomRead() {
    if (Now() < flashRomReadyAt_) return {};
    return Bytes(flashRomLatch_.begin(), flashRomLatch_.end());
}

void FpgaModel::LoadEncryptedPageFrame(const Bytes& data) {
    std::copy_n(data.begin(), kFrameBytes, pageUnit_.begin());
    pageFirstFrame_ = true;
}

void FpgaModel::ProgramEncryptedPage(const Bytes& data) {
    const bool complete = pageFirstFrame_;
    pageFirstFrame_ = false;
    std::copy_n(data.begin(), kFrameBytes, pageUnit_.begin() + kFrameBytes);
    if (!MayOperate(ProgramBusy() || EraseBusy())) return;
    std::array<uint8_t, kUnitPayloadBytes> payload{};
    const bool opened = complete && !scenario_.faults.authFailAll &&
                        OpenUnit(aesKey_, kKindFlashRom, 0, pageUnit_, payload) && payload[0] < 8;
    if (!opened) {
        authFailed_ = true;
        ++counters_.authFailures;
        return;
    }
    ProgramCells(flashRom_[payload[0]], Bytes(payload.begin() + 1, payload.begin() + 17));
    ++counters_.flashRomPrograms;
    ScheduleProgram(scenario_.times.registerProgramUs);
}

// --- UROW and factory row ------------------------------------------------

void FpgaModel::ProgramUrow(const Bytes& data) {
    if (!MayOperate(ProgramBusy() || EraseBusy())) return;
    ProgramCells(urow_, data);
    ++counters_.urowPrograms;
    ScheduleProgram(scenario_.times.registerProgramUs);
}

void FpgaModel::ReadUrow(const Bytes&) {
    urowLatch_ = urow_;
    urowReadyAt_ = Now() + scenario_.times.readUs;
}

FpgaModel::Bytes FpgaModel::CaptureUrowRead() {
    if (Now() < urowReadyAt_) return {};
    return Bytes(urowLatch_.begin(), urowLatch_.end());
}

void FpgaModel::SelectFactoryRow(const Bytes& data) {
    factorySelect_ = data.empty() ? 0 : data[0] & 7;
}

void FpgaModel::ReadFactoryRow(const Bytes&) {
    factoryLatch_.fill(0);
    if (factorySelect_ == 0) factoryLatch_ = scenario_.factoryRow;
    factoryReadyAt_ = Now() + scenario_.times.readUs;
}

FpgaModel::Bytes FpgaModel::CaptureFactoryRow() {
    if (Now() < factoryReadyAt_) return {};
    return Bytes(factoryLatch_.begin(), factoryLatch_.end());
}

// --- Security segment ----------------------------------------------------

std::vector<uint8_t> FpgaModel::SecurityRegister() const {
    std::vector<uint8_t> value(security_.begin(), security_.begin() + (securityBits_ + 7) / 8);
    if (securityBits_ % 8) value.back() &= static_cast<uint8_t>((1u << (securityBits_ % 8)) - 1);
    return value;
}

uint32_t FpgaModel::SecurityLockWord() const {
    if (scenario_.geometry.deviceClass == 2) {
        return security_[0] | (security_[1] << 8) | (security_[2] << 16);
    }
    return (security_[0] << 12) | ((security_[1] & 0x0Fu) << 20);
}

uint32_t FpgaModel::SiliconSignature() const {
    const auto& s = security_;
    if (scenario_.geometry.deviceClass == 2) {
        return s[3] | (s[4] << 8) | (s[5] << 16) | (static_cast<uint32_t>(s[6]) << 24);
    }
    return (s[1] >> 4) | (s[2] << 4) | (s[3] << 12) | (s[4] << 20) |
           (static_cast<uint32_t>(s[5] & 0x0F) << 28);
}

void FpgaModel::WriteSecurityRegister(const Bytes& value) {
    security_.fill(0);
    std::copy_n(value.begin(), std::min(value.size(), static_cast<size_t>((securityBits_ + 7) / 8)),
                security_.begin());
    if (securityBits_ % 8) {
        security_[securityBits_ / 8] &= static_cast<uint8_t>((1u << (securityBits_ % 8)) - 1);
    }
}

FpgaModel::Bytes FpgaModel::CaptureSecurity() { return SecurityRegister(); }

void FpgaModel::ProgramSecurity(const Bytes& data) {
    if (!MayOperate(ProgramBusy() || EraseBusy())) return;
    if (Locked(kSecurityLocked)) {
        ++counters_.refusedByProtection;
        return;
    }
    Bytes value = data;
    if (scenario_.faults.securityReadbackDiffers) {
        // A weak cell: bit 0 of the silicon signature takes the other value.
        const size_t bit = scenario_.geometry.deviceClass == 2 ? 24 : 12;
        if (bit / 8 < value.size()) value[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    }
    WriteSecurityRegister(value);
    ++counters_.securityPrograms;
    ScheduleProgram(scenario_.times.registerProgramUs);
}

void FpgaModel::ProgramPassKey(const Bytes& data) {
    if (!MayOperate(ProgramBusy() || EraseBusy())) return;
    if (Locked(kSecurityLocked)) {
        ++counters_.refusedByProtection;
        return;
    }
    passKey_ = FirstBytes<16>(data);
    ++counters_.passKeyPrograms;
    ScheduleProgram(scenario_.times.registerProgramUs);
}

void FpgaModel::ProgramAesKey(const Bytes& data) {
    if (!MayOperate(ProgramBusy() || EraseBusy())) return;
    if (Locked(kSecurityLocked)) {
        ++counters_.refusedByProtection;
        return;
    }
    aesKey_ = FirstBytes<16>(data);
    ++counters_.aesKeyPrograms;
    ScheduleProgram(scenario_.times.registerProgramUs);
}

// Presenting the pass key answers 01 for a match and 10 for a mismatch;
// a match opens the protected regions until programming mode ends.
void FpgaModel::MatchPassKey(const Bytes& data) {
    ++counters_.passKeyPresentations;
    unlocked_ = FirstBytes<16>(data) == passKey_;
    matchResult_ = unlocked_ ? 0x01 : 0x02;
    matchReadyAt_ = Now() + scenario_.times.readUs;
}

FpgaModel::Bytes FpgaModel::CaptureMatchResult() {
    Bytes value(16, 0);
    if (Now() >= matchReadyAt_) value[0] = matchResult_;
    return value;
}

// The AES check decrypts the block with the device key: bit 7 of response
// byte 15 says the AES engine answered, bit 6 that the block was the key
// check block of this key, or the variant challenge of this device.
void FpgaModel::CheckAes(const Bytes& data) {
    ++counters_.aesChecks;
    aesResponse_.fill(0);
    aesReadyAt_ = Now() + scenario_.times.aesUs;
    if (scenario_.faults.aesSilent) return;
    const auto block = FirstBytes<16>(data);
    bool confirmed = IsAesCheckBlock(aesKey_, block);
    if (block == kM7Challenge) confirmed = scenario_.variant == FpgaVariant::M7;
    if (block == kM1Challenge) confirmed = scenario_.variant == FpgaVariant::M1;
    aesResponse_[15] = static_cast<uint8_t>(0x80 | (confirmed ? 0x40 : 0));
}

FpgaModel::Bytes FpgaModel::CaptureAesResponse() {
    if (Now() < aesReadyAt_) return {};
    return Bytes(aesResponse_.begin(), aesResponse_.end());
}

void FpgaModel::ResetDecryptor(const Bytes&) {
    authFailed_ = false;
    unitHalf_ = false;
    unitsSinceReset_ = 0;
    rowsSinceReset_ = 0;
    encryptedRowBad_ = false;
    pageFirstFrame_ = false;
    nvmFrames_ = 0;
    nvmRefused_ = false;
}

// --- NVM -----------------------------------------------------------------

bool FpgaModel::NvmPageInDevice(uint32_t page) const { return page / kNvmPagesPerBlock < nvmBlocks_; }

FpgaModel::NvmPage FpgaModel::ReadNvmPage(uint32_t page) const {
    auto it = nvm_.find(page);
    if (it != nvm_.end()) return it->second;
    NvmPage blank;
    const uint32_t fill = scenario_.nvmFill * 0x01010101u;
    blank.fill(fill);
    return blank;
}

uint32_t FpgaModel::NvmWord(unsigned block, uint32_t page, unsigned word) const {
    return ReadNvmPage(block * kNvmPagesPerBlock + page)[word & 31];
}

FpgaModel::Bytes FpgaModel::CaptureNvmAddressStatus() {
    CountRead(nvmAddressWait_, nvmAddressBusyUntil_);
    uint64_t status = 0;
    if (Now() < nvmAddressBusyUntil_) status |= 1ull << 33;
    if (Now() < nvmProgramBusyUntil_) status |= 1ull << 34;
    return BytesOf(status, 5);
}

FpgaModel::Bytes FpgaModel::CaptureNvmPageStatus() {
    CountRead(nvmPageWait_, nvmProgramBusyUntil_);
    return {static_cast<uint8_t>(Now() < nvmProgramBusyUntil_ ? 0x04 : 0)};
}

// Address register: bit 12 set, bits 13-34 the byte address.
void FpgaModel::LoadNvmAddress(const Bytes& data) {
    const uint64_t value = LittleEndian64(data);
    if (!((value >> 12) & 1)) return;
    if (!MayOperate(NvmBusy())) return;
    const uint32_t address = static_cast<uint32_t>(value >> 13) & 0x3FFFFF;
    nvmPage_ = address >> 8;
    nvmWord_ = (address >> 2) & 31;
    nvmBuffer_ = ReadNvmPage(nvmPage_);
    Schedule(nvmAddressBusyUntil_, scenario_.times.nvmAddressUs, false, nvmAddressWait_);
}

void FpgaModel::LoadNvmWord(const Bytes& data) {
    if (nvmWord_ >= 32) {
        ++counters_.nvmWordsBeyondPage;
        return;
    }
    nvmBuffer_[nvmWord_++] = LittleEndian32(data);
}

void FpgaModel::ProgramNvmPage(const Bytes&) {
    if (!MayOperate(NvmBusy())) return;
    if (!NvmPageInDevice(nvmPage_)) {
        ++counters_.addressOutOfRange;
        return;
    }
    const unsigned block = nvmPage_ / kNvmPagesPerBlock;
    if (Locked(NvmWriteLocked(block)) || Locked(NvmEncrypted(block))) {
        ++counters_.refusedByProtection;
        return;
    }
    nvm_[nvmPage_] = nvmBuffer_;
    ++counters_.nvmPagePrograms;
    Schedule(nvmProgramBusyUntil_, scenario_.times.nvmProgramUs, false, nvmPageWait_);
    // The page buffer moves on to the next page.
    ++nvmPage_;
    nvmWord_ = 0;
    nvmBuffer_ = ReadNvmPage(nvmPage_);
}

void FpgaModel::ReadNvmWord(const Bytes&) {
    nvmReadWord_ = 0;
    Schedule(nvmReadReadyAt_, scenario_.times.nvmReadUs, false, nvmReadWait_);
    if (!NvmPageInDevice(nvmPage_) || nvmWord_ >= 32) {
        ++counters_.addressOutOfRange;
        return;
    }
    if (Locked(NvmReadLocked(nvmPage_ / kNvmPagesPerBlock))) {
        ++counters_.refusedByProtection;
        return;
    }
    nvmReadWord_ = ReadNvmPage(nvmPage_)[nvmWord_];
}

FpgaModel::Bytes FpgaModel::CaptureNvmRead() {
    CountRead(nvmReadWait_, nvmReadReadyAt_);
    if (Now() < nvmReadReadyAt_) return BytesOf(1ull << 34, 5);
    return BytesOf(nvmReadWord_, 5);
}

// Bit 4 of byte 0: this frame is refused - the decryptor refused an earlier
// unit or trailer of the page sequence, or the device cannot take frames.
FpgaModel::Bytes FpgaModel::CaptureNvmFrameStatus() {
    ++nvmFramesOffered_;
    nvmFrameDropped_ = nvmFramesOffered_ == scenario_.faults.nvmRefuseFrame || !programMode_;
    if (nvmFrameDropped_) ++counters_.nvmFramesRefused;
    Bytes value(16, 0);
    if (nvmRefused_ || nvmFrameDropped_) value[0] = 0x10;
    return value;
}

void FpgaModel::LoadNvmFrame(const Bytes& data) {
    if (nvmFrameDropped_ || nvmRefused_) return;
    if (nvmFrames_ >= 2 * kNvmUnitsPerPage) {
        nvmRefused_ = true;
        return;
    }
    std::copy_n(data.begin(), kFrameBytes, nvmUnit_.begin() + (nvmFrames_ % 2) * kFrameBytes);
    ++nvmFrames_;
    if (nvmFrames_ % 2 != 0) return;
    const unsigned unit = nvmFrames_ / 2 - 1;
    std::array<uint8_t, kUnitPayloadBytes> payload{};
    if (scenario_.faults.authFailAll ||
        !OpenUnit(aesKey_, kKindNvmData, static_cast<uint8_t>(unit), nvmUnit_, payload)) {
        nvmRefused_ = true;
        ++counters_.authFailures;
        return;
    }
    constexpr size_t kBytesPerUnit = kNvmPageBytes / kNvmUnitsPerPage;
    std::copy_n(payload.begin(), kBytesPerUnit, nvmEncryptedPage_.begin() + unit * kBytesPerUnit);
}

void FpgaModel::LoadNvmTrailer(const Bytes& data) {
    if (nvmFrameDropped_ || nvmRefused_) return;
    const bool complete = nvmFrames_ == 2 * kNvmUnitsPerPage;
    nvmFrames_ = 0;
    uint16_t page = 0;
    if (!complete || !OpenNvmTrailer(aesKey_, FirstBytes<16>(data), nvmEncryptedPage_, page)) {
        nvmRefused_ = true;
        ++counters_.authFailures;
        return;
    }
    if (!NvmPageInDevice(page)) {
        nvmRefused_ = true;
        ++counters_.addressOutOfRange;
        return;
    }
    if (!MayOperate(NvmBusy())) {
        nvmRefused_ = true;
        return;
    }
    NvmPage words{};
    for (size_t w = 0; w < words.size(); ++w) {
        words[w] = nvmEncryptedPage_[4 * w] | (nvmEncryptedPage_[4 * w + 1] << 8) |
                   (nvmEncryptedPage_[4 * w + 2] << 16) |
                   (static_cast<uint32_t>(nvmEncryptedPage_[4 * w + 3]) << 24);
    }
    nvm_[page] = words;
    ++counters_.nvmPagePrograms;
    Schedule(nvmProgramBusyUntil_, scenario_.times.nvmProgramUs, false);
}

// --- Inspection ----------------------------------------------------------

std::span<const uint8_t> FpgaModel::ArrayRow(uint32_t row) const {
    if (row >= scenario_.geometry.arrayRowCount) return {};
    return std::span<const uint8_t>(array_).subspan(static_cast<size_t>(row) * rowBytes_, rowBytes_);
}

bool FpgaModel::IsArrayBlank() const {
    auto blank = [](uint8_t b) { return b == 0xFF; };
    return std::all_of(array_.begin(), array_.end(), blank) &&
           std::all_of(rlock_.begin(), rlock_.end(), blank);
}

}  // namespace vexu::sim
