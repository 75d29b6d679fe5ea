// SPDX-License-Identifier: MIT
// Workstation stand-in for the device platform, and the controls tests use
// to observe and steer it.
//
// libwexplatform defines every platform service declared in the headers of
// platform/ except DRAV_UsrCommandReceiver::uctracef, which libwexliblog
// defines itself. A program that links both (a test, the demo) gets these
// services where the device would provide its own:
//
//   QMV_Mutex_Semaphore      a futex lock: starts free, request() spins
//                            briefly, then waits without limit whatever its
//                            timeout; nested requests of the holder are
//                            counted, and the semaphore is free again after
//                            as many releases.
//   zolQMVGetClock           CLOCK_REALTIME as {sec, nsec}, status 0; or the
//                            fixed reading and status given to set_clock().
//   zolCLBLocalTime_r        localtime_r of the reading's seconds. Each thread
//                            remembers its last conversion, so repeated calls
//                            within one second cost a copy.
//   zolGENTrcPrintf          "[trc id=I cat=C kind=K] text" on stderr.
//   uc_trace                 "[uc NAME] text" on stderr.
//   tesk_*                   recorded, and answer 0 or the status given to
//                            set_service_status().
//
// How a test observes the platform:
//   - capture(true) makes trace prints and user-command traces go to memory
//     instead of stderr; take_trace_prints() and take_user_traces() return
//     what was captured since the last take, in call order, and clear it.
//   - Every tesk_* call is recorded whatever the capture mode;
//     take_service_calls() returns and clears the calls, in order, with their
//     integer arguments and string arguments.
//
// How a test steers the platform:
//   - set_clock() fixes the clock reading and its status for every thread at
//     once; use_real_clock() returns to the system clock. The reading is
//     written to the caller's zolQMVClock even when the status is non-zero.
//   - set_service_status() sets the status one tesk_* function answers with.
//   - set_rpcode_read_text() sets the text tesk_rpcode_read copies out.
//   - After changing TZ, call local_time_zone_changed() so that no thread
//     keeps a conversion made in the old zone.
//   - reset() returns everything to the start state: capture off, real clock,
//     every status 0, empty read text, nothing recorded. A test fixture calls
//     it in SetUp and TearDown so that tests cannot see each other's state.
//
// Every control is thread-safe and may be called while other threads use the
// platform services.
#ifndef PLATFORM_STANDIN_H
#define PLATFORM_STANDIN_H

#include <cstdint>
#include <string>
#include <vector>

namespace platform_standin {

// One zolGENTrcPrintf call; `text` is the fully formatted message.
struct trace_print {
  int id;
  int category;
  int kind;
  std::string text;
};

// One uc_trace call; `text` is the fully formatted entry.
struct user_trace {
  std::string name;
  std::string text;
};

// One tesk_* call. `args` holds the unsigned integer arguments in order
// (tesk_rpcode_read: first, second, out_size). `text` is the first string
// argument and `text2` the second (tesk_mainte_auth_check: user, password);
// a null pointer is recorded as "" with the matching *_is_null set. `out` is
// the buffer handed to tesk_rpcode_read, null for the other functions.
struct service_call {
  std::string function;
  std::vector<unsigned long> args;
  std::string text;
  bool text_is_null = false;
  std::string text2;
  bool text2_is_null = false;
  const void* out = nullptr;
};

// On: trace prints and user-command traces are recorded, not printed.
// Off (the start state): they are printed to stderr and not recorded.
void capture(bool on);
std::vector<trace_print> take_trace_prints();
std::vector<user_trace> take_user_traces();

// zolQMVGetClock answers {sec, nsec} and `status` on every thread until
// use_real_clock().
void set_clock(uint32_t sec, uint32_t nsec, int status = 0);
void use_real_clock();

// Forgets every thread's remembered local-time conversion and re-reads TZ.
void local_time_zone_changed();

// The status `function` (a tesk_* name such as "tesk_log_run") answers with
// from now on. Throws std::invalid_argument for a name that is not a tesk_*
// function of the platform.
void set_service_status(const std::string& function, int status);
// Text a successful tesk_rpcode_read copies into a non-null `out`, cut to
// out_size - 1 characters and terminated; a null `out` or out_size 0 gets
// nothing written. Empty at the start.
void set_rpcode_read_text(const std::string& text);
std::vector<service_call> take_service_calls();

// Back to the start state; see the top of this file.
void reset();

}  // namespace platform_standin

#endif  // PLATFORM_STANDIN_H
