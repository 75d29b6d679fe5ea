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
// What the task can count on:
// - Only deaths are recorded. A signal the task would have survived (one it
//   ignores, or one its own handler returns from or jumps away from) writes
//   nothing and leaves the recorder armed. The one exception is a SIGABRT
//   the task sent itself, which may come from abort(): its file is written,
//   and the recorder stays armed.
// - The file holds every record that was whole when the signal came, less
//   those a push under way discarded, also for rings that other threads were
//   writing. A thread that touches a ring after the handler has decided that
//   the task dies stops there for good.
// - One file per process, created with mode 0600 and never written through
//   an existing file or a link planted at its name. When the name is taken,
//   -1 to -9 goes before ".crash".
// - Stack overflows are recorded for the arming thread and every thread that
//   logs while the recorder is armed. Each such thread gets an alternate
//   signal stack on its first record: 64 KiB above a guard page, 68 KiB of
//   address space with nothing resident until a handler runs on it, released
//   when the thread ends. A thread with an alternate stack of its own keeps it.
// - Arming holds one file descriptor in reserve, so that a task with every
//   descriptor in use still gets its file. Under a file size limit, what fits
//   is written and the task still dies of its own signal.
// - No file (the task dies of its own signal all the same) when the directory
//   was removed or became unwritable after arming, on a full disk, when all
//   ten names are taken, for SIGKILL and the signals not listed above, for an
//   overflow of a thread that never logged while armed, and when the crash
//   corrupted the loggers themselves.
// - A refusal prints one line, as the library's other refusals do but ended
//   with a newline: "Crash handler ERROR!! <reason> [<directory>]\n"
//
// `wexlog decode` reads the file; its byte layout (version 1, little-endian
// whatever the device) is defined once with the library's other byte
// formats, and how the handler keeps these promises is described in the
// recorder's source.
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
