// SPDX-License-Identifier: MIT
// The platform semaphore the library builds on: re-entrant for its holder,
// free for others only after the holder's last release, and never leaving a
// waiter asleep once it is free.
#include <QMV_Mutex_Semaphore.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

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

// More threads than processors, each taking the semaphore in a tight loop:
// a lost wake would hang the test, a broken exclusion would lose counts.
TEST(PlatformSemaphore, ThreadsTakingTurnsNeverOverlapAndAllGetThrough) {
  QMV_Mutex_Semaphore semaphore(1);
  constexpr int kThreads = 4;
  constexpr int kTurns = 20000;
  long counted = 0;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kTurns; ++i) {
        semaphore.request(0xFFFFFFFF);
        if (inside.fetch_add(1, std::memory_order_relaxed) != 0) overlapped = true;
        ++counted;
        inside.fetch_sub(1, std::memory_order_relaxed);
        semaphore.release();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(long{kThreads} * kTurns, counted);
}

}  // namespace
