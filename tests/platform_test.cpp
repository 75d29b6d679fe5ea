// SPDX-License-Identifier: MIT
// The platform semaphore the library builds on: re-entrant for its holder,
// free for others only after the holder's last release.
#include <QMV_Mutex_Semaphore.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

TEST(PlatformSemaphore, HolderNestsRequestsAndOthersWaitForItsLastRelease) {
  QMV_Mutex_Semaphore semaphore(1);
  ASSERT_EQ(0, semaphore.request(0xFFFFFFFF));
  ASSERT_EQ(0, semaphore.request(0xFFFFFFFF));
  std::atomic<int> releases{0};
  int releases_seen = -1;
  std::thread other([&] {
    semaphore.request(0xFFFFFFFF);
    releases_seen = releases.load();
    semaphore.release();
  });
  for (int i = 0; i < 1000; ++i) std::this_thread::yield();
  releases = 1;
  semaphore.release();
  for (int i = 0; i < 1000; ++i) std::this_thread::yield();
  releases = 2;
  semaphore.release();
  other.join();
  EXPECT_EQ(2, releases_seen);
}

}  // namespace
