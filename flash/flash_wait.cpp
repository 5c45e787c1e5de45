#include "flash/flash_wait.h"

#include <algorithm>

#include "platform/clock.h"

namespace {

// Sleeps of whole milliseconds where they are long, busy-waits where a
// sleep would be too coarse.
void Pause(uint64_t us) {
    if (us >= 2000)
        vexu::GetClock().SleepMs(static_cast<uint32_t>(us / 1000));
    else if (us > 0)
        vexu::GetClock().BusyWaitUs(us);
}

// Never tests more often than this: each test costs reports on the bus.
constexpr uint64_t kShortestStepUs = 50;

}  // namespace

bool WaitUntilReady(const std::function<int()>& isBusy, FlashTiming timing, const FixedWait& fixed,
                    uint64_t typicalUs, uint64_t maxUs) {
    if (timing == FlashTiming::kFixed) {
        for (int attempt = 0; attempt < fixed.tries; ++attempt) {
            if (!fixed.testFirst) Pause(fixed.stepUs);
            if (isBusy() != 1) return true;
            if (fixed.testFirst) Pause(fixed.stepUs);
        }
        return false;
    }
    vexu::Clock& clock = vexu::GetClock();
    const uint64_t startUs = clock.NowUs();
    const uint64_t stepUs = std::max(kShortestStepUs, typicalUs / 4);
    Pause(typicalUs);
    for (;;) {
        if (isBusy() != 1) return true;
        if (clock.NowUs() - startUs >= maxUs) return false;
        Pause(stepUs);
    }
}
