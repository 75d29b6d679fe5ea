// SPDX-License-Identifier: MIT
// Gives arbitrary property commands, the input split at its NUL bytes, in order
// to one logger, each followed by a logged message (file echo goes to
// /dev/null). Whatever the command, its echo is "[348] <command>" byte for
// byte (a command is data, never a format), and the levels stay within 1..5
// and the file echo and trace mode within 0..1.
#include <platform_standin.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_support.h"

using wexlog_fuzz::check;

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
    logger.set_properties_command(command);
    check(logger.normal_level() >= 1 && logger.normal_level() <= 5 && logger.usb_level() >= 1 &&
          logger.usb_level() <= 5);
    check((logger.file_trace() | logger.gen_mode()) >= 0 &&
          (logger.file_trace() | logger.gen_mode()) <= 1);
    const auto prints = platform_standin::take_trace_prints();
    check(!prints.empty() && prints[0].text == "[348] " + std::string(command));
    logger.add_log(WEX_LIB_LOG_LV_INFO, WEX_LIB_LOG_TYPE_NORMAL, WEX_LIB_LOG_LEN_FULL, "fuzz",
                   "after command %s", command);
    platform_standin::take_trace_prints();
  }
  return 0;
}
