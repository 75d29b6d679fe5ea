// SPDX-License-Identifier: MIT
// Feeds arbitrary bytes to `wexlog decode` as a ring snapshot file, and the
// same bytes to the library's snapshot loader. The loader must accept
// exactly the files the tool decodes untorn, and for those the tool's dump
// lines must be, byte for byte, what the logger's own dump writes after
// loading it. Torn files are decoded up to their tear without a fault.
// Bytes that begin as a ring file are read as `wexlog recover` reads one
// instead: refused with a reason, or printed without a fault, its records
// counted as walked.
//
// With WEXLOG_FUZZ_SEEDS naming a directory, the fuzzer first writes seed
// snapshot files there, saved from loggers holding messages and structured
// records, snapshots of rings of 1 to 3 bytes, whose every length prefix
// wraps round the ring, and a ring file of a logger that has wrapped.
#include <otlp.h>
#include <platform_standin.h>
#include <printer.h>
#include <render.h>
#include <ring_file.h>
#include <snapshot_file.h>
#include <unistd.h>
#include <wex_lib_log_entry.h>
#include <wex_lib_log_map.h>
#include <wex_lib_log_snapshot.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "codec/snapshot_format.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::freopen("/dev/null", "w", stdout);  // refusals report on stdout
  platform_standin::capture(true);
  const char* dir = wexlog_fuzz::seed_dir();
  if (dir == nullptr) return 0;
  for (int i = 0; i < 3; ++i) {
    velorin::wex_lib_log_entry log(1, "seed", 64 << (3 * i));  // 64, 512, 4096 bytes
    wexlog_fuzz::fill(log, 10 * i);
    velorin::wex_lib_log_save_snapshot(log.storage(),
                                       (std::string(dir) + "/seed-" + std::to_string(i)).c_str());
  }
  if (velorin::wex_lib_log_map_rings(dir) == 0) {
    velorin::wex_lib_log_entry log(3, "ringseed", 256);
    velorin::wex_lib_log_map_rings(nullptr);
    for (int n = 0; n < 12; ++n) log.push_data_value("values", 1, 2, n, -n, 0, 0, 0, 0, 0, 0);
    const std::string mapped =
        std::string(dir) + "/wexlog-" + std::to_string(getpid()) + "-3-ringseed";
    std::ofstream(std::string(dir) + "/seed-ring-file", std::ios::binary)
        << std::ifstream(mapped + ".ring", std::ios::binary).rdbuf();
  }
  for (uint32_t size = 1; size <= 3; ++size) {
    std::vector<unsigned char> file(velorin::snapshot_format::kHeaderSize + size, 0x21);
    velorin::snapshot_format::encode_header({0, size - 1, size - 1, size}, file.data());
    wexlog_fuzz::write_seed("tiny-" + std::to_string(size), file);
  }
  return 0;
}

// A ring file as recover prints it.
void recover_ring_file(const uint8_t* data, size_t size) {
  try {
    const wexlog::ring_file file = wexlog::decode_ring_file(data, size);
    const wexlog::ring_file_reading reading = wexlog::read_ring(file);
    wexlog::output out;
    const auto print = wexlog::make_printer(wexlog::output_format::text, out);
    out.text() += wexlog::ring_file_heading("fuzz", file, reading);
    wexlog::print_ring_file(file, reading, *print);
    if (!reading.unusable) {
      wexlog::ring_walk walk(reading.state, file.bytes.data(), true);
      for (wexlog::record_span record; walk.next(record);) {
      }
      if (walk.records() != reading.records) __builtin_trap();
    }
  } catch (const wexlog::input_error&) {
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (wexlog::is_ring_file(data, size)) {
    recover_ring_file(data, size);
    return 0;
  }
  std::string tool;
  bool decoded = true;
  try {
    const wexlog::snapshot snap = wexlog::decode_snapshot(data, size);
    wexlog::ring_walk walk(snap.state, snap.bytes, false);
    for (wexlog::record_span record; walk.next(record);) {
      wexlog::append_dump_line(tool, record);
      std::string json;
      wexlog::append_json_line(json, record, {});
      wexlog::append_otlp_record(json, record, {}, {});
    }
    decoded = !walk.torn();
  } catch (const wexlog::input_error&) {
    decoded = false;
  }
  // What wex_lib_log_load_snapshot does with the file's bytes, without the file.
  velorin::ring_chain::ring_state state{};
  const unsigned char* raw = nullptr;
  velorin::wex_lib_log_entry log(2, "fuzz", 16);
  const bool loaded = velorin::snapshot_format::decode(data, size, state, raw) == nullptr &&
                      log.storage().set_ring_buffer({static_cast<int8_t>(state.empty),
                                                     state.write_pos, state.read_pos, state.size},
                                                    raw) == 0;
  wexlog_fuzz::check(loaded == decoded);
  if (!loaded) return 0;
  char* text = nullptr;
  size_t length = 0;
  FILE* dump = open_memstream(&text, &length);
  log.storage().trace_log(dump);
  std::fclose(dump);
  wexlog_fuzz::check(std::string(text, length) == tool);
  std::free(text);
  return 0;
}
