// SPDX-License-Identifier: MIT
// Crash recorder: when the task dies of a fatal signal, every live logger's
// ring is written to one small file, for devices that keep no core file.
// `wexlog decode FILE.crash` prints it on a workstation.
//
// Once armed, a SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT or SIGSYS of any
// thread that ends the task writes the file
// wexlog-<pid>-<seconds since the epoch>.crash into the armed directory,
// holding the signal and every live logger's name, trace id, ring control
// fields and ring bytes and the record its store was building. The signal
// still meets the disposition that was there before arming (the
// application's own handler, ignore, or the default action), so the process
// dies of the same signal, and leaves a core where cores are kept, or lives
// on when it would have without the recorder.
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
// wex_lib_log_snapshot.h); the length prefixes chain from the read to the
// write position unless the crash itself struck in the middle of a push. A
// file without its end section was cut short while it was written.
#ifndef WEX_LIB_LOG_CRASH_H
#define WEX_LIB_LOG_CRASH_H

#include "wex_lib_log_export.h"

namespace velorin {

// Arms the recorder to write into `directory`, or moves it there when it is
// armed already. Returns 0, or 0x1000 when the directory cannot be opened
// for writing (or sigaction fails); the recorder then stays as it was.
// The calling thread gets an alternate signal stack for good; other threads
// get theirs when they log.
WEX_LIB_LOG_API int wex_lib_log_install_crash_handler(const char* directory);

// Disarms the recorder and puts back the signal handlers it replaced.
WEX_LIB_LOG_API void wex_lib_log_remove_crash_handler();

}  // namespace velorin

#endif  // WEX_LIB_LOG_CRASH_H
