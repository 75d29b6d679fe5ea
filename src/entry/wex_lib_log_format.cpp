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
  // From `pos` on, up to `end`, where the NUL goes at the latest.
  sink(char* pos, char* end) : pos_(pos), end_(end) {}
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

// The magnitude of an int, also of the most negative one.
inline unsigned int magnitude_of(int value) {
  const auto bits = static_cast<unsigned int>(value);
  return value < 0 ? 0u - bits : bits;
}

// How the roomy run (run_roomy) makes a step. It makes the bare kinds
// without checking each piece against the room left; the conversions of any
// other kind it hands on to the bounded run.
enum class roomy : uint8_t { end, percent, integer, string, handed_on };

// One step of a format: a piece of literal text, then one conversion. The
// types beyond the conversions' own: 0, the format ends after the text; '%',
// a percent sign; 'D' and 'S', a bare %d or %i and a bare %s, the commonest
// kinds; '?', a conversion left to vsnprintf.
struct step {
  // In the format itself: steps are remembered per format address.
  const char* literal;
  uint32_t literal_length;
  // What the roomy run needs (plan_roomy_run): the most bytes that this step
  // and the ones after it write, and whether the literal may be copied as
  // kWideCopy bytes at once.
  uint32_t most_bytes;
  roomy kind;
  bool wide_literal;
  conversion c;
};

// A literal this long or shorter may be copied as one fixed 16-byte move
// instead of a copy that branches on its length: the pieces between the
// conversions of a message are mostly that short.
constexpr size_t kWideCopy = 16;
// Characters of a bare %d of an int at most: a sign and ten digits.
constexpr uint32_t kMostIntChars = 11;

// Parses the step of a format that starts at `p`, and moves `p` past it.
step parse_step(const char*& p) {
  step s;
  const char* literal = p;
  p = strchrnul(p, '%');
  s.literal = literal;
  s.literal_length = static_cast<uint32_t>(p - literal);
  s.most_bytes = 0;
  s.kind = roomy::handed_on;
  s.wide_literal = false;
  if (*p == '\0') {
    s.kind = roomy::end;
    return s;
  }
  ++p;
  if (*p == '%' || *p == 'd' || *p == 'i' || *p == 's') {
    s.c.type = *p == '%' ? '%' : *p == 's' ? 'S' : 'D';
    s.kind = *p == '%' ? roomy::percent : *p == 's' ? roomy::string : roomy::integer;
    ++p;
  } else if (!parse(p, s.c)) {
    s.c.type = '?';
  }
  return s;
}

// Fills in, from the last of the `n` steps of a format of `length` bytes back,
// what the roomy run needs:
// - most_bytes: the most bytes the step and the ones after it write, up to
//   the end of the format or the literal of the first step handed on; a %s
//   counts none, its length is checked once known. The roomy run starts
//   only where they fit.
// - wide_literal: whether the literal may be copied as kWideCopy bytes. The
//   bytes read past it must lie in the format, its NUL included, and the
//   bytes written past it must be written again: they must not outrun the
//   least that follows, NUL included, which every way on writes (the roomy
//   run, the bounded run after it, and vsnprintf after a fallback).
void plan_roomy_run(step* steps, size_t n, const char* format, size_t length) {
  uint64_t most = 0, least = 0;  // of the steps after the current one
  for (size_t i = n; i-- > 0;) {
    step& s = steps[i];
    if (s.kind == roomy::handed_on) most = least = 0;
    const bool integer = s.kind == roomy::integer, percent = s.kind == roomy::percent;
    most += s.literal_length + (integer ? kMostIntChars : percent ? 1 : 0);
    least += integer || percent ? 1 : 0;
    s.most_bytes = most < UINT32_MAX ? static_cast<uint32_t>(most) : UINT32_MAX;
    s.wide_literal = static_cast<size_t>(s.literal - format) + kWideCopy <= length + 1 &&
                     kWideCopy <= s.literal_length + least + 1 && s.literal_length <= kWideCopy;
    least += s.literal_length;
  }
}

// Writes the conversion of a step; false when vsnprintf must make the whole
// text.
inline bool put_conversion(sink& text, const step& s, arguments& args) {
  switch (s.c.type) {
    case 0:
      return true;
    case '%':
      text.put("%", 1);
      return true;
    case 'D': {
      const int value = va_arg(args.list, int);
      put_plain_decimal(text, magnitude_of(value), value < 0);
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

// Writes one step; false when vsnprintf must make the whole text.
inline bool run_step(sink& text, const step& s, arguments& args) {
  text.put(s.literal, s.literal_length);
  return put_conversion(text, s, args);
}

// Runs the steps from `s` on with bounds checked, up to the one that ends
// the format.
bool run_bounded(sink& text, const step* s, arguments& args) {
  for (;; ++s) {
    if (!run_step(text, *s, args)) return false;
    if (s->c.type == 0) return true;
  }
}

// Ends the text that starts at `out`; returns its end, at its first NUL.
char* finish(sink& text, char* out) {
  char* const end = text.finish();
  // A %c of 0 ends the text as it ends a C string.
  return text.has_nul ? out + std::strlen(out) : end;
}

// Runs the steps from `s` on with bounds checked into `text`, which goes on
// the text at `out`; returns the end of the text, or null when vsnprintf must
// make it.
__attribute__((noinline)) char* run_bounded_rest(char* out, sink text, const step* s,
                                                 arguments& args) {
  if (!run_bounded(text, s, args)) return nullptr;
  return finish(text, out);
}

// The same from the conversion of `s`, whose literal is written, a
// conversion other than the end of the format.
__attribute__((noinline)) char* run_bounded_conversion(char* out, sink text, const step* s,
                                                       arguments& args) {
  if (!put_conversion(text, *s, args) || !run_bounded(text, s + 1, args)) return nullptr;
  return finish(text, out);
}

// Copies the literal of `s` to `pos`; returns its end.
inline char* put_literal(char* pos, const step& s) {
  // Read before the copy, which the compiler must assume may write the step.
  const size_t n = s.literal_length;
  if (s.wide_literal) {
    std::memcpy(pos, s.literal, kWideCopy);
  } else {
    copy_bytes(pos, s.literal, n);
  }
  return pos + n;
}

// Writes `value` in decimal at `pos`; returns the end.
inline char* put_int(char* pos, int value) {
  if (value < 0) *pos++ = '-';
  return digits::short_decimal_at(pos, magnitude_of(value));
}

// Runs the steps from `s` on into the text at `out`, from `pos` on, where
// the room up to `end` holds s->most_bytes: no piece is checked against it,
// only a %s once its length is known. Hands the rest on to the bounded run
// from the first conversion it does not make. Returns the end of the text,
// or null when vsnprintf must make it.
inline char* run_roomy(char* out, char* pos, char* end, const step* s, arguments& args) {
  for (;; ++s) {
    const roomy kind = s->kind;  // read before the copy, as in put_literal
    pos = put_literal(pos, *s);
    if (kind == roomy::integer) {
      pos = put_int(pos, va_arg(args.list, int));
    } else if (kind == roomy::string) {
      const char* string = va_arg(args.list, const char*);
      if (string == nullptr) return nullptr;
      const size_t n = std::strlen(string);
      // The step after a %s is there: a format ends with an end step. The
      // sum cannot wrap: a string's length is far below the address space.
      if (n + s[1].most_bytes > static_cast<size_t>(end - pos)) {
        sink text(pos, end);
        text.put(string, n);
        return run_bounded_rest(out, text, s + 1, args);
      }
      copy_bytes(pos, string, n);
      pos += n;
    } else if (kind == roomy::end) {
      *pos = '\0';
      return pos;
    } else if (kind == roomy::percent) {
      *pos++ = '%';
    } else {
      return run_bounded_conversion(out, sink(pos, end), s, args);
    }
  }
}

// Runs the steps from `s` on into `out`, up to the one that ends the format;
// returns the end of the text, or null when vsnprintf must make it.
inline char* run_steps(char* out, char* end, const step* s, arguments& args) {
  if (static_cast<size_t>(end - out) >= s->most_bytes) return run_roomy(out, out, end, s, args);
  return run_bounded_rest(out, sink(out, end), s, args);
}

// Parses `format` into at most `room` steps, up to the one that ends it or
// the first one left to vsnprintf; returns how many, 0 when they don't fit.
size_t parse_steps(const char* format, step* steps, size_t room) {
  const char* p = format;
  for (size_t n = 0; n < room;) {
    steps[n] = parse_step(p);
    const char type = steps[n++].c.type;
    if (type == 0 || type == '?') return n;
  }
  return 0;
}

// A call site passes the same format every time: its steps are remembered
// per format address (address_memo.h), so that a format is parsed once.
constexpr size_t kMostSteps = 16;
address_memo<10, 48 * 1024> formats;

// Parses `format`, remembers its steps in `free_slot` when they fit, and
// runs them into `out`; returns the end of the text, or null when vsnprintf
// must make it.
__attribute__((noinline)) char* run_new_format(char* out, char* end, const char* format,
                                               arguments& args, size_t free_slot) {
  step steps[kMostSteps];
  const size_t n = parse_steps(format, steps, kMostSteps);
  if (n != 0) {
    const size_t length = std::strlen(format);
    plan_roomy_run(steps, n, format, length);
    formats.remember(format, length + 1, steps, n, free_slot);
    return run_steps(out, end, steps, args);
  }
  // Too many steps to remember: parsed as they are run.
  sink text(out, end);
  for (const char* p = format;;) {
    const step s = parse_step(p);
    if (!run_step(text, s, args)) return nullptr;
    if (s.c.type == 0) return finish(text, out);
  }
}

// Makes the text with vsnprintf, after the fast run could not.
__attribute__((noinline)) size_t format_with_vsnprintf(char* out, size_t capacity,
                                                       const char* format, va_list args) {
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

}  // namespace

size_t format_message(char* out, size_t capacity, const char* format, va_list args) {
  arguments fast;
  va_copy(fast.list, args);
  // The text ends at `last` at the latest, its NUL there.
  char* const last = out + capacity - 1;
  const auto found = formats.find(format);
  char* const end = __builtin_expect(found.answer != nullptr, true)
                        ? run_steps(out, last, static_cast<const step*>(found.answer), fast)
                        : run_new_format(out, last, format, fast, found.free_slot);
  va_end(fast.list);
  if (end == nullptr) return format_with_vsnprintf(out, capacity, format, args);
  return static_cast<size_t>(end - out);
}

}  // namespace velorin
