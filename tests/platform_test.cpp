// The workstation stand-in of the platform: the guarantees the library and
// its tests build on.
#include <DRAV_UsrCommandReceiver.h>
#include <QMV_Mutex_Semaphore.h>
#include <gtest/gtest.h>
#include <platform_standin.h>
#include <tesk_mainte.h>
#include <zol_platform.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using platform_standin::service_call;
using wexlog_test::PlatformFixture;
using StandinClock = PlatformFixture;
using StandinTraces = PlatformFixture;
using StandinServices = PlatformFixture;

constexpr unsigned long kWaitForever = 0xFFFFFFFFUL;

__attribute__((format(printf, 2, 3))) int call_uc_trace(const char* name, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = velorin::DRAV_UsrCommandReceiver::uc_trace(name, format, args);
  va_end(args);
  return result;
}

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

TEST_F(StandinClock, FixedClockReachesRunningThreadsAtOnceUntilRealClockReturns) {
  std::atomic<bool> go{false};
  zolQMVClock there{0, 0};
  int there_status = -1;
  std::thread running([&] {
    while (!go) std::this_thread::yield();
    there_status = zolQMVGetClock(&there);
  });
  platform_standin::set_clock(1700000000U, 123456789U);
  go = true;
  running.join();
  EXPECT_EQ(0, there_status);
  EXPECT_EQ(1700000000U, there.sec);
  EXPECT_EQ(123456789U, there.nsec);

  zolQMVClock here{0, 0};
  platform_standin::set_clock(5U, 6U, 0x1234);
  EXPECT_EQ(0x1234, zolQMVGetClock(&here));
  EXPECT_EQ(5U, here.sec);
  EXPECT_EQ(6U, here.nsec);

  platform_standin::use_real_clock();
  timespec before{};
  timespec after{};
  clock_gettime(CLOCK_REALTIME, &before);
  EXPECT_EQ(0, zolQMVGetClock(&here));
  clock_gettime(CLOCK_REALTIME, &after);
  EXPECT_GE(here.sec, static_cast<uint32_t>(before.tv_sec));
  EXPECT_LE(here.sec, static_cast<uint32_t>(after.tv_sec));
  EXPECT_LT(here.nsec, 1000000000U);
}

class StandinLocalTime : public PlatformFixture {
 protected:
  void SetUp() override {
    PlatformFixture::SetUp();
    use_zone("UTC");
  }
  void TearDown() override {
    use_zone("UTC");
    PlatformFixture::TearDown();
  }
  static void use_zone(const char* zone) {
    setenv("TZ", zone, 1);
    platform_standin::local_time_zone_changed();
  }
  static void expect_same_time(const tm& expected, const tm& actual, uint32_t sec) {
    SCOPED_TRACE(sec);
    EXPECT_EQ(expected.tm_sec, actual.tm_sec);
    EXPECT_EQ(expected.tm_min, actual.tm_min);
    EXPECT_EQ(expected.tm_hour, actual.tm_hour);
    EXPECT_EQ(expected.tm_mday, actual.tm_mday);
    EXPECT_EQ(expected.tm_mon, actual.tm_mon);
    EXPECT_EQ(expected.tm_year, actual.tm_year);
    EXPECT_EQ(expected.tm_wday, actual.tm_wday);
    EXPECT_EQ(expected.tm_yday, actual.tm_yday);
    EXPECT_EQ(expected.tm_isdst, actual.tm_isdst);
    EXPECT_EQ(expected.tm_gmtoff, actual.tm_gmtoff);
    EXPECT_STREQ(expected.tm_zone, actual.tm_zone);
  }
};

TEST_F(StandinLocalTime, ConvertsLikeLocaltimeAcrossRepeatedSecondsAndZoneChanges) {
  zolQMVClock clock{1700000000U, 999999999U};
  tm out;
  std::memset(&out, 0x5a, sizeof out);
  ASSERT_EQ(&out, zolCLBLocalTime_r(&clock, &out));
  EXPECT_EQ(123, out.tm_year);
  EXPECT_EQ(10, out.tm_mon);
  EXPECT_EQ(14, out.tm_mday);
  EXPECT_EQ(22, out.tm_hour);
  EXPECT_EQ(13, out.tm_min);
  EXPECT_EQ(20, out.tm_sec);
  EXPECT_EQ(2, out.tm_wday);
  EXPECT_EQ(317, out.tm_yday);

  // Repeats, neighbours and returns to an earlier second all match localtime_r.
  for (const uint32_t sec : {1700000000U, 1700000000U, 1700000001U, 1700000000U, 86399U, 0U}) {
    clock.sec = sec;
    std::memset(&out, 0x5a, sizeof out);
    ASSERT_EQ(&out, zolCLBLocalTime_r(&clock, &out));
    const time_t seconds = static_cast<time_t>(sec);
    tm expected{};
    ASSERT_NE(nullptr, localtime_r(&seconds, &expected));
    expect_same_time(expected, out, sec);
  }

  // A second converted in the old zone is converted again in the new one.
  clock.sec = 1700000000U;
  ASSERT_NE(nullptr, zolCLBLocalTime_r(&clock, &out));
  use_zone("JST-9");
  ASSERT_NE(nullptr, zolCLBLocalTime_r(&clock, &out));
  EXPECT_EQ(15, out.tm_mday);
  EXPECT_EQ(7, out.tm_hour);
  EXPECT_EQ(32400, out.tm_gmtoff);
}

TEST_F(StandinTraces, CapturedTracesKeepFullTextAndPerThreadOrder) {
  zolGENTrcPrintf(7, 2, 1, "value=%d name=%s", 42, "abc");
  const std::string long_text(5000, 'x');
  zolGENTrcPrintf(-1, 0, 3, "%s|", long_text.c_str());
  call_uc_trace("LOG", "n=%u", 5U);

  std::vector<platform_standin::trace_print> prints = platform_standin::take_trace_prints();
  ASSERT_EQ(2U, prints.size());
  EXPECT_EQ(7, prints[0].id);
  EXPECT_EQ(2, prints[0].category);
  EXPECT_EQ(1, prints[0].kind);
  EXPECT_EQ("value=42 name=abc", prints[0].text);
  EXPECT_EQ(-1, prints[1].id);
  EXPECT_EQ(3, prints[1].kind);
  EXPECT_EQ(long_text + "|", prints[1].text);
  std::vector<platform_standin::user_trace> traces = platform_standin::take_user_traces();
  ASSERT_EQ(1U, traces.size());
  EXPECT_EQ("LOG", traces[0].name);
  EXPECT_EQ("n=5", traces[0].text);
  EXPECT_TRUE(platform_standin::take_trace_prints().empty());
  EXPECT_TRUE(platform_standin::take_user_traces().empty());

  constexpr int kThreads = 4;
  constexpr int kPrints = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kPrints; ++i) zolGENTrcPrintf(t, 0, 0, "%d", i);
    });
  }
  for (std::thread& thread : threads) thread.join();
  prints = platform_standin::take_trace_prints();
  ASSERT_EQ(static_cast<size_t>(kThreads * kPrints), prints.size());
  std::vector<int> next(kThreads, 0);
  for (const platform_standin::trace_print& print : prints) {
    ASSERT_GE(print.id, 0);
    ASSERT_LT(print.id, kThreads);
    EXPECT_EQ(std::to_string(next[static_cast<size_t>(print.id)]++), print.text);
  }
}

TEST_F(StandinTraces, UncapturedTracesArePrintedAsLinesOnStderr) {
  platform_standin::capture(false);
  testing::internal::CaptureStderr();
  zolGENTrcPrintf(7, 2, 1, "hello %d", 1);
  call_uc_trace("LOG", "bye\n");
  EXPECT_EQ("[trc id=7 cat=2 kind=1] hello 1\n[uc LOG] bye\n",
            testing::internal::GetCapturedStderr());
  EXPECT_TRUE(platform_standin::take_trace_prints().empty());
  EXPECT_TRUE(platform_standin::take_user_traces().empty());
}

TEST_F(StandinServices, ServiceCallsAreRecordedAndAnswerTheirConfiguredStatus) {
  EXPECT_EQ(0, tesk_log_run(3, 10, 20, 30, 40, 0xFFFFFFFFU));
  platform_standin::set_service_status("tesk_log_run", 0x740B0005);
  EXPECT_EQ(0x740B0005, tesk_log_run(1, 0, 0, 0, 0, 0));
  EXPECT_EQ(0, tesk_rpcode_calc(1, 2, "abc"));
  EXPECT_EQ(0, tesk_rpcode_write(4, 5, nullptr));
  EXPECT_EQ(0, tesk_mainte_auth_check("maint", nullptr));

  const std::vector<service_call> calls = platform_standin::take_service_calls();
  ASSERT_EQ(5U, calls.size());
  EXPECT_EQ("tesk_log_run", calls[0].function);
  EXPECT_EQ((std::vector<unsigned long>{3, 10, 20, 30, 40, 0xFFFFFFFFUL}), calls[0].args);
  EXPECT_EQ((std::vector<unsigned long>{1, 0, 0, 0, 0, 0}), calls[1].args);
  EXPECT_EQ("tesk_rpcode_calc", calls[2].function);
  EXPECT_EQ((std::vector<unsigned long>{1, 2}), calls[2].args);
  EXPECT_EQ("abc", calls[2].text);
  EXPECT_FALSE(calls[2].text_is_null);
  EXPECT_EQ("tesk_rpcode_write", calls[3].function);
  EXPECT_EQ((std::vector<unsigned long>{4, 5}), calls[3].args);
  EXPECT_EQ("", calls[3].text);
  EXPECT_TRUE(calls[3].text_is_null);
  EXPECT_EQ("tesk_mainte_auth_check", calls[4].function);
  EXPECT_TRUE(calls[4].args.empty());
  EXPECT_EQ("maint", calls[4].text);
  EXPECT_FALSE(calls[4].text_is_null);
  EXPECT_TRUE(calls[4].text2_is_null);
  EXPECT_TRUE(platform_standin::take_service_calls().empty());

  EXPECT_THROW(platform_standin::set_service_status("tesk_log_runs", 1), std::invalid_argument);
}

TEST_F(StandinServices, RpcodeReadFillsOnlyAGivenBufferAndOnlyOnSuccess) {
  platform_standin::set_rpcode_read_text("R-1234");
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(0, tesk_rpcode_read(1, 0, buffer, 8));
  EXPECT_EQ(std::string("R-1234\0#", 8), std::string(buffer, 8));

  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(0, tesk_rpcode_read(1, 0, buffer, 4));
  EXPECT_EQ(std::string("R-1\0####", 8), std::string(buffer, 8));

  EXPECT_EQ(0, tesk_rpcode_read(1, 0, nullptr, 8));
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(0, tesk_rpcode_read(1, 0, buffer, 0));
  EXPECT_EQ("########", std::string(buffer, 8));

  platform_standin::set_service_status("tesk_rpcode_read", -2);
  EXPECT_EQ(-2, tesk_rpcode_read(0, 1, buffer, 8));
  EXPECT_EQ("########", std::string(buffer, 8));

  const std::vector<service_call> calls = platform_standin::take_service_calls();
  ASSERT_EQ(5U, calls.size());
  EXPECT_EQ((std::vector<unsigned long>{1, 0, 8}), calls[0].args);
  EXPECT_EQ(static_cast<const void*>(buffer), calls[0].out);
  EXPECT_EQ(nullptr, calls[2].out);
  EXPECT_EQ((std::vector<unsigned long>{0, 1, 8}), calls[4].args);
}

TEST(StandinReset, ReturnsEveryControlToItsStartState) {
  platform_standin::capture(true);
  platform_standin::set_clock(1, 2, 3);
  platform_standin::set_service_status("tesk_rpcode_calc", 9);
  platform_standin::set_rpcode_read_text("old");
  zolGENTrcPrintf(1, 1, 1, "kept?");
  call_uc_trace("LOG", "kept?");
  tesk_log_run(0, 0, 0, 0, 0, 0);

  platform_standin::reset();
  EXPECT_TRUE(platform_standin::take_trace_prints().empty());
  EXPECT_TRUE(platform_standin::take_user_traces().empty());
  EXPECT_TRUE(platform_standin::take_service_calls().empty());
  zolQMVClock clock{0, 0};
  EXPECT_EQ(0, zolQMVGetClock(&clock));
  EXPECT_GT(clock.sec, 1600000000U);
  EXPECT_EQ(0, tesk_rpcode_calc(0, 0, ""));
  char buffer[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(0, tesk_rpcode_read(0, 0, buffer, 4));
  EXPECT_EQ('\0', buffer[0]);
  EXPECT_EQ('#', buffer[1]);
  testing::internal::CaptureStderr();
  zolGENTrcPrintf(1, 1, 1, "printed");
  EXPECT_EQ("[trc id=1 cat=1 kind=1] printed\n", testing::internal::GetCapturedStderr());
  platform_standin::reset();
}

}  // namespace
