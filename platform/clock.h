// The one clock of the system: sleeping, the millisecond tick, calendar time
// and microsecond busy-waits all go through it, so that tests and the
// simulator can run in virtual time.
#pragma once

#include <atomic>
#include <cstdint>

namespace vexu {

class Clock {
public:
    virtual ~Clock() = default;
    // Sleep(ms): gives up the processor for at least ms milliseconds.
    virtual void SleepMs(uint32_t ms) = 0;
    // Waits at least us microseconds, spinning where a sleep would be too coarse.
    virtual void BusyWaitUs(uint64_t us) = 0;
    // Monotonic microseconds since an arbitrary start.
    virtual uint64_t NowUs() = 0;
    // GetTickCount(): milliseconds, wraps at 2^32.
    uint32_t TickMs() { return static_cast<uint32_t>(NowUs() / 1000); }
    // Calendar time in seconds since the epoch.
    virtual int64_t CalendarSeconds() = 0;
};

// Steady-clock time; long busy-waits sleep most of their length and spin
// only the last stretch, a little more than a sleep has lately woken late
// (100 us to 2 ms).
class RealClock final : public Clock {
public:
    void SleepMs(uint32_t ms) override;
    void BusyWaitUs(uint64_t us) override;
    uint64_t NowUs() override;
    int64_t CalendarSeconds() override;
};

// Time that moves only when somebody waits (or Advance is called). Any
// thread may wait; the time is shared. Sleeping also yields the processor
// so that other threads of a test make progress.
class VirtualClock final : public Clock {
public:
    explicit VirtualClock(uint64_t startUs = 1'000'000, int64_t calendarStart = 1'767'225'600);
    void SleepMs(uint32_t ms) override;
    void BusyWaitUs(uint64_t us) override;
    uint64_t NowUs() override { return nowUs_.load(std::memory_order_relaxed); }
    int64_t CalendarSeconds() override;
    void Advance(uint64_t us) { nowUs_.fetch_add(us, std::memory_order_relaxed); }

private:
    std::atomic<uint64_t> nowUs_;
    uint64_t startUs_;
    int64_t calendarStart_;
};

// The clock everybody uses. Defaults to a process-wide RealClock.
Clock& GetClock();
// Installs another clock (nullptr restores the real one). Not to be called
// while another thread may be using the clock.
void SetClock(Clock* clock);

// Installs a clock for the lifetime of a scope (tests, the simulator).
class ScopedClock {
public:
    explicit ScopedClock(Clock& clock) { SetClock(&clock); }
    ~ScopedClock() { SetClock(nullptr); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;
};

}  // namespace vexu
