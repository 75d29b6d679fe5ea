// SPDX-License-Identifier: MIT
// Reading ring snapshot files (the format of wex_lib_log_snapshot.h).
#ifndef WEXLOG_SNAPSHOT_FILE_H
#define WEXLOG_SNAPSHOT_FILE_H

#include <cstddef>

#include "ring_scan.h"

namespace wexlog {

// A snapshot's control fields and its ring bytes, inside the file.
struct snapshot {
  ring_state state;
  const unsigned char* bytes;
};

// Reads the header of a whole snapshot file. Throws input_error, saying
// why, for a file whose framing the library's loader refuses or whose fields
// cannot be walked. A torn chain is not refused here: walking the ring
// without parsing shows what the library's loader would have loaded, up to
// the tear, where the loader refuses the whole file.
snapshot decode_snapshot(const unsigned char* file, size_t size);

}  // namespace wexlog

#endif  // WEXLOG_SNAPSHOT_FILE_H
