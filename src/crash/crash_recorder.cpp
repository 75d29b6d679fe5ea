// The crash recorder: arming and disarming, and the signal handler that
// writes the crash file. Its contract and the file layout are in
// wex_lib_log_crash.h.
//
// Everything the handler runs is async-signal-safe: it reads the registry
// and the stores without locks, formats numbers by hand into stack buffers
// and writes with openat, write and close. Bytes that another thread may be
// freeing at that moment (a ring array being replaced) are handed to write()
// straight from the process's memory: an address the kernel cannot read
// makes write() fail with EFAULT instead of faulting in the handler, and the
// rest of the field is then written as zeros, so the file keeps its layout.
#include "wex_lib_log_crash.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "crash/crash_access.h"
#include "crash/crash_format.h"
#include "crash/logger_registry.h"
#include "file_io.h"
#include "storage/wex_lib_log_record.h"

namespace velorin {
namespace {

namespace format = crash_format;

constexpr int kOk = 0;
constexpr int kFailed = 0x1000;
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS};
constexpr size_t kFatalCount = sizeof kFatalSignals / sizeof kFatalSignals[0];
constexpr size_t kAltStackSize = 64 * 1024;
constexpr size_t kBuildingLimit = 1u << 20;
constexpr unsigned int kWaitTicks = 500;  // of 10 ms: how long another fatal signal waits

// Arming state. The handler reads only `directory_fd`, `previous` and
// `progress`; the rest, and every change, belong to arm() and disarm()
// under `arming`.
std::mutex arming;
bool installed = false;
struct sigaction previous[kFatalCount];
std::atomic<int> directory_fd{-1};

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

// Appends the decimal digits of `value` at `out`; returns the end.
char* put_decimal(char* out, uint64_t value) {
  char digits[20];
  unsigned int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n != 0) *out++ = digits[--n];
  return out;
}

char* put_text(char* out, const char* text) {
  while (*text != '\0') *out++ = *text++;
  return out;
}

// The crash file being written: its descriptor, how many logger sections
// went in whole, and whether a write failed (no section follows one that did).
struct file_state {
  int fd;
  uint32_t loggers;
  bool failed;
};

void write_logger(const wex_lib_log_storage& store, void* context) {
  auto& file = *static_cast<file_state*>(context);
  if (file.failed) return;
  const crash_view v = crash_access::view(store);
  const size_t name_size = v.name_size < format::kNameLimit ? v.name_size : format::kNameLimit;
  const uint32_t ring_size = v.bytes != nullptr ? v.size : 0;
  // A message being committed is still in the logger's item buffer, the
  // store holding a pointer to it: it goes first, as the data item it is.
  const unsigned char lent_head[4] = {log_record::kData, v.lent_kind,
                                      static_cast<unsigned char>(v.lent_size),
                                      static_cast<unsigned char>(v.lent_size >> 8)};
  const size_t lent_size = v.lent != nullptr ? sizeof lent_head + v.lent_size : 0;
  const bool building_fits = v.building_size + lent_size <= kBuildingLimit;
  const size_t building_size = building_fits ? v.building_size + lent_size : 0;
  unsigned char head[format::kLoggerHeaderSize] = {};
  format::copy_tag(head, format::kLoggerTag);
  format::store_le(head + format::kTraceIdAt, static_cast<uint32_t>(v.trace_id), 4);
  format::store_le(head + format::kRingAddressAt, v.ring_address, 8);
  format::store_le(head + format::kEmptyAt, static_cast<uint32_t>(v.empty), 4);
  format::store_le(head + format::kWritePosAt, v.write_pos, 4);
  format::store_le(head + format::kReadPosAt, v.read_pos, 4);
  format::store_le(head + format::kRingSizeAt, ring_size, 4);
  format::store_le(head + format::kNameSizeAt, name_size, 4);
  format::store_le(head + format::kBuildingSizeAt, building_size, 4);
  head[format::kItemCountAt] = building_fits ? v.item_count : 0;
  file.failed = write_up_to(file.fd, head, sizeof head) != sizeof head ||
                !write_field(file.fd, reinterpret_cast<const unsigned char*>(v.name), name_size) ||
                !write_field(file.fd, v.bytes, ring_size) ||
                (building_fits && lent_size != 0 &&
                 (!write_field(file.fd, lent_head, sizeof lent_head) ||
                  !write_field(file.fd, v.lent, v.lent_size))) ||
                !write_field(file.fd, v.building, building_fits ? v.building_size : 0);
  if (!file.failed) ++file.loggers;
}

// Creates wexlog-<pid>-<seconds>.crash in the armed directory and writes
// every registered logger into it.
void write_crash_file(int signal_number) {
  const int dir = directory_fd.load();
  if (dir < 0) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const pid_t pid = getpid();
  char name[64];
  char* end = put_text(name, "wexlog-");
  end = put_decimal(end, static_cast<uint64_t>(pid));
  *end++ = '-';
  end = put_decimal(end, static_cast<uint64_t>(now.tv_sec));
  end = put_text(end, ".crash");
  *end = '\0';
  const int fd = openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;

  unsigned char head[format::kFileHeaderSize] = {};
  std::memcpy(head, format::kMagic, sizeof format::kMagic);
  format::store_le(head + format::kVersionAt, format::kVersion, 4);
  format::store_le(head + format::kSignalAt, static_cast<uint32_t>(signal_number), 4);
  format::store_le(head + format::kPidAt, static_cast<uint32_t>(pid), 4);
  format::store_le(head + format::kTimeAt, static_cast<uint64_t>(now.tv_sec), 8);
  file_state file{fd, 0, write_up_to(fd, head, sizeof head) != sizeof head};
  logger_registry::walk(write_logger, &file);
  if (!file.failed) {
    unsigned char tail[format::kEndSize] = {};
    format::copy_tag(tail, format::kEndTag);
    format::store_le(tail + format::kLoggerCountAt, file.loggers, 4);
    write_up_to(fd, tail, sizeof tail);
  }
  close(fd);
}

int slot_of(int signal_number) {
  for (size_t i = 0; i < kFatalCount; ++i) {
    if (kFatalSignals[i] == signal_number) return static_cast<int>(i);
  }
  return -1;
}

// Whether the signal came from an instruction that faults again when it is
// run again, rather than from abort(), kill() or seccomp.
bool raised_by_fault(int signal_number, const siginfo_t* info) {
  return info != nullptr && info->si_code > 0 && signal_number != SIGABRT &&
         signal_number != SIGSYS;
}

void on_fatal_signal(int signal_number, siginfo_t* info, void*) {
  const int saved_errno = errno;  // for an application handler that resumes
  int idle = 0;
  if (progress.compare_exchange_strong(idle, 1)) {
    write_crash_file(signal_number);
    progress.store(2);
  } else {
    const timespec tick{0, 10000000};
    for (unsigned int i = 0; i < kWaitTicks && progress.load() != 2; ++i) {
      nanosleep(&tick, nullptr);
    }
  }
  const int slot = slot_of(signal_number);
  if (slot >= 0) sigaction(signal_number, &previous[slot], nullptr);
  // Blocked while this handler runs, the signal raised again is delivered
  // to the previous disposition as soon as the handler returns.
  if (!raised_by_fault(signal_number, info)) raise(signal_number);
  errno = saved_errno;
}

// Closes the directory of an earlier arming, unless a crash file is being
// written right now: the handler may be about to open its file there, and a
// closed number could be reused under it. The process is dying then anyway.
// A handler that starts after the new directory was put in place uses that.
void release_directory(int fd) {
  if (fd >= 0 && progress.load() != 1) close(fd);
}

int refuse(const char* reason, const char* detail, const char* directory) {
  std::printf("Crash handler ERROR!! %s%s [%s]\n", reason, detail,
              directory ? directory : "(null)");
  return kFailed;
}

// Gives the calling thread an alternate signal stack unless it has one.
// The mapping is never unmapped: the thread may run on it until it ends.
void ensure_alternate_stack() {
  stack_t current{};
  if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) == 0) return;
  void* memory =
      mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return;
  const stack_t stack{memory, 0, kAltStackSize};
  if (sigaltstack(&stack, nullptr) != 0) munmap(memory, kAltStackSize);
}

bool install_handlers() {
  struct sigaction action {};
  action.sa_sigaction = on_fatal_signal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : kFatalSignals) sigaddset(&action.sa_mask, signal_number);
  for (size_t i = 0; i < kFatalCount; ++i) {
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
    if (sigaction(kFatalSignals[i], nullptr, &current) == 0 &&
        (current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == on_fatal_signal) {
      sigaction(kFatalSignals[i], &previous[i], nullptr);
    }
  }
}

}  // namespace

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
  ensure_alternate_stack();
  release_directory(directory_fd.exchange(fd));
  return kOk;
}

void wex_lib_log_remove_crash_handler() {
  const std::lock_guard<std::mutex> lock(arming);
  if (!installed) return;
  restore_handlers();
  installed = false;
  release_directory(directory_fd.exchange(-1));
}

}  // namespace velorin
