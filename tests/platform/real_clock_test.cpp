// The real clock's busy-wait never returns before its length, whether it
// spins all the way or sleeps first and spins the rest, and however its
// spin stretch has moved. The one test of the suite that waits for real:
// about 15 ms in all.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/clock.h"

namespace vexu {
namespace {

TEST(RealClock, BusyWaitNeverShorterThanAsked) {
    RealClock clock;
    // Short waits that spin, long ones that sleep first, short ones again
    // after the stretch has learnt from the sleeps.
    const uint64_t waits[] = {0, 1, 20, 99, 100, 101, 150, 400, 2500, 1000, 3000, 48, 264, 1000, 120, 2100, 5};
    for (uint64_t us : waits) {
        const auto start = std::chrono::steady_clock::now();
        clock.BusyWaitUs(us);
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::microseconds(us)) << us << " us";
    }
}

}  // namespace
}  // namespace vexu
