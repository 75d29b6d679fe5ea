// SPDX-License-Identifier: MIT
// User-command trace channel of the device platform.
//
// uc_trace is the platform's; uctracef is a printf-style wrapper that the
// logging library defines itself and uses to dump records when no file can be
// opened.
#ifndef DRAV_USR_COMMAND_RECEIVER_H
#define DRAV_USR_COMMAND_RECEIVER_H

#include <cstdarg>

namespace velorin {

class DRAV_UsrCommandReceiver {
 public:
  // Writes one formatted entry under `name`.
  static int uc_trace(const char* name, const char* format, va_list args);
  // Gathers the arguments and hands them to uc_trace; returns its result.
  // Defined and exported by the logging library, so that other code of the
  // process can call it too.
  static int uctracef(const char* name, const char* format, ...)
      __attribute__((format(printf, 2, 3), visibility("default")));
};

}  // namespace velorin

#endif  // DRAV_USR_COMMAND_RECEIVER_H
