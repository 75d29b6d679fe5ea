// SPDX-License-Identifier: MIT
// The ring on its own: one push and one pop of a payload of the given size,
// on a ring that stays nearly empty (no discarding).
#include <benchmark/benchmark.h>

#include <vector>

#include "wex_lib_log_ring_buffer.h"

namespace {

void BM_RingPushPop(benchmark::State& state) {
  const auto size = static_cast<unsigned int>(state.range(0));
  velorin::wex_lib_log_ring_buffer ring;
  ring.create_ring_buffer(1u << 20);
  std::vector<unsigned char> payload(size, 0x5A);
  std::vector<unsigned char> out;
  out.reserve(size);
  for (auto _ : state) {
    ring.push_data(payload.data(), size);
    ring.pop_data(out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
}
BENCHMARK(BM_RingPushPop)->Arg(16)->Arg(256)->Arg(1024);

}  // namespace
