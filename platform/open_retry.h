// Opening a HID node that has just appeared: udev may not have given the
// user access to it yet, so an open that fails is tried again, kOpenTries
// times in all, kOpenRetryMs apart on the system clock (about a second).
#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace vexu {

constexpr int kOpenTries = 10;
constexpr uint32_t kOpenRetryMs = 100;

// open() returns what it opened, or a value that tests false.
template <typename Open>
auto OpenWithRetries(Open open) -> decltype(open()) {
    decltype(open()) opened{};
    for (int attempt = 0; attempt < kOpenTries && !opened; ++attempt) {
        if (attempt) GetClock().SleepMs(kOpenRetryMs);
        opened = open();
    }
    return opened;
}

}  // namespace vexu
