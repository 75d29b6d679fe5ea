// SPDX-License-Identifier: MIT
// The byte layout of a ring snapshot file, shared by the library's loader and
// saver and by the post-mortem tools, so that they accept the same files.
// The layout itself is described in wex_lib_log_snapshot.h. The control
// fields travel as a ring_state: the file keeps the empty flag's low byte,
// which reads back sign-extended.
#ifndef WEXLOG_CODEC_SNAPSHOT_FORMAT_H
#define WEXLOG_CODEC_SNAPSHOT_FORMAT_H

#include <cstddef>
#include <cstdint>

#include "codec/ring_chain.h"

namespace velorin {
namespace snapshot_format {

constexpr size_t kMagicSize = 8;
constexpr unsigned char kMagic[kMagicSize] = {'W', 'E', 'X', 'L', 'O', 'G', 'R', 'S'};
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 28;

// Writes the file header for a snapshot with the control fields `info`; the
// info.size raw bytes of the ring follow it in the file.
void encode_header(const ring_chain::ring_state& info, unsigned char* out);

// Reads the fixed header from the first `available` bytes of a file (at most
// kHeaderSize are looked at). On success returns null and fills `info`;
// otherwise returns why the file was refused. A loader checks this before it
// reads, or allocates room for, the ring bytes.
const char* decode_header(const unsigned char* head, size_t available,
                          ring_chain::ring_state& info);

// Why a file of `file_size` bytes cannot hold the snapshot whose header gave
// `info`, or null when its length is exactly right.
const char* check_file_size(const ring_chain::ring_state& info, uint64_t file_size);

// Reads a whole snapshot file of `size` bytes. On success returns null, fills
// `info` and points `raw` at the info.size ring bytes inside `file`. Otherwise
// returns why the file was refused. Only the framing is checked here; whether
// the positions and length prefixes describe a ring is the ring's business.
const char* decode(const unsigned char* file, size_t size, ring_chain::ring_state& info,
                   const unsigned char*& raw);

}  // namespace snapshot_format
}  // namespace velorin

#endif  // WEXLOG_CODEC_SNAPSHOT_FORMAT_H
