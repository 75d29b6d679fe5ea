// SPDX-License-Identifier: MIT
// Copies of a few bytes, as the message path makes many of: the literal
// pieces of a format, the arguments, a record's header and its message. Up
// to 128 bytes take fixed-size moves, which cost less than a call to memcpy
// then, the more so on 32-bit PowerPC, whose C library copies them a word
// at a time in a loop of its own; longer copies are memcpy's.
#ifndef WEX_LIB_LOG_SHORT_COPY_H
#define WEX_LIB_LOG_SHORT_COPY_H

#include <cstddef>
#include <cstring>

namespace velorin {

// Copies `n` bytes from `from` to `to` (not overlapping) as two moves of `W`
// bytes, the second ending where the copy ends; W <= n <= 2 * W.
template <size_t W>
inline void copy_two_moves(void* to, const void* from, size_t n) {
  std::memcpy(to, from, W);
  std::memcpy(static_cast<unsigned char*>(to) + n - W,
              static_cast<const unsigned char*>(from) + n - W, W);
}

// Copies `n` bytes from `from` to `to` (not overlapping), 32 < n, as moves
// of 32 bytes, the last one ending where the copy ends. The empty statement
// keeps compilers from turning the loop back into a call to memcpy.
inline void copy_in_moves_of_32(unsigned char* to, const unsigned char* from, size_t n) {
  for (size_t done = 0; n - done > 32; done += 32) {
    std::memcpy(to + done, from + done, 32);
    __asm__ __volatile__("");
  }
  std::memcpy(to + n - 32, from + n - 32, 32);
}

// The shortest lengths are tested first: most pieces of a message are short.
inline void copy_bytes(void* to, const void* from, size_t n) {
  if (n < 4) {
    if (n == 0) return;
    auto* out = static_cast<unsigned char*>(to);
    const auto* in = static_cast<const unsigned char*>(from);
    out[0] = in[0];
    out[n / 2] = in[n / 2];
    out[n - 1] = in[n - 1];
  } else if (n < 8) {
    copy_two_moves<4>(to, from, n);
  } else if (n < 16) {
    copy_two_moves<8>(to, from, n);
  } else if (n <= 32) {
    copy_two_moves<16>(to, from, n);
  } else if (n <= 128) {
    copy_in_moves_of_32(static_cast<unsigned char*>(to), static_cast<const unsigned char*>(from),
                        n);
  } else {
    std::memcpy(to, from, n);
  }
}

}  // namespace velorin

#endif  // WEX_LIB_LOG_SHORT_COPY_H
