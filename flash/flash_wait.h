// Waiting for a serial flash chip to finish a program or erase. The fixed
// waits test the chip a set number of times at a set step, whatever the
// chip; the chip's own timing first waits its typical time, then tests it
// at a quarter of that until its datasheet maximum has passed. A test itself
// takes time on the bus (a few reports): the chip's own timing counts it in,
// so that it tests as the chip should be done rather than after.
#pragma once

#include <cstdint>
#include <functional>

#include "flash/chip_table.h"

enum class FlashTiming : uint8_t {
    kFixed,  // the waits of the first boards' chips
    kChip,   // from the chip's typical and maximum times
};

// A fixed wait: up to `tries` tests `stepUs` apart, the first one right
// away (testFirst) or after one step.
struct FixedWait {
    int tries;
    uint32_t stepUs;
    bool testFirst;
};

// The fixed waits of a sector or block erase (every 20 ms, about 10 s) and
// of a page program (at once, then every 5 ms, about 0.5 s).
inline constexpr FixedWait kFixedEraseWait{512, 20'000, false};
inline constexpr FixedWait kFixedProgramWait{100, 5'000, true};

// Waits until isBusy answers 0; false when the chip is still busy at the
// end. With kChip the times are the datasheet's, in microseconds.
// pollUs keeps what the last test took, from one wait to the next.
bool WaitUntilReady(const std::function<int()>& isBusy, FlashTiming timing, const FixedWait& fixed,
                    uint64_t typicalUs, uint64_t maxUs, uint64_t& pollUs);
