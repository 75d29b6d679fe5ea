// SPDX-License-Identifier: MIT
// The message driver's cases on two threads: N messages, half from a second
// thread, on one logger, on one peer logger, or on a floor of each thread's
// own.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

#include "bench_cases.h"

namespace {

template <class Log>
void repeat(long count, Log&& log) {
  for (long i = 0; i < count; ++i) log(static_cast<int>(i));
}

// Half of `count` on a second thread, half on this one, at the same time.
template <class Log>
void repeat_on_two_threads(long count, Log&& log) {
  std::thread other([&] { repeat(count / 2, log); });
  repeat(count - count / 2, log);
  other.join();
}

}  // namespace

int run_on_two_threads(const char* name, long count, velorin::wex_lib_log_entry& logger) {
  if (std::strcmp(name, "stored_2threads") == 0) {
    repeat_on_two_threads(count, [&](int i) { bench::log_one(logger, WEX_LIB_LOG_LV_INFO, i); });
#if WEXLOG_BENCH_PEER
  } else if (std::strcmp(name, "spdlog_2threads") == 0) {
    const auto peer = bench::make_spdlog(spdlog::level::info);
    repeat_on_two_threads(count, [&](int i) { bench::spdlog_one(*peer, i); });
#endif
  } else if (std::strcmp(name, "floor_2threads") == 0) {
    bench::floor_sink sinks[2];
    std::atomic<int> next{0};
    repeat_on_two_threads(count, [&](int i) {
      thread_local bench::floor_sink* sink = &sinks[next++];
      bench::floor_one(*sink, i);
    });
  } else {
    std::fprintf(stderr, "message_driver: unknown case %s\n", name);
    return 2;
  }
  return 0;
}
