#include "storage/wex_lib_log_snapshot_format.h"

#include <cstring>

namespace velorin {
namespace snapshot_format {
namespace {

void store_le32(unsigned char* out, uint32_t value) {
  for (unsigned int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t load_le32(const unsigned char* in) {
  return uint32_t{in[0]} | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16 | uint32_t{in[3]} << 24;
}

}  // namespace

void encode_header(const WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_& info, unsigned char* out) {
  std::memcpy(out, kMagic, kMagicSize);
  store_le32(out + 8, kVersion);
  out[12] = static_cast<unsigned char>(info.empty);
  out[13] = out[14] = out[15] = 0;
  store_le32(out + 16, info.write_pos);
  store_le32(out + 20, info.read_pos);
  store_le32(out + 24, info.size);
}

const char* decode(const unsigned char* file, size_t size, WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_& info,
                   const unsigned char*& raw) {
  if (size < kMagicSize || std::memcmp(file, kMagic, kMagicSize) != 0) {
    return "not a ring snapshot (no WEXLOGRS magic)";
  }
  if (size < kHeaderSize) return "truncated snapshot header";
  if (load_le32(file + 8) != kVersion) return "unsupported snapshot version";
  if (file[13] != 0 || file[14] != 0 || file[15] != 0) return "reserved header bytes are not zero";
  info.empty = static_cast<int8_t>(file[12]);
  info.write_pos = load_le32(file + 16);
  info.read_pos = load_le32(file + 20);
  info.size = load_le32(file + 24);
  if (info.size == 0) return "snapshot of a ring without bytes (size 0)";
  if (size - kHeaderSize < info.size) return "truncated snapshot: fewer ring bytes than its size";
  if (size - kHeaderSize > info.size) return "trailing bytes after the ring bytes";
  raw = file + kHeaderSize;
  return nullptr;
}

}  // namespace snapshot_format
}  // namespace velorin
