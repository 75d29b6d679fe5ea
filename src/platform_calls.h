// SPDX-License-Identifier: MIT
// The library's calls into the device platform's clock, local time and trace
// print, in one place: the trace category every library trace is printed
// under, the report of a failed clock read, and the conversions of a clock
// reading the records and the logger use. Callers read the clock themselves
// (zolQMVGetClock), so that each keeps its own order of clock read,
// conversion and error report.
#ifndef WEX_LIB_LOG_PLATFORM_CALLS_H
#define WEX_LIB_LOG_PLATFORM_CALLS_H

#include <zol_platform.h>

#include <cstdint>

namespace velorin {
namespace platform_calls {

// Category and kinds of the library's trace prints (zolGENTrcPrintf).
constexpr int kTraceCategory = 258;
constexpr int kTraceKindError = 0;

// Prints the failed clock read's `status` under `trace_id`; returns 0, the
// time every clock reader gives then.
uint32_t clock_failed(int trace_id, int status);

// Milliseconds from local midnight to the start of `clock`'s second
// (one zolCLBLocalTime_r call).
uint32_t local_second_start_ms(const zolQMVClock& clock);

// Whole milliseconds within `clock`'s second.
inline uint32_t millisecond_of_second(const zolQMVClock& clock) {
  return clock.nsec / 1000000u;
}

}  // namespace platform_calls
}  // namespace velorin

#endif  // WEX_LIB_LOG_PLATFORM_CALLS_H
