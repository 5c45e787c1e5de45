// The writer's lock of a shared file: a wait for it ends at its bound with
// the reason when the holder keeps it (a process stopped while it held it
// must not hold up a station for good), and the holder's end lets the next
// one in.
#include <gtest/gtest.h>

#include "platform/file_lock.h"
#include "support/temp_dir.h"

namespace vexu {
namespace {

TEST(FileLock, AWaitEndsAtItsBoundAndTheHoldersEndLetsTheNextIn) {
    test::TempDir dir;
    const std::string path = dir.File("station.db-writer");
    FileLock holder;
    std::string text;
    ASSERT_TRUE(holder.Wait(path, text, 0)) << text;
    FileLock waiter;
    for (const uint64_t boundUs : {0u, 2000u}) {
        EXPECT_FALSE(waiter.Wait(path, text, boundUs));
        EXPECT_NE(text.find("another process has held it"), std::string::npos) << text;
        EXPECT_FALSE(waiter.Held());
    }
    holder.Unlock();
    EXPECT_TRUE(waiter.Wait(path, text, 0)) << text;
    EXPECT_TRUE(waiter.Held());
}

}  // namespace
}  // namespace vexu
