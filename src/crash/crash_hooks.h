// SPDX-License-Identifier: MIT
// The two places where the rest of the library meets the crash recorder on
// its hot paths, each costing a load and a branch when nothing is to be done.
//
// Freeze. Once the recorder has decided that the task dies it sets `frozen`
// before it reads any ring. Every operation that changes a ring's bytes or
// positions checks it right after taking the ring's semaphore and, when it
// is set, parks its thread for good: the process is about to end, and no
// ring changes after the check, so the recorder copies rings that hold
// still, apart from the one operation per ring that may already be past its
// check (the ring's semaphore admits one).
//
// Alternate stacks. While the recorder is armed, a thread that stores a
// record gets an alternate signal stack the first time, unless it has one
// already, so that its stack overflow is recorded too. A per-thread flag
// makes every later record cost one thread-local load.
#ifndef WEX_LIB_LOG_CRASH_HOOKS_H
#define WEX_LIB_LOG_CRASH_HOOKS_H

#include <atomic>

namespace velorin {
namespace crash_hooks {

extern std::atomic<bool> frozen;
extern std::atomic<bool> armed;
// Whether this thread has been seen by give_thread_alternate_stack. A plain
// __thread flag: a thread_local one would cost a call on every record to
// check for an initialiser it does not have.
extern __thread bool thread_seen __attribute__((tls_model("initial-exec")));

// Never returns: the thread waits for the process to end.
[[noreturn]] void park() noexcept;
// Gives the calling thread an alternate stack for as long as it runs, unless
// it has one; sets thread_seen.
void give_thread_alternate_stack() noexcept;

inline void park_if_frozen() noexcept {
  if (__builtin_expect(frozen.load(std::memory_order_relaxed), false)) park();
}

inline void ensure_thread_alternate_stack() noexcept {
  if (__builtin_expect(!thread_seen, false) && armed.load(std::memory_order_relaxed)) {
    give_thread_alternate_stack();
  }
}

}  // namespace crash_hooks
}  // namespace velorin

#endif  // WEX_LIB_LOG_CRASH_HOOKS_H
