// Crash recorder: when the task dies of a fatal signal, every live logger's
// ring is written to one small file, for devices that keep no core file.
// `wexlog decode FILE.crash` prints it on a workstation.
//
// Once armed, the first SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT or SIGSYS of
// any thread writes the file wexlog-<pid>-<seconds since the epoch>.crash
// into the armed directory, holding every live logger's name, trace id, ring
// control fields and ring bytes and the record its store was building. Then
// the signal goes on to the disposition that was there before arming: the
// application's own handler, or the default action, so that the process
// still dies of the same signal and leaves a core where cores are kept.
//
// Signal safety. The handler allocates nothing, uses no stdio and takes no
// lock: it never waits for a logger's or a ring's semaphore, which the
// crashing thread may hold. Loggers enter a registry when constructed and
// leave it when destroyed; the handler reads the registry without a lock. It
// writes only with openat, write and close, on a directory opened when the
// recorder is armed. The file is created with O_CREAT|O_EXCL|O_NOFOLLOW and
// mode 0600, so an existing file or a link planted at its name is never
// written through; then no file is written. Other threads go on running
// while the file is written: a ring that is being pushed into is saved as it
// stands, and `wexlog` salvages what it can of it.
//
// Choices this recorder makes:
// - Stack overflows are recorded through an alternate signal stack. Arming
//   gives the arming thread one of 64 KiB (mapped once per thread and kept for
//   the life of the process) unless it already has one. Another thread gets
//   its overflow recorded only if it installs an alternate stack itself
//   (sigaltstack); every other fatal signal is recorded on the crashing
//   thread's own stack.
// - One file per process: the first fatal signal writes it. A fatal signal
//   in another thread meanwhile waits, at most 5 s, for the file to be done
//   and then goes on to its own disposition. A fatal signal inside the
//   handler itself is blocked there, so the kernel ends the process with it
//   at once: no loop, and the file is left as far as it got.
// - After the file, the signal's previous disposition is put back. A signal
//   raised by a faulting instruction meets it when the instruction runs
//   again; any other signal (abort, kill, seccomp's SIGSYS) is raised again.
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
//   the recorder's, and closes the directory.
// - A refusal prints one line with printf, as the library's other refusals
//   do but ended with a newline:
//   "Crash handler ERROR!! <reason> [<directory>]\n"
//
// Crash file layout, version 1. Every integer is little-endian, whatever the
// byte order of the device that wrote it, so a file from a PowerPC device
// reads the same on any workstation:
//
//   file header, 32 bytes
//   offset  size  field
//   0       8     magic, the ASCII bytes "WEXLOGCR"
//   8       4     version, 1
//   12      4     signal number (Linux numbering)
//   16      4     process id
//   20      4     reserved, zero
//   24      8     seconds since the epoch when the file was written
//
//   then one logger section per live logger, 44 + N + S + B bytes
//   0       4     the ASCII bytes "LOGR"
//   4       4     trace identifier (signed)
//   8       8     address of the logger's ring object in the process
//   16      4     empty flag of the ring (signed)
//   20      4     write position
//   24      4     read position
//   28      4     ring size in bytes, S (0 for a logger without a ring)
//   32      4     name length, N (at most 4096)
//   36      4     length of the record under construction, B
//   40      1     its item count
//   41      3     reserved, zero
//   44      N     the logger's name
//   44+N    S     the ring's bytes, exactly as stored, free space included
//   44+N+S  B     the items of the record under construction, as the ring
//                 would have stored them after the 9-byte record header
//
//   then the end section, 8 bytes
//   0       4     the ASCII bytes "END!"
//   4       4     number of logger sections before it
//
// The ring fields and bytes are those of a ring snapshot (see
// wex_lib_log_snapshot.h); a ring caught in the middle of a push may hold
// length prefixes that do not chain from the read to the write position. A
// file without its end section was cut short while it was written.
#ifndef WEX_LIB_LOG_CRASH_H
#define WEX_LIB_LOG_CRASH_H

#include "wex_lib_log_export.h"

namespace velorin {

// Arms the recorder to write into `directory`, or moves it there when it is
// armed already. Returns 0, or 0x1000 when the directory cannot be opened
// for writing (or sigaction fails); the recorder then stays as it was.
// Call it from the thread whose stack overflow matters most, usually main.
WEX_LIB_LOG_API int wex_lib_log_install_crash_handler(const char* directory);

// Disarms the recorder and puts back the signal handlers it replaced.
WEX_LIB_LOG_API void wex_lib_log_remove_crash_handler();

}  // namespace velorin

#endif  // WEX_LIB_LOG_CRASH_H
