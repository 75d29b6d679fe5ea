// SPDX-License-Identifier: MIT
// How fast `wexlog recover` scans a core for log rings, in bytes of loaded
// segments per second (goal: 2 GB/s and more).
//
// The cores are synthetic, 64 MB of writable memory each: heap-like words
// of the core's pointer width (zeros, small numbers, pointers into the
// segment, random bits) with a record store
// and its ring every 4 MB, in the host's layout and as a 32-bit big-endian
// device core; and, as the worst case for the field tests, random bytes.
#include <benchmark/benchmark.h>
#include <core_file.h>
#include <platform_standin.h>
#include <ring_scan.h>
#include <wex_lib_log_entry.h>

#include <random>

#include "../tests/wexlog/synthetic_core.h"

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
  if (!heap_like) return m;
  platform_standin::capture(true);
  velorin::wex_lib_log_entry log(1, "bench", 4000);
  for (int i = 0; i < 100; ++i) {
    log.add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_ERROR, WEX_LIB_LOG_LEN_SHORT,
                "ns::cls::fn(int)", "message %d of the benchmark", i);
  }
  velorin::WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ info{};
  core_bytes array(4000);
  log.storage().get_ring_buffer(&info, array.data());
  for (size_t at = 1 << 20; at + (3 << 20) <= kSize; at += 4 << 20) {
    const uint64_t store = kBase + at, ring_array = store + (1 << 20);
    const core_bytes s = wexlog_test::store_image(big, p, store, "bench", 1, info, ring_array, 0);
    std::copy(s.begin(), s.end(), m.begin() + static_cast<long>(at));
    std::copy(array.begin(), array.end(), m.begin() + static_cast<long>(at + (1 << 20)));
  }
  return m;
}

void scan(benchmark::State& state, unsigned int p, bool big, bool heap_like) {
  const core_bytes core = wexlog_test::make_core(p, big, {{kBase, memory(p, big, heap_like)}});
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
