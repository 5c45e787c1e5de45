// What the simulated flash-based FPGA is and how it misbehaves: its
// identity and geometry, its initial contents and keys, its busy times and
// the faults injected into it. Built from scenario keys (KEY=VALUE).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "engine/device_id_table.h"
#include "sim/fpga_crypto.h"
#include "sim/scenario.h"

namespace vexu::sim {

// The row of the identification table that the device's own ID code
// selects (its geometry); null when no row matches.
const DeviceIdRow* FindFpgaGeometry(uint32_t idcode);

enum class FpgaVariant : uint8_t { Plain, M7, M1 };

// Which of the three programming-mode indications reports a refused entry.
enum class ModeRefusal : uint8_t {
    None,
    IrCapture,  // IR capture bit 5 after the entry request
    ModeFlag,   // the entry register's bit 16 stays 0
    Status,     // status register bit 2
};

// Busy and latency times in microseconds of virtual time.
struct FpgaTimes {
    uint32_t rowProgramUs = 250;       // array row program pulse
    uint32_t verifyUs = 100;           // one array verify pass
    uint32_t eraseUs = 40'000;         // erase operation
    uint32_t registerProgramUs = 400;  // RLOCK, UROW, FlashROM page, security register, keys
    uint32_t compareUs = 100;          // FlashROM page compare
    uint32_t readUs = 40;              // UROW, factory row, FlashROM read, pass-key match
    uint32_t aesUs = 200;              // AES check
    uint32_t nvmAddressUs = 10;        // NVM address register load
    uint32_t nvmProgramUs = 80;        // NVM page program
    uint32_t nvmReadUs = 20;           // NVM word read
};

// Operations counted in polls (sim/counted_wait.h): the first of each kind
// that the host polls is ready at the N-th read of the register its poll
// reads; 0 leaves it to its busy time.
struct FpgaReadyPolls {
    uint32_t program = 0;     // program, verify and compare operations: status register reads
    uint32_t erase = 0;       // erase: status register reads
    uint32_t nvmAddress = 0;  // NVM address load: address register reads
    uint32_t nvmPage = 0;     // NVM page program: page-program register reads
    uint32_t nvmRead = 0;     // NVM word read: read register reads
    uint32_t countedOperation = 1;  // which polled operation of the kind, from 1
};

struct FpgaFaults {
    ModeRefusal modeRefused = ModeRefusal::None;
    bool neverReady = false;           // program operations never finish
    bool eraseNeverCompletes = false;  // erase operations never finish
    int64_t verifyFailRow = -1;        // row whose verify reports a mismatch
    uint8_t verifyFailPass = 0;        // in this pass (0 or 1)
    int flashRomCompareFailPage = -1;  // 0..7, or 8 for every page
    bool authFailAll = false;          // no encrypted unit authenticates
    int64_t authFailRow = -1;          // the encrypted array row that fails
    bool aesSilent = false;            // the AES check answers nothing
    uint32_t nvmRefuseFrame = 0;       // encrypted NVM frame refused (1-based)
    bool securityReadbackDiffers = false;  // security register programs with a flipped bit
};

struct FpgaScenario {
    uint32_t idcode = 0x029121CF;
    DeviceIdRow geometry = *FindFpgaGeometry(0x029121CF);
    FpgaVariant variant = FpgaVariant::Plain;
    uint32_t securityWord = 0;  // lock bits 0-23 as the engine's security word
    uint32_t siliconSignature = 0;
    AesKey128 passKey{};
    AesKey128 aesKey{};
    uint8_t arrayFill = 0xFF;  // every array row and the RLOCK row
    std::array<uint8_t, 128> flashRom;  // pages 0..7, 16 bytes each
    std::array<uint8_t, 16> urow;
    std::array<uint8_t, 16> factoryRow;
    uint8_t nvmFill = 0xFF;
    uint8_t nvmBlocks = 0;        // used when nvmBlocksGiven; otherwise
    bool nvmBlocksGiven = false;  // 4 for device class 2 and 0 for class 1
    FpgaTimes times;
    FpgaReadyPolls readyPolls;
    FpgaFaults faults;

    FpgaScenario();
};

// Takes the FPGA's keys from the scenario and applies them; keys of other
// owners stay. Returns false with a reason for a value it cannot use.
bool TakeFpgaScenario(Scenario& keys, FpgaScenario& scenario, std::string& error);

// The FPGA's keys with one line of help each.
std::span<const ScenarioKeyHelp> FpgaScenarioKeyHelp();

}  // namespace vexu::sim
