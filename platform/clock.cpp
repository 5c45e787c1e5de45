#include "platform/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace vexu {

namespace {

// A sleep may overshoot by a scheduler tick; waits shorter than this spin.
constexpr uint64_t kSpinStretchUs = 2000;

std::atomic<Clock*> g_clock{nullptr};

}  // namespace

void RealClock::SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void RealClock::BusyWaitUs(uint64_t us) {
    const uint64_t deadline = NowUs() + us;
    if (us > kSpinStretchUs) std::this_thread::sleep_for(std::chrono::microseconds(us - kSpinStretchUs));
    while (NowUs() < deadline) {
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
