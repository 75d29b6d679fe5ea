// SPDX-License-Identifier: MIT
// Little-endian integers, as records, ring prefixes, snapshot and crash
// files hold them: written and read byte by byte, so that a file or ring
// reads the same on the big-endian device and on a little-endian host.
// Integers in a writer's own byte order (a core's, a ring file's header)
// are read and written by the *_ordered pair.
#ifndef WEXLOG_CODEC_BYTE_ORDER_H
#define WEXLOG_CODEC_BYTE_ORDER_H

#include <cstdint>
#include <cstring>

namespace velorin {

// Writes the `n` low-order bytes of `value`, least significant first.
inline void store_le(unsigned char* out, uint64_t value, unsigned int n) {
  for (unsigned int i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// The same for 4 bytes in one store: the compiler then keeps it one store
// among its neighbours instead of merging the bytes of several fields.
inline void store_le32(unsigned char* out, uint32_t value) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = __builtin_bswap32(value);
#endif
  std::memcpy(out, &value, sizeof value);
}

inline uint64_t load_le(const unsigned char* in, unsigned int n) {
  uint64_t value = 0;
  for (unsigned int i = 0; i < n; ++i) value |= uint64_t{in[i]} << (8 * i);
  return value;
}

inline uint32_t load_le32(const unsigned char* in) {
  return uint32_t{in[0]} | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16 | uint32_t{in[3]} << 24;
}

// The `n`-byte integer at `in`, most significant byte first when `big`.
inline uint64_t load_ordered(const unsigned char* in, unsigned int n, bool big) {
  uint64_t value = 0;
  for (unsigned int i = 0; i < n; ++i) value |= uint64_t{in[big ? n - 1 - i : i]} << (8 * i);
  return value;
}

// Writes the `n` low-order bytes of `value`, most significant first when `big`.
inline void store_ordered(unsigned char* out, uint64_t value, unsigned int n, bool big) {
  for (unsigned int i = 0; i < n; ++i) {
    out[big ? n - 1 - i : i] = static_cast<unsigned char>(value >> (8 * i));
  }
}

}  // namespace velorin

#endif  // WEXLOG_CODEC_BYTE_ORDER_H
