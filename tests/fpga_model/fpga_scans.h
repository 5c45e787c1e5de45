// The FPGA's instruction sequences as raw scans, written the way the
// programming sequences send them (instruction to Pause-IR, data to
// Run-Test/Idle, a few idle clocks, delays, status polls). Tests build
// their cases from these and then look at the device.
#pragma once

#include <array>
#include <cstdint>

#include "scanner.h"
#include "sim/fpga_crypto.h"

namespace vexu::sim::test {

struct ModeAnswer {
    uint8_t irCapture = 0;     // IR capture right after the entry request
    bool modeFlag = false;     // bit 16 of the entry register
    uint8_t status = 0;        // status register
};

uint32_t ReadIdcode(Scanner& s);
ModeAnswer EnterProgrammingMode(Scanner& s);
uint8_t ExitProgrammingMode(Scanner& s);  // returns the IR capture after the exit
uint8_t ReadStatus(Scanner& s);
// Polls the status register (100 us apart) until (status & mask) == 0;
// returns the number of polls that found it busy, or -1 after maxPolls.
int PollStatus(Scanner& s, uint8_t mask, int maxPolls, uint64_t delayUs = 100);
int WaitReady(Scanner& s);  // mask 0x0B after a program pulse
int WaitErased(Scanner& s);  // mask 0x03, 1 ms apart

void RowAddressReset(Scanner& s);
void RowAddressNext(Scanner& s);
void LoadPlainRow(Scanner& s, const Bytes& row);
void LoadEncryptedRow(Scanner& s, const Bytes& row);
void PulseRow(Scanner& s);
void PulseRlock(Scanner& s);
// One verify pass of the addressed row against the loaded row: the two
// result bits (0 = the row holds the data).
uint8_t VerifyPass(Scanner& s, unsigned pass, uint8_t mode = 0);
void Erase(Scanner& s, uint32_t word);
// Authentication status: the status register right after a row.
uint8_t AuthStatus(Scanner& s);
void ResetDecryptor(Scanner& s);

void SelectFlashRomPage(Scanner& s, uint8_t page);
void ProgramFlashRomPage(Scanner& s, uint8_t page, const Bytes& data);
uint8_t CompareFlashRomPage(Scanner& s, uint8_t page, const Bytes& data);  // result bits
Bytes ReadFlashRomPage(Scanner& s, uint8_t page);
void ProgramEncryptedFlashRomPage(Scanner& s, const Bytes& unit);

Bytes ReadUrow(Scanner& s);
void ProgramUrow(Scanner& s, const Bytes& urow);
Bytes ReadFactoryRow(Scanner& s);
uint32_t ReadSilsig(Scanner& s);

Bytes ReadSecurity(Scanner& s, unsigned bits);
void ProgramSecurity(Scanner& s, const Bytes& value, unsigned bits);
void ProgramPassKey(Scanner& s, const AesKey128& key);
void ProgramAesKey(Scanner& s, const AesKey128& key);
uint8_t PresentPassKey(Scanner& s, const AesKey128& key);  // two result bits
Bytes AesCheck(Scanner& s, const std::array<uint8_t, 16>& block);

// NVM, plain: address register value for a byte address.
Bytes NvmAddress(uint32_t byteAddress);
// Loads the address and polls it; returns polls that found it busy (-1: never ready).
int LoadNvmAddress(Scanner& s, uint32_t byteAddress);
void LoadNvmWords(Scanner& s, const std::vector<uint32_t>& words);
int ProgramNvmPage(Scanner& s, uint8_t value = 0);
uint32_t ReadNvmWord(Scanner& s, uint32_t byteAddress);
// NVM, encrypted: one frame (0x0C) or trailer (0x0D); returns capture byte 0.
uint8_t SendNvmFrame(Scanner& s, uint8_t instruction, const uint8_t* frame);

Bytes ToBytes(uint64_t value, size_t count);

}  // namespace vexu::sim::test
