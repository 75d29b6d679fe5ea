// SPDX-License-Identifier: MIT
#include "codec/snapshot_format.h"

#include <cstring>

#include "codec/byte_order.h"

namespace velorin {
namespace snapshot_format {
void encode_header(const ring_chain::ring_state& info, unsigned char* out) {
  std::memcpy(out, kMagic, kMagicSize);
  store_le(out + 8, kVersion, 4);
  out[12] = static_cast<unsigned char>(info.empty);
  out[13] = out[14] = out[15] = 0;
  store_le(out + 16, info.write_pos, 4);
  store_le(out + 20, info.read_pos, 4);
  store_le(out + 24, info.size, 4);
}

const char* decode_header(const unsigned char* head, size_t available,
                          ring_chain::ring_state& info) {
  if (available < kMagicSize || std::memcmp(head, kMagic, kMagicSize) != 0) {
    return "not a ring snapshot (no WEXLOGRS magic)";
  }
  if (available < kHeaderSize) return "truncated snapshot header";
  if (load_le32(head + 8) != kVersion) return "unsupported snapshot version";
  if (head[13] != 0 || head[14] != 0 || head[15] != 0) return "reserved header bytes are not zero";
  info.empty = static_cast<int8_t>(head[12]);
  info.write_pos = load_le32(head + 16);
  info.read_pos = load_le32(head + 20);
  info.size = load_le32(head + 24);
  if (info.size == 0) return "snapshot of a ring without bytes (size 0)";
  return nullptr;
}

const char* check_file_size(const ring_chain::ring_state& info, uint64_t file_size) {
  const uint64_t expected = uint64_t{kHeaderSize} + info.size;
  if (file_size < expected) return "truncated snapshot: fewer ring bytes than its size";
  if (file_size > expected) return "trailing bytes after the ring bytes";
  return nullptr;
}

const char* decode(const unsigned char* file, size_t size, ring_chain::ring_state& info,
                   const unsigned char*& raw) {
  if (const char* reason = decode_header(file, size, info)) return reason;
  if (const char* reason = check_file_size(info, size)) return reason;
  raw = file + kHeaderSize;
  return nullptr;
}

}  // namespace snapshot_format
}  // namespace velorin
