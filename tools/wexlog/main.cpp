// SPDX-License-Identifier: MIT
// wexlog: reads the log records of crashed tasks from their core files,
// crash files and ring files, ring snapshot files saved by applications, and
// the rings of running tasks.
//
//   wexlog recover CORE [--all] [--json | --otlp] [--stats]
//   wexlog recover DIR | FILE.ring... [--json | --otlp]
//   wexlog decode FILE [--json | --otlp] [--logger NAME]
//   wexlog attach PID [--follow [--interval MS]]
//   wexlog --version
//
// recover finds the loggers through the layout descriptor the library keeps
// in the core; a core without one is scanned for rings, and the output says
// so first (in text; on standard error with --json). Ring files, given one
// by one or as the directory holding them, each print as a ring of a core
// does, with whether the task that wrote them still runs.
//
// Records are rendered while their ring is walked, straight from the mapped
// input, and written out in large pieces: memory stays near the input's size
// whatever the number of records. A torn ring or snapshot shows its records
// up to the tear; where no heading says so (decode, and JSON), a note on
// standard error does.
//
// attach reads a running task's memory without stopping it (attach.h).
//
// Exit status: 0 done, 1 input refused or output not written (the message
// says why), 2 usage.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <CLI/CLI.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "attach.h"
#include "core_file.h"
#include "crash_file.h"
#include "layout_walk.h"
#include "printer.h"
#include "ring_file.h"
#include "ring_scan.h"
#include "snapshot_file.h"

namespace {

void note(const std::string& path, const std::string& line) {
  std::fprintf(stderr, "wexlog: %s: %s\n", path.c_str(), line.c_str());
}

void note_tear(const std::string& path, const std::string& ring, const wexlog::tear& where,
               const wexlog::ring_state& state) {
  note(path, ring + wexlog::tear_note(where, state));
}

// One recovered ring: its heading, its records with the logger they came
// from, and what the walk had to join, skip or leave uncommitted.
void print_ring(const std::string& path, const unsigned char* bytes, const wexlog::found_ring& ring,
                wexlog::printer& print) {
  wexlog::record_origin origin;
  if (ring.store_recognised) {
    origin.logger = ring.name;
    origin.trace_id = ring.trace_id;
  }
  origin.ring = ring.address;
  print.ring(ring);
  print.walk(wexlog::ring_walk(ring.state, bytes, true), origin, ring.shown);
  const std::string address = "ring " + wexlog::hex_address(ring.address);
  if (ring.joins) {
    print.joins(*ring.joins);
    if (!print.shows_ring_state()) note(path, address + ": " + wexlog::join_note(*ring.joins));
  }
  if (ring.torn && !print.shows_ring_state()) {
    note_tear(path, address + " ", *ring.torn, ring.state);
  }
  if (!ring.uncommitted.empty()) print.uncommitted(ring.uncommitted, origin);
}

void report_stats(const wexlog::scan_stats& counts, double seconds) {
  std::fprintf(stderr,
               "wexlog: scanned %llu bytes in %.3f s (%.0f MB/s), %llu candidates, %llu ring "
               "records walked, %llu rings\n",
               static_cast<unsigned long long>(counts.bytes_scanned), seconds,
               seconds > 0 ? static_cast<double>(counts.bytes_scanned) / 1e6 / seconds : 0.0,
               static_cast<unsigned long long>(counts.candidates),
               static_cast<unsigned long long>(counts.steps),
               static_cast<unsigned long long>(counts.rings));
}

int recover(const std::string& path, bool all, wexlog::output_format format, bool stats) {
  const wexlog::file_bytes file(path);
  const wexlog::core_image core(file.data(), file.size());
  wexlog::scan_stats counts;
  const auto start = std::chrono::steady_clock::now();
  wexlog::layout_rings by_layout = wexlog::rings_by_layout(core, &counts);
  const auto rings = by_layout.found ? std::move(by_layout.rings)
                                     : wexlog::find_rings(core, wexlog::scan_options{all}, &counts);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (const auto& line : by_layout.notes) note(path, line);
  wexlog::output out(STDOUT_FILENO);
  const auto print = wexlog::make_printer(format, out);
  if (!by_layout.found) {
    const std::string scanned =
        "rings found by scanning: " + (by_layout.refused.empty()
                                           ? std::string("the core holds no layout descriptor")
                                           : by_layout.refused);
    print->shows_ring_state() ? void(out.text() += "# " + scanned + "\n") : note(path, scanned);
  }
  size_t shown = 0;
  std::vector<unsigned char> scratch;
  for (const auto& ring : rings) {
    if (ring.records == 0 && !ring.torn && !all) continue;
    ++shown;
    print_ring(path, ring.array ? ring.array : core.bytes(ring.buffer, ring.state.size, scratch),
               ring, *print);
  }
  out.flush();
  if (counts.skipped != 0) {
    note(path, std::to_string(counts.skipped) +
                   " candidate rings skipped: the walks read as many ring records as the core has "
                   "bytes (a forged core?)");
  }
  if (shown == 0) note(path, "no log ring with records found");
  if (stats) report_stats(counts, seconds);
  return 0;
}

// A ring file a killed (or running) task left: its heading and whose it is,
// then its records and the record cut short, if any.
void recover_ring_file(const std::string& path, const std::vector<unsigned char>& bytes,
                       wexlog::output& out, wexlog::printer& print) {
  const wexlog::ring_file file = wexlog::decode_ring_file(bytes.data(), bytes.size());
  const wexlog::ring_file_reading reading = wexlog::read_ring(file);
  const std::string task =
      "task pid " + std::to_string(file.pid) + " " + wexlog::task_status(file.pid, file.start_time);
  if (print.shows_ring_state()) {
    out.text() += wexlog::ring_file_heading(path, file, reading) + "# " + task + "\n";
    if (reading.changing) out.text() += "# cleared or replaced at that instant: no record\n";
  } else {
    note(path, task);
    if (reading.unusable) note(path, "ring not readable: " + *reading.unusable);
    if (reading.torn) note_tear(path, "ring ", *reading.torn, reading.state);
  }
  wexlog::print_ring_file(file, reading, print);
}

// The ring files of a directory, by name.
std::vector<std::string> ring_files_in(const std::string& directory) {
  std::vector<std::string> paths;
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr)
    throw wexlog::input_error("cannot list: " + std::string(std::strerror(errno)));
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".ring") == 0) {
      paths.push_back(directory + "/" + name);
    }
  }
  ::closedir(dir);
  std::sort(paths.begin(), paths.end());
  return paths;
}

bool is_directory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Ring files, and directories of them, each file on its own: one refused is
// noted and the others still printed; the status then says so.
int recover_ring_files(const std::vector<std::string>& arguments, wexlog::output_format format) {
  std::vector<std::string> paths;
  for (const auto& argument : arguments) {
    if (!is_directory(argument)) {
      paths.push_back(argument);
      continue;
    }
    const auto found = ring_files_in(argument);
    if (found.empty()) note(argument, "no ring file found");
    paths.insert(paths.end(), found.begin(), found.end());
  }
  wexlog::output out(STDOUT_FILENO);
  const auto print = wexlog::make_printer(format, out);
  int status = 0;
  for (const auto& path : paths) {
    try {
      recover_ring_file(path, wexlog::read_ring_file(path), out, *print);
    } catch (const wexlog::input_error& e) {
      out.flush();
      note(path, e.what());
      status = 1;
    }
  }
  out.flush();
  return status;
}

// A core, or ring files: a directory or a file that begins as a ring file
// is read as ring files.
int recover_any(const std::vector<std::string>& paths, bool all, wexlog::output_format format,
                bool stats) {
  if (paths.size() != 1 || is_directory(paths[0])) return recover_ring_files(paths, format);
  {
    const wexlog::file_bytes file(paths[0]);
    if (wexlog::is_ring_file(file.data(), file.size())) return recover_ring_files(paths, format);
  }
  return recover(paths[0], all, format, stats);
}

// A crash file names its own loggers, so `logger` applies to snapshots only.
// One cut short is printed as far as it goes and then refused.
int decode_crash(const std::string& path, const wexlog::file_bytes& file,
                 wexlog::output_format format) {
  wexlog::crash_reader crash(file.data(), file.size());
  wexlog::output out(STDOUT_FILENO);
  wexlog::print_crash(crash, *wexlog::make_printer(format, out),
                      [&path](const std::string& line) { note(path, line); });
  out.flush();
  if (crash.cut_short()) throw wexlog::input_error(*crash.cut_short());
  return 0;
}

int decode(const std::string& path, wexlog::output_format format, const std::string& logger) {
  const wexlog::file_bytes file(path);
  if (wexlog::is_crash_file(file.data(), file.size())) return decode_crash(path, file, format);
  const wexlog::snapshot snap = wexlog::decode_snapshot(file.data(), file.size());
  wexlog::output out(STDOUT_FILENO);
  wexlog::record_origin origin;
  if (!logger.empty()) origin.logger = logger;
  const auto torn = wexlog::make_printer(format, out)
                        ->walk(wexlog::ring_walk(snap.state, snap.bytes, false), origin);
  out.flush();
  if (torn) note_tear(path, "ring ", *torn, snap.state);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away (`wexlog ... | head`) is an output error like
  // any other: reported, exit status 1, rather than death by SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  CLI::App app{
      "Reads the log records of crashed tasks from their core files and crash files, from ring "
      "snapshot files, and from running tasks."};
  app.set_version_flag("--version", "wexlog " WEXLOG_VERSION);
  app.require_subcommand(1);
  std::string path;
  std::vector<std::string> recover_paths;
  std::string logger;
  bool all = false;
  bool as_json = false;
  bool as_otlp = false;
  bool stats = false;
  const char* const otlp_help =
      "One OTLP/JSON LogsData object per record, for OpenTelemetry log pipelines";

  CLI::App* recover_command =
      app.add_subcommand("recover",
                         "Print the records of every log ring found in a core file, or of ring "
                         "files left by killed tasks.");
  recover_command
      ->add_option("CORE", recover_paths,
                   "ELF core file (32- or 64-bit, either byte order), or ring files, or a "
                   "directory of ring files")
      ->required();
  recover_command->add_flag("--all", all, "Also list rings that hold no record");
  recover_command->add_flag("--json", as_json, "JSON Lines: one JSON object per record");
  recover_command->add_flag("--otlp", as_otlp, otlp_help)->excludes("--json");
  recover_command->add_flag("--stats", stats, "Report the scan rate on standard error");

  CLI::App* decode_command =
      app.add_subcommand("decode", "Print the records of a ring snapshot file or a crash file.");
  decode_command->add_option("FILE", path, "Ring snapshot file or crash file")->required();
  decode_command->add_flag("--json", as_json, "JSON Lines: one JSON object per record");
  decode_command->add_flag("--otlp", as_otlp, otlp_help)->excludes("--json");
  decode_command->add_option("--logger", logger,
                             "Logger name to put into the JSON or OTLP records of a snapshot");

  int pid = 0;
  wexlog::attach_options follow;
  unsigned int interval = 200;
  CLI::App* attach_command = app.add_subcommand(
      "attach",
      "Print the records of every log ring of a running task, without stopping it or emptying "
      "its rings.");
  attach_command->add_option("PID", pid, "Process id of the task")
      ->required()
      ->check(CLI::Range(1, std::numeric_limits<int>::max()));
  attach_command->add_flag("--follow", follow.follow,
                           "Keep reading and print the records that arrive, until interrupted");
  attach_command->add_option("--interval", interval, "Milliseconds between reads with --follow")
      ->check(CLI::Range(1u, 3600000u))
      ->capture_default_str();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  try {
    const auto format = as_otlp   ? wexlog::output_format::otlp
                        : as_json ? wexlog::output_format::json
                                  : wexlog::output_format::text;
    if (recover_command->parsed()) {
      path = recover_paths[0];
      return recover_any(recover_paths, all, format, stats);
    }
    if (attach_command->parsed()) {
      path = "process " + std::to_string(pid);
      follow.interval = std::chrono::milliseconds(interval);
      return wexlog::attach(static_cast<pid_t>(pid), follow,
                            [&path](const std::string& line) { note(path, line); });
    }
    return decode(path, format, logger);
  } catch (const wexlog::output_error& e) {
    std::fprintf(stderr, "wexlog: cannot write the output: %s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "wexlog: %s: %s\n", path.c_str(), e.what());
    return 1;
  }
}
