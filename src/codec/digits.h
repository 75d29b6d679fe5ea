// SPDX-License-Identifier: MIT
// Decimal and hexadecimal digits of the numbers the library writes as text:
// the dump lines, the formatter's conversions and the crash recorder's file
// names. Nothing here allocates, locks or reads library or locale state, so
// the crash recorder may call it inside its signal handler.
//
// Decimal digits are written two at a time from a table of pairs, and values
// that fit 32 bits take the cheaper 32-bit divisions: numbers are most of
// what a dump line or a message's conversions cost.
#ifndef WEXLOG_CODEC_DIGITS_H
#define WEXLOG_CODEC_DIGITS_H

#include <cstdint>
#include <cstring>

namespace velorin {
namespace digits {

inline constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";
inline constexpr char kHexUpper[] = "0123456789ABCDEF";
inline constexpr char kHexLower[] = "0123456789abcdef";

// Writes the two digits of `value` (below 100) at `out`.
inline void write_pair(char* out, uint32_t value) {
  std::memcpy(out, kPairs + 2 * value, 2);
}

// Writes the decimal digits of `value` (below 2^32) so that they end at
// `end`; returns where they start. Always at least one digit.
inline char* decimal_before(char* end, uint32_t value) {
  while (value >= 100) {
    end -= 2;
    write_pair(end, value % 100);
    value /= 100;
  }
  if (value >= 10) {
    end -= 2;
    write_pair(end, value);
  } else {
    *--end = static_cast<char>('0' + value);
  }
  return end;
}

// The same for any value: the digits beyond 32 bits take 64-bit divisions.
inline char* decimal_before(char* end, uint64_t value) {
  while (value > UINT32_MAX) {
    end -= 2;
    write_pair(end, static_cast<uint32_t>(value % 100));
    value /= 100;
  }
  return decimal_before(end, static_cast<uint32_t>(value));
}

// Number of decimal digits of `value`.
inline unsigned int decimal_count(uint32_t value) {
  unsigned int n = 1;
  for (; value >= 10000; value /= 10000) n += 4;
  return n + (value >= 10) + (value >= 100) + (value >= 1000);
}

inline unsigned int decimal_count(uint64_t value) {
  unsigned int n = 0;
  for (; value > UINT32_MAX; value /= 10000) n += 4;
  return n + decimal_count(static_cast<uint32_t>(value));
}

// Writes the decimal digits of `value` at `out`; returns their end. Out of
// line, so that a loop that calls short_decimal_at does not keep the long
// divisions' constants in registers: on 32-bit PowerPC each takes two
// instructions to load and a saved register.
[[gnu::noinline]] inline char* long_decimal_at(char* out, uint32_t value) {
  const unsigned int n = decimal_count(value);
  decimal_before(out + n, value);
  return out + n;
}

// Writes the decimal digits of `value` at `out`; returns their end. Values
// below 10000, which messages mostly carry, take a compare or two to find
// how many digits they have.
inline char* short_decimal_at(char* out, uint32_t value) {
  if (value < 100) {
    if (value < 10) {
      *out = static_cast<char>('0' + value);
      return out + 1;
    }
    write_pair(out, value);
    return out + 2;
  }
  if (value < 10000) {
    const uint32_t high = value / 100;
    if (high < 10) {
      *out = static_cast<char>('0' + high);
      write_pair(out + 1, value % 100);
      return out + 3;
    }
    write_pair(out, high);
    write_pair(out + 2, value % 100);
    return out + 4;
  }
  return long_decimal_at(out, value);
}

// Writes `value` in decimal at `out`, zero-padded to at least `min_digits`
// digits; returns the end.
inline char* decimal_at(char* out, uint64_t value, unsigned int min_digits = 1) {
  unsigned int n = decimal_count(value);
  for (; n < min_digits; --min_digits) *out++ = '0';
  decimal_before(out + n, value);
  return out + n;
}

// Writes the base-`Base` digits of `value` with `digit_chars` so that they
// end at `end`; returns where they start. Zero has no digits here: each
// caller decides how a zero shows (a printf precision of 0 shows none).
template <unsigned Base>
char* radix_before(char* end, uint64_t value, const char* digit_chars) {
  if (value <= UINT32_MAX) {
    for (auto small = static_cast<uint32_t>(value); small != 0; small /= Base)
      *--end = digit_chars[small % Base];
    return end;
  }
  for (; value != 0; value /= Base) *--end = digit_chars[value % Base];
  return end;
}

}  // namespace digits
}  // namespace velorin

#endif  // WEXLOG_CODEC_DIGITS_H
