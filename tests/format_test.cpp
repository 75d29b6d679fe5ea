// SPDX-License-Identifier: MIT
// The message formatter must write exactly what vsnprintf writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <random>
#include <string>
#include <vector>

#include "entry/wex_lib_log_format.h"
#include "short_copy.h"

namespace {

// Formats with both and returns both buffers whole, bytes past the NUL included.
std::string format_both(std::string* reference, size_t capacity, const char* format, ...) {
  std::string ours(capacity + 8, '#');
  *reference = ours;
  va_list args;
  va_start(args, format);
  velorin::format_message(&ours[0], capacity, format, args);
  va_end(args);
  va_start(args, format);
  std::vsnprintf(&(*reference)[0], capacity, format, args);
  va_end(args);
  return ours;
}

TEST(MessageFormat, MatchesVsnprintfForRandomIntegerTextAndCharConversions) {
  std::mt19937 random(20261206);
  const char* flags[] = {"", "-", "+", " ", "#", "0", "-0", "+0", "# ", "-+#"};
  const std::string widths[] = {"", "1", "5", "12", "*"};
  const std::string precisions[] = {"", ".", ".0", ".3", ".20", ".*"};
  const std::string lengths[] = {"", "hh", "h", "l", "ll", "z", "t", "j"};
  const char conversions[] = "diuoxXcs%";
  const long long values[] = {0,    1,      -1,     7,       99,      100,       255,
                              -128, -10000, 123456, INT_MAX, INT_MIN, LLONG_MIN, LLONG_MAX};
  constexpr size_t kValues = sizeof values / sizeof values[0];
  constexpr char kLiteral[] = "forty bytes of literal text for the copy";
  for (int i = 0; i < 20000; ++i) {
    const char conversion = conversions[random() % (sizeof conversions - 1)];
    // A quarter of the directives are bare (%d, %s, ...), the commonest kind.
    const bool bare = random() % 4 == 0;
    const std::string& width = widths[bare ? 0 : random() % 5];
    const std::string& precision = precisions[bare ? 0 : random() % 6];
    const std::string& length =
        bare || std::strchr("cs%", conversion) ? lengths[0] : lengths[random() % 8];
    // Literal text of every length up to 40 before the directive.
    const std::string literal = std::string(kLiteral, random() % (sizeof kLiteral));
    const std::string directive = literal + "<%" + flags[bare ? 0 : random() % 10] + width +
                                  precision + length + conversion + ">";
    const int star_width = int(random() % 21) - 10, star_precision = int(random() % 21) - 10;
    const long long value = values[random() % kValues];
    const size_t capacity = random() % 4 == 0 ? 1 + random() % 12 : 256;
    SCOPED_TRACE(directive + " stars " + std::to_string(star_width) + " " +
                 std::to_string(star_precision) + " value " + std::to_string(value));
    std::string reference;
    // Passes the `*` arguments, then the value as the length modifier asks.
    const auto run = [&](auto... stars) {
      const auto with = [&](auto typed) {
        return format_both(&reference, capacity, directive.c_str(), stars..., typed);
      };
      if (conversion == 's') return with(value == 0 ? "" : "logged text");
      if (length == "l") return with(static_cast<long>(value));
      if (length == "ll") return with(value);
      if (length == "z" || length == "t") return with(static_cast<ptrdiff_t>(value));
      if (length == "j") return with(static_cast<intmax_t>(value));
      return with(static_cast<int>(value));
    };
    const bool sw = width == "*", sp = precision == ".*";
    const std::string ours = sw && sp ? run(star_width, star_precision)
                             : sw     ? run(star_width)
                             : sp     ? run(star_precision)
                                      : run();
    ASSERT_EQ(reference, ours);
  }
}

TEST(MessageFormat, HandsOtherConversionsToVsnprintfAndCutsAtTheCapacity) {
  std::string reference;
  EXPECT_EQ(format_both(&reference, 64, "%.2f|%p|%'d|%Lf", 2.5, static_cast<void*>(&reference),
                        1234567, 1.5L),
            reference);
  EXPECT_EQ(format_both(&reference, 64, "%2$d %1$d", 1, 2), reference);
  EXPECT_EQ(format_both(&reference, 64, "%s|%ls", static_cast<char*>(nullptr),
                        static_cast<wchar_t*>(nullptr)),
            reference);
  const std::string cut = format_both(&reference, 1279, "%s%s", std::string(1000, 'a').c_str(),
                                      std::string(1000, 'b').c_str());
  EXPECT_EQ(reference, cut);
  EXPECT_EQ(1278u, cut.find('\0'));
}

TEST(MessageFormat, MatchesVsnprintfAtEveryCapacityAroundBareConversions) {
  // Bare conversions after long literals, strings of every length up to past
  // the capacity, a null %s, padded and float conversions after them: no
  // byte may differ, up to past the capacity.
  const auto check = [](size_t capacity, auto... args) {
    std::string reference;
    const std::string ours = format_both(&reference, capacity, args...);
    ASSERT_EQ(reference, ours) << capacity;
  };
  const std::string texts[] = {"", "ab", "i2c-1", "bus i2c-1", std::string(40, 's')};
  for (size_t capacity = 1; capacity < 150; ++capacity) {
    for (const char* string :
         {texts[0].c_str(), texts[1].c_str(), texts[2].c_str(), texts[3].c_str(), texts[4].c_str(),
          static_cast<const char*>(nullptr)}) {
      check(capacity, "sensor %d reported %d samples on bus %s, queue nearly full", 7, INT_MIN,
            string);
      check(capacity, "thirty-two bytes of literal text%d%s|%d%%", INT_MIN, string, INT_MIN);
      check(capacity, "twenty-eight literal bytes %d, then %5d and %.1f", 0, -42, 2.5);
      check(capacity, "short one%dtail", 0);
      check(capacity, "ab%s%s%s%s%s%s%s", "", "", "", "", "", "", string);
    }
  }
}

TEST(MessageFormat, AFormatWhoseBytesChangeAtTheSameAddressIsParsedAnew) {
  // Writable memory of the program's own image, and of the stack.
  static char in_data[16];
  char on_stack[16];
  for (char* format : {in_data, on_stack}) {
    for (const char* text : {"%d<%d>", "%d<<%d>", "%d%%%d", "%d"}) {
      std::strcpy(format, text);
      for (int twice = 0; twice < 2; ++twice) {
        std::string reference;
        EXPECT_EQ(format_both(&reference, 16, format, 1, 2), reference) << text;
      }
    }
  }
}

TEST(MessageFormat, PercentMShowsTheCallersErrnoAlsoWhenAConversionFails) {
  // The C locale cannot encode U+00E9: vsnprintf fails after the %m text,
  // having set errno to EILSEQ, and the text before the failure is kept.
  std::string reference;
  errno = ENOENT;
  const std::string ours = format_both(&reference, 128, "%m %lc", static_cast<wint_t>(0xE9));
  EXPECT_EQ(ours.c_str(), std::string(std::strerror(ENOENT)) + " ");
}

// The copies of the message path, at every length across their size
// classes: exact bytes, nothing written around them, and (under the address
// sanitizer) nothing read past a source of exactly that length.
TEST(ShortCopy, EveryLengthUpTo200IsCopiedExactlyAndNothingAroundIt) {
  std::mt19937 rng(7);
  for (size_t n = 0; n <= 200; ++n) {
    std::vector<unsigned char> from(n);
    for (auto& byte : from) byte = static_cast<unsigned char>(rng());
    std::vector<unsigned char> to(n + 64, 0xEE);
    velorin::copy_bytes(to.data() + 32, from.data(), n);
    EXPECT_TRUE(std::equal(from.begin(), from.end(), to.begin() + 32)) << n;
    EXPECT_EQ(std::count(to.begin(), to.end(), 0xEE) - std::count(from.begin(), from.end(), 0xEE),
              64)
        << n;
  }
}

}  // namespace
