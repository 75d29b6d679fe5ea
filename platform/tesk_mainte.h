// SPDX-License-Identifier: MIT
// Maintenance-log service of the device platform.
//
// Each function returns an int status, 0 for success. tesk_log_run reports
// 0x740B0003 .. 0x740B0009 for specific failures. The functions are resolved
// from the process that loads the logging library.
#ifndef TESK_MAINTE_H
#define TESK_MAINTE_H

extern "C" {

int tesk_log_run(unsigned int run_code, unsigned int arg1, unsigned int arg2, unsigned int arg3,
                 unsigned int arg4, unsigned int arg5);
int tesk_rpcode_calc(unsigned int first, unsigned int second, const char* text);
int tesk_rpcode_write(unsigned int first, unsigned int second, const char* text);
int tesk_rpcode_read(unsigned int first, unsigned int second, char* out, unsigned int out_size);
int tesk_mainte_auth_check(const char* user, const char* password);
}

#endif  // TESK_MAINTE_H
