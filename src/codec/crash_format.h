// SPDX-License-Identifier: MIT
// The byte layout of a crash file, shared by the recorder that writes it
// from a signal handler and the post-mortem tools that read it, so that both
// agree on every offset. Everything here is constexpr or inline and
// allocates nothing, so the signal handler may use it.
//
// Crash file layout, version 1. Every integer is little-endian, whatever the
// byte order of the device that wrote it, so a file from a PowerPC device
// reads the same on any workstation:
//
//   file header, 32 bytes
//   offset  size  field
//   0       8     magic, the ASCII bytes "WEXLOGCR"
//   8       4     version, 1
//   12      4     signal number (Linux numbering)
//   16      4     process id
//   20      4     reserved, zero
//   24      8     seconds since the epoch when the file was written
//
//   then one logger section per live logger, 44 + N + S + B bytes
//   0       4     the ASCII bytes "LOGR"
//   4       4     trace identifier (signed)
//   8       8     address of the logger's ring object in the process
//   16      4     empty flag of the ring (signed)
//   20      4     write position
//   24      4     read position
//   28      4     ring size in bytes, S (0 for a logger without a ring)
//   32      4     name length, N (at most 4096)
//   36      4     length of the record under construction, B
//   40      1     its item count
//   41      3     reserved, zero
//   44      N     the logger's name
//   44+N    S     the ring's bytes, exactly as stored, free space included
//   44+N+S  B     the items of the record under construction, as the ring
//                 would have stored them after the 9-byte record header
//
//   then the end section, 8 bytes
//   0       4     the ASCII bytes "END!"
//   4       4     number of logger sections before it
//
// The ring fields and bytes are those of a ring snapshot (see
// snapshot_format.h); the length prefixes chain from the read to the
// write position unless the crash itself struck in the middle of a push. A
// file without its end section was cut short while it was written.
#ifndef WEXLOG_CODEC_CRASH_FORMAT_H
#define WEXLOG_CODEC_CRASH_FORMAT_H

#include <cstddef>
#include <cstdint>

#include "codec/byte_order.h"
#include "codec/ring_chain.h"

namespace velorin {
namespace crash_format {

constexpr unsigned char kMagic[8] = {'W', 'E', 'X', 'L', 'O', 'G', 'C', 'R'};
constexpr uint32_t kVersion = 1;
constexpr size_t kFileHeaderSize = 32;

constexpr unsigned char kLoggerTag[4] = {'L', 'O', 'G', 'R'};
constexpr size_t kLoggerHeaderSize = 44;
constexpr uint32_t kNameLimit = 4096;

constexpr unsigned char kEndTag[4] = {'E', 'N', 'D', '!'};
constexpr size_t kEndSize = 8;

// Offsets inside the file header.
constexpr size_t kVersionAt = 8, kSignalAt = 12, kPidAt = 16, kReservedAt = 20, kTimeAt = 24;

// Offsets inside a logger section's fixed part.
constexpr size_t kTraceIdAt = 4, kRingAddressAt = 8, kEmptyAt = 16, kWritePosAt = 20,
                 kReadPosAt = 24, kRingSizeAt = 28, kNameSizeAt = 32, kBuildingSizeAt = 36,
                 kItemCountAt = 40, kSectionReservedAt = 41;

// Offset of the logger count in the end section.
constexpr size_t kLoggerCountAt = 4;

using velorin::load_le;
using velorin::store_le;

inline void copy_tag(unsigned char* out, const unsigned char (&tag)[4]) {
  for (unsigned int i = 0; i < 4; ++i) out[i] = tag[i];
}

inline bool has_tag(const unsigned char* in, const unsigned char (&tag)[4]) {
  return in[0] == tag[0] && in[1] == tag[1] && in[2] == tag[2] && in[3] == tag[3];
}

// The file header's fields.
struct file_head {
  uint32_t signal;
  uint32_t pid;
  uint64_t time;  // seconds since the epoch
};

// Writes the kFileHeaderSize bytes of the file header: magic, version, the
// fields, zero reserved bytes.
inline void encode_file_head(const file_head& head, unsigned char* out) {
  for (size_t i = 0; i < kFileHeaderSize; ++i) out[i] = i < sizeof kMagic ? kMagic[i] : 0;
  store_le(out + kVersionAt, kVersion, 4);
  store_le(out + kSignalAt, head.signal, 4);
  store_le(out + kPidAt, head.pid, 4);
  store_le(out + kTimeAt, head.time, 8);
}

// The fields of a whole file header, whatever its magic, version and
// reserved bytes say.
inline uint32_t version_of(const unsigned char* in) {
  return static_cast<uint32_t>(load_le(in + kVersionAt, 4));
}
inline bool reserved_is_zero(const unsigned char* in) {
  return load_le(in + kReservedAt, 4) == 0;
}
inline file_head decode_file_head(const unsigned char* in) {
  return file_head{static_cast<uint32_t>(load_le(in + kSignalAt, 4)),
                   static_cast<uint32_t>(load_le(in + kPidAt, 4)), load_le(in + kTimeAt, 8)};
}

// The fixed part of a logger section. The section goes on with the name,
// the ring's bytes (ring.size of them, none without an array) and the
// record under construction.
struct logger_head {
  uint32_t trace_id;
  uint64_t ring_address;
  ring_chain::ring_state ring;
  uint32_t name_size;
  uint32_t building_size;
  uint8_t item_count;
};

// The ring's empty flag and positions, kPositionsSize bytes from kEmptyAt:
// the recorder writes them again once the ring's bytes are in the file.
constexpr size_t kPositionsSize = 12;
inline void encode_positions(const ring_chain::ring_state& ring, unsigned char* out) {
  store_le(out, static_cast<uint32_t>(ring.empty), 4);
  store_le(out + (kWritePosAt - kEmptyAt), ring.write_pos, 4);
  store_le(out + (kReadPosAt - kEmptyAt), ring.read_pos, 4);
}

// Writes the kLoggerHeaderSize bytes of a logger section's fixed part.
inline void encode_logger_head(const logger_head& head, unsigned char* out) {
  copy_tag(out, kLoggerTag);
  store_le(out + kTraceIdAt, head.trace_id, 4);
  store_le(out + kRingAddressAt, head.ring_address, 8);
  encode_positions(head.ring, out + kEmptyAt);
  store_le(out + kRingSizeAt, head.ring.size, 4);
  store_le(out + kNameSizeAt, head.name_size, 4);
  store_le(out + kBuildingSizeAt, head.building_size, 4);
  out[kItemCountAt] = head.item_count;
  for (size_t i = kSectionReservedAt; i < kLoggerHeaderSize; ++i) out[i] = 0;
}

inline bool section_reserved_is_zero(const unsigned char* in) {
  for (size_t i = kSectionReservedAt; i < kLoggerHeaderSize; ++i) {
    if (in[i] != 0) return false;
  }
  return true;
}

inline logger_head decode_logger_head(const unsigned char* in) {
  const auto u32 = [in](size_t at) { return static_cast<uint32_t>(load_le(in + at, 4)); };
  return logger_head{u32(kTraceIdAt),
                     load_le(in + kRingAddressAt, 8),
                     ring_chain::ring_state{static_cast<int32_t>(u32(kEmptyAt)), u32(kWritePosAt),
                                            u32(kReadPosAt), u32(kRingSizeAt)},
                     u32(kNameSizeAt),
                     u32(kBuildingSizeAt),
                     in[kItemCountAt]};
}

// The end section: its tag and the number of whole logger sections.
inline void encode_end(uint32_t loggers, unsigned char* out) {
  copy_tag(out, kEndTag);
  store_le(out + kLoggerCountAt, loggers, 4);
}
inline uint32_t decode_end(const unsigned char* in) {
  return static_cast<uint32_t>(load_le(in + kLoggerCountAt, 4));
}

}  // namespace crash_format
}  // namespace velorin

#endif  // WEXLOG_CODEC_CRASH_FORMAT_H
