// The workstation stand-in of the platform: the semaphore guarantees the
// library builds on.
#include <QMV_Mutex_Semaphore.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr unsigned long kWaitForever = 0xFFFFFFFFUL;

TEST(StandinSemaphore, HolderNestsRequestsAndOthersWaitForItsLastRelease) {
  QMV_Mutex_Semaphore semaphore(1);
  ASSERT_EQ(0, semaphore.request(kWaitForever));
  ASSERT_EQ(0, semaphore.request(kWaitForever));
  ASSERT_EQ(0, semaphore.request(0));

  std::atomic<bool> waiting{false};
  std::atomic<bool> acquired{false};
  std::atomic<int> releases_begun{0};
  int releases_seen = -1;
  std::thread other([&] {
    waiting = true;
    EXPECT_EQ(0, semaphore.request(kWaitForever));
    releases_seen = releases_begun.load();
    acquired = true;
    EXPECT_EQ(0, semaphore.release());
  });
  while (!waiting) std::this_thread::yield();
  // Give the other thread a chance to block in request() first.
  for (int i = 0; i < 1000 && !acquired; ++i) std::this_thread::yield();

  for (int release = 1; release <= 3; ++release) {
    EXPECT_FALSE(acquired) << "taken while the holder still had " << 4 - release << " requests";
    releases_begun = release;
    EXPECT_EQ(0, semaphore.release());
  }
  other.join();
  EXPECT_TRUE(acquired);
  EXPECT_EQ(3, releases_seen);

  // The other thread's single release balanced its single request.
  EXPECT_EQ(0, semaphore.request(kWaitForever));
  EXPECT_EQ(0, semaphore.release());
}

TEST(StandinSemaphore, KeepsNestedSectionsOfManyThreadsApart) {
  QMV_Mutex_Semaphore semaphore(1);
  long counter = 0;  // deliberately not atomic: only the semaphore guards it
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        semaphore.request(kWaitForever);
        const long seen = counter;
        semaphore.request(kWaitForever);
        counter = seen + 1;
        semaphore.release();
        semaphore.release();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(8000, counter);
}

}  // namespace
