#include "platform/foundation/FileLock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "TempDir.h"

namespace platform {
namespace {

TEST(FileLock, SecondInstanceWaitsUntilTheFirstIsReleased) {
  TempDir dir;
  auto first = std::make_unique<FileLock>(dir / "state.lock", 0640);
  ASSERT_TRUE(first->locked());
  EXPECT_EQ(first->error(), "");
  struct stat st {};
  ASSERT_EQ(::stat((dir / "state.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777 & ~0640, 0u);

  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    FileLock second(dir / "state.lock");
    acquired = second.locked();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(acquired.load());
  first.reset();
  waiter.join();
  EXPECT_TRUE(acquired.load());
}

TEST(FileLock, MissingDirectoryIsReportedNotLocked) {
  TempDir dir;
  FileLock lock(dir / "no-such-dir/state.lock");
  EXPECT_FALSE(lock.locked());
  EXPECT_NE(lock.error(), "");
}

}  // namespace
}  // namespace platform
