// SPDX-License-Identifier: MIT
#include "crash_file.h"

#include <cstring>

#include "codec/crash_format.h"
#include "core_file.h"

namespace wexlog {
namespace {

namespace format = velorin::crash_format;

// The size of the logger section at `at`, which has `left` bytes to the end
// of the file, or 0 when the file ends inside it. Throws for a section whose
// framing is wrong.
size_t logger_size(const unsigned char* at, size_t left) {
  if (left < format::kLoggerHeaderSize) return 0;
  if (!format::section_reserved_is_zero(at)) {
    throw input_error("reserved bytes of a logger section are not zero");
  }
  const format::logger_head head = format::decode_logger_head(at);
  if (head.name_size > format::kNameLimit) {
    throw input_error("logger name of " + std::to_string(head.name_size) + " bytes (at most " +
                      std::to_string(format::kNameLimit) + ")");
  }
  const uint64_t total =
      format::kLoggerHeaderSize + uint64_t{head.name_size} + head.ring.size + head.building_size;
  return total > left ? 0 : static_cast<size_t>(total);
}

// The logger section at `at`, whose framing logger_size() accepted, its
// ring walked for its record count and tear; a ring without an array holds
// none.
void read_logger(const unsigned char* at, crashed_logger& out) {
  const format::logger_head head = format::decode_logger_head(at);
  found_ring& ring = out.ring;
  ring = found_ring{};
  ring.state = head.ring;
  ring.address = head.ring_address;
  ring.store_recognised = true;
  ring.trace_id = static_cast<int32_t>(head.trace_id);
  const unsigned char* name = at + format::kLoggerHeaderSize;
  ring.name.assign(reinterpret_cast<const char*>(name), head.name_size);
  out.bytes = name + head.name_size;
  out.building = record_span(out.bytes + ring.state.size, head.building_size);
  out.unreadable.reset();
  if (ring.state.size == 0) return;
  out.unreadable = unusable_fields(ring.state);
  if (out.unreadable) return;
  ring_walk walk(ring.state, out.bytes, true);
  for (record_span record; walk.next(record);) {
  }
  ring.records = walk.records();
  ring.torn = walk.torn();
}

}  // namespace

bool is_crash_file(const unsigned char* file, size_t size) {
  return size >= sizeof format::kMagic &&
         std::memcmp(file, format::kMagic, sizeof format::kMagic) == 0;
}

crash_reader::crash_reader(const unsigned char* file, size_t size)
    : file_(file), size_(size), pos_(format::kFileHeaderSize), left_(0) {
  if (!is_crash_file(file, size)) throw input_error("not a crash file (no WEXLOGCR magic)");
  if (size < format::kFileHeaderSize) throw input_error("truncated crash file header");
  const uint32_t version = format::version_of(file);
  if (version != format::kVersion) {
    throw input_error("unsupported crash file version " + std::to_string(version));
  }
  if (!format::reserved_is_zero(file)) throw input_error("reserved header bytes are not zero");
  const format::file_head head = format::decode_file_head(file);
  heading_.signal = head.signal;
  heading_.pid = head.pid;
  heading_.time = head.time;
  for (size_t pos = format::kFileHeaderSize;;) {
    const size_t left = size - pos;
    if (left >= 4 && format::has_tag(file + pos, format::kLoggerTag)) {
      const size_t used = logger_size(file + pos, left);
      if (used != 0) {
        ++heading_.loggers;
        pos += used;
        continue;
      }
    } else if (left >= 4 && format::has_tag(file + pos, format::kEndTag)) {
      if (left < format::kEndSize) break;
      const uint32_t count = format::decode_end(file + pos);
      if (count != heading_.loggers) {
        throw input_error("the end section counts " + std::to_string(count) +
                          " loggers, the file holds " + std::to_string(heading_.loggers));
      }
      if (left != format::kEndSize) throw input_error("trailing bytes after the end section");
      left_ = heading_.loggers;
      return;
    } else if (left >= 4) {
      throw input_error("unknown section at offset " + std::to_string(pos));
    }
    break;
  }
  left_ = heading_.loggers;
  cut_short_ =
      "cut short after " + std::to_string(heading_.loggers) + " whole loggers (no end section)";
}

bool crash_reader::next(crashed_logger& logger) {
  if (left_ == 0) return false;
  --left_;
  read_logger(file_ + pos_, logger);
  pos_ += logger_size(file_ + pos_, size_ - pos_);
  return true;
}

void print_crash(crash_reader& crash, printer& out,
                 const std::function<void(const std::string&)>& note) {
  out.crash(crash.heading());
  for (crashed_logger logger; crash.next(logger);) {
    const found_ring& ring = logger.ring;
    const record_origin origin{ring.name, ring.trace_id, ring.address};
    out.ring(ring);
    const std::string who = "logger " + quoted(ring.name) + " ";
    if (logger.unreadable) {
      out.unreadable(*logger.unreadable);
      if (!out.shows_ring_state()) note(who + "ring not readable: " + *logger.unreadable);
    } else if (ring.state.size != 0) {
      out.walk(ring_walk(ring.state, logger.bytes, true), origin);
    }
    if (ring.torn && !out.shows_ring_state()) {
      note(who + tear_note(*ring.torn, ring.state));
    }
    if (logger.building.size != 0) out.uncommitted(logger.building, origin);
  }
}

}  // namespace wexlog
