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
                    uint64_t typicalUs, uint64_t maxUs, uint64_t& pollUs) {
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
    auto less = [](uint64_t a, uint64_t b) { return a > b ? a - b : 0; };
    // The first test is timed to end as the typical time does; a chip only
    // just late is tested again one test's time later, then every quarter
    // of its typical time.
    Pause(less(typicalUs, pollUs));
    for (int test = 0;; ++test) {
        const uint64_t testStartUs = clock.NowUs();
        const bool busy = isBusy() == 1;
        pollUs = clock.NowUs() - testStartUs;
        if (!busy) return true;
        if (clock.NowUs() - startUs >= maxUs) return false;
        Pause(test == 0 ? std::max(kShortestStepUs, pollUs) : less(stepUs, pollUs));
    }
}
