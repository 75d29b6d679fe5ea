// SPDX-License-Identifier: MIT
#include "platform_calls.h"

#include <ctime>

namespace velorin {
namespace platform_calls {

uint32_t clock_failed(int trace_id, int status) {
  zolGENTrcPrintf(trace_id, kTraceCategory, kTraceKindError, "Get Time ERROR!! os_ret[0x%08X]",
                  static_cast<unsigned int>(status));
  return 0;
}

uint32_t local_second_start_ms(const zolQMVClock& clock) {
  struct tm local {};
  zolCLBLocalTime_r(&clock, &local);
  return static_cast<uint32_t>(local.tm_hour) * 3600000u +
         static_cast<uint32_t>(local.tm_min) * 60000u + static_cast<uint32_t>(local.tm_sec) * 1000u;
}

}  // namespace platform_calls
}  // namespace velorin
