// The message formatter must write exactly what vsnprintf writes.
#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include "entry/wex_lib_log_format.h"

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

struct field {
  const char* text;
  bool star;
};

// Passes the `*` arguments the spec asks for, then the value.
template <class T>
std::string format_value(std::string* reference, size_t capacity, const std::string& spec,
                         field width, field precision, int width_value, int precision_value,
                         T value) {
  const char* f = spec.c_str();
  if (width.star && precision.star)
    return format_both(reference, capacity, f, width_value, precision_value, value);
  if (width.star) return format_both(reference, capacity, f, width_value, value);
  if (precision.star) return format_both(reference, capacity, f, precision_value, value);
  return format_both(reference, capacity, f, value);
}

TEST(MessageFormat, MatchesVsnprintfForRandomIntegerTextAndCharConversions) {
  std::mt19937 random(20261206);
  const char* flags[] = {"", "-", "+", " ", "#", "0", "-0", "+0", "# ", "-+#"};
  const field widths[] = {{"", false}, {"1", false}, {"5", false}, {"12", false}, {"*", true}};
  const field precisions[] = {{"", false},   {".", false},   {".0", false},
                              {".3", false}, {".20", false}, {".*", true}};
  const char* lengths[] = {"", "hh", "h", "l", "ll", "z", "t", "j"};
  const char conversions[] = "diuoxXcs%";
  const long long values[] = {0,     1,       -1,      7,         255,      -128,
                              65536, INT_MAX, INT_MIN, LLONG_MIN, LLONG_MAX};
  for (int i = 0; i < 20000; ++i) {
    const char conversion = conversions[random() % (sizeof conversions - 1)];
    const bool text = conversion == 'c' || conversion == 's' || conversion == '%';
    const field width = widths[random() % 5];
    const field precision = precisions[random() % 6];
    const std::string length = text ? "" : lengths[random() % 8];
    const std::string spec = std::string("<%") + flags[random() % 10] + width.text +
                             precision.text + length + conversion + ">";
    const int width_value = static_cast<int>(random() % 21) - 10;
    const int precision_value = static_cast<int>(random() % 21) - 10;
    const long long value = values[random() % 11];
    const size_t capacity = random() % 4 == 0 ? 1 + random() % 12 : 256;
    SCOPED_TRACE(spec + " width " + std::to_string(width_value) + " precision " +
                 std::to_string(precision_value) + " value " + std::to_string(value));
    std::string reference;
    const auto with = [&](auto typed) {
      return format_value(&reference, capacity, spec, width, precision, width_value,
                          precision_value, typed);
    };
    std::string ours;
    if (conversion == 's')
      ours = with(value == 0 ? "" : "logged text");
    else if (length == "l")
      ours = with(static_cast<long>(value));
    else if (length == "ll")
      ours = with(value);
    else if (length == "z" || length == "t")
      ours = with(static_cast<ptrdiff_t>(value));
    else if (length == "j")
      ours = with(static_cast<intmax_t>(value));
    else
      ours = with(static_cast<int>(value));
    ASSERT_EQ(reference, ours);
  }
}

TEST(MessageFormat, HandsOtherConversionsToVsnprintfAndCutsAtTheCapacity) {
  std::string reference;
  EXPECT_EQ(format_both(&reference, 64, "%.2f|%d", 2.5, 42), reference);
  EXPECT_EQ(format_both(&reference, 64, "%p|%d", static_cast<void*>(&reference), 42), reference);
  EXPECT_EQ(format_both(&reference, 64, "%2$d %1$d", 1, 2), reference);
  EXPECT_EQ(format_both(&reference, 64, "%'d %Lf", 1234567, 1.5L), reference);
  EXPECT_EQ(format_both(&reference, 64, "%s|%ls", static_cast<char*>(nullptr),
                        static_cast<wchar_t*>(nullptr)),
            reference);
  const std::string a(1000, 'a');
  const std::string b(1000, 'b');
  const std::string cut = format_both(&reference, 1279, "%s%s", a.c_str(), b.c_str());
  EXPECT_EQ(reference, cut);
  EXPECT_EQ(1278u, cut.find('\0'));
}

}  // namespace
