// SPDX-License-Identifier: MIT
// Runs N messages of one benchmark case, for counting instructions per
// message under callgrind, where times are too noisy to compare:
//   message_driver CASE N
// CASE is stored, spdlog, floor, filtered, spdlog_filtered, value, set,
// string, dump (N stored messages, then their dump to /dev/null), or
// stored_2threads, spdlog_2threads, floor_2threads (N messages from two
// threads at once, on one logger, one peer logger, or a floor each). `message_driver memory` prints
// what a logger with a 64 MiB ring costs in resident memory before any message, beside the ring's
// size. scripts/bench_ratios.py runs it twice with different N and takes the difference, so that
// start-up and set-up cancel out. With WEXLOG_BENCH_MAP_DIR set, the logger's ring is kept in a
// mapped file of that directory (wex_lib_log_map.h), for comparing both kinds of ring.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench_cases.h"
#include "wex_lib_log_map.h"

namespace {

long resident_kib() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1) break;
  }
  std::fclose(status);
  return kib;
}

int report_memory() {
  constexpr int kRing = 64 << 20;
  const long before = resident_kib();
  velorin::wex_lib_log_entry logger(1, "memory", kRing);
  const long after = resident_kib();
  std::printf("logger object %zu bytes; ring %d KiB; resident before any message %ld KiB\n",
              sizeof logger, kRing >> 10, after - before);
  return 0;
}

template <class Log>
void repeat(long count, Log&& log) {
  for (long i = 0; i < count; ++i) log(static_cast<int>(i));
}

}  // namespace

// The cases on two threads (message_driver_threads.cpp). They live in a file
// of their own so that the compiler builds main's cases as it would without
// them: a second call of the peer's logging template here would change how it
// inlines the first.
int run_on_two_threads(const char* name, long count, velorin::wex_lib_log_entry& logger);

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "memory") == 0) return report_memory();
  if (argc != 3) {
    std::fprintf(stderr, "usage: message_driver CASE COUNT | message_driver memory\n");
    return 2;
  }
  const char* const name = argv[1];
  const long count = std::atol(argv[2]);
  const auto is = [name](const char* candidate) { return std::strcmp(name, candidate) == 0; };
  const char* const map_dir = std::getenv("WEXLOG_BENCH_MAP_DIR");
  if (map_dir != nullptr && velorin::wex_lib_log_map_rings(map_dir) != 0) {
    std::fprintf(stderr, "message_driver: cannot map rings into %s\n", map_dir);
    return 1;
  }
  velorin::wex_lib_log_entry logger(1, "driver", static_cast<int>(bench::kRingSize));
  if (is("stored")) {
    repeat(count, [&](int i) { bench::log_one(logger, WEX_LIB_LOG_LV_INFO, i); });
  } else if (is("filtered")) {
    repeat(count, [&](int i) { bench::log_one(logger, WEX_LIB_LOG_LV_VERBOSE, i); });
  } else if (is("value")) {
    repeat(count, [&](int i) { bench::value_one(logger, i); });
  } else if (is("set")) {
    repeat(count, [&](int i) { bench::set_one(logger, i); });
  } else if (is("string")) {
    repeat(count, [&](int i) { bench::string_one(logger, i); });
#if WEXLOG_BENCH_PEER
  } else if (is("spdlog") || is("spdlog_filtered")) {
    const auto peer = bench::make_spdlog(is("spdlog") ? spdlog::level::info : spdlog::level::warn);
    repeat(count, [&](int i) { bench::spdlog_one(*peer, i); });
#endif
  } else if (is("dump")) {
    velorin::wex_lib_log_entry big(2, "dump", 64 << 20);
    repeat(count, [&](int i) { bench::log_one(big, WEX_LIB_LOG_LV_INFO, i); });
    big.trace_log("/dev/null");
  } else if (is("floor")) {
    bench::floor_sink sink;
    repeat(count, [&](int i) { bench::floor_one(sink, i); });
  } else if (std::strstr(name, "_2threads") != nullptr) {
    return run_on_two_threads(name, count, logger);
  } else {
    std::fprintf(stderr, "message_driver: unknown case %s\n", name);
    return 2;
  }
  return 0;
}
