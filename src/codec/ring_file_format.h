// SPDX-License-Identifier: MIT
// Ring file: a logger's ring kept in a file mapped MAP_SHARED, so that its
// records outlive a task killed without warning. The library writes it; the
// reader (`wexlog recover`) reads it back after the task is gone.
//
//   offset  size  field
//   0       8     magic, the ASCII bytes "WEXLRING"
//   8       4     version, 1
//   12      4     byte order mark 0x01020304, in the writer's byte order
//   16      4     header size H (the offset of the ring's bytes), 128
//   20      4     process id of the writer
//   24      8     the writer's start time, in clock ticks after boot (the
//                 22nd field of /proc/<pid>/stat), to tell a reused pid apart
//   32      4     trace identifier (signed)
//   36      4     ring size in bytes, S
//   40      4     name length N (at most 68; a longer name is cut)
//   44      68    the logger's name, N bytes, zero padded
//   112     16    the ring's control fields: empty flag (signed), write
//                 position, read position, size
//   H       S     the ring's bytes: ring records, each a 4-byte little-endian
//                 length and its payload
//
// Every header integer, control fields included, is in the writer's byte
// order (the mark says which): the control fields are the ones the writer
// updates as it pushes, with single aligned stores. The ring's bytes are as
// in memory, their length prefixes little-endian as everywhere.
//
// The writer keeps the control fields in step with its ring, so that a
// SIGKILL at any instant leaves a file a reader can trust:
// - a push moves the read position past the ring records it discards before
//   it overwrites them, and moves the write position only once its record is
//   whole (release ordering), then clears the empty flag;
// - a pop or removal that empties the ring sets the empty flag first, then
//   the read position; an empty flag of 1 with the positions apart is
//   therefore either a push into an empty ring or the removal that emptied
//   it, cut off between its stores: no committed record is left, and the
//   record at the read position is at most the one being pushed; a push that discards every older
//   record for its own leaves equal positions with the flag 0 until its record is whole, when the
//   ring holds no committed record;
// - a ring emptied or replaced whole (clear, import) first sets the empty
//   flag to kChanging, then the positions, then the final flag: a flag of
//   kChanging means the ring held nothing committed at that instant.
#ifndef WEX_LIB_LOG_CODEC_RING_FILE_FORMAT_H
#define WEX_LIB_LOG_CODEC_RING_FILE_FORMAT_H

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace velorin {
namespace ring_file_format {

constexpr char kMagic[8] = {'W', 'E', 'X', 'L', 'R', 'I', 'N', 'G'};
constexpr uint32_t kVersion = 1;
constexpr uint32_t kByteOrderMark = 0x01020304;

constexpr size_t kMagicAt = 0;
constexpr size_t kVersionAt = 8;
constexpr size_t kByteOrderAt = 12;
constexpr size_t kHeaderSizeAt = 16;
constexpr size_t kPidAt = 20;
constexpr size_t kStartTimeAt = 24;
constexpr size_t kTraceIdAt = 32;
constexpr size_t kRingSizeAt = 36;
constexpr size_t kNameLengthAt = 40;
constexpr size_t kNameAt = 44;
constexpr size_t kNameCapacity = 68;
constexpr size_t kControlAt = kNameAt + kNameCapacity;
constexpr size_t kHeaderSize = 128;

// Control field offsets from kControlAt.
constexpr size_t kEmptyAt = 0;
constexpr size_t kWritePosAt = 4;
constexpr size_t kReadPosAt = 8;
constexpr size_t kSizeAt = 12;

// An empty flag the writer stores only while a clear or an import changes
// the positions: the ring holds nothing committed.
constexpr int32_t kChanging = 2;

// The control fields as the writer stores them: they end the header, so the
// ring's bytes follow them directly.
struct control {
  std::atomic<int32_t> empty;
  std::atomic<uint32_t> write_pos;
  std::atomic<uint32_t> read_pos;
  std::atomic<uint32_t> size;
};

static_assert(sizeof(control) == 16 && alignof(control) <= 8, "control fields are four words");
static_assert(kControlAt + sizeof(control) == kHeaderSize, "the ring's bytes follow the control");
static_assert(offsetof(control, write_pos) == kWritePosAt &&
                  offsetof(control, read_pos) == kReadPosAt && offsetof(control, size) == kSizeAt,
              "control field offsets");

}  // namespace ring_file_format
}  // namespace velorin

#endif  // WEX_LIB_LOG_CODEC_RING_FILE_FORMAT_H
