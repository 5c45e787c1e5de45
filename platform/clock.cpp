#include "platform/clock.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>

namespace vexu {

namespace {

// A sleep wakes late by the timer slack and the scheduler's latency: a few
// tens of microseconds on an idle machine, milliseconds on a loaded one. A
// busy-wait sleeps until the spin stretch before its deadline and spins the
// rest; waits no longer than the stretch spin all the way. The stretch is
// how late sleeps have lately woken plus a margin, within the bounds: a late
// wake-up raises it at once, and every wait longer than the shortest
// stretch lowers it by an eighth, so that one slow moment does not make
// the following waits spin for good.
constexpr uint64_t kMinSpinStretchUs = 100;
constexpr uint64_t kMaxSpinStretchUs = 2000;
constexpr uint64_t kSpinStretchMarginUs = 50;

// How late the sleeps of busy-waits woke, as a decaying maximum. Shared by
// all threads: a lost update only moves the stretch a little.
std::atomic<uint64_t> g_sleepLatenessUs{0};

std::atomic<Clock*> g_clock{nullptr};

}  // namespace

void RealClock::SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void RealClock::BusyWaitUs(uint64_t us) {
    using namespace std::chrono;
    const steady_clock::time_point deadline = steady_clock::now() + microseconds(us);
    const uint64_t lateness = g_sleepLatenessUs.load(std::memory_order_relaxed);
    const uint64_t stretch = std::clamp(lateness + kSpinStretchMarginUs, kMinSpinStretchUs, kMaxSpinStretchUs);
    const uint64_t decayed = lateness - lateness / 8;
    if (us > stretch) {
        const steady_clock::time_point wake = deadline - microseconds(stretch);
        std::this_thread::sleep_until(wake);
        const auto late = duration_cast<microseconds>(steady_clock::now() - wake).count();
        g_sleepLatenessUs.store(std::max(late > 0 ? static_cast<uint64_t>(late) : 0, decayed),
                                std::memory_order_relaxed);
    } else if (us > kMinSpinStretchUs) {
        g_sleepLatenessUs.store(decayed, std::memory_order_relaxed);
    }
    while (steady_clock::now() < deadline) {
    }
}

uint64_t RealClock::NowUs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

int64_t RealClock::CalendarSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

VirtualClock::VirtualClock(uint64_t startUs, int64_t calendarStart)
    : nowUs_(startUs), startUs_(startUs), calendarStart_(calendarStart) {}

void VirtualClock::SleepMs(uint32_t ms) {
    Advance(uint64_t{ms} * 1000);
    std::this_thread::yield();
}

void VirtualClock::BusyWaitUs(uint64_t us) { Advance(us); }

int64_t VirtualClock::CalendarSeconds() {
    return calendarStart_ + static_cast<int64_t>((NowUs() - startUs_) / 1'000'000);
}

Clock& GetClock() {
    static RealClock realClock;
    Clock* clock = g_clock.load(std::memory_order_acquire);
    return clock ? *clock : realClock;
}

void SetClock(Clock* clock) { g_clock.store(clock, std::memory_order_release); }

}  // namespace vexu
