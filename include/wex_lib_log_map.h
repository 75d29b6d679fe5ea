// SPDX-License-Identifier: MIT
// Rings in mapped files: records that outlive a task killed without
// warning (SIGKILL from a watchdog or the out-of-memory killer, a power
// cut), which no signal handler sees. `wexlog recover DIR` prints them on a
// workstation.
//
// After wex_lib_log_map_rings(directory), every logger constructed from then
// on keeps its ring's bytes and control fields (empty flag, write and read
// positions, size) in a file of that directory mapped MAP_SHARED:
// wexlog-<pid>-<trace id>-<name>.ring, mode 0600, created with O_EXCL and
// O_NOFOLLOW. The name keeps letters, digits, '_' and '.'; every other byte
// ('/' and '-' included) is written %XX, and it is cut to 128 characters. A
// name already taken (the same pid, trace id and name twice, or a file left
// by an earlier task with the same pid) gets the suffix -2 to -9 before
// ".ring"; when all are taken the ring stays in memory. The file holds a
// 128-byte header (process id and start time, trace id, name, size, then the
// control fields) and the ring's bytes; src/codec/ring_file_format.h has
// its layout. Loggers constructed earlier keep their rings in memory.
//
// The logger behaves exactly as with a ring in memory: the same bytes,
// dump lines, prints, results and snapshots, and the same instructions per
// message. Each push also stores the ring's write position and empty flag
// a second time, into the control fields before the array (in memory those
// are never read): a SIGKILL at any instant leaves a file from which every
// record whose push returned is read back.
//
// A logger destroyed normally removes its file (munmap and unlink); a task
// that dies leaves its files, and the reader tells the files of running
// tasks from stale ones by their process id and start time. Recreating or
// importing a ring (create_ring_buffer, set_buffer_data) replaces the file
// under the same name. A child made by fork shares the parent's mappings:
// its pushes reach the parent's files (and race with the parent's, whose
// semaphores it does not share), and it never removes them. The crash
// recorder copies mapped rings as any other; a core file, though, holds
// their bytes only when bit 3 (file-backed shared mappings) of
// /proc/<pid>/coredump_filter is set, which the library leaves alone:
// without it, read the ring files.
//
// Choosing the directory. Every record rewrites pages of the file, so the
// directory belongs on memory: a tmpfs such as /run or /dev/shm keeps the
// files through any death of the task (not through a reboot or a power
// cut), persistent memory mounted with DAX through a reboot too. Not on
// plain flash: the page writeback of every record wears it out. A ring file
// takes its whole size from the file system at once (posix_fallocate).
//
// Errors. When a ring's file cannot be made (the directory vanished, is
// read-only or full, the name and its suffixes are taken, mmap fails) the
// logger keeps its ring in memory as if mapping had never been asked for,
// and the first such failure after each wex_lib_log_map_rings call prints
// one line to standard error:
//   wex_lib_log: the ring of logger "<name>" stays in memory: cannot
//   <create|allocate|map> a ring file in <directory>: <reason>\n
#ifndef WEX_LIB_LOG_MAP_H
#define WEX_LIB_LOG_MAP_H

#include "wex_lib_log_export.h"

namespace velorin {

// Maps the rings of loggers constructed from now on into `directory`.
// Returns 0, or 0x1000 (nothing changes) when `directory` is empty, not a
// directory, or not writable now. A null `directory` returns 0 and keeps the
// rings of later loggers in memory again.
WEX_LIB_LOG_API int wex_lib_log_map_rings(const char* directory);

}  // namespace velorin

#endif  // WEX_LIB_LOG_MAP_H
