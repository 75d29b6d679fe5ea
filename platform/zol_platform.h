// SPDX-License-Identifier: MIT
// Clock, local-time conversion and trace print of the device platform.
//
// The functions are resolved from the process that loads the library.
#ifndef ZOL_PLATFORM_H
#define ZOL_PLATFORM_H

#include <stdint.h>
#include <time.h>

extern "C" {

// One reading of the platform clock: whole seconds of an absolute time that
// zolCLBLocalTime_r can convert, then nanoseconds within that second.
struct zolQMVClock {
  uint32_t sec;
  uint32_t nsec;
};

// Fills *clock; returns 0 on success and a non-zero status otherwise.
int zolQMVGetClock(zolQMVClock* clock);

// Converts a clock reading to local broken-down time, as localtime_r does.
struct tm* zolCLBLocalTime_r(const zolQMVClock* clock, struct tm* out);

// printf-style trace print: identifier, category, kind, then format and arguments.
int zolGENTrcPrintf(int id, int category, int kind, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
}

#endif  // ZOL_PLATFORM_H
