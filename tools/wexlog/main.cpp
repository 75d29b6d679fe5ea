// wexlog: reads the log records of crashed tasks from their core files and
// crash files, and ring snapshot files saved by applications.
//
//   wexlog recover CORE [--all] [--json] [--stats]
//   wexlog decode FILE [--json] [--logger NAME]
//   wexlog --version
//
// Exit status: 0 done, 1 input refused (the message says why), 2 usage.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <string>

#include "core_file.h"
#include "crash_file.h"
#include "render.h"
#include "ring_scan.h"
#include "snapshot_file.h"
#include "wex_lib_log_version.h"

namespace {

// Collects output and writes it to stdout in large pieces.
class output {
 public:
  ~output() { flush(); }
  std::string& text() {
    if (text_.size() > (1u << 20)) flush();
    return text_;
  }
  void flush() {
    std::fwrite(text_.data(), 1, text_.size(), stdout);
    text_.clear();
  }

 private:
  std::string text_;
};

int recover(const std::string& path, bool all, bool as_json, bool stats) {
  const wexlog::file_bytes file(path);
  const wexlog::core_image core(file.data(), file.size());
  wexlog::scan_stats counts;
  const auto start = std::chrono::steady_clock::now();
  const auto rings = wexlog::find_rings(core, wexlog::scan_options{all}, &counts);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  output out;
  size_t shown = 0;
  for (const auto& ring : rings) {
    if (ring.records.empty() && !all) continue;
    ++shown;
    if (!as_json) out.text() += wexlog::ring_heading(ring);
    wexlog::record_origin origin;
    if (ring.store_recognised) {
      origin.logger = ring.name;
      origin.trace_id = ring.trace_id;
    }
    origin.ring = ring.address;
    for (const auto& record : ring.records) {
      if (as_json) {
        wexlog::append_json_line(out.text(), record, origin);
      } else {
        wexlog::append_dump_line(out.text(), record);
      }
    }
  }
  out.flush();
  if (shown == 0)
    std::fprintf(stderr, "wexlog: %s: no log ring with records found\n", path.c_str());
  if (stats) {
    std::fprintf(stderr,
                 "wexlog: scanned %llu bytes in %.3f s (%.0f MB/s), %llu candidates, %llu rings\n",
                 static_cast<unsigned long long>(counts.bytes_scanned), seconds,
                 seconds > 0 ? static_cast<double>(counts.bytes_scanned) / 1e6 / seconds : 0.0,
                 static_cast<unsigned long long>(counts.candidates),
                 static_cast<unsigned long long>(counts.rings));
  }
  return 0;
}

// A crash file names its own loggers, so `logger` applies to snapshots only.
// One cut short is printed as far as it goes and then refused.
int decode_crash(const wexlog::file_bytes& file, bool as_json) {
  const wexlog::crash_record crash = wexlog::decode_crash(file.data(), file.size());
  {
    output out;
    if (as_json) {
      wexlog::append_crash_json(out.text(), crash);
    } else {
      wexlog::append_crash_text(out.text(), crash);
    }
  }
  if (crash.cut_short) throw wexlog::input_error(*crash.cut_short);
  return 0;
}

int decode(const std::string& path, bool as_json, const std::string& logger) {
  const wexlog::file_bytes file(path);
  if (wexlog::is_crash_file(file.data(), file.size())) return decode_crash(file, as_json);
  const wexlog::snapshot snap = wexlog::decode_snapshot(file.data(), file.size());
  output out;
  wexlog::record_origin origin;
  if (!logger.empty()) origin.logger = logger;
  for (const auto& record : snap.records) {
    if (as_json) {
      wexlog::append_json_line(out.text(), record, origin);
    } else {
      wexlog::append_dump_line(out.text(), record);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Reads log records from core files of crashed tasks and from ring snapshot files."};
  app.set_version_flag("--version", "wexlog " WEX_LIB_LOG_VERSION_STRING);
  app.require_subcommand(1);
  std::string path;
  std::string logger;
  bool all = false;
  bool as_json = false;
  bool stats = false;

  CLI::App* recover_command =
      app.add_subcommand("recover", "Print the records of every log ring found in a core file.");
  recover_command->add_option("CORE", path, "ELF core file (32- or 64-bit, either byte order)")
      ->required();
  recover_command->add_flag("--all", all, "Also list rings that hold no record");
  recover_command->add_flag("--json", as_json, "One JSON object per record");
  recover_command->add_flag("--stats", stats, "Report the scan rate on standard error");

  CLI::App* decode_command =
      app.add_subcommand("decode", "Print the records of a ring snapshot file or a crash file.");
  decode_command->add_option("FILE", path, "Ring snapshot file or crash file")->required();
  decode_command->add_flag("--json", as_json, "One JSON object per record");
  decode_command->add_option("--logger", logger, "Logger name to put into the JSON objects");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  try {
    if (recover_command->parsed()) return recover(path, all, as_json, stats);
    return decode(path, as_json, logger);
  } catch (const wexlog::input_error& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "wexlog: %s: %s\n", path.c_str(), e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "wexlog: %s: %s\n", path.c_str(), e.what());
    return 1;
  }
}
