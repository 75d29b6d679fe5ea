// SPDX-License-Identifier: MIT
// Feeds arbitrary bytes to `wexlog recover` as a core file. A core must be
// refused with a reason or scanned without a fault, and every ring found must
// walk again to the same records and tear, whole records that render as dump
// and JSON lines, with the record under construction of its store.
//
// With WEXLOG_FUZZ_SEEDS naming a directory, the fuzzer first writes seed
// cores there: copies of this process's record stores, one holding messages,
// structured records and a record under construction and one with a long
// name and an empty ring, with a copy of a ring's fields alone; a core of
// rings that share one array from read positions of their own; and a 32-bit
// big-endian core with a layout descriptor. The loggers a descriptor leads to
// must come in ascending order and walk again to the same records and tear.
#include <core_file.h>
#include <layout_walk.h>
#include <platform_standin.h>
#include <render.h>
#include <ring_scan.h>
#include <wex_lib_log_entry.h>

#include "../tests/wexlog/copied_core.h"
#include "fuzz_support.h"

using wexlog_fuzz::check;
using wexlog_test::core_bytes;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  platform_standin::capture(true);
  if (wexlog_fuzz::seed_dir() == nullptr) return 0;
  velorin::wex_lib_log_entry log(42, "seed", 300), named(-5, "a name of more than 15 bytes", 64);
  wexlog_fuzz::fill(log, 6);
  log.storage().add_title_data("building");
  const wexlog_test::store_copy copy(log.storage());
  const auto ring =
      wexlog_test::copy_of(reinterpret_cast<const void*>(copy.ring()), copy.layout.ring_size);
  wexlog_fuzz::write_seed("seed-copied",
                          wexlog_test::native_core({copy, wexlog_test::store_copy(named.storage())},
                                                   {{0x10000, ring.second}}));
  wexlog_test::ring_info info{};
  core_bytes array(300);
  log.storage().get_ring_buffer(&info, array.data());
  wexlog_fuzz::write_seed("seed-layout",
                          wexlog_test::layout_core(velorin::layout::kLayoutVersion, info, array));
  // Eight 13-byte ring records, each a log record header, and rings on them
  // from every record, from a misaligned position and with a zero prefix.
  core_bytes headers(8 * 13);
  for (size_t at = 0; at < headers.size(); at += 13) headers[at] = 9;
  headers[5 * 13] = 0;
  wexlog_test::image rings{false, 4, {}};
  for (const uint32_t read : {0u, 13u, 26u, 39u, 52u, 78u, 91u, 7u}) {
    rings.put(0, 4).put(0, 4).put(read, 4).put(headers.size(), 4).ptr(0x200000);
  }
  wexlog_fuzz::write_seed(
      "seed-shared", wexlog_test::make_core(4, false, {{0x10000, rings.b}, {0x200000, headers}}));
  return 0;
}

// What every ring found must do, as above; records an earlier ring shows are not shown again.
static void walk_again(const wexlog::core_image& core,
                       const std::vector<wexlog::found_ring>& rings) {
  std::string out;
  uint64_t last = 0;
  for (const auto& ring : rings) {
    check(ring.address >= last);
    last = ring.address;
    out += wexlog::ring_heading(ring);
    std::vector<unsigned char> scratch;
    wexlog::ring_walk walk(ring.state, core.bytes(ring.buffer, ring.state.size, scratch), true);
    for (wexlog::record_span record; walk.next(record);) {
      check(wexlog::is_whole_record(record));
      wexlog::append_dump_line(out, record);
      wexlog::append_json_line(out, record, {ring.name, ring.trace_id, ring.address});
    }
    check(walk.records() == ring.records && walk.torn().has_value() == ring.torn.has_value() &&
          (!ring.torn || walk.torn()->offset == ring.torn->offset));
    check(ring.shown <= ring.records && (ring.shown < ring.records) == ring.joins.has_value() &&
          (!ring.joins || ring.joins->ring < ring.address));
    wexlog::append_uncommitted_line(out, ring.uncommitted);
    wexlog::append_uncommitted_json(out, ring.uncommitted, {});
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const wexlog::core_image core(data, size);
    for (const bool all : {false, true}) {
      const auto rings = wexlog::find_rings(core, wexlog::scan_options{all});
      for (const auto& ring : rings)
        check((all || ring.records != 0 || ring.torn) && (!ring.torn || ring.store_recognised));
      walk_again(core, rings);
    }
    const auto by_layout = wexlog::rings_by_layout(core).rings;
    for (const auto& ring : by_layout) check(!ring.joins);
    walk_again(core, by_layout);
  } catch (const wexlog::input_error&) {
  }
  return 0;
}
