// SPDX-License-Identifier: MIT
// Where wexlog's readers send what they find: one printer per output format
// renders crash headings, ring headings, records and records under
// construction, and an output collects the text and writes it out in large
// pieces. Readers hand each record over as they reach it in the mapped
// input, so memory stays near the input's size whatever the output.
//
// A new output format is one more printer: the readers do not change.
#ifndef WEXLOG_PRINTER_H
#define WEXLOG_PRINTER_H

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "render.h"
#include "ring_scan.h"

namespace wexlog {

// Output that could not be written.
class output_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Collects text and writes it to a descriptor whenever more than 1 MiB is
// pending, and at flush(). Without a descriptor the text is kept whole, for
// tests and fuzzers. Throws output_error when a write fails (a full disk, a
// closed pipe).
class output {
 public:
  explicit output(int fd = -1) : fd_(fd) {}
  std::string& text();
  void flush();
  // Everything written, when there is no descriptor.
  const std::string& kept() const { return text_; }

 private:
  int fd_;
  std::string text_;
};

// The first section of a crash file: the signal the task died of, when,
// and how many loggers the file holds whole.
struct crash_heading {
  uint32_t signal = 0;
  uint32_t pid = 0;
  uint64_t time = 0;  // seconds since the epoch
  uint64_t loggers = 0;
};

// The signal's name ("SIGSEGV"), or "signal" for a number without one.
const char* signal_name(uint32_t number);
// Seconds since the epoch as "YYYY-MM-DDTHH:MM:SSZ".
std::string utc_time(uint64_t seconds);

enum class output_format { text, json, otlp };

// "the records from offset O on are shown under ring 0x...".
std::string join_note(const found_ring::join& join);

class printer {
 public:
  virtual ~printer() = default;
  // "# crash SIGSEGV (11) pid P at TIME loggers N", or one JSON object.
  virtual void crash(const crash_heading& heading) = 0;
  // Comes before the records of a ring: its heading line, in text.
  virtual void ring(const found_ring& ring) = 0;
  // Why a ring's fields cannot be walked, in place of its records.
  virtual void unreadable(const std::string& why) = 0;
  // After the records shown of a ring whose chain joins one shown earlier.
  virtual void joins(const found_ring::join& join) = 0;
  virtual void record(record_span record, const record_origin& origin) = 0;
  virtual void uncommitted(record_span items, const record_origin& origin) = 0;
  // Whether the output itself says where a ring is torn or why it cannot be
  // read; when it does not, the reader notes it on standard error.
  virtual bool shows_ring_state() const = 0;

  // Every record of the walk, or its first `limit`; returns the tear, if any.
  std::optional<tear> walk(ring_walk walk, const record_origin& origin,
                           uint64_t limit = UINT64_MAX);
};

std::unique_ptr<printer> make_printer(output_format format, output& out);

}  // namespace wexlog

#endif  // WEXLOG_PRINTER_H
