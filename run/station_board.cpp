#include "run/station_board.h"

#include <algorithm>

#include "flash/flash_chips.h"

namespace vexu::station {

namespace {

// The box's rates as modelled: the demo FPGA data image (65 kB) takes
// about 83 s, a 256 kB serial-flash image about 45 s (1024 pages).
constexpr uint64_t kFpgaUsPerByte = 1300;
constexpr uint64_t kEepromUsPerPage = 45'000;
constexpr uint64_t kPageBytes = 256;
// Finding, opening and identifying the box and the chip.
constexpr uint64_t kMarginUs = 30'000'000;

}  // namespace

uint64_t BoardTimeLimitUs(uint32_t fpgaBytes, uint32_t eepromBytes) {
    uint64_t limit = kMarginUs + 2 * kFpgaUsPerByte * fpgaBytes;
    if (eepromBytes > 0) {
        uint32_t slowestEraseMs = 0;
        for (const SerialFlashChip& chip : SerialFlashChips())
            slowestEraseMs = std::max(slowestEraseMs, chip.geometry.bulkEraseMaxMs);
        const uint64_t pages = (eepromBytes + kPageBytes - 1) / kPageBytes;
        limit += 2 * (uint64_t{slowestEraseMs} * 1000 + pages * kEepromUsPerPage);
    }
    return limit;
}

void BoardRun::Start(uint64_t nowUs, uint64_t limitUs) {
    *this = BoardRun();
    phase_ = Phase::kRunning;
    startUs_ = nowUs;
    limitUs_ = limitUs;
}

void BoardRun::Result(bool ok, bool boardUntouched, bool serialFlashRan) {
    resultSeen_ = true;
    ok_ = ok;
    untouched_ = boardUntouched;
    serialFlashRan_ = serialFlashRan;
}

SerialEnd BoardRun::SerialEndOfBoard() const {
    if (!resultSeen_) return SerialEnd::kSkip;
    if (untouched_) return SerialEnd::kRelease;
    return SerialEndOfRun(ok_, serialFlashRan_ || serialFlashReached_);
}

}  // namespace vexu::station
