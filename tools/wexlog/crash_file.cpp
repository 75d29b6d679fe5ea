#include "crash_file.h"

#include <cstring>
#include <ctime>

#include "core_file.h"
#include "crash/crash_format.h"
#include "render.h"

namespace wexlog {
namespace {

namespace format = velorin::crash_format;

uint32_t le32(const unsigned char* at) {
  return static_cast<uint32_t>(format::load_le(at, 4));
}

// Counts the records of a ring as the crash recorder saved it and finds
// where it is torn, if it is; a ring without an array holds none.
void walk_saved_ring(crashed_logger& logger) {
  found_ring& ring = logger.ring;
  if (ring.state.size == 0) return;
  logger.unreadable = unusable_fields(ring.state);
  if (logger.unreadable) return;
  ring_walk walk(ring.state, logger.bytes, true);
  record_span record;
  while (walk.next(record)) {
  }
  ring.records = walk.records();
  ring.torn = walk.torn();
}

// Reads the logger section at `at`, which has `left` bytes to the end of the
// file; returns its size, or 0 when the file ends inside it.
size_t read_logger(const unsigned char* at, size_t left, crashed_logger& out) {
  if (left < format::kLoggerHeaderSize) return 0;
  if (at[format::kSectionReservedAt] != 0 || at[format::kSectionReservedAt + 1] != 0 ||
      at[format::kSectionReservedAt + 2] != 0) {
    throw input_error("reserved bytes of a logger section are not zero");
  }
  const uint32_t name_size = le32(at + format::kNameSizeAt);
  if (name_size > format::kNameLimit) {
    throw input_error("logger name of " + std::to_string(name_size) + " bytes (at most " +
                      std::to_string(format::kNameLimit) + ")");
  }
  found_ring& ring = out.ring;
  ring.state =
      ring_state{static_cast<int32_t>(le32(at + format::kEmptyAt)), le32(at + format::kWritePosAt),
                 le32(at + format::kReadPosAt), le32(at + format::kRingSizeAt)};
  const uint64_t building_size = le32(at + format::kBuildingSizeAt);
  const uint64_t total =
      format::kLoggerHeaderSize + uint64_t{name_size} + ring.state.size + building_size;
  if (total > left) return 0;
  ring.address = format::load_le(at + format::kRingAddressAt, 8);
  ring.store_recognised = true;
  ring.trace_id = static_cast<int32_t>(le32(at + format::kTraceIdAt));
  const unsigned char* name = at + format::kLoggerHeaderSize;
  ring.name.assign(reinterpret_cast<const char*>(name), name_size);
  out.bytes = name + name_size;
  walk_saved_ring(out);
  const unsigned char* building = out.bytes + ring.state.size;
  ring.uncommitted.assign(building, building + building_size);
  return static_cast<size_t>(total);
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

// Every record of a saved ring, oldest first, up to its tear.
template <class Print>
void for_each_record(const crashed_logger& logger, Print&& print) {
  if (logger.ring.records == 0) return;
  ring_walk walk(logger.ring.state, logger.bytes, true);
  for (record_span record; walk.next(record);) print(record);
}

}  // namespace

bool is_crash_file(const unsigned char* file, size_t size) {
  return size >= sizeof format::kMagic &&
         std::memcmp(file, format::kMagic, sizeof format::kMagic) == 0;
}

crash_record decode_crash(const unsigned char* file, size_t size) {
  if (!is_crash_file(file, size)) throw input_error("not a crash file (no WEXLOGCR magic)");
  if (size < format::kFileHeaderSize) throw input_error("truncated crash file header");
  if (le32(file + format::kVersionAt) != format::kVersion) {
    throw input_error("unsupported crash file version " +
                      std::to_string(le32(file + format::kVersionAt)));
  }
  if (le32(file + format::kReservedAt) != 0)
    throw input_error("reserved header bytes are not zero");
  crash_record crash;
  crash.signal = le32(file + format::kSignalAt);
  crash.pid = le32(file + format::kPidAt);
  crash.time = format::load_le(file + format::kTimeAt, 8);
  for (size_t pos = format::kFileHeaderSize;;) {
    const size_t left = size - pos;
    if (left >= 4 && format::has_tag(file + pos, format::kLoggerTag)) {
      crashed_logger logger;
      const size_t used = read_logger(file + pos, left, logger);
      if (used != 0) {
        crash.loggers.push_back(std::move(logger));
        pos += used;
        continue;
      }
    } else if (left >= 4 && format::has_tag(file + pos, format::kEndTag)) {
      if (left < format::kEndSize) break;
      const uint32_t count = le32(file + pos + format::kLoggerCountAt);
      if (count != crash.loggers.size()) {
        throw input_error("the end section counts " + std::to_string(count) +
                          " loggers, the file holds " + std::to_string(crash.loggers.size()));
      }
      if (left != format::kEndSize) throw input_error("trailing bytes after the end section");
      return crash;
    } else if (left >= 4) {
      throw input_error("unknown section at offset " + std::to_string(pos));
    }
    break;
  }
  crash.cut_short =
      "cut short after " + std::to_string(crash.loggers.size()) + " whole loggers (no end section)";
  return crash;
}

void append_crash_text(std::string& out, const crash_record& crash) {
  out += "# crash " + std::string(signal_name(crash.signal)) + " (" + std::to_string(crash.signal) +
         ") pid " + std::to_string(crash.pid) + " at " + utc_time(crash.time) + " loggers " +
         std::to_string(crash.loggers.size()) + "\n";
  for (const crashed_logger& logger : crash.loggers) {
    out += ring_heading(logger.ring);
    if (logger.unreadable) out += "# ring not readable: " + *logger.unreadable + "\n";
    for_each_record(logger, [&](record_span record) { append_dump_line(out, record); });
    if (!logger.ring.uncommitted.empty()) append_uncommitted_line(out, logger.ring.uncommitted);
  }
}

void append_crash_json(std::string& out, const crash_record& crash) {
  for (const crashed_logger& logger : crash.loggers) {
    const record_origin origin{logger.ring.name, logger.ring.trace_id, logger.ring.address};
    for_each_record(logger, [&](record_span record) { append_json_line(out, record, origin); });
    if (!logger.ring.uncommitted.empty()) {
      append_uncommitted_json(out, logger.ring.uncommitted, origin);
    }
  }
}

}  // namespace wexlog
