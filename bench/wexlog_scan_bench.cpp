// SPDX-License-Identifier: MIT
// How fast `wexlog recover` scans a core for log rings, in bytes of loaded
// segments per second (goal: 2 GB/s and more).
//
// The cores hold 64 MB of made-up writable memory each: heap-like words of
// the core's pointer width (zeros, small numbers, pointers into the
// segment, random bits), in the host's byte order, where the stores and
// rings of sixteen loggers of this process lie beside it, and as a 32-bit
// big-endian device core; and, as the worst case for the field tests,
// random bytes.
#include <benchmark/benchmark.h>
#include <core_file.h>
#include <platform_standin.h>
#include <ring_scan.h>
#include <wex_lib_log_entry.h>

#include <memory>
#include <random>

#include "../tests/wexlog/copied_core.h"

namespace {

using wexlog_test::core_bytes;
constexpr uint64_t kBase = 0x10000000;
constexpr size_t kSize = 64u << 20;

core_bytes memory(unsigned int p, bool big, bool heap_like) {
  std::mt19937_64 random(42);
  core_bytes m(kSize);
  for (size_t at = 0; at + p <= kSize; at += p) {
    uint64_t word = random();
    if (heap_like) {
      const uint64_t kind = word % 10;
      word = kind < 4 ? 0 : kind < 6 ? word % 300 : kind < 8 ? kBase + word % kSize : word;
    }
    for (unsigned int i = 0; i < p; ++i)
      m[at + i] = static_cast<unsigned char>(word >> 8 * (big ? p - 1 - i : i));
  }
  return m;
}

// Copies of sixteen loggers holding 100 messages each, all alive at once so
// that each has memory of its own.
std::vector<wexlog_test::store_copy> loggers() {
  platform_standin::capture(true);
  std::vector<std::unique_ptr<velorin::wex_lib_log_entry>> logs;
  std::vector<wexlog_test::store_copy> copies;
  for (int n = 0; n < 16; ++n) {
    logs.emplace_back(new velorin::wex_lib_log_entry(n, "bench", 4000));
    for (int i = 0; i < 100; ++i) {
      logs.back()->add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_ERROR, WEX_LIB_LOG_LEN_SHORT,
                           "ns::cls::fn(int)", "message %d of the benchmark", i);
    }
    copies.emplace_back(logs.back()->storage());
  }
  return copies;
}

void scan(benchmark::State& state, unsigned int p, bool big, bool heap_like) {
  const bool host = p == sizeof(void*) && big == wexlog_test::kHostBigEndian;
  const wexlog_test::region made_up{kBase, memory(p, big, heap_like)};
  const core_bytes core = host && heap_like ? wexlog_test::native_core(loggers(), {made_up})
                                            : wexlog_test::make_core(p, big, {made_up});
  const wexlog::core_image image(core.data(), core.size());
  size_t rings = 0;
  wexlog::scan_stats stats;
  for (auto _ : state) {
    rings = wexlog::find_rings(image, wexlog::scan_options{false}, &stats).size();
    benchmark::DoNotOptimize(rings);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kSize));
  state.counters["rings"] = static_cast<double>(rings);
  state.counters["candidates"] =
      static_cast<double>(stats.candidates) / static_cast<double>(state.iterations());
  state.counters["steps"] =
      static_cast<double>(stats.steps) / static_cast<double>(state.iterations());
}

BENCHMARK_CAPTURE(scan, heap_64bit_host_order, 8, false, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(scan, heap_32bit_big_endian, 4, true, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(scan, random_64bit, 8, false, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(scan, random_32bit_big_endian, 4, true, false)->Unit(benchmark::kMillisecond);

}  // namespace
