// SPDX-License-Identifier: MIT
// Dumps arbitrary log records. The input's records, each a 2-byte
// little-endian length and its bytes, are framed with their length prefixes
// into a logger's ring, with free bytes and a start the input gives (so
// that records wrap round the end), then a data item and a message are
// pushed on top, whose escape walk discards the oldest records. The import
// must be accepted and export unchanged, the export after the pushes must be
// accepted again, and the dump must leave the ring empty.
// Input: byte 0 the data item's length, byte 1 the ring's free bytes, bytes
// 2-3 where the oldest record starts, then the records. With
// WEXLOG_FUZZ_SEEDS naming a directory, the records of loggers holding
// messages and structured records are written there as seeds.
#include <platform_standin.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

using velorin::wex_lib_log_entry;
using ring_info = velorin::WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_;
using wexlog_fuzz::check;

constexpr size_t kHeaderSize = 4;
FILE* g_sink = nullptr;

void export_of(wex_lib_log_entry& logger, ring_info& info, std::vector<uint8_t>& array) {
  array.resize(logger.storage().get_ring_buffer_size());
  check(logger.storage().get_ring_buffer(&info, array.data()) == 0);
}

// The records of `input` with their length prefixes in a ring of `spare`
// more bytes, the oldest at `start`; none of size 0.
ring_info frame(const uint8_t* input, size_t size, uint32_t spare, uint32_t start,
                std::vector<uint8_t>& ring) {
  std::vector<uint8_t> linear;
  for (size_t at = 0; at + 2 <= size;) {
    const size_t length =
        std::min(static_cast<size_t>(input[at] | input[at + 1] << 8), size - at - 2);
    at += 2;
    for (unsigned int shift = 0; length != 0 && shift < 32; shift += 8)
      linear.push_back(static_cast<uint8_t>(length >> shift));
    linear.insert(linear.end(), input + at, input + at + length);
    at += length;
  }
  const auto used = static_cast<uint32_t>(linear.size()), total = used + spare;
  ring.assign(total, 0);
  if (total == 0) return ring_info{1, 0, 0, 0};
  start %= total;
  for (uint32_t i = 0; i < used; ++i) ring[(start + i) % total] = linear[i];
  return ring_info{static_cast<int8_t>(used == 0), (start + used) % total, start, total};
}

// Seeds: the records of loggers with rings of 96, 400 and 4096 bytes.
void write_seeds() {
  const int ring_sizes[] = {96, 400, 4096}, rounds[] = {0, 2, 40};
  for (int i = 0; i < 3; ++i) {
    wex_lib_log_entry logger(1, "seed", ring_sizes[i]);
    wexlog_fuzz::fill(logger, rounds[i]);
    ring_info info{};
    std::vector<uint8_t> array;
    export_of(logger, info, array);
    velorin::wex_lib_log_ring_buffer ring;
    ring.set_buffer_data(info, array.data());
    std::vector<uint8_t> seed{static_cast<uint8_t>(20 * i + 3), 16, static_cast<uint8_t>(7 * i), 0};
    for (std::vector<uint8_t> record; ring.pop_data(record) == 0;) {
      seed.push_back(static_cast<uint8_t>(record.size()));
      seed.push_back(static_cast<uint8_t>(record.size() >> 8));
      seed.insert(seed.end(), record.begin(), record.end());
    }
    wexlog_fuzz::write_seed("seed-" + std::to_string(i), seed);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::freopen("/dev/null", "w", stdout);  // refused pushes report on stdout
  g_sink = std::fopen("/dev/null", "w");
  platform_standin::capture(true);
  platform_standin::set_clock(45296, 789000000);
  if (wexlog_fuzz::seed_dir() != nullptr) write_seeds();
  platform_standin::take_trace_prints();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < kHeaderSize) return 0;
  std::vector<uint8_t> ring;
  const ring_info info = frame(bytes + kHeaderSize, size - kHeaderSize, bytes[1],
                               static_cast<uint32_t>(bytes[2] | bytes[3] << 8), ring);
  if (info.size == 0) return 0;
  wex_lib_log_entry logger(1, "fuzz", 64);
  check(logger.storage().set_ring_buffer(info, ring.data()) == 0);
  ring_info out{};
  std::vector<uint8_t> array;
  export_of(logger, out, array);
  check(out.empty == info.empty && out.write_pos == info.write_pos &&
        out.read_pos == info.read_pos && out.size == info.size && array == ring);

  unsigned char item[256] = {};
  std::memcpy(item, ring.data(), std::min<size_t>(bytes[0], ring.size()));
  uint32_t item_size = bytes[0];
  logger.push_data(0, reinterpret_cast<const char*>(item), &item_size, 0);
  logger.add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_ERROR, WEX_LIB_LOG_LEN_FULL, "fuzz",
                 "after import of %u bytes", info.size);
  export_of(logger, out, array);
  wex_lib_log_entry other(2, "other", 64);
  check(other.storage().set_ring_buffer(out, array.data()) == 0);

  logger.storage().trace_log(g_sink);
  other.storage().trace_log(g_sink);
  export_of(logger, out, array);
  check(out.empty == 1 && out.write_pos == out.read_pos);
  platform_standin::take_trace_prints();
  return 0;
}
