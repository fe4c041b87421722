#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/InstanceLock.h"

TEST(InstanceLock, SecondHolderIsRefusedUntilTheFirstReleases) {
    auto dir = std::filesystem::temp_directory_path() / "th_lock_test";
    std::filesystem::create_directories(dir);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    th::InstanceLock first("test_mutex");
    th::InstanceLock second("test_mutex");
    ASSERT_TRUE(first.tryAcquire());
    EXPECT_FALSE(second.tryAcquire());
    first.release();
    EXPECT_TRUE(second.tryAcquire());
}
