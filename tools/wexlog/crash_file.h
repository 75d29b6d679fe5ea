// Reading crash files, which the library's crash recorder writes when a task
// dies of a fatal signal (the format of wex_lib_log_crash.h), and printing
// them as `wexlog decode` does.
//
// The reader checks every length against the file before it reads, so a
// malformed file costs no more time and memory than its size. A file whose
// framing is wrong (magic, version, reserved bytes, an unknown section, an
// over-long name, a logger count that does not match) is refused whole. A
// file that ends before its end section was cut short while it was written
// (a second fault, a full disk): the loggers it holds whole are read and the
// shortfall is reported beside them. A ring that was being pushed into at
// the crash is salvaged as `recover` salvages a torn ring: its records up to
// the tear are shown and its heading says where the chain broke.
#ifndef WEXLOG_CRASH_FILE_H
#define WEXLOG_CRASH_FILE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ring_scan.h"

namespace wexlog {

// One logger section of a crash file: its ring with the logger's name,
// trace id, record count, tear and record under construction, and the
// ring's bytes as they stand in the file.
struct crashed_logger {
  found_ring ring;                        // name and trace identifier always known
  const unsigned char* bytes = nullptr;   // the ring's bytes, inside the file
  std::optional<std::string> unreadable;  // why the ring's fields cannot be walked
};

// A whole crash file: the signal, process and time of the crash, and the
// loggers written whole before the file ended.
struct crash_record {
  uint32_t signal = 0;
  uint32_t pid = 0;
  uint64_t time = 0;  // seconds since the epoch
  std::vector<crashed_logger> loggers;
  std::optional<std::string> cut_short;  // set when the end section is missing
};

// Whether the file starts with the crash file magic.
bool is_crash_file(const unsigned char* file, size_t size);

// Reads a whole crash file. Throws input_error, saying why, for a file whose
// framing is wrong.
crash_record decode_crash(const unsigned char* file, size_t size);

// The crash heading, then each logger's ring heading and dump lines (or why
// its ring could not be read) and its record under construction, if any.
void append_crash_text(std::string& out, const crash_record& crash);
// One JSON object per stored record and per record under construction, with
// its logger, trace id and ring.
void append_crash_json(std::string& out, const crash_record& crash);

}  // namespace wexlog

#endif  // WEXLOG_CRASH_FILE_H
