// The udev monitor starts and stops cleanly where no udevd runs and no USB
// exists, and never reports a hidraw node it did not see change.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/hotplug.h"

TEST(UdevHotplug, ThreadedStartsAndStopsWithoutSpuriousEvents) {
    auto monitor = vexu::MakeUdevHotplugMonitor();
    std::atomic<int> events{0};
    ASSERT_TRUE(monitor->Start([&](const vexu::HotplugEvent&) { ++events; }));
    monitor->Stop();
    monitor->Stop();  // a second stop is harmless
    EXPECT_EQ(events.load(), 0);
}
