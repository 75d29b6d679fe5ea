// SPDX-License-Identifier: MIT
#include "entry/wex_lib_log_format.h"

#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <type_traits>

#include "codec/digits.h"
#include "entry/address_memo.h"
#include "short_copy.h"

namespace velorin {
namespace {

// Widths and precisions beyond this go to vsnprintf, which is the reference.
constexpr int kMaxField = 4096;
// Room for the digits of a 64-bit value in any base (22 in octal), and more:
// copies out of it may move whole 16-byte pieces (short_copy.h).
constexpr size_t kDigitsRoom = 32;

// Output bounded by the buffer, always leaving room for the NUL.
class sink {
 public:
  sink(char* out, size_t capacity) : pos_(out), end_(out + capacity - 1) {}
  void put(const char* text, size_t n) {
    if (n > room()) n = room();
    copy_bytes(pos_, text, n);
    pos_ += n;
  }
  void fill(char c, size_t n) {
    if (n == 0) return;
    if (n > room()) n = room();
    std::memset(pos_, c, n);
    pos_ += n;
  }
  size_t room() const { return static_cast<size_t>(end_ - pos_); }
  // The next `n` bytes, at most room(), for the caller to write.
  char* claim(size_t n) {
    char* at = pos_;
    pos_ += n;
    return at;
  }
  char* finish() {
    *pos_ = '\0';
    return pos_;
  }
  // Whether a %c put a NUL into the text, which then ends there.
  bool has_nul = false;

 private:
  char* pos_;
  char* end_;
};

// A va_list that can be handed on by reference on every ABI, also where
// va_list is an array type.
struct arguments {
  va_list list;
};

struct conversion {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool alt = false;
  bool zero = false;
  int width = 0;
  int precision = -1;
  char length = 0;  // 'H' for hh, 'h', 'l', 'q' for ll, 'z', 't', 'j'
  char type = 0;
  bool width_argument = false;      // '*': the width is the next argument
  bool precision_argument = false;  // ".*": so is the precision
};

// Reads a decimal field; false when it is too large to be one we handle.
bool read_field(const char*& p, int& value) {
  value = 0;
  while (*p >= '0' && *p <= '9') {
    value = value * 10 + (*p++ - '0');
    if (value > kMaxField) return false;
  }
  return true;
}

// Reads the flags, in any order and number.
void parse_flags(const char*& p, conversion& c) {
  for (;; ++p) {
    if (*p == '-')
      c.left = true;
    else if (*p == '+')
      c.plus = true;
    else if (*p == ' ')
      c.space = true;
    else if (*p == '#')
      c.alt = true;
    else if (*p == '0')
      c.zero = true;
    else
      return;
  }
}

// Reads the width, written out or marked as taken from an argument by '*';
// false when too large, or for a positional one.
bool parse_width(const char*& p, conversion& c) {
  if (*p == '*') {
    ++p;
    c.width_argument = true;
  } else if (!read_field(p, c.width)) {
    return false;
  }
  return c.width <= kMaxField && *p != '$';
}

// Reads the precision after a '.', if any, written out or marked as taken
// from an argument; false when too large.
bool parse_precision(const char*& p, conversion& c) {
  if (*p != '.') return true;
  ++p;
  if (*p == '*') {
    ++p;
    c.precision_argument = true;
  } else if (!read_field(p, c.precision)) {
    return false;
  }
  return c.precision <= kMaxField;
}

// Takes the width and precision that come from arguments, in that order: a
// negative width means '-', a negative precision means none. False when one
// is too large.
bool take_field_arguments(conversion& c, arguments& args) {
  if (c.width_argument) {
    c.width = va_arg(args.list, int);
    if (c.width < 0) {
      if (c.width < -kMaxField) return false;
      c.left = true;
      c.width = -c.width;
    }
    if (c.width > kMaxField) return false;
  }
  if (c.precision_argument) {
    c.precision = va_arg(args.list, int);
    if (c.precision < 0) c.precision = -1;
    if (c.precision > kMaxField) return false;
  }
  return true;
}

void parse_length(const char*& p, conversion& c) {
  switch (*p) {
    case 'h':
    case 'l':
      c.length = *p++;
      if (*p == c.length) {
        c.length = c.length == 'h' ? 'H' : 'q';
        ++p;
      }
      break;
    case 'z':
    case 't':
    case 'j':
      c.length = *p++;
      break;
    default:
      break;
  }
}

// Whether this formatter makes the conversion itself: integers of every
// length, and plain characters and strings.
bool handled(const conversion& c) {
  switch (c.type) {
    case 'd':
    case 'i':
    case 'u':
    case 'o':
    case 'x':
    case 'X':
      return true;
    case 'c':
    case 's':
      return c.length == 0 && !c.zero;
    default:
      return false;
  }
}

// Parses one conversion after its '%'; false for anything left to vsnprintf.
bool parse(const char*& p, conversion& c) {
  parse_flags(p, c);
  if (!parse_width(p, c) || !parse_precision(p, c)) return false;
  parse_length(p, c);
  c.type = *p++;
  return handled(c);
}

int64_t signed_argument(arguments& args, char length) {
  switch (length) {
    case 'H':
      return static_cast<signed char>(va_arg(args.list, int));
    case 'h':
      return static_cast<short>(va_arg(args.list, int));
    case 'l':
      return va_arg(args.list, long);
    case 'q':
      return va_arg(args.list, long long);
    case 'z':
      return va_arg(args.list, ssize_t);
    case 't':
      return va_arg(args.list, ptrdiff_t);
    case 'j':
      return va_arg(args.list, intmax_t);
    default:
      return va_arg(args.list, int);
  }
}

uint64_t unsigned_argument(arguments& args, char length) {
  switch (length) {
    case 'H':
      return static_cast<unsigned char>(va_arg(args.list, unsigned int));
    case 'h':
      return static_cast<unsigned short>(va_arg(args.list, unsigned int));
    case 'l':
      return va_arg(args.list, unsigned long);
    case 'q':
      return va_arg(args.list, unsigned long long);
    case 'z':
      return va_arg(args.list, size_t);
    case 't':
      return static_cast<std::make_unsigned_t<ptrdiff_t>>(va_arg(args.list, ptrdiff_t));
    case 'j':
      return va_arg(args.list, uintmax_t);
    default:
      return va_arg(args.list, unsigned int);
  }
}

void put_padded(sink& out, const conversion& c, const char* text, size_t n) {
  const size_t width = static_cast<size_t>(c.width);
  const size_t pad = width > n ? width - n : 0;
  if (!c.left) out.fill(' ', pad);
  out.put(text, n);
  if (c.left) out.fill(' ', pad);
}

// %d, %i or %u without flags, width or precision: the sign and the digits,
// written in place unless the text is cut within them. Inlined, so that the
// commonest conversion costs no call.
template <class Unsigned>
inline __attribute__((always_inline)) void put_plain_decimal(sink& out, Unsigned magnitude,
                                                             bool negative) {
  const size_t length = digits::decimal_count(magnitude) + (negative ? 1 : 0);
  if (__builtin_expect(length <= out.room(), true)) {
    char* at = out.claim(length);
    if (negative) *at = '-';
    digits::decimal_before(at + length, magnitude);
    return;
  }
  char text[kDigitsRoom];
  char* const end = text + sizeof text;
  char* first = digits::decimal_before(end, magnitude);
  if (negative) *--first = '-';
  out.put(first, static_cast<size_t>(end - first));
}

// Plain %x or %X: the digits, nothing around them.
void put_plain_hex(sink& out, char type, uint64_t magnitude) {
  char text[kDigitsRoom];
  char* const end = text + sizeof text;
  char* first =
      digits::radix_before<16>(end, magnitude, type == 'x' ? digits::kHexLower : digits::kHexUpper);
  if (first == end) *--first = '0';
  out.put(first, static_cast<size_t>(end - first));
}

// The sign of %d and %i, or the 0x of %#x: what goes before the zeros of
// the precision. Returns its length.
size_t integer_prefix(char (&prefix)[2], const conversion& c, unsigned base, uint64_t magnitude,
                      bool negative) {
  if (c.type == 'd' || c.type == 'i') {
    if (negative || c.plus || c.space) {
      prefix[0] = negative ? '-' : c.plus ? '+' : ' ';
      return 1;
    }
    return 0;
  }
  if (!c.alt || base != 16 || magnitude == 0) return 0;
  prefix[0] = '0';
  prefix[1] = c.type;
  return 2;
}

void put_integer(sink& out, const conversion& c, uint64_t magnitude, bool negative) {
  if (c.width == 0 && c.precision < 0 && c.type != 'o' && !c.alt && !c.plus && !c.space) {
    if (c.type != 'x' && c.type != 'X') return put_plain_decimal(out, magnitude, negative);
    return put_plain_hex(out, c.type, magnitude);
  }
  const char* digit_chars = c.type == 'X' ? digits::kHexUpper : digits::kHexLower;
  const unsigned base = c.type == 'o' ? 8 : (c.type == 'x' || c.type == 'X') ? 16 : 10;
  char text[kDigitsRoom];
  char* const end = text + sizeof text;
  const char* first = base == 8    ? digits::radix_before<8>(end, magnitude, digit_chars)
                      : base == 16 ? digits::radix_before<16>(end, magnitude, digit_chars)
                                   : digits::radix_before<10>(end, magnitude, digit_chars);
  size_t n = static_cast<size_t>(end - first);
  if (n == 0 && c.precision != 0) text[sizeof text - ++n] = '0';
  if (n > sizeof text) __builtin_unreachable();  // tells the compiler the digits fit

  char prefix[2];
  const size_t prefix_length = integer_prefix(prefix, c, base, magnitude, negative);
  size_t precision = c.precision < 0 ? 0 : static_cast<size_t>(c.precision);
  // '#' makes octal start with a 0, unless the precision already does.
  if (c.alt && base == 8 && precision <= n && (n == 0 || text[sizeof text - n] != '0')) {
    precision = n + 1;
  }
  const size_t zeros = precision > n ? precision - n : 0;
  const size_t length = prefix_length + zeros + n;
  const size_t width = static_cast<size_t>(c.width);
  const size_t pad = width > length ? width - length : 0;
  const bool zero_pad = c.zero && !c.left && c.precision < 0;

  if (!c.left && !zero_pad) out.fill(' ', pad);
  out.put(prefix, prefix_length);
  out.fill('0', zeros + (zero_pad ? pad : 0));
  out.put(text + sizeof text - n, n);
  if (c.left) out.fill(' ', pad);
}

// Writes a parsed conversion of its argument; false when vsnprintf must do it.
bool put_parsed(sink& text, const conversion& c, arguments& args) {
  switch (c.type) {
    case 'd':
    case 'i': {
      const int64_t value = signed_argument(args, c.length);
      const uint64_t magnitude =
          value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
      put_integer(text, c, magnitude, value < 0);
      return true;
    }
    case 'c': {
      const char ch = static_cast<char>(va_arg(args.list, int));
      put_padded(text, c, &ch, 1);
      if (ch == '\0') text.has_nul = true;
      return true;
    }
    case 's': {
      const char* s = va_arg(args.list, const char*);
      if (s == nullptr) return false;
      const size_t n =
          c.precision < 0 ? std::strlen(s) : strnlen(s, static_cast<size_t>(c.precision));
      put_padded(text, c, s, n);
      return true;
    }
    default:
      put_integer(text, c, unsigned_argument(args, c.length), false);
      return true;
  }
}

// One step of a format: a piece of literal text, then one conversion. The
// types beyond the conversions' own: 0, the format ends after the text; '%',
// a percent sign; 'D' and 'S', a bare %d or %i and a bare %s, the commonest
// kinds; '?', a conversion left to vsnprintf.
struct step {
  uint32_t literal;  // offset in the format
  uint32_t literal_length;
  conversion c;
};

// Parses the step of `format` that starts at `p`, and moves `p` past it.
step parse_step(const char* format, const char*& p) {
  step s;
  const char* literal = p;
  p = strchrnul(p, '%');
  s.literal = static_cast<uint32_t>(literal - format);
  s.literal_length = static_cast<uint32_t>(p - literal);
  if (*p == '\0') return s;
  ++p;
  if (*p == '%' || *p == 'd' || *p == 'i' || *p == 's') {
    s.c.type = *p == '%' ? '%' : *p == 's' ? 'S' : 'D';
    ++p;
  } else if (!parse(p, s.c)) {
    s.c.type = '?';
  }
  return s;
}

// Writes one step; false when vsnprintf must make the whole text.
inline bool run_step(sink& text, const char* format, const step& s, arguments& args) {
  text.put(format + s.literal, s.literal_length);
  switch (s.c.type) {
    case 0:
      return true;
    case '%':
      text.put("%", 1);
      return true;
    case 'D': {
      const int value = va_arg(args.list, int);
      const auto magnitude = static_cast<unsigned int>(value);
      put_plain_decimal(text, value < 0 ? 0u - magnitude : magnitude, value < 0);
      return true;
    }
    case 'S': {
      const char* string = va_arg(args.list, const char*);
      if (string == nullptr) return false;
      text.put(string, std::strlen(string));
      return true;
    }
    case '?':
      return false;
    default: {
      conversion c = s.c;
      return take_field_arguments(c, args) && put_parsed(text, c, args);
    }
  }
}

// Runs the steps from `s` on, up to the one that ends the format.
bool run_steps(sink& text, const char* format, const step* s, arguments& args) {
  for (;; ++s) {
    if (!run_step(text, format, *s, args)) return false;
    if (s->c.type == 0) return true;
  }
}

// Parses `format` into at most `room` steps, up to the one that ends it or
// the first one left to vsnprintf; returns how many, 0 when they don't fit.
size_t parse_steps(const char* format, step* steps, size_t room) {
  const char* p = format;
  for (size_t n = 0; n < room;) {
    steps[n] = parse_step(format, p);
    const char type = steps[n++].c.type;
    if (type == 0 || type == '?') return n;
  }
  return 0;
}

// A call site passes the same format every time: its steps are remembered
// per format address (address_memo.h), so that a format is parsed once.
constexpr size_t kMostSteps = 16;
address_memo<10, 48 * 1024> formats;

bool run_format(sink& text, const char* format, arguments& args) {
  const auto found = formats.find(format);
  if (found.answer != nullptr) {
    return run_steps(text, format, static_cast<const step*>(found.answer), args);
  }
  step steps[kMostSteps];
  const size_t n = parse_steps(format, steps, kMostSteps);
  if (n != 0) {
    formats.remember(format, std::strlen(format) + 1, steps, n, found.free_slot);
    return run_steps(text, format, steps, args);
  }
  // Too many steps to remember: parsed as they are run.
  for (const char* p = format;;) {
    const step s = parse_step(format, p);
    if (!run_step(text, format, s, args)) return false;
    if (s.c.type == 0) return true;
  }
}

// Returns the end of the text written, up to its first NUL, or null when
// vsnprintf must do it.
char* format_fast(char* out, size_t capacity, const char* format, arguments& args) {
  sink text(out, capacity);
  if (!run_format(text, format, args)) return nullptr;
  char* const end = text.finish();
  return text.has_nul ? out + std::strlen(out) : end;
}

}  // namespace

size_t format_message(char* out, size_t capacity, const char* format, va_list args) {
  arguments fast;
  va_copy(fast.list, args);
  const char* end = format_fast(out, capacity, format, fast);
  va_end(fast.list);
  if (end != nullptr) return static_cast<size_t>(end - out);
  va_list again;
  va_copy(again, args);
  // %m shows the caller's errno, which a failed first run overwrites.
  const int caller_errno = errno;
  if (std::vsnprintf(out, capacity, format, args) < 0) {
    // vsnprintf may stop at a conversion it cannot make without ending what
    // it wrote so far: writing it again over zeros ends that text, which is
    // kept.
    std::memset(out, 0, capacity);
    errno = caller_errno;
    std::vsnprintf(out, capacity, format, again);
  }
  va_end(again);
  // A %c of 0 ends the text as it ends a C string.
  return strnlen(out, capacity - 1);
}

}  // namespace velorin
