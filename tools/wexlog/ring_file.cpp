// SPDX-License-Identifier: MIT
#include "ring_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "codec/byte_order.h"
#include "codec/record_format.h"
#include "codec/ring_chain.h"
#include "codec/ring_file_format.h"
#include "core_file.h"
#include "layout_walk.h"
#include "render.h"

namespace wexlog {
namespace {

namespace fmt = velorin::ring_file_format;
using velorin::ring_chain::kPrefixSize;
constexpr uint32_t kRecordHeaderSize = velorin::log_record::kHeaderSize;
// Clock ticks (10 ms each on Linux) a writer's recorded start may lag the
// kernel's.
constexpr uint64_t kStartLag = 50;

// Header integers in the writer's byte order.
class header_reader {
 public:
  header_reader(const unsigned char* data, bool big) : data_(data), big_(big) {}
  uint64_t get(size_t at, unsigned int n) const {
    return velorin::load_ordered(data_ + at, n, big_);
  }
  uint32_t word(size_t at) const { return static_cast<uint32_t>(get(at, 4)); }
  ring_state control() const {
    return ring_state{static_cast<int32_t>(word(fmt::kControlAt + fmt::kEmptyAt)),
                      word(fmt::kControlAt + fmt::kWritePosAt),
                      word(fmt::kControlAt + fmt::kReadPosAt),
                      word(fmt::kControlAt + fmt::kSizeAt)};
  }

 private:
  const unsigned char* data_;
  bool big_;
};

bool writer_is_big_endian(const unsigned char* data) {
  const uint32_t mark = header_reader(data, true).word(fmt::kByteOrderAt);
  if (mark == fmt::kByteOrderMark) return true;
  if (header_reader(data, false).word(fmt::kByteOrderAt) == fmt::kByteOrderMark) return false;
  throw input_error("ring file with an unknown byte order mark");
}

using velorin::ring_chain::wrap;

// `length` bytes of the ring from `pos`, wrapping at its end.
std::vector<unsigned char> ring_bytes(const ring_file& file, uint32_t pos, uint32_t length) {
  std::vector<unsigned char> out(length);
  velorin::ring_chain::copy_out(out.data(), file.bytes.data(), file.ring_size, pos, length);
  return out;
}

// Whether a message item's bytes are all written: a push copies them front
// to back, so a copy cut short leaves older bytes at the end, which rarely
// hold a single-bit type, a text without NUL and the two closing zeros.
bool message_looks_whole(const velorin::log_record::item& item) {
  if (item.tag != velorin::log_record::kData || item.kind != 0) return true;
  const unsigned char* bytes = item.data;
  const size_t size = item.data_size;
  if (size < 4 || bytes[size - 1] != 0 || bytes[size - 2] != 0) return false;
  if (bytes[0] == 0 || bytes[0] > 64 || (bytes[0] & (bytes[0] - 1)) != 0) return false;
  return std::memchr(bytes + 2, 0, size - 4) == nullptr;
}

// Whether the bytes are a whole log record whose message items look whole.
bool record_looks_whole(const std::vector<unsigned char>& record) {
  bool messages_whole = true;
  size_t unread = 0;
  const bool parsed = velorin::log_record::read_record(
      record.data(), record.size(), [](const velorin::log_record::header&) {},
      [&](const velorin::log_record::item& item) { messages_whole &= message_looks_whole(item); },
      &unread);
  return parsed && unread == 0 && messages_whole;
}

// The log record of the ring record at `at` when it looks whole within
// `room` bytes.
std::optional<std::vector<unsigned char>> whole_record_at(const ring_file& file, uint32_t at,
                                                          uint64_t room) {
  const uint32_t length = velorin::ring_chain::prefix_at(file.bytes.data(), file.ring_size, at);
  if (length < kRecordHeaderSize || uint64_t{length} + kPrefixSize > room) return std::nullopt;
  std::vector<unsigned char> record =
      ring_bytes(file, wrap(uint64_t{at} + kPrefixSize, file.ring_size), length);
  if (!record_looks_whole(record)) return std::nullopt;
  return record;
}

// Whether the `free` bytes from `at` are whole ring records end to end: the
// records a push discarded, left as they were, whose chain ends exactly at
// the read position. A record being written breaks that chain, unless it
// ended exactly where a discarded one did.
bool discarded_chain(const ring_file& file, uint32_t at, uint64_t free) {
  while (free != 0) {
    const auto record = whole_record_at(file, at, free);
    if (!record) return false;
    free -= record->size() + kPrefixSize;
    at = wrap(uint64_t{at} + record->size() + kPrefixSize, file.ring_size);
  }
  return true;
}

// The record a push was writing at `at`, with `free` bytes of room up to
// the read position (the whole ring when `empty`), when it looks whole, is
// not older than `newest` (a time of day) and is not a discarded record.
std::optional<std::vector<unsigned char>> cut_short_record(const ring_file& file, uint32_t at,
                                                           uint64_t free, bool empty,
                                                           std::optional<uint32_t> newest) {
  const auto record = whole_record_at(file, at, free);
  if (!record || (newest && velorin::load_le32(record->data()) < *newest)) return std::nullopt;
  if (!empty && discarded_chain(file, at, free)) return std::nullopt;
  return std::vector<unsigned char>(record->begin() + kRecordHeaderSize, record->end());
}

std::optional<uint32_t> newest_time(const ring_file& file, const ring_state& state) {
  std::optional<uint32_t> newest;
  ring_walk walk(state, file.bytes.data(), true);
  for (record_span one; walk.next(one);) newest = velorin::load_le32(one.data);
  return newest;
}

// Reads a whole file of at most `limit` bytes, and into `header_after` its
// first bytes once more when done.
std::vector<unsigned char> read_whole_file(const std::string& path, size_t limit,
                                           std::vector<unsigned char>& header_after) {
  // Read, not mapped: the file of a running task may be cut short under a
  // mapping, which would end the reader with SIGBUS.
  struct descriptor {
    int fd;
    ~descriptor() {
      if (fd >= 0) ::close(fd);
    }
    int get() const { return fd; }
  } const fd{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  if (fd.get() < 0) throw input_error("cannot open: " + std::string(std::strerror(errno)));
  std::vector<unsigned char> bytes;
  unsigned char chunk[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw input_error("cannot read: " + std::string(std::strerror(errno)));
    if (got == 0) {
      header_after.resize(fmt::kHeaderSize);
      const ssize_t again = ::pread(fd.get(), header_after.data(), header_after.size(), 0);
      header_after.resize(again > 0 ? static_cast<size_t>(again) : 0);
      return bytes;
    }
    if (bytes.size() + static_cast<size_t>(got) > limit) {
      throw input_error("larger than any ring file (" + std::to_string(limit) + " bytes)");
    }
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
}

}  // namespace

bool is_ring_file(const unsigned char* data, size_t size) {
  return size >= sizeof fmt::kMagic && std::memcmp(data, fmt::kMagic, sizeof fmt::kMagic) == 0;
}

ring_file decode_ring_file(const unsigned char* data, size_t size) {
  if (!is_ring_file(data, size)) throw input_error("not a ring file");
  if (size < fmt::kHeaderSize) {
    throw input_error("ring file cut short in its header: " + std::to_string(size) + " of " +
                      std::to_string(fmt::kHeaderSize) + " bytes");
  }
  const header_reader header(data, writer_is_big_endian(data));
  if (header.word(fmt::kVersionAt) != fmt::kVersion) {
    throw input_error("ring file version " + std::to_string(header.word(fmt::kVersionAt)) +
                      " is not supported");
  }
  if (header.word(fmt::kHeaderSizeAt) != fmt::kHeaderSize) {
    throw input_error("ring file header size " + std::to_string(header.word(fmt::kHeaderSizeAt)) +
                      " is not " + std::to_string(fmt::kHeaderSize));
  }
  ring_file file;
  file.pid = header.word(fmt::kPidAt);
  file.start_time = header.get(fmt::kStartTimeAt, 8);
  file.trace_id = static_cast<int32_t>(header.word(fmt::kTraceIdAt));
  file.ring_size = header.word(fmt::kRingSizeAt);
  const uint32_t name_length = header.word(fmt::kNameLengthAt);
  if (name_length > fmt::kNameCapacity) {
    throw input_error("ring file name length " + std::to_string(name_length) + " exceeds " +
                      std::to_string(fmt::kNameCapacity));
  }
  file.name.assign(reinterpret_cast<const char*>(data + fmt::kNameAt), name_length);
  file.state = header.control();
  if (size - fmt::kHeaderSize < file.ring_size) {
    throw input_error("ring file cut short: it holds " + std::to_string(size - fmt::kHeaderSize) +
                      " of its " + std::to_string(file.ring_size) + " ring bytes");
  }
  file.bytes.assign(data + fmt::kHeaderSize, data + fmt::kHeaderSize + file.ring_size);
  return file;
}

// A running task goes on pushing while its file is read: the control fields
// read first are narrowed to the records that cannot have changed before the
// file was read to its end, as for a ring copied from a running process.
std::vector<unsigned char> read_ring_file(const std::string& path) {
  std::vector<unsigned char> header_after;
  std::vector<unsigned char> bytes = read_whole_file(
      path, static_cast<size_t>(fmt::kHeaderSize + uint64_t{UINT32_MAX}), header_after);
  if (bytes.size() < fmt::kHeaderSize || header_after.size() != fmt::kHeaderSize ||
      !is_ring_file(bytes.data(), bytes.size()) ||
      std::memcmp(bytes.data(), header_after.data(), fmt::kHeaderSize) == 0) {
    return bytes;
  }
  const bool big = writer_is_big_endian(bytes.data());
  const ring_state before = header_reader(bytes.data(), big).control();
  const ring_state after = header_reader(header_after.data(), big).control();
  if (before.size != after.size) throw input_error("ring file replaced while it was read");
  const ring_state kept = unchanged_records(before, after);
  const std::pair<size_t, uint32_t> fields[] = {{fmt::kEmptyAt, static_cast<uint32_t>(kept.empty)},
                                                {fmt::kWritePosAt, kept.write_pos},
                                                {fmt::kReadPosAt, kept.read_pos}};
  for (const auto& [at, value] : fields) {
    velorin::store_ordered(bytes.data() + fmt::kControlAt + at, value, 4, big);
  }
  return bytes;
}

ring_file_reading read_ring(const ring_file& file) {
  ring_file_reading out;
  out.state = file.state;
  if (file.state.size != file.ring_size) {
    out.unusable = "control size " + std::to_string(file.state.size) + " differs from ring size " +
                   std::to_string(file.ring_size);
    return out;
  }
  if (file.state.empty == fmt::kChanging) {
    out.changing = true;
    out.state.empty = 1;
    out.state.read_pos = out.state.write_pos;
  } else if (file.state.empty == 1 && file.state.write_pos != file.state.read_pos) {
    // A push into the empty ring, or the drain that emptied it, cut off
    // between its stores: no committed record is left, and the record at the
    // read position, when whole, is the one that push was writing.
    out.state.write_pos = out.state.read_pos;
  }
  if ((out.unusable = unusable_fields(out.state))) return out;
  const ring_state& s = out.state;
  ring_walk walk(s, file.bytes.data(), true);
  for (record_span one; walk.next(one);) {
  }
  out.records = walk.records();
  out.torn = walk.torn();
  if (out.changing) return out;
  if (s.empty == 0 && s.write_pos == s.read_pos && out.torn) {
    // Every older record discarded for the one being written, which may
    // already be whole at the positions.
    out.records = 0;
    out.torn.reset();
    out.uncommitted = cut_short_record(file, s.write_pos, s.size, true, std::nullopt);
    out.state.empty = 1;
  } else if (!out.torn) {
    const uint64_t free =
        s.empty != 0 ? s.size : wrap(uint64_t{s.read_pos} + s.size - s.write_pos, s.size);
    out.uncommitted = cut_short_record(file, s.write_pos, free, s.empty != 0, newest_time(file, s));
  }
  return out;
}

std::string ring_file_heading(const std::string& path, const ring_file& file,
                              const ring_file_reading& reading) {
  std::string heading = "# ring file " + path + " size " + std::to_string(file.ring_size) +
                        " records " + std::to_string(reading.records) + " logger " +
                        quoted(file.name) + " trace_id " + std::to_string(file.trace_id);
  if (reading.torn) heading += " torn at offset " + std::to_string(reading.torn->offset);
  return heading + "\n";
}

std::string task_status(uint32_t pid, uint64_t start_time, const std::string& proc) {
  std::vector<unsigned char> stat;
  try {
    std::vector<unsigned char> unused;
    stat = read_whole_file(proc + "/" + std::to_string(pid) + "/stat", 1 << 16, unused);
  } catch (const input_error&) {
    return "stale: the task has ended";
  }
  // The fields after the command name, which may hold anything, follow its
  // last ')': the state (a zombie has ended), then up to the start time.
  const std::string text(stat.begin(), stat.end());
  size_t at = text.rfind(')');
  if (at != std::string::npos && at + 2 < text.size() &&
      (text[at + 2] == 'Z' || text[at + 2] == 'X')) {
    return "stale: the task has ended";
  }
  for (int field = 2; at != std::string::npos && field < 22; ++field) at = text.find(' ', at + 1);
  // The writer's start as it read it itself: the kernel's own value, or
  // under an emulator (qemu-ppc) the emulator's, taken a little later. So a
  // start up to kStartLag ticks later counts as the same task; a pid is
  // reused that soon only after the kernel went round all the others.
  const uint64_t started =
      at == std::string::npos ? 0 : std::strtoull(text.c_str() + at + 1, nullptr, 10);
  if (at == std::string::npos || start_time < started || start_time > started + kStartLag) {
    return "stale: the pid now belongs to another task";
  }
  return "running";
}

void print_ring_file(const ring_file& file, const ring_file_reading& reading, printer& print) {
  record_origin origin;
  origin.logger = file.name;
  origin.trace_id = file.trace_id;
  if (reading.unusable) return print.unreadable(*reading.unusable);
  print.walk(ring_walk(reading.state, file.bytes.data(), true), origin);
  if (reading.uncommitted) print.uncommitted(*reading.uncommitted, origin);
}

}  // namespace wexlog
