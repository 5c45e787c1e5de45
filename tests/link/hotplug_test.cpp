// The platform's hot-plug monitor (udev on Linux, device-change
// notifications on Windows) starts and stops cleanly where no udevd runs and
// no USB exists, and never reports an interface it did not see change.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/system_hid.h"

TEST(SystemHotplug, ThreadedStartsAndStopsWithoutSpuriousEvents) {
    auto monitor = vexu::MakeSystemHotplugMonitor();
    std::atomic<int> events{0};
    ASSERT_TRUE(monitor->Start([&](const vexu::HotplugEvent&) { ++events; }));
    monitor->Stop();
    monitor->Stop();  // a second stop is harmless
    EXPECT_EQ(events.load(), 0);
}
