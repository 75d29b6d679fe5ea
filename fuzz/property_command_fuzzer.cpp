// SPDX-License-Identifier: MIT
// Gives arbitrary property commands, the input split at its NUL bytes, in order
// to one logger, each followed by a logged message (file echo goes to
// /dev/null). After every command the levels stay within 1..5 and the file
// echo and trace mode within 0..1; the trace prints are the echo
// "[348] <command>" and at most one reply, which a command that changed a
// setting must have; a command without a comma changes nothing and gets none.
#include <platform_standin.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "wex_lib_log_entry.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// Normal and USB level, file echo and trace mode.
std::array<int, 4> settings(const velorin::wex_lib_log_entry& logger) {
  return {logger.normal_level(), logger.usb_level(), logger.file_trace(), logger.gen_mode()};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::freopen("/dev/null", "w", stdout);  // the commands reply on stdout
  platform_standin::capture(true);
  platform_standin::set_clock(45296, 789000000);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string input(reinterpret_cast<const char*>(bytes), size);
  velorin::wex_lib_log_entry logger(7, "fuzz", 256);
  logger.set_properties("/dev/null");
  for (const char* command = input.c_str(); command <= input.c_str() + size;
       command += std::strlen(command) + 1) {
    const std::array<int, 4> before = settings(logger);
    logger.set_properties_command(command);
    const std::array<int, 4> after = settings(logger);
    check(after[0] >= 1 && after[0] <= 5 && after[1] >= 1 && after[1] <= 5);
    check(after[2] >= 0 && after[2] <= 1 && after[3] >= 0 && after[3] <= 1);
    const auto prints = platform_standin::take_trace_prints();
    check(!prints.empty() && prints.size() <= 2 &&
          prints[0].text == "[348] " + std::string(command));
    if (after != before) check(prints.size() == 2);
    if (std::strchr(command, ',') == nullptr) check(prints.size() == 1 && after == before);
    logger.add_log(WEX_LIB_LOG_LV_INFO, WEX_LIB_LOG_TYPE_NORMAL, WEX_LIB_LOG_LEN_FULL, "fuzz",
                   "after command %s", command);
    platform_standin::take_trace_prints();
  }
  return 0;
}
