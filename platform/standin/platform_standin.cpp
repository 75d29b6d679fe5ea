// SPDX-License-Identifier: MIT
// Workstation stand-in for the device platform; see platform_standin.h.
#include "platform_standin.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <DRAV_UsrCommandReceiver.h>
#include <QMV_Mutex_Semaphore.h>
#include <tesk_mainte.h>
#include <zol_platform.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace {

struct platform_state {
  std::mutex mutex;
  bool capture = false;
  std::vector<platform_standin::trace_print> trace_prints;
  std::vector<platform_standin::user_trace> user_traces;
  std::vector<platform_standin::service_call> service_calls;
  std::map<std::string, int> statuses;
  std::string rpcode_read_text;
  zolQMVClock fixed_clock{0, 0};
  int fixed_clock_status = 0;
  // Read without the mutex so that the real clock costs no lock.
  std::atomic<bool> clock_fixed{false};
  // Bumped to invalidate every thread's local-time cache.
  std::atomic<unsigned> zone_generation{0};
};

const char* const kServices[] = {"tesk_log_run", "tesk_rpcode_calc", "tesk_rpcode_write",
                                 "tesk_rpcode_read", "tesk_mainte_auth_check"};

void set_default_statuses(platform_state& s) {
  for (const char* name : kServices) s.statuses[name] = 0;
}

// Never destroyed, so that threads still logging while the process exits
// find it intact.
platform_state& state() {
  static platform_state* const s = [] {
    auto* created = new platform_state;
    set_default_statuses(*created);
    return created;
  }();
  return *s;
}

__attribute__((format(printf, 1, 0))) std::string format_text(const char* format, va_list args) {
  if (format == nullptr) return "(null)";
  char small[256];
  va_list first;
  va_copy(first, args);
  const int length = std::vsnprintf(small, sizeof small, format, first);
  va_end(first);
  if (length < 0) return std::string();
  const auto size = static_cast<std::size_t>(length);
  if (size < sizeof small) return std::string(small, size);
  std::string text(size, '\0');
  std::vsnprintf(&text[0], size + 1, format, args);
  return text;
}

void print_line(const std::string& prefix, const std::string& text) {
  std::string line = prefix + text;
  if (line.empty() || line.back() != '\n') line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

// Records one service call and returns the status the function answers with.
int record_call(platform_standin::service_call call) {
  platform_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  const int status = s.statuses[call.function];
  s.service_calls.push_back(std::move(call));
  return status;
}

void set_text(std::string& text, bool& is_null, const char* value) {
  is_null = value == nullptr;
  text = value == nullptr ? std::string() : std::string(value);
}

}  // namespace

// Mutex semaphore

// The platform creates its semaphores free (initial 1); the stand-in starts
// every semaphore free. The lock is one futex word: 0 free, 1 held, 2 held
// with sleepers. Taking a free semaphore and giving back one nobody waits for
// are one atomic operation each. The holder's nested requests only count.
//
// A requester that finds it held looks at the word again a few times, at
// growing intervals (from about one microsecond to seven here), before it
// sleeps. Sleeping at once made two threads taking turns on one logger pay
// a wake and a sleep for every few records; looking at the word on every
// turn of a loop would pull its cache line, and with it the logger's, away
// from the holder on every try. Looking seldom lets the holder store a run
// of records with its lines at hand, the longer the more the lines cost to
// move between processors, and the waiter still takes the semaphore within
// microseconds of its release, without a system call on either side.
namespace {

constexpr int kFree = 0;
constexpr int kHeld = 1;
constexpr int kHeldWithSleepers = 2;

void futex_wait(std::atomic<int>& word, int expected) {
  syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr,
          0);
}

void futex_wake_one(std::atomic<int>& word) {
  syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Tells the processor that this thread is waiting, so that it spends less
// on the wait and leaves more to the other hardware thread of its core.
void wait_a_moment() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__powerpc__)
  __asm__ __volatile__("or 27,27,27" ::: "memory");
#else
  __asm__ __volatile__("" ::: "memory");
#endif
}

constexpr int kLooksBeforeSleeping = 6;
constexpr int kFirstPauses = 32;
constexpr int kMostPauses = 256;

bool freed_before_long(const std::atomic<int>& word) {
  int pauses = kFirstPauses;
  for (int look = 0; look < kLooksBeforeSleeping; ++look) {
    for (int pause = 0; pause < pauses; ++pause) wait_a_moment();
    if (word.load(std::memory_order_relaxed) == kFree) return true;
    pauses = std::min(2 * pauses, kMostPauses);
  }
  return false;
}

void lock_contended(std::atomic<int>& word) {
  int expected = kFree;
  if (freed_before_long(word) &&
      word.compare_exchange_strong(expected, kHeld, std::memory_order_acquire)) {
    return;
  }
  // This thread may sleep, so the word says so; whoever takes the semaphore
  // this way keeps saying so, which may cost one needless wake.
  while (word.exchange(kHeldWithSleepers, std::memory_order_acquire) != kFree) {
    futex_wait(word, kHeldWithSleepers);
  }
}

}  // namespace

QMV_Mutex_Semaphore::QMV_Mutex_Semaphore(int /*initial*/) : word_(kFree), owner_(0), depth_(0) {}

QMV_Mutex_Semaphore::~QMV_Mutex_Semaphore() = default;

int QMV_Mutex_Semaphore::request(unsigned long /*timeout*/) {
  const auto self = static_cast<unsigned long>(pthread_self());
  // Only the holder itself can find its own id here.
  if (owner_.load(std::memory_order_relaxed) == self) {
    ++depth_;
    return 0;
  }
  int expected = kFree;
  if (!word_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire)) {
    lock_contended(word_);
  }
  owner_.store(self, std::memory_order_relaxed);
  depth_ = 1;
  return 0;
}

int QMV_Mutex_Semaphore::release() {
  if (--depth_ != 0) return 0;
  owner_.store(0, std::memory_order_relaxed);
  if (word_.exchange(kFree, std::memory_order_release) == kHeldWithSleepers) futex_wake_one(word_);
  return 0;
}

// Clock, local time and trace print

int zolQMVGetClock(zolQMVClock* clock) {
  if (clock == nullptr) return -1;
  platform_state& s = state();
  if (s.clock_fixed.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.clock_fixed.load(std::memory_order_relaxed)) {
      *clock = s.fixed_clock;
      return s.fixed_clock_status;
    }
  }
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return -1;
  clock->sec = static_cast<uint32_t>(now.tv_sec);
  clock->nsec = static_cast<uint32_t>(now.tv_nsec);
  return 0;
}

struct tm* zolCLBLocalTime_r(const zolQMVClock* clock, struct tm* out) {
  if (clock == nullptr || out == nullptr) return nullptr;
  struct local_time_cache {
    bool valid = false;
    unsigned generation = 0;
    uint32_t sec = 0;
    struct tm local {};
  };
  // Initial-exec: read straight off the thread pointer, not through a call.
  static thread_local local_time_cache cache __attribute__((tls_model("initial-exec")));
  const unsigned generation = state().zone_generation.load(std::memory_order_acquire);
  if (!cache.valid || cache.sec != clock->sec || cache.generation != generation) {
    const auto seconds = static_cast<time_t>(clock->sec);
    struct tm local {};
    if (localtime_r(&seconds, &local) == nullptr) return nullptr;
    cache.local = local;
    cache.sec = clock->sec;
    cache.generation = generation;
    cache.valid = true;
  }
  *out = cache.local;
  return out;
}

int zolGENTrcPrintf(int id, int category, int kind, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = format_text(format, args);
  va_end(args);
  const int length = static_cast<int>(text.size());
  platform_state& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.capture) {
      s.trace_prints.push_back({id, category, kind, std::move(text)});
      return length;
    }
  }
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "[trc id=%d cat=%d kind=%d] ", id, category, kind);
  print_line(prefix, text);
  return length;
}

// User-command trace channel

int velorin::DRAV_UsrCommandReceiver::uc_trace(const char* name, const char* format, va_list args) {
  std::string text = format_text(format, args);
  std::string channel = name == nullptr ? "(null)" : name;
  const int length = static_cast<int>(text.size());
  platform_state& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.capture) {
      s.user_traces.push_back({std::move(channel), std::move(text)});
      return length;
    }
  }
  print_line("[uc " + channel + "] ", text);
  return length;
}

// Maintenance-log service

int tesk_log_run(unsigned int run_code, unsigned int arg1, unsigned int arg2, unsigned int arg3,
                 unsigned int arg4, unsigned int arg5) {
  platform_standin::service_call call;
  call.function = "tesk_log_run";
  call.args = {run_code, arg1, arg2, arg3, arg4, arg5};
  return record_call(std::move(call));
}

namespace {

// The rpcode calls that take two selectors and a text.
int record_text_call(const char* function, unsigned int first, unsigned int second,
                     const char* text) {
  platform_standin::service_call call;
  call.function = function;
  call.args = {first, second};
  set_text(call.text, call.text_is_null, text);
  return record_call(std::move(call));
}

}  // namespace

int tesk_rpcode_calc(unsigned int first, unsigned int second, const char* text) {
  return record_text_call("tesk_rpcode_calc", first, second, text);
}

int tesk_rpcode_write(unsigned int first, unsigned int second, const char* text) {
  return record_text_call("tesk_rpcode_write", first, second, text);
}

int tesk_rpcode_read(unsigned int first, unsigned int second, char* out, unsigned int out_size) {
  platform_standin::service_call call;
  call.function = "tesk_rpcode_read";
  call.args = {first, second, out_size};
  call.out = out;
  platform_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  const int status = s.statuses[call.function];
  s.service_calls.push_back(std::move(call));
  if (status == 0 && out != nullptr && out_size > 0) {
    const std::size_t length = std::min<std::size_t>(s.rpcode_read_text.size(), out_size - 1U);
    std::memcpy(out, s.rpcode_read_text.data(), length);
    out[length] = '\0';
  }
  return status;
}

int tesk_mainte_auth_check(const char* user, const char* password) {
  platform_standin::service_call call;
  call.function = "tesk_mainte_auth_check";
  set_text(call.text, call.text_is_null, user);
  set_text(call.text2, call.text2_is_null, password);
  return record_call(std::move(call));
}

// Test controls

namespace platform_standin {

void capture(bool on) {
  platform_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.capture = on;
}

std::vector<trace_print> take_trace_prints() {
  platform_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return std::exchange(s.trace_prints, {});
}

std::vector<user_trace> take_user_traces() {
  platform_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return std::exchange(s.user_traces, {});
}

void set_clock(uint32_t sec, uint32_t nsec, int status) {
  platform_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.fixed_clock = {sec, nsec};
  s.fixed_clock_status = status;
  s.clock_fixed.store(true, std::memory_order_release);
}

void use_real_clock() {
  platform_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.clock_fixed.store(false, std::memory_order_release);
}

void local_time_zone_changed() {
  tzset();
  state().zone_generation.fetch_add(1, std::memory_order_acq_rel);
}

void set_service_status(const std::string& function, int status) {
  platform_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  const auto found = s.statuses.find(function);
  if (found == s.statuses.end()) {
    throw std::invalid_argument("no platform service named " + function);
  }
  found->second = status;
}

void set_rpcode_read_text(const std::string& text) {
  platform_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.rpcode_read_text = text;
}

std::vector<service_call> take_service_calls() {
  platform_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return std::exchange(s.service_calls, {});
}

void reset() {
  platform_state& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.capture = false;
    s.trace_prints.clear();
    s.user_traces.clear();
    s.service_calls.clear();
    set_default_statuses(s);
    s.rpcode_read_text.clear();
    s.fixed_clock = {0, 0};
    s.fixed_clock_status = 0;
    s.clock_fixed.store(false, std::memory_order_release);
  }
  local_time_zone_changed();
}

}  // namespace platform_standin
