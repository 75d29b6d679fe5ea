// Gives arbitrary property commands to a logger. The input is split at its
// NUL bytes into commands, given in order to one logger, each followed by a
// logged message (file echo goes to /dev/null, so D commands take effect
// without any file growing). After every command:
// - the levels stay within 1..5 and the file echo and trace mode within 0..1;
// - the trace prints are the echo "[348] <command>" and at most one reply,
//   and a command whose fields changed was acknowledged;
// - a command without a comma changes nothing and gets no reply.
#include <platform_standin.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "wex_lib_log_entry.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

struct settings {
  int normal, usb, file_trace, gen_mode;
  explicit settings(const velorin::wex_lib_log_entry& logger)
      : normal(logger.normal_level()),
        usb(logger.usb_level()),
        file_trace(logger.file_trace()),
        gen_mode(logger.gen_mode()) {}
  bool operator==(const settings& o) const {
    return normal == o.normal && usb == o.usb && file_trace == o.file_trace &&
           gen_mode == o.gen_mode;
  }
};

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
    const settings before(logger);
    logger.set_properties_command(command);
    const settings after(logger);
    check(after.normal >= 1 && after.normal <= 5 && after.usb >= 1 && after.usb <= 5);
    check((after.file_trace == 0 || after.file_trace == 1) &&
          (after.gen_mode == 0 || after.gen_mode == 1));

    const std::vector<platform_standin::trace_print> prints = platform_standin::take_trace_prints();
    check(!prints.empty() && prints.size() <= 2 &&
          prints[0].text == std::string("[348] ") + command);
    if (!(after == before)) check(prints.size() == 2);
    if (std::strchr(command, ',') == nullptr) check(prints.size() == 1 && after == before);

    logger.add_log(WEX_LIB_LOG_LV_INFO, WEX_LIB_LOG_TYPE_NORMAL, WEX_LIB_LOG_LEN_FULL, "fuzz",
                   "after command %s", command);
    platform_standin::take_trace_prints();
  }
  return 0;
}
