// SPDX-License-Identifier: MIT
// Ring snapshot files: saving a logger's ring to a file and loading it back,
// for example to keep the last records across a restart or to read them on a
// workstation with `wexlog decode`.
//
// File layout, version 1. Every integer is little-endian, whatever the byte
// order of the machine that wrote or reads the file:
//
//   offset  size  field
//   0       8     magic, the ASCII bytes "WEXLOGRS"
//   8       4     version, 1
//   12      1     empty flag of the ring (0 or 1), as a signed byte
//   13      3     reserved, zero
//   16      4     write position
//   20      4     read position
//   24      4     ring size in bytes, S (not 0)
//   28      S     the ring's bytes, exactly as stored, free space included
//
// The file is exactly 28 + S bytes long. Bytes 12 to 27 are the fields of the
// ring's control record (WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_), and the ring
// bytes hold ring records (4-byte little-endian length prefix, then a log
// record) chained from the read position to the write position.
//
// Both functions return 0 on success and 0x1000 on failure. A failure prints
// one line with printf and lets no exception out of the library:
//   "Save snapshot ERROR!! <reason> [<path>]\n"
//   "Load snapshot ERROR!! <reason> [<path>]\n"
//
// Saving never destroys what stands at the path, and leaves nothing else
// behind. The snapshot goes to a new file without a name in the target's
// folder (O_TMPFILE), with the permissions of any new file, or those of the
// file it replaces, and its owner where the process may set it. It is
// flushed to disk, only then linked in under a short temporary name,
// ".wexlogsnap.<pid>.<n>.tmp", and at once renamed over the target, so a
// save needs write permission on the target's folder, and any target name
// the filesystem accepts can be saved. Where the filesystem has no files
// without a name, the snapshot is written to a new file of that temporary
// name instead, created exclusively so that a link planted at the name is
// never followed. A failed save leaves an earlier snapshot intact and
// removes its own temporary file. A process killed during a save leaves the
// old or the new snapshot at the path and, at worst, one temporary file,
// which the next save into that folder removes: each save reads the
// folder's entries and removes the files of that naming whose process no
// longer exists here. (A save by a process
// of another PID namespace into the same folder may so lose its temporary
// file between link and rename: that save then fails, and the old snapshot
// stays.) A symbolic
// link at the path is followed to its final target, which is replaced while
// the links stay links. A path that is, or leads to, anything but a regular
// file (a device, a FIFO, a directory) is refused and left alone.
//
// Loading opens the file, refuses anything but a regular file, and checks
// the 28-byte header before it reads on; then it reads exactly the ring
// bytes the header announces, so that no file costs more time or memory
// than its header says. It refuses a file it cannot trust: a wrong magic or
// version, non-zero reserved bytes, size 0, a file shorter or longer than
// its header says, and, through the ring's own import check, positions
// outside the ring or length prefixes that do not chain from the read to the
// write position. A refused file leaves the logger's ring as it was.
//
// Saving reads the ring under its semaphore and so sees a whole ring between
// two pushes; loading replaces the ring whole. Neither may run while another
// thread imports a snapshot into the same store.
#ifndef WEX_LIB_LOG_SNAPSHOT_H
#define WEX_LIB_LOG_SNAPSHOT_H

#include "wex_lib_log_export.h"
#include "wex_lib_log_storage.h"

namespace velorin {

// Writes the store's ring to the file at `path`, replacing a regular file
// there only once the new one is complete. Fails for a ring that was never
// sized or when the file cannot be written.
WEX_LIB_LOG_API int wex_lib_log_save_snapshot(wex_lib_log_storage& storage, const char* path);

// Replaces the store's ring with the snapshot in the file at `path`.
WEX_LIB_LOG_API int wex_lib_log_load_snapshot(wex_lib_log_storage& storage, const char* path);

}  // namespace velorin

#endif  // WEX_LIB_LOG_SNAPSHOT_H
