// SPDX-License-Identifier: MIT
// Feeds arbitrary bytes to `wexlog recover` as a core file. A core must be
// refused with a reason or scanned without a fault, and every ring found must
// walk again to the same records and tear, whole records that render as dump
// and JSON lines, with the record under construction of its store.
//
// With WEXLOG_FUZZ_SEEDS naming a directory, the fuzzer first writes seed
// cores there, 32- and 64-bit of both byte orders, holding a ring of messages
// and structured records in a record store, bare, and an empty one, and a
// core of rings that share one array from read positions of their own, and
// one with a layout descriptor. The loggers a descriptor leads to must come
// in ascending order and walk again to the same records and tear.
#include <core_file.h>
#include <layout_walk.h>
#include <platform_standin.h>
#include <render.h>
#include <ring_scan.h>
#include <wex_lib_log_entry.h>

#include <cstdlib>
#include <fstream>

#include "../tests/wexlog/synthetic_core.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  platform_standin::capture(true);
  const char* dir = std::getenv("WEXLOG_FUZZ_SEEDS");
  velorin::wex_lib_log_entry log(1, "seed", 300);
  for (int n = 0; n < 6 && dir != nullptr; ++n) {
    log.add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_ERROR, WEX_LIB_LOG_LEN_SHORT,
                "ns::cls::fn(int)", "message %d", n);
    log.push_data_value("values", n % 2, 3, n, -n, 0x1000, 0, 0, 0, 0, 0);
    log.push_data_set("pairs", 2, "speed", 16, "mode", n, nullptr, 0);
  }
  wexlog_test::ring_info info{};
  wexlog_test::core_bytes array(300);
  if (dir == nullptr || log.storage().get_ring_buffer(&info, array.data()) != 0) return 0;
  for (const unsigned int p : {4u, 8u}) {
    for (const bool big : {false, true}) {
      const auto core = wexlog_test::sample_core(p, big, info, array);
      std::ofstream(std::string(dir) + "/seed-" + std::to_string(p) + (big ? "be" : "le"))
          .write(reinterpret_cast<const char*>(core.data()), std::streamsize(core.size()));
    }
  }
  // Eight 13-byte ring records, each a log record header, and rings on them
  // from every record, from a misaligned position and with a zero prefix.
  wexlog_test::core_bytes headers(8 * 13);
  for (size_t at = 0; at < headers.size(); at += 13) headers[at] = 9;
  headers[5 * 13] = 0;
  wexlog_test::image rings{false, 4, {}};
  for (const uint32_t read : {0u, 13u, 26u, 39u, 52u, 78u, 91u, 7u}) {
    rings.put(0, 4).put(0, 4).put(read, 4).put(headers.size(), 4).ptr(0x200000);
  }
  const auto described = wexlog_test::layout_core(velorin::layout::kLayoutVersion, info, array);
  std::ofstream(std::string(dir) + "/seed-layout")
      .write(reinterpret_cast<const char*>(described.data()), std::streamsize(described.size()));
  const auto shared = wexlog_test::make_core(4, false, {{0x10000, rings.b}, {0x200000, headers}});
  std::ofstream(std::string(dir) + "/seed-shared")
      .write(reinterpret_cast<const char*>(shared.data()), std::streamsize(shared.size()));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const wexlog::core_image core(data, size);
    for (const bool all : {false, true}) {
      std::string out;
      uint64_t last = 0;
      for (const auto& ring : wexlog::find_rings(core, wexlog::scan_options{all})) {
        if (ring.address < last || (!all && ring.records == 0 && !ring.torn)) __builtin_trap();
        if (ring.torn && !ring.store_recognised) __builtin_trap();
        last = ring.address;
        out += wexlog::ring_heading(ring);
        std::vector<unsigned char> scratch;
        wexlog::ring_walk walk(ring.state, core.bytes(ring.buffer, ring.state.size, scratch), true);
        for (wexlog::record_span record; walk.next(record);) {
          if (!wexlog::is_whole_record(record)) __builtin_trap();
          wexlog::append_dump_line(out, record);
          wexlog::append_json_line(out, record, {ring.name, ring.trace_id, ring.address});
        }
        if (walk.records() != ring.records || walk.torn().has_value() != ring.torn.has_value() ||
            (ring.torn && walk.torn()->offset != ring.torn->offset)) {
          __builtin_trap();
        }
        // Records an earlier ring shows are not shown again.
        if (ring.shown > ring.records || (ring.shown < ring.records) != ring.joins.has_value() ||
            (ring.joins && ring.joins->ring >= ring.address)) {
          __builtin_trap();
        }
        wexlog::append_uncommitted_line(out, ring.uncommitted);
        wexlog::append_uncommitted_json(out, ring.uncommitted, {});
      }
    }
    uint64_t last = 0;
    for (const auto& ring : wexlog::rings_by_layout(core).rings) {
      if (ring.address < last || ring.shown != ring.records) __builtin_trap();
      last = ring.address;
      std::vector<unsigned char> scratch;
      wexlog::ring_walk walk(ring.state, core.bytes(ring.buffer, ring.state.size, scratch), true);
      for (wexlog::record_span record; walk.next(record);) {
      }
      if (walk.records() != ring.records || walk.torn().has_value() != ring.torn.has_value()) {
        __builtin_trap();
      }
      std::string out = wexlog::ring_heading(ring);
      wexlog::append_uncommitted_line(out, ring.uncommitted);
    }
  } catch (const wexlog::input_error&) {
  }
  return 0;
}
