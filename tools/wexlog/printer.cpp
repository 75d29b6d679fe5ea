// SPDX-License-Identifier: MIT
#include "printer.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "otlp.h"

namespace wexlog {
namespace {

// Writes all `size` bytes, again after a short or interrupted write; false
// on an error (errno says which).
bool write_all(int fd, const char* data, size_t size) {
  while (size != 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

class text_printer : public printer {
 public:
  explicit text_printer(output& out) : out_(out) {}
  void crash(const crash_heading& h) override {
    out_.text() += "# crash " + std::string(signal_name(h.signal)) + " (" +
                   std::to_string(h.signal) + ") pid " + std::to_string(h.pid) + " at " +
                   utc_time(h.time) + " loggers " + std::to_string(h.loggers) + "\n";
  }
  void ring(const found_ring& ring) override { out_.text() += ring_heading(ring); }
  void unreadable(const std::string& why) override {
    out_.text() += "# ring not readable: " + why + "\n";
  }
  void joins(const found_ring::join& join) override {
    out_.text() += "# " + join_note(join) + "\n";
  }
  void record(record_span record, const record_origin&) override {
    append_dump_line(out_.text(), record);
  }
  void uncommitted(record_span items, const record_origin&) override {
    append_uncommitted_line(out_.text(), items);
  }
  bool shows_ring_state() const override { return true; }

 private:
  output& out_;
};

// One JSON object a line: records and records under construction, and a
// crash file's heading before them. Rings have no object of their own.
class json_printer : public printer {
 public:
  explicit json_printer(output& out) : out_(out) {}
  void crash(const crash_heading& h) override {
    nlohmann::ordered_json j;
    j["signal"] = h.signal;
    j["signal_name"] = signal_name(h.signal);
    j["pid"] = h.pid;
    j["time"] = utc_time(h.time);
    j["time_s"] = h.time;
    j["loggers"] = h.loggers;
    out_.text() += j.dump() + "\n";
  }
  void ring(const found_ring&) override {}
  void unreadable(const std::string&) override {}
  void joins(const found_ring::join&) override {}
  void record(record_span record, const record_origin& origin) override {
    append_json_line(out_.text(), record, origin);
  }
  void uncommitted(record_span items, const record_origin& origin) override {
    append_uncommitted_json(out_.text(), items, origin);
  }
  bool shows_ring_state() const override { return false; }

 private:
  output& out_;
};

}  // namespace

std::string& output::text() {
  if (fd_ >= 0 && text_.size() > (1u << 20)) flush();
  return text_;
}

void output::flush() {
  if (fd_ < 0) return;
  errno = 0;
  if (!write_all(fd_, text_.data(), text_.size())) {
    throw output_error(std::strerror(errno != 0 ? errno : EIO));
  }
  text_.clear();
}

const char* signal_name(uint32_t number) {
  switch (number) {  // Linux numbering, the same on the device and the host
    case 4:
      return "SIGILL";
    case 6:
      return "SIGABRT";
    case 7:
      return "SIGBUS";
    case 8:
      return "SIGFPE";
    case 11:
      return "SIGSEGV";
    case 31:
      return "SIGSYS";
    default:
      return "signal";
  }
}

std::string utc_time(uint64_t seconds) {
  const auto t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  char text[32] = "?";
  if (gmtime_r(&t, &tm) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

std::string join_note(const found_ring::join& join) {
  return "the records from offset " + std::to_string(join.offset) + " on are shown under ring " +
         hex_address(join.ring);
}

std::optional<tear> printer::walk(ring_walk walk, const record_origin& origin, uint64_t limit) {
  for (record_span one; limit != 0 && walk.next(one); --limit) record(one, origin);
  return walk.torn();
}

std::unique_ptr<printer> make_printer(output_format format, output& out) {
  if (format == output_format::otlp) return make_otlp_printer(out);
  if (format == output_format::json) return std::make_unique<json_printer>(out);
  return std::make_unique<text_printer>(out);
}

}  // namespace wexlog
