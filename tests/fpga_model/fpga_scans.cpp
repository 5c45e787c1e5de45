#include "fpga_scans.h"

namespace vexu::sim::test {

Bytes ToBytes(uint64_t value, size_t count) {
    Bytes bytes(count);
    for (size_t i = 0; i < count && i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
}

namespace {

uint64_t FromBytes(const Bytes& bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes.size() && i < 8; ++i) value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
    return value;
}

// Instruction to Pause-IR, then its data to Run-Test/Idle and a few clocks.
Bytes Command(Scanner& s, uint8_t instruction, unsigned bits, const Bytes& in, unsigned wait = 3) {
    s.Ir(instruction, End::PauseIr);
    Bytes out = s.Dr(bits, in, End::Idle);
    s.Wait(wait);
    return out;
}

// Instruction to Run-Test/Idle, a few clocks, a delay, then a read that
// rests in Pause-DR so that no data is written back.
Bytes Read(Scanner& s, uint8_t instruction, unsigned bits, uint64_t delayUs) {
    s.Ir(instruction, End::Idle);
    s.Wait(3);
    s.Delay(delayUs);
    return s.Dr(bits, {}, End::PauseDr);
}

}  // namespace

uint32_t ReadIdcode(Scanner& s) {
    s.Ir(0x0F, End::Idle);
    return static_cast<uint32_t>(FromBytes(s.Dr(32, {}, End::Idle)));
}

ModeAnswer EnterProgrammingMode(Scanner& s) {
    ModeAnswer answer;
    Command(s, 0x80, 18, {});
    s.Delay(1000);
    answer.irCapture = s.Ir(0x80, End::PauseIr);
    answer.modeFlag = (s.Dr(18, {}, End::PauseDr)[2] & 0x01) != 0;
    answer.status = ReadStatus(s);
    return answer;
}

uint8_t ExitProgrammingMode(Scanner& s) {
    s.Ir(0x81, End::Idle);
    s.Delay(20);
    return s.Ir(0xFF, End::Idle);
}

uint8_t ReadStatus(Scanner& s) {
    s.Ir(0x84, End::PauseIr);
    return s.Dr(5, {}, End::PauseDr)[0];
}

int PollStatus(Scanner& s, uint8_t mask, int maxPolls, uint64_t delayUs) {
    for (int poll = 0; poll < maxPolls; ++poll) {
        s.Delay(delayUs);
        if ((ReadStatus(s) & mask) == 0) return poll;
    }
    return -1;
}

int WaitReady(Scanner& s) { return PollStatus(s, 0x0B, 16381); }
int WaitErased(Scanner& s) { return PollStatus(s, 0x03, 262141, 1000); }

void RowAddressReset(Scanner& s) { Command(s, 0x87, 2, {0x02}); }
void RowAddressNext(Scanner& s) { Command(s, 0x87, 2, {0x03}); }

void LoadPlainRow(Scanner& s, const Bytes& row) {
    s.Ir(0x89, End::PauseIr);
    const unsigned bits = static_cast<unsigned>(row.size() * 8);
    for (unsigned start = 0; start < bits; start += 26) {
        uint32_t frame = 0;
        for (unsigned b = 0; b < 26; ++b) {
            const unsigned bit = start + b;
            if ((row[bit / 8] >> (bit % 8)) & 1) frame |= 1u << b;
        }
        s.Dr(26, ToBytes(frame, 4), End::Idle);
        s.Wait(3);
    }
}

void LoadEncryptedRow(Scanner& s, const Bytes& row) {
    s.Ir(0xDF, End::PauseIr);
    for (size_t offset = 0; offset < row.size(); offset += 16) {
        s.Dr(128, Bytes(row.begin() + offset, row.begin() + offset + 16), End::Idle);
        s.Wait(3);
        s.Delay(48);
    }
}

void PulseRow(Scanner& s) {
    s.Ir(0x83, End::Idle);
    s.Wait(3);
}

void PulseRlock(Scanner& s) {
    s.Ir(0x8C, End::Idle);
    s.Wait(3);
}

uint8_t VerifyPass(Scanner& s, unsigned pass, uint8_t mode) {
    const uint8_t instruction = pass == 0 ? 0x8D : 0x8E;
    Command(s, instruction, 2, {mode});
    s.Delay(264);
    if (WaitReady(s) < 0) return 0xFF;
    s.Ir(instruction, End::PauseIr);
    return s.Dr(2, {}, End::PauseDr)[0] & 0x03;
}

void Erase(Scanner& s, uint32_t word) { Command(s, 0x85, 23, ToBytes(word, 3)); }

uint8_t AuthStatus(Scanner& s) {
    s.Ir(0x84, End::Idle);
    s.Wait(3);
    s.Delay(264);
    return s.Dr(5, {}, End::PauseDr)[0];
}

void ResetDecryptor(Scanner& s) {
    Command(s, 0xDD, 128, {});
    s.Delay(120);
}

void SelectFlashRomPage(Scanner& s, uint8_t page) {
    s.Ir(0x9F, End::PauseIr);
    s.Dr(3, {page}, End::PauseDr);
}

void ProgramFlashRomPage(Scanner& s, uint8_t page, const Bytes& data) {
    SelectFlashRomPage(s, page);
    Command(s, 0x9B, 128, data, 5);
}

uint8_t CompareFlashRomPage(Scanner& s, uint8_t page, const Bytes& data) {
    SelectFlashRomPage(s, page);
    Command(s, 0x9C, 128, data);
    if (WaitReady(s) < 0) return 0xFF;
    s.Ir(0x9C, End::PauseIr);
    return s.Dr(128, {}, End::PauseDr)[0] & 0x03;
}

Bytes ReadFlashRomPage(Scanner& s, uint8_t page) {
    SelectFlashRomPage(s, page);
    Command(s, 0x93, 128, {});
    s.Delay(100);
    return s.Dr(128, {}, End::PauseDr);
}

void ProgramEncryptedFlashRomPage(Scanner& s, const Bytes& unit) {
    ResetDecryptor(s);
    Command(s, 0xA5, 128, Bytes(unit.begin(), unit.begin() + 16), 1);
    s.Delay(48);
    Command(s, 0xA6, 128, Bytes(unit.begin() + 16, unit.end()), 5);
}

Bytes ReadUrow(Scanner& s) { return Read(s, 0xA8, 128, 264); }

void ProgramUrow(Scanner& s, const Bytes& urow) { Command(s, 0xA7, 128, urow); }

Bytes ReadFactoryRow(Scanner& s) {
    Command(s, 0xF9, 3, {});
    return Read(s, 0xBF, 128, 264);
}

uint32_t ReadSilsig(Scanner& s) { return static_cast<uint32_t>(FromBytes(Read(s, 0x0E, 32, 0))); }

Bytes ReadSecurity(Scanner& s, unsigned bits) { return Read(s, 0xA4, bits, 0); }

void ProgramSecurity(Scanner& s, const Bytes& value, unsigned bits) {
    Command(s, 0xA3, bits, value);
}

void ProgramPassKey(Scanner& s, const AesKey128& key) {
    Command(s, 0x8B, 128, Bytes(key.begin(), key.end()));
}

void ProgramAesKey(Scanner& s, const AesKey128& key) {
    Command(s, 0x91, 128, Bytes(key.begin(), key.end()), 15);
}

uint8_t PresentPassKey(Scanner& s, const AesKey128& key) {
    Command(s, 0x92, 128, Bytes(key.begin(), key.end()));
    s.Delay(48);
    return s.Dr(128, {}, End::PauseDr)[0] & 0x03;
}

Bytes AesCheck(Scanner& s, const std::array<uint8_t, 16>& block) {
    ResetDecryptor(s);
    Command(s, 0x0A, 128, Bytes(block.begin(), block.end()));
    s.Delay(256);
    return s.Dr(128, {}, End::PauseDr);
}

Bytes NvmAddress(uint32_t byteAddress) {
    return ToBytes((1ull << 12) | (static_cast<uint64_t>(byteAddress & 0x3FFFFF) << 13), 5);
}

int LoadNvmAddress(Scanner& s, uint32_t byteAddress) {
    const Bytes address = NvmAddress(byteAddress);
    Command(s, 0xB8, 35, address);
    s.Delay(20);
    for (int poll = 0; poll < 10000; ++poll) {
        s.Wait(3);
        s.Delay(100);
        const Bytes status = s.Dr(35, address, End::PauseDr);
        if ((status[4] & 0x06) == 0) return poll;
    }
    return -1;
}

void LoadNvmWords(Scanner& s, const std::vector<uint32_t>& words) {
    s.Ir(0xB9, End::PauseIr);
    for (uint32_t word : words) {
        s.Dr(32, ToBytes(word, 4), End::Idle);
        s.Wait(3);
        s.Ir(0xB9, End::PauseIr);
    }
}

int ProgramNvmPage(Scanner& s, uint8_t value) {
    const Bytes field = {static_cast<uint8_t>((value & 7) << 2)};
    Command(s, 0xBA, 5, field);
    for (int poll = 0; poll < 10000; ++poll) {
        s.Delay(100);
        s.Ir(0xBA, End::PauseIr);
        if ((s.Dr(5, field, End::PauseDr)[0] & 0x1C) == 0) return poll;
    }
    return -1;
}

uint32_t ReadNvmWord(Scanner& s, uint32_t byteAddress) {
    LoadNvmAddress(s, byteAddress);
    Command(s, 0xB7, 35, {});
    s.Delay(30);
    return static_cast<uint32_t>(FromBytes(s.Dr(35, {}, End::PauseDr)) & 0xFFFFFFFF);
}

uint8_t SendNvmFrame(Scanner& s, uint8_t instruction, const uint8_t* frame) {
    s.Ir(instruction, End::PauseIr);
    const Bytes status = s.Dr(128, Bytes(frame, frame + 16), End::Idle);
    s.Wait(3);
    s.Delay(10000);
    return status[0];
}

}  // namespace vexu::sim::test
