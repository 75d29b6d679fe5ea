// SPDX-License-Identifier: MIT
// Maintenance-log entry points: plain exported functions that forward to the
// platform's maintenance-log service and translate its status.
//
// Every argument is passed to the service unchanged and in order; a wrapper
// reads its own parameters (other than the run selector) only after the
// service call has failed.
//
// Choices made where the contract leaves room:
// - wex_lib_log_run takes five further unsigned arguments.
// - wex_lib_log_rpcode_calc and _write take two selectors and a text,
//   _read two selectors and an output buffer with its size,
//   wex_lib_log_auth_check a user and a password, and
//   wex_lib_log_line_log_wrap a text it never reads.
// - wex_lib_log_rpcode_write classifies a failure with a null text as -1.
#ifndef WEX_LIB_LOG_MAINTENANCE_H
#define WEX_LIB_LOG_MAINTENANCE_H

#include "wex_lib_log_export.h"

extern "C" {

// 0, or -3 .. -9; selectors above 5 give -9 without calling the service.
WEX_LIB_LOG_API int wex_lib_log_run(unsigned int selector, unsigned int arg1, unsigned int arg2,
                                    unsigned int arg3, unsigned int arg4, unsigned int arg5);
// 0 or -2.
WEX_LIB_LOG_API int wex_lib_log_rpcode_calc(unsigned int first, unsigned int second,
                                            const char* text);
// 0, -1 (an argument out of bounds) or -2.
WEX_LIB_LOG_API int wex_lib_log_rpcode_write(unsigned int first, unsigned int second,
                                             const char* text);
// 0, -1 (a selector above 1) or -2.
WEX_LIB_LOG_API int wex_lib_log_rpcode_read(unsigned int first, unsigned int second, char* out,
                                            unsigned int out_size);
// 0 when the service accepts, 1 otherwise.
WEX_LIB_LOG_API int wex_lib_log_auth_check(const char* user, const char* password);
// Always 0.
WEX_LIB_LOG_API int wex_lib_log_line_log_wrap(const char* text);
}

#endif  // WEX_LIB_LOG_MAINTENANCE_H
