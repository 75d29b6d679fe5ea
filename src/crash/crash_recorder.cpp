// SPDX-License-Identifier: MIT
// The crash recorder: arming and disarming, and the signal handler that
// decides whether a fatal signal ends the task and then writes the crash
// file. Its contract is in wex_lib_log_crash.h, the file's bytes in
// codec/crash_format.h.
//
// Signal safety. The handler allocates nothing, uses no stdio and takes no
// lock: it never waits for a logger's or a ring's semaphore, which the
// crashing thread may hold. Loggers enter a registry when constructed and
// leave it when destroyed; the handler reads the registry without a lock. It
// writes only with openat, write, pwrite and close, on a directory opened
// when the recorder is armed. The file is created with
// O_CREAT|O_EXCL|O_NOFOLLOW and mode 0600, so an existing file or a link
// planted at its name is never written through.
//
// Choices this recorder makes:
// - Only deaths are recorded, judged by the disposition the signal had
//   before arming. The default action: a death. Ignored: a signal sent with
//   kill, raise or sigqueue is ignored as it would have been (nothing
//   recorded, the recorder stays armed); one raised by a faulting
//   instruction is a death, as the kernel forces the default action then.
//   An application handler runs first, as the kernel would have run it (its
//   sa_mask and SA_NODEFER applied, SA_SIGINFO or plain form, SA_RESETHAND
//   honoured). If it never returns (siglongjmp, exit) nothing is recorded.
//   If it returns, the signal is a death only when its disposition is now
//   the default action (or ignore, for a fault) and it is pending again or
//   comes back with the faulting instruction; otherwise the handler returns
//   and the recorder stays armed. A SIGABRT the process sent itself that
//   would return (ignored, or handled by a handler that returned) may come
//   from abort(), which then puts the default action back and raises it
//   again, past the recorder: so the file is written then, without freezing
//   the rings, and the recorder stays armed. A task that survives it (a
//   handled raise(SIGABRT)) keeps that file, and a later death writes one of
//   its own under the next free name. abort() called from an application
//   handler reaches the recorder's SIGABRT handler, so the file names SIGABRT.
// - After the file the signal's default action is put in place: a signal
//   raised by a faulting instruction meets it when the instruction runs
//   again; any other signal (abort, kill, seccomp's SIGSYS) is raised again.
// - A consistent copy of rings that other threads are writing. Once the
//   handler has decided that the task dies it sets a freeze flag; every ring
//   operation that changes a ring (push, pop, clear, create, import) checks
//   it right after taking the ring's semaphore and parks its thread for good
//   when it is set, so at most the one operation per ring already past its
//   check runs on. The handler reads a ring's control fields, writes its
//   section and bytes, then reads the read position and empty flag again;
//   when they moved it rewrites the section's control fields in place
//   (pwrite). A push moves the read position past the records it discards
//   before it overwrites them and moves the write position only after its
//   record is whole, so the records from the second read position to the
//   first write position are intact in the file: every record that was
//   whole when the signal came, less those a push under way discarded.
//   The cost on the message path is one relaxed load per ring operation.
// - Stack overflows are recorded through alternate signal stacks. Arming
//   gives the arming thread one (mapped once and kept for the life of the
//   process) unless it has one. Every other thread that stores a record
//   while the recorder is armed gets one on that record unless it has one:
//   64 KiB above a guard page that is never accessible, 68 KiB of address
//   space per thread (with 4 KiB pages) and no resident memory until a
//   signal handler runs on it; it is switched off and unmapped when the
//   thread ends. A thread that never logs while armed keeps only its own
//   stack: its overflow kills the task without a file. The test on each
//   stored record is one thread-local flag; with the freeze check, a stored
//   message costs 4 instructions more (1337 to 1341 on x86_64).
// - One file per process: the first death writes it. A fatal signal in
//   another thread meanwhile waits, at most 5 s, for the file to be done and
//   then goes on to the default action. A fatal signal inside the handler
//   itself is blocked there, so the kernel ends the process with it at once:
//   no loop, and the file is left as far as it got.
// - A file in the hard cases. A descriptor is held in reserve from arming
//   and closed just before the file is opened, so a process with every
//   descriptor in use still gets its file. A name already taken is never
//   written through; the file then takes wexlog-<pid>-<seconds>-<n>.crash,
//   n from 1 to 9. SIGXFSZ is ignored from the file on, so under a
//   file size limit what fits is written (the end section missing tells the
//   reader it was cut short) and the task dies of its own signal.
// - Still no file (the task dies of its own signal all the same): when the
//   directory was removed or its permissions or the process's privileges
//   changed after arming, on a full disk (the file is cut short or empty),
//   when all ten names are taken, when another thread takes the reserve
//   descriptor's number first, for SIGKILL and the other signals the
//   recorder does not handle, for an overflow of a thread without an
//   alternate stack, and when the crash corrupted the registry or the rings.
// - A logger destroyed while the file is being written waits in its
//   destructor until the file is done, so that the handler never reads freed
//   memory. A logger whose registry entry cannot be allocated is not recorded.
// - Ring bytes or a record that cannot be read (an array that a snapshot
//   import has just unmapped) are written as zeros of the same length; an
//   array replaced but still mapped is saved as whatever it holds then, and
//   the reader salvages what still parses. A record under construction
//   longer than 1 MiB is saved as empty.
// - Arming again moves the recorder to the new directory; the handlers and
//   the previous dispositions they pass on to stay as they were. Removing
//   puts back the previous disposition of each signal whose handler is still
//   the recorder's (the default action after an SA_RESETHAND handler ran),
//   and closes the directory and the reserve descriptor.
// - A refusal prints one line with printf, as the library's other refusals
//   do but ended with a newline:
//   "Crash handler ERROR!! <reason> [<directory>]\n"
//
//
// Everything the handler runs is async-signal-safe: it reads the registry
// and the stores without locks, formats numbers into stack buffers with the
// digit writers of digits.h (no allocation, no locale, no library state)
// and writes with openat, write, pwrite and close. Bytes that another thread
// may be freeing at that moment (a ring array being replaced) are handed to
// write() straight from the process's memory: an address the kernel cannot
// read makes write() fail with EFAULT instead of faulting in the handler, and
// the rest of the field is then written as zeros, so the file keeps its
// layout.
#include "wex_lib_log_crash.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "codec/crash_format.h"
#include "codec/digits.h"
#include "codec/record_format.h"
#include "crash/crash_access.h"
#include "crash/crash_hooks.h"
#include "crash/logger_registry.h"
#include "file_io.h"

namespace velorin {

namespace crash_hooks {

std::atomic<bool> frozen{false};
std::atomic<bool> armed{false};
__thread bool thread_seen __attribute__((tls_model("initial-exec"))) = false;

void park() noexcept {
  for (;;) pause();
}

}  // namespace crash_hooks

namespace {

namespace format = crash_format;

constexpr int kOk = 0;
constexpr int kFailed = 0x1000;
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS};
constexpr size_t kFatalCount = sizeof kFatalSignals / sizeof kFatalSignals[0];
constexpr size_t kAltStackSize = 64 * 1024;
constexpr size_t kBuildingLimit = 1u << 20;
constexpr unsigned int kWaitTicks = 500;  // of 10 ms: how long another fatal signal waits
constexpr unsigned int kNameTries = 10;   // the plain name, then -1 to -9

// Arming state. The handler reads `directory_fd`, `reserve_fd`, `previous`,
// `reset` and `progress`; every other change belongs to arm() and disarm()
// under `arming`.
std::mutex arming;
bool installed = false;
struct sigaction previous[kFatalCount];
// Set when an application handler with SA_RESETHAND has run in its place:
// the signal's disposition is the default action from then on.
std::atomic<bool> reset[kFatalCount];
std::atomic<int> directory_fd{-1};
// A descriptor held from arming on and closed just before the file is
// opened, so that a process using every descriptor it may still gets one.
std::atomic<int> reserve_fd{-1};

// 0 until a fatal signal starts the file, 1 while it is written, 2 after.
std::atomic<int> progress{0};

unsigned char zeros[4096];

// Writes `n` bytes from memory that may have gone away meanwhile: what
// cannot be read is written as zeros. Returns false when the file itself
// cannot be written.
bool write_field(int fd, const unsigned char* bytes, size_t n) {
  size_t done = bytes != nullptr ? write_up_to(fd, bytes, n) : 0;
  while (done < n) {
    const size_t chunk = n - done < sizeof zeros ? n - done : sizeof zeros;
    if (write_up_to(fd, zeros, chunk) != chunk) return false;
    done += chunk;
  }
  return true;
}

char* put_text(char* out, const char* text) {
  while (*text != '\0') *out++ = *text++;
  return out;
}

// The crash file being written: its descriptor, how many bytes and logger
// sections went in whole, and whether a write failed (no section follows one
// that did).
struct file_state {
  int fd;
  uint64_t offset;
  uint32_t loggers;
  bool failed;
};

// Writes nothing once a write has failed, so that a section's writes follow
// one another without a test after each.
void append(file_state& file, const unsigned char* bytes, size_t n) {
  if (!file.failed) file.failed = !write_field(file.fd, bytes, n);
  if (!file.failed) file.offset += n;
}

// The ring control fields to save, from those read before the ring's bytes
// were copied and the empty flag and read position read again afterwards.
// Nothing but one operation already under way changes a frozen ring: a push
// that discarded records moved the read position past them before writing,
// so the records from the later read position to the earlier write position
// are the copy's intact ones; a pop or clear that emptied the ring leaves it
// empty.
void settle(crash_view& v, int32_t empty_after, uint32_t read_after) {
  if (empty_after == 1) {
    v.empty = 1;
    v.write_pos = v.read_pos = read_after;
    return;
  }
  // Empty with positions apart: a push into the empty ring had published
  // its record but not yet the flag.
  if (v.empty == 1 && v.write_pos == v.read_pos) return;
  v.empty = 0;
  if (read_after != v.read_pos) {
    v.read_pos = read_after;
    if (v.read_pos == v.write_pos) v.empty = 1;
  }
}

ring_chain::ring_state ring_of(const crash_view& v, uint32_t ring_size) {
  return ring_chain::ring_state{v.empty, v.write_pos, v.read_pos, ring_size};
}

// What a logger section holds after its ring: the record the store was
// building, preceded by a message being committed, which is still in the
// logger's item buffer with the store holding a pointer to it. Left out
// whole when it is larger than any record.
struct building_part {
  unsigned char lent_head[log_record::kDataHeadSize];
  size_t lent_size;  // head and bytes, 0 without a lent message
  size_t building_size;
  bool fits;
  size_t size() const { return fits ? building_size + lent_size : 0; }
};

building_part building_of(const crash_view& v) {
  building_part part{};
  log_record::write_data_head(part.lent_head, v.lent_kind, v.lent_size);
  part.lent_size = v.lent != nullptr ? sizeof part.lent_head + v.lent_size : 0;
  part.building_size = v.building_size;
  part.fits = v.building_size + part.lent_size <= kBuildingLimit;
  return part;
}

// The section's fixed part, the logger's name and its ring's bytes.
void write_head_and_ring(file_state& file, const crash_view& v, const building_part& building) {
  const size_t name_size = v.name_size < format::kNameLimit ? v.name_size : format::kNameLimit;
  const uint32_t ring_size = v.bytes != nullptr ? v.size : 0;
  unsigned char head[format::kLoggerHeaderSize];
  format::encode_logger_head(
      format::logger_head{static_cast<uint32_t>(v.trace_id), v.ring_address, ring_of(v, ring_size),
                          static_cast<uint32_t>(name_size), static_cast<uint32_t>(building.size()),
                          building.fits ? v.item_count : uint8_t{0}},
      head);
  append(file, head, sizeof head);
  append(file, reinterpret_cast<const unsigned char*>(v.name), name_size);
  append(file, v.bytes, ring_size);
}

// Rewrites the section's positions in place when a push, pop or clear
// already under way moved them while the ring's bytes were copied.
void settle_positions(file_state& file, const wex_lib_log_storage& store, crash_view& v,
                      uint64_t section) {
  const uint32_t ring_size = v.bytes != nullptr ? v.size : 0;
  unsigned char before[format::kPositionsSize], after[format::kPositionsSize];
  format::encode_positions(ring_of(v, ring_size), before);
  int32_t empty_after = 0;
  uint32_t read_after = 0;
  crash_access::positions_after_copy(store, empty_after, read_after);
  settle(v, empty_after, read_after);
  format::encode_positions(ring_of(v, ring_size), after);
  if (std::memcmp(before, after, sizeof after) != 0 &&
      pwrite(file.fd, after, sizeof after, static_cast<off_t>(section + format::kEmptyAt)) !=
          static_cast<ssize_t>(sizeof after)) {
    file.failed = true;
  }
}

// One logger's section. Once a write failed, nothing more is written: the
// sections before it are whole and the file's end says how many.
void write_logger(const wex_lib_log_storage& store, void* context) {
  auto& file = *static_cast<file_state*>(context);
  if (file.failed) return;
  crash_view v = crash_access::view(store);
  const building_part building = building_of(v);
  const uint64_t section = file.offset;
  write_head_and_ring(file, v, building);
  if (!file.failed) settle_positions(file, store, v, section);
  if (building.fits && building.lent_size != 0) {
    append(file, building.lent_head, sizeof building.lent_head);
    append(file, v.lent, v.lent_size);
  }
  append(file, v.building, building.fits ? v.building_size : 0);
  if (!file.failed) ++file.loggers;
}

// wexlog-<pid>-<seconds>.crash, or with -<try> before the suffix when an
// earlier name was taken.
void file_name(char* out, pid_t pid, time_t seconds, unsigned int attempt) {
  char* end = put_text(out, "wexlog-");
  end = digits::decimal_at(end, static_cast<uint64_t>(pid));
  *end++ = '-';
  end = digits::decimal_at(end, static_cast<uint64_t>(seconds));
  if (attempt != 0) {
    *end++ = '-';
    end = digits::decimal_at(end, attempt);
  }
  end = put_text(end, ".crash");
  *end = '\0';
}

// Creates the crash file in the armed directory and writes every registered
// logger into it. SIGXFSZ is ignored from here on, so that under a file size
// limit what fits is written and the task still dies of its own signal; the
// task is dying, so the disposition is not put back (a SIGXFSZ delivered
// late, as sanitizers deliver signals raised in a handler, meets it too).
void write_crash_file(int signal_number) {
  const int dir = directory_fd.load();
  if (dir < 0) return;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, nullptr);
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const pid_t pid = getpid();
  const int reserve = reserve_fd.exchange(-1);
  if (reserve >= 0) close(reserve);
  int fd = -1;
  for (unsigned int attempt = 0; fd < 0 && attempt < kNameTries; ++attempt) {
    char name[80];
    file_name(name, pid, now.tv_sec, attempt);
    fd = openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd >= 0) {
    unsigned char head[format::kFileHeaderSize];
    format::encode_file_head(
        format::file_head{static_cast<uint32_t>(signal_number), static_cast<uint32_t>(pid),
                          static_cast<uint64_t>(now.tv_sec)},
        head);
    file_state file{fd, 0, 0, false};
    append(file, head, sizeof head);
    logger_registry::walk(write_logger, &file);
    unsigned char tail[format::kEndSize];
    format::encode_end(file.loggers, tail);
    append(file, tail, sizeof tail);
    close(fd);
  }
}

int slot_of(int signal_number) {
  for (size_t i = 0; i < kFatalCount; ++i) {
    if (kFatalSignals[i] == signal_number) return static_cast<int>(i);
  }
  return -1;
}

bool is_default(const struct sigaction& action) {
  return action.sa_handler == SIG_DFL;
}

bool is_ignore(const struct sigaction& action) {
  return action.sa_handler == SIG_IGN;
}

bool is_recorder(const struct sigaction& action);

// The disposition the signal would meet now without the recorder.
struct sigaction disposition(int slot) {
  struct sigaction action = previous[slot];
  if (reset[slot].load()) {
    action.sa_handler = SIG_DFL;
    action.sa_flags = 0;
  }
  return action;
}

// The same, unless the application has replaced the recorder's handler
// since: then that replacement.
struct sigaction disposition_now(int signal_number, int slot) {
  struct sigaction current {};
  if (sigaction(signal_number, nullptr, &current) == 0 && !is_recorder(current)) return current;
  return disposition(slot);
}

// Whether the signal came from an instruction that faults again when it is
// run again, rather than from abort(), kill() or seccomp.
bool raised_by_fault(int signal_number, const siginfo_t* info) {
  return info != nullptr && info->si_code > 0 && signal_number != SIGABRT &&
         signal_number != SIGSYS;
}

// A SIGABRT the process sent itself: abort() or raise().
bool self_abort(int signal_number, const siginfo_t* info) {
  return signal_number == SIGABRT && info != nullptr && info->si_code <= 0 &&
         info->si_pid == getpid();
}

bool is_pending(int signal_number) {
  sigset_t pending;
  return sigpending(&pending) == 0 && sigismember(&pending, signal_number) == 1;
}

// Runs the application's handler as the kernel would have: with the mask
// the thread had when the signal came, plus the handler's own sa_mask and,
// without SA_NODEFER, the signal itself.
void call_application_handler(int signal_number, const struct sigaction& action, siginfo_t* info,
                              void* context) {
  sigset_t mask, recorder_mask;
  if (context != nullptr) {
    mask = static_cast<ucontext_t*>(context)->uc_sigmask;
  } else {
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  }
  sigorset(&mask, &mask, &action.sa_mask);
  if ((action.sa_flags & SA_NODEFER) == 0) sigaddset(&mask, signal_number);
  pthread_sigmask(SIG_SETMASK, &mask, &recorder_mask);
  if ((action.sa_flags & SA_SIGINFO) != 0) {
    action.sa_sigaction(signal_number, info, context);
  } else {
    action.sa_handler(signal_number);
  }
  pthread_sigmask(SIG_SETMASK, &recorder_mask, nullptr);
}

// What a fatal signal means for the task, judged by the disposition it
// would have met without the recorder.
enum class verdict { survives, dies, may_die };

// An application handler runs first; if it never returns (siglongjmp, exit)
// nothing is recorded. After it returns, the signal ends the task only when
// its disposition is now the default action (or ignore, for a fault) and it
// is pending again or comes back with the faulting instruction. A SIGABRT
// the process sent itself that would return (ignored, or handled by a
// handler that returned) may be abort(), which then puts the default action
// back and raises it again, or a raise() the task survives: may_die.
verdict judge(int signal_number, int slot, siginfo_t* info, void* context) {
  const struct sigaction action = disposition(slot);
  const bool fault = raised_by_fault(signal_number, info);
  const verdict returning = self_abort(signal_number, info) ? verdict::may_die : verdict::survives;
  if (is_default(action)) return verdict::dies;
  if (is_ignore(action)) return fault ? verdict::dies : returning;
  if ((static_cast<unsigned int>(action.sa_flags) & SA_RESETHAND) != 0) reset[slot].store(true);
  call_application_handler(signal_number, action, info, context);
  const struct sigaction now = disposition_now(signal_number, slot);
  const bool ends =
      (is_default(now) || (fault && is_ignore(now))) && (fault || is_pending(signal_number));
  return ends ? verdict::dies : returning;
}

// Writes the crash file unless another thread is writing one: then waits
// for it, at most 5 s. A death freezes the rings first and uses the recorder
// up; a signal that may still return leaves it armed, unfrozen, for the
// death that may follow.
void record(int signal_number, bool death) {
  int idle = 0;
  if (progress.compare_exchange_strong(idle, 1)) {
    if (death) crash_hooks::frozen.store(true);
    write_crash_file(signal_number);
    progress.store(death ? 2 : 0);
    return;
  }
  const timespec tick{0, 10000000};
  for (unsigned int i = 0; i < kWaitTicks && progress.load() == 1; ++i) nanosleep(&tick, nullptr);
}

void on_fatal_signal(int signal_number, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  const int slot = slot_of(signal_number);
  const verdict outcome = slot < 0 ? verdict::survives : judge(signal_number, slot, info, context);
  if (outcome != verdict::survives) record(signal_number, outcome == verdict::dies);
  if (outcome != verdict::dies) {
    errno = saved_errno;
    return;
  }
  // The default action ends the task: a faulting instruction meets it when
  // it runs again; any other signal is raised again (or is pending already)
  // and, blocked while this handler runs, is delivered as it returns.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigaction(signal_number, &fallback, nullptr);
  if (!raised_by_fault(signal_number, info)) raise(signal_number);
  errno = saved_errno;
}

bool is_recorder(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == on_fatal_signal;
}

// Closes a descriptor of an earlier arming, unless a crash file is being
// written right now: the handler may be about to use it, and a closed number
// could be reused under it. The process is dying then anyway. A handler that
// starts after the new descriptor was put in place uses that.
void release_descriptor(int fd) {
  if (fd >= 0 && progress.load() != 1) close(fd);
}

int refuse(const char* reason, const char* detail, const char* directory) {
  std::printf("Crash handler ERROR!! %s%s [%s]\n", reason, detail,
              directory ? directory : "(null)");
  return kFailed;
}

// The guard page below an alternate stack: one page, never accessible, so
// that a handler overrunning the stack faults instead of writing over
// whatever lies below.
size_t guard_size() {
  const long page = sysconf(_SC_PAGESIZE);
  return page > 0 ? static_cast<size_t>(page) : 4096;
}

// Gives the calling thread a fresh alternate stack unless it has one;
// returns the mapping (guard page first), or null when the thread had one
// or the mapping failed.
void* install_alternate_stack() {
  stack_t current{};
  if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) == 0) return nullptr;
  const size_t guard = guard_size();
  void* memory = mmap(nullptr, guard + kAltStackSize, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  const stack_t stack{static_cast<char*>(memory) + guard, 0, kAltStackSize};
  if (mprotect(memory, guard, PROT_NONE) != 0 || sigaltstack(&stack, nullptr) != 0) {
    munmap(memory, guard + kAltStackSize);
    return nullptr;
  }
  return memory;
}

// A logging thread's alternate stack is released when the thread ends, by
// the destructor of a thread-specific value (a thread_local object would
// need the dynamic loader's TLS support): switched off if it is still the
// thread's, then unmapped. A thread that is running on it then (it ends
// inside a signal handler) keeps it.
pthread_key_t stack_key;
bool stack_key_made = false;
pthread_once_t stack_key_once = PTHREAD_ONCE_INIT;

void release_thread_stack(void* mapping) {
  const size_t guard = guard_size();
  stack_t current{};
  if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_ONSTACK) != 0) return;
  if (current.ss_sp == static_cast<char*>(mapping) + guard) {
    const stack_t off{nullptr, SS_DISABLE, 0};
    if (sigaltstack(&off, nullptr) != 0) return;
  }
  munmap(mapping, guard + kAltStackSize);
}

void make_stack_key() {
  stack_key_made = pthread_key_create(&stack_key, release_thread_stack) == 0;
}

bool install_handlers() {
  struct sigaction action {};
  action.sa_sigaction = on_fatal_signal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : kFatalSignals) sigaddset(&action.sa_mask, signal_number);
  for (size_t i = 0; i < kFatalCount; ++i) {
    reset[i].store(false);
    if (sigaction(kFatalSignals[i], &action, &previous[i]) != 0) {
      while (i-- != 0) sigaction(kFatalSignals[i], &previous[i], nullptr);
      return false;
    }
  }
  return true;
}

void restore_handlers() {
  for (size_t i = 0; i < kFatalCount; ++i) {
    struct sigaction current {};
    if (sigaction(kFatalSignals[i], nullptr, &current) == 0 && is_recorder(current)) {
      const struct sigaction before = disposition(static_cast<int>(i));
      sigaction(kFatalSignals[i], &before, nullptr);
    }
  }
}

}  // namespace

void crash_hooks::give_thread_alternate_stack() noexcept {
  thread_seen = true;
  pthread_once(&stack_key_once, make_stack_key);
  if (!stack_key_made) return;
  void* mapping = install_alternate_stack();
  if (mapping != nullptr && pthread_setspecific(stack_key, mapping) != 0) {
    release_thread_stack(mapping);
  }
}

int wex_lib_log_install_crash_handler(const char* directory) {
  if (directory == nullptr) return refuse("no directory", "", directory);
  const int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
    const int error = errno;
    if (fd >= 0) close(fd);
    return refuse("cannot write into the directory: ", std::strerror(error), directory);
  }
  const std::lock_guard<std::mutex> lock(arming);
  if (!installed) {
    if (!install_handlers()) {
      close(fd);
      return refuse("cannot install the signal handlers", "", directory);
    }
    installed = true;
  }
  // The arming thread's stack, unlike a logging thread's, stays mapped for
  // the life of the process.
  install_alternate_stack();
  crash_hooks::thread_seen = true;
  crash_hooks::armed.store(true, std::memory_order_relaxed);
  if (reserve_fd.load() < 0) reserve_fd.store(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  release_descriptor(directory_fd.exchange(fd));
  return kOk;
}

void wex_lib_log_remove_crash_handler() {
  const std::lock_guard<std::mutex> lock(arming);
  if (!installed) return;
  restore_handlers();
  installed = false;
  crash_hooks::armed.store(false, std::memory_order_relaxed);
  release_descriptor(directory_fd.exchange(-1));
  release_descriptor(reserve_fd.exchange(-1));
}

}  // namespace velorin
