// SPDX-License-Identifier: MIT
// Reading crash files, which the library's crash recorder writes when a task
// dies of a fatal signal (the format of codec/crash_format.h), and printing
// them as `wexlog decode` does.
//
// The reader checks every length against the file before it reads, so a
// malformed file costs no more time and memory than its size. A file whose
// framing is wrong (magic, version, reserved bytes, an unknown section, an
// over-long name, a logger count that does not match) is refused whole: the
// framing of every section is checked before the first ring is printed. A
// file that ends before its end section was cut short while it was written
// (a second fault, a full disk): the loggers it holds whole are read and the
// shortfall is reported beside them. A ring that was being pushed into at
// the crash is salvaged as `recover` salvages a torn ring: its records up to
// the tear are shown and its heading says where the chain broke.
//
// The file is read one logger section at a time, straight from the mapped
// file: nothing is copied, so memory stays near the file's size.
#ifndef WEXLOG_CRASH_FILE_H
#define WEXLOG_CRASH_FILE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "printer.h"
#include "ring_scan.h"

namespace wexlog {

// One logger section of a crash file: its ring with the logger's name,
// trace id, record count and tear, the ring's bytes and the record under
// construction as they stand in the file.
struct crashed_logger {
  found_ring ring;                        // name and trace identifier always known
  const unsigned char* bytes = nullptr;   // the ring's bytes, inside the file
  record_span building;                   // the record under construction, inside the file
  std::optional<std::string> unreadable;  // why the ring's fields cannot be walked
};

// Whether the file starts with the crash file magic.
bool is_crash_file(const unsigned char* file, size_t size);

// A crash file, read section by section.
class crash_reader {
 public:
  // Checks the framing of the whole file. Throws input_error, saying why,
  // for a file whose framing is wrong.
  crash_reader(const unsigned char* file, size_t size);
  const crash_heading& heading() const { return heading_; }
  // Set when the end section is missing.
  const std::optional<std::string>& cut_short() const { return cut_short_; }
  // The next whole logger, its ring walked for its record count and tear;
  // false after the last.
  bool next(crashed_logger& logger);

 private:
  const unsigned char* file_;
  size_t size_;
  size_t pos_;
  uint64_t left_;  // loggers not yet read
  crash_heading heading_;
  std::optional<std::string> cut_short_;
};

// Prints the crash heading, then each logger's ring heading and records (or
// why its ring could not be read) and its record under construction, if
// any. A tear or unreadable ring the printer does not show goes to `note`,
// one line without its line end.
void print_crash(crash_reader& crash, printer& out,
                 const std::function<void(const std::string&)>& note);

}  // namespace wexlog

#endif  // WEXLOG_CRASH_FILE_H
