// SPDX-License-Identifier: MIT
#include "wex_lib_log_maintenance.h"

#include <tesk_mainte.h>

#include <cstring>

namespace {

// The service numbers its run codes differently from our selectors.
constexpr unsigned int kRunCodeOfSelector[] = {0, 1, 4, 2, 3, 5};
constexpr int kFirstRunFailure = 0x740B0003;
constexpr int kLastRunFailure = 0x740B0009;

constexpr int kOk = 0;
constexpr int kBadArgument = -1;
constexpr int kServiceFailed = -2;
constexpr int kRunFailed = -9;

bool is_selector(unsigned int value) {
  return value <= 1;
}

}  // namespace

extern "C" {

int wex_lib_log_run(unsigned int selector, unsigned int arg1, unsigned int arg2, unsigned int arg3,
                    unsigned int arg4, unsigned int arg5) {
  if (selector > 5) return kRunFailed;
  const int status = tesk_log_run(kRunCodeOfSelector[selector], arg1, arg2, arg3, arg4, arg5);
  if (status == 0) return kOk;
  // 0x740B0003 .. 0x740B0009 become -3 .. -9; every other failure is -9.
  if (status >= kFirstRunFailure && status <= kLastRunFailure) return -(status - 0x740B0000);
  return kRunFailed;
}

int wex_lib_log_rpcode_calc(unsigned int first, unsigned int second, const char* text) {
  return tesk_rpcode_calc(first, second, text) == 0 ? kOk : kServiceFailed;
}

int wex_lib_log_rpcode_write(unsigned int first, unsigned int second, const char* text) {
  if (tesk_rpcode_write(first, second, text) == 0) return kOk;
  if (!is_selector(second)) return kBadArgument;
  if (text == nullptr || std::strlen(text) < 12) return kBadArgument;
  if (!is_selector(first)) return kBadArgument;
  return kServiceFailed;
}

int wex_lib_log_rpcode_read(unsigned int first, unsigned int second, char* out,
                            unsigned int out_size) {
  if (tesk_rpcode_read(first, second, out, out_size) == 0) return kOk;
  return is_selector(first) && is_selector(second) ? kServiceFailed : kBadArgument;
}

int wex_lib_log_auth_check(const char* user, const char* password) {
  return tesk_mainte_auth_check(user, password) == 0 ? 0 : 1;
}

int wex_lib_log_line_log_wrap(const char* /*text*/) {
  return 0;
}
}
