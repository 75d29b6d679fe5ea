// Feeds arbitrary bytes to `wexlog recover` as a core file. A core must be
// refused with a reason or scanned without a fault, and every ring found must
// hold whole records, chained as the ring stores them, that render as dump
// and JSON lines.
//
// With WEXLOG_FUZZ_SEEDS naming a directory, the fuzzer first writes seed
// cores there: 32- and 64-bit, of both byte orders, each with a record store
// whose ring holds messages and structured records, and a bare ring.
#include <core_file.h>
#include <platform_standin.h>
#include <render.h>
#include <ring_scan.h>
#include <wex_lib_log_entry.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "../tests/wexlog/synthetic_core.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

void write_seeds(const std::string& dir) {
  velorin::wex_lib_log_entry log(1, "seed", 300);
  for (int n = 0; n < 6; ++n) {
    log.add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_ERROR, WEX_LIB_LOG_LEN_SHORT,
                "ns::cls::fn(int)", "message %d", n);
    log.push_data_value("values", n % 2, 3, n, -n, 0x1000, 0, 0, 0, 0, 0);
    log.push_data_set("pairs", 2, "speed", 16, "mode", n, nullptr, 0);
  }
  velorin::WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ info{};
  wexlog_test::core_bytes array(300);
  if (log.storage().get_ring_buffer(&info, array.data()) != 0) return;
  for (const unsigned int p : {4u, 8u}) {
    for (const bool big : {false, true}) {
      wexlog_test::core_bytes stores =
          wexlog_test::store_image(big, p, 0x1000, "seed", 7, info, 0x2000, 0);
      const wexlog_test::core_bytes fields(stores.begin() + 8 * p + 16, stores.end());
      stores.resize(stores.size() + 64, 0xEE);
      stores.insert(stores.end(), fields.begin(), fields.end());
      const auto core = wexlog_test::make_core(p, big, {{0x1000, stores}, {0x2000, array}});
      const std::string path = dir + "/seed-" + std::to_string(p) + (big ? "be" : "le");
      if (FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(core.data(), 1, core.size(), file);
        std::fclose(file);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  platform_standin::capture(true);
  if (const char* dir = std::getenv("WEXLOG_FUZZ_SEEDS")) write_seeds(dir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const wexlog::core_image core(data, size);
    for (const bool all : {false, true}) {
      const auto rings = wexlog::find_rings(core, wexlog::scan_options{all});
      std::string out;
      uint64_t last = 0;
      for (const auto& ring : rings) {
        check(ring.address >= last && (all || !ring.records.empty()));
        last = ring.address;
        out += wexlog::ring_heading(ring);
        for (const auto& record : ring.records) {
          check(wexlog::is_whole_record(record));
          wexlog::append_dump_line(out, record);
          wexlog::append_json_line(out, record, {ring.name, ring.trace_id, ring.address});
        }
      }
    }
  } catch (const wexlog::input_error&) {
  }
  return 0;
}
