// SPDX-License-Identifier: MIT
// Imports arbitrary ring snapshots into a logger, adds records on top of what
// they hold and dumps everything. Input: byte 0 empty flag, bytes 1-4 write
// and 5-8 read position, 9-12 size (little-endian), byte 13 length of the data
// item pushed after the import, then the array, imported with its length as
// size and again with the given size if smaller. An accepted snapshot must
// export unchanged, its export after a push and a message must be accepted
// again, and the dump must leave it empty. With WEXLOG_FUZZ_SEEDS naming a
// directory, snapshots of loggers holding records are written there as seeds.
#include <platform_standin.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "wex_lib_log_entry.h"

namespace {

using velorin::wex_lib_log_entry;
using velorin::WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_;

constexpr size_t kHeaderSize = 14;
FILE* g_sink = nullptr;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void export_of(wex_lib_log_entry& logger, WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_& info,
               std::vector<uint8_t>& array) {
  array.resize(logger.storage().get_ring_buffer_size());
  check(logger.storage().get_ring_buffer(&info, array.data()) == 0);
}

void write_seeds(const char* dir) {
  const int ring_sizes[] = {96, 400, 4096}, rounds[] = {0, 2, 40};
  for (int i = 0; i < 3; ++i) {
    wex_lib_log_entry logger(1, "seed", ring_sizes[i]);
    for (int n = 0; n < rounds[i]; ++n) {
      logger.add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_ERROR, WEX_LIB_LOG_LEN_SHORT,
                     "ns::cls::fn(int)", "message %d", n);
      logger.push_data_value("values", n % 2, 3, n, -n, 0x1000, 0, 0, 0, 0, 0);
      logger.push_data_string("strings", 2, "alpha", "", nullptr, nullptr, nullptr, nullptr);
      logger.push_data_set("pairs", 4, "speed", 16, "mode", n, nullptr, 0);
    }
    WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ info{};
    std::vector<uint8_t> array;
    export_of(logger, info, array);
    std::vector<uint8_t> seed{static_cast<uint8_t>(info.empty)};
    for (const uint32_t value : {info.write_pos, info.read_pos, info.size})
      for (unsigned int shift = 0; shift < 32; shift += 8) seed.push_back(uint8_t(value >> shift));
    seed.push_back(static_cast<uint8_t>(20 * i + 3));
    seed.insert(seed.end(), array.begin(), array.end());
    if (FILE* file = std::fopen((std::string(dir) + "/seed-" + std::to_string(i)).c_str(), "wb")) {
      std::fwrite(seed.data(), 1, seed.size(), file);
      std::fclose(file);
    }
  }
}

void import_and_dump(const WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_& info, const uint8_t* data,
                     uint8_t push_length) {
  wex_lib_log_entry logger(1, "fuzz", 64);
  const int result = logger.storage().set_ring_buffer(info, data);
  if (info.size == 0) check(result == 0 && logger.storage().get_ring_buffer_size() == 64);
  if (result != 0 || info.size == 0) return;

  WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ out{};
  std::vector<uint8_t> array;
  export_of(logger, out, array);
  check(out.empty == info.empty && out.write_pos == info.write_pos &&
        out.read_pos == info.read_pos && out.size == info.size &&
        std::memcmp(array.data(), data, info.size) == 0);

  // New records discard imported ones through the escape walk.
  unsigned char item[256] = {};
  std::memcpy(item, data, std::min<size_t>(push_length, info.size));
  uint32_t item_size = push_length;
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
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::freopen("/dev/null", "w", stdout);  // refused pushes report on stdout
  g_sink = std::fopen("/dev/null", "w");
  platform_standin::capture(true);
  platform_standin::set_clock(45296, 789000000);
  if (const char* dir = std::getenv("WEXLOG_FUZZ_SEEDS")) write_seeds(dir);
  platform_standin::take_trace_prints();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < kHeaderSize) return 0;
  const uint8_t* data = bytes + kHeaderSize;
  const uint32_t remaining = static_cast<uint32_t>(size - kHeaderSize);
  WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ info{static_cast<int8_t>(bytes[0]), le32(bytes + 1),
                                          le32(bytes + 5), remaining};
  import_and_dump(info, data, bytes[13]);
  const uint32_t own_size = le32(bytes + 9);
  if (own_size < remaining) {
    info.size = own_size;
    import_and_dump(info, data, bytes[13]);
  }
  return 0;
}
