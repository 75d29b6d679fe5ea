// wexlog: reads the log records of crashed tasks from their core files and
// crash files, and ring snapshot files saved by applications.
//
//   wexlog recover CORE [--all] [--json | --otlp] [--stats]
//   wexlog decode FILE [--json | --otlp] [--logger NAME]
//   wexlog --version
//
// Records are rendered while their ring is walked, straight from the mapped
// input, and written out in large pieces: memory stays near the input's size
// whatever the number of records. A torn ring or snapshot shows its records
// up to the tear; where no heading says so (decode, and JSON), a note on
// standard error does.
//
// Exit status: 0 done, 1 input refused or output not written (the message
// says why), 2 usage.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "core_file.h"
#include "crash_file.h"
#include "file_io.h"
#include "otlp.h"
#include "render.h"
#include "ring_scan.h"
#include "snapshot_file.h"
#include "wex_lib_log_version.h"

namespace {

// Output that could not be written.
class output_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Collects output and writes it to standard output in large pieces. Throws
// output_error when a write fails (a full disk, a closed pipe).
class output {
 public:
  std::string& text() {
    if (text_.size() > (1u << 20)) flush();
    return text_;
  }
  void flush() {
    errno = 0;
    if (!velorin::write_all(STDOUT_FILENO, text_.data(), text_.size())) {
      throw output_error(std::strerror(errno != 0 ? errno : EIO));
    }
    text_.clear();
  }

 private:
  std::string text_;
};

enum class format { text, json, otlp };

// Renders the records of one ring, or the items of a record under
// construction, as dump lines, JSON objects or OTLP lines.
struct printer {
  output& out;
  format as;
  wexlog::record_origin origin;
  wexlog::otlp_resource resource;

  void record(wexlog::record_span record) const {
    if (as == format::json) {
      wexlog::append_json_line(out.text(), record, origin);
    } else if (as == format::otlp) {
      wexlog::append_otlp_record(out.text(), record, origin, resource);
    } else {
      wexlog::append_dump_line(out.text(), record);
    }
  }
  void uncommitted(wexlog::record_span items) const {
    if (as == format::json) {
      wexlog::append_uncommitted_json(out.text(), items, origin);
    } else if (as == format::otlp) {
      wexlog::append_otlp_uncommitted(out.text(), items, origin, resource);
    } else {
      wexlog::append_uncommitted_line(out.text(), items);
    }
  }
  // Every record of the walk; returns the tear, if any.
  std::optional<wexlog::tear> walk(wexlog::ring_walk walk) const {
    for (wexlog::record_span one; walk.next(one);) record(one);
    return walk.torn();
  }
};

void note_tear(const std::string& path, const std::string& ring, const wexlog::tear& where,
               const wexlog::ring_state& state) {
  std::fprintf(stderr, "wexlog: %s: %storn at offset %u (%s); the records before it are shown\n",
               path.c_str(), ring.c_str(), where.offset, wexlog::describe(where, state).c_str());
}

void print_ring(const std::string& path, const wexlog::core_image& core,
                const wexlog::found_ring& ring, const printer& print) {
  std::vector<unsigned char> scratch;
  const unsigned char* bytes = core.bytes(ring.buffer, ring.state.size, scratch);
  if (print.as == format::text) print.out.text() += wexlog::ring_heading(ring);
  print.walk(wexlog::ring_walk(ring.state, bytes, true));
  if (ring.torn && print.as != format::text) {
    char address[32];
    std::snprintf(address, sizeof address, "ring 0x%llx ",
                  static_cast<unsigned long long>(ring.address));
    note_tear(path, address, *ring.torn, ring.state);
  }
  if (!ring.uncommitted.empty()) print.uncommitted(ring.uncommitted);
}

int recover(const std::string& path, bool all, format as, bool stats) {
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
    if (ring.records == 0 && !ring.torn && !all) continue;
    ++shown;
    printer print{out, as, {}, {}};
    if (ring.store_recognised) {
      print.origin.logger = ring.name;
      print.origin.trace_id = ring.trace_id;
    }
    print.origin.ring = ring.address;
    print_ring(path, core, ring, print);
  }
  out.flush();
  if (shown == 0)
    std::fprintf(stderr, "wexlog: %s: no log ring with records found\n", path.c_str());
  if (stats) {
    std::fprintf(stderr,
                 "wexlog: scanned %llu bytes in %.3f s (%.0f MB/s), %llu candidates, %llu walks, "
                 "%llu rings\n",
                 static_cast<unsigned long long>(counts.bytes_scanned), seconds,
                 seconds > 0 ? static_cast<double>(counts.bytes_scanned) / 1e6 / seconds : 0.0,
                 static_cast<unsigned long long>(counts.candidates),
                 static_cast<unsigned long long>(counts.walks),
                 static_cast<unsigned long long>(counts.rings));
  }
  return 0;
}

// A crash file names its own loggers, so `logger` applies to snapshots only.
// One cut short is printed as far as it goes and then refused.
int decode_crash(const wexlog::file_bytes& file, format as) {
  const wexlog::crash_record crash = wexlog::decode_crash(file.data(), file.size());
  output out;
  if (as == format::otlp) {
    printer print{out, as, {}, {crash.signal, crash.pid, crash.time}};
    for (const wexlog::crashed_logger& logger : crash.loggers) {
      print.origin = {logger.ring.name, logger.ring.trace_id, logger.ring.address};
      if (logger.ring.records != 0)
        print.walk(wexlog::ring_walk(logger.ring.state, logger.bytes, true));
      if (!logger.ring.uncommitted.empty()) print.uncommitted(logger.ring.uncommitted);
    }
  } else if (as == format::json) {
    wexlog::append_crash_json(out.text(), crash);
  } else {
    wexlog::append_crash_text(out.text(), crash);
  }
  out.flush();
  if (crash.cut_short) throw wexlog::input_error(*crash.cut_short);
  return 0;
}

int decode(const std::string& path, format as, const std::string& logger) {
  const wexlog::file_bytes file(path);
  if (wexlog::is_crash_file(file.data(), file.size())) return decode_crash(file, as);
  const wexlog::snapshot snap = wexlog::decode_snapshot(file.data(), file.size());
  output out;
  printer print{out, as, {}, {}};
  if (!logger.empty()) print.origin.logger = logger;
  const auto torn = print.walk(wexlog::ring_walk(snap.state, snap.bytes, false));
  out.flush();
  if (torn) note_tear(path, "ring ", *torn, snap.state);
  return 0;
}

}  // namespace

constexpr const char* kOtlpHelp =
    "One OTLP/JSON LogsData object per record, for OpenTelemetry log pipelines";

int main(int argc, char** argv) {
  // A reader that goes away (`wexlog ... | head`) is an output error like
  // any other: reported, exit status 1, rather than death by SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  CLI::App app{
      "Reads the log records of crashed tasks from their core files and crash files, and from "
      "ring snapshot files."};
  app.set_version_flag("--version", "wexlog " WEX_LIB_LOG_VERSION_STRING);
  app.require_subcommand(1);
  std::string path;
  std::string logger;
  bool all = false;
  bool as_json = false;
  bool as_otlp = false;
  bool stats = false;

  CLI::App* recover_command =
      app.add_subcommand("recover", "Print the records of every log ring found in a core file.");
  recover_command->add_option("CORE", path, "ELF core file (32- or 64-bit, either byte order)")
      ->required();
  recover_command->add_flag("--all", all, "Also list rings that hold no record");
  recover_command->add_flag("--json", as_json, "One JSON object per record");
  recover_command->add_flag("--otlp", as_otlp, kOtlpHelp)->excludes("--json");
  recover_command->add_flag("--stats", stats, "Report the scan rate on standard error");

  CLI::App* decode_command =
      app.add_subcommand("decode", "Print the records of a ring snapshot file or a crash file.");
  decode_command->add_option("FILE", path, "Ring snapshot file or crash file")->required();
  decode_command->add_flag("--json", as_json, "One JSON object per record");
  decode_command->add_flag("--otlp", as_otlp, kOtlpHelp)->excludes("--json");
  decode_command->add_option("--logger", logger,
                             "Logger name to put into the JSON or OTLP records of a snapshot");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  try {
    const format as = as_otlp ? format::otlp : as_json ? format::json : format::text;
    if (recover_command->parsed()) return recover(path, all, as, stats);
    return decode(path, as, logger);
  } catch (const output_error& e) {
    std::fprintf(stderr, "wexlog: cannot write the output: %s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "wexlog: %s: %s\n", path.c_str(), e.what());
    return 1;
  }
}
