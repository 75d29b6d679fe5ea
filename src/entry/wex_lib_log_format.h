// SPDX-License-Identifier: MIT
// printf-style formatting for the message path.
//
// format_message writes exactly the bytes vsnprintf(out, capacity, format,
// args) writes, but handles the common conversions (d i u o x X c s and %%,
// with flags, width, precision and the hh h l ll z t j lengths) itself,
// without the stream machinery of the C library. Any other conversion
// (floating point, %p, %n, positional arguments, ...) hands the whole
// format to vsnprintf. When vsnprintf fails, what it wrote before the
// failure is kept. The text ends at its first NUL: a %c of 0 ends it, as it
// ends a C string.
#ifndef WEX_LIB_LOG_FORMAT_H
#define WEX_LIB_LOG_FORMAT_H

#include <cstdarg>
#include <cstddef>

namespace velorin {

// `capacity` counts the terminating NUL and must be at least 1. Returns the
// length of the text, up to its first NUL.
size_t format_message(char* out, size_t capacity, const char* format, va_list args);

}  // namespace velorin

#endif  // WEX_LIB_LOG_FORMAT_H
