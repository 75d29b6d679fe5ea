// Reading ring snapshot files (the format of wex_lib_log_snapshot.h).
#ifndef WEXLOG_SNAPSHOT_FILE_H
#define WEXLOG_SNAPSHOT_FILE_H

#include <cstddef>
#include <vector>

#include "ring_scan.h"

namespace wexlog {

struct snapshot {
  ring_state state;
  std::vector<payload> records;  // oldest first
};

// Reads a whole snapshot file. Throws input_error, saying why, for every
// file the library's loader refuses, and accepts every file it loads.
snapshot decode_snapshot(const unsigned char* file, size_t size);

}  // namespace wexlog

#endif  // WEXLOG_SNAPSHOT_FILE_H
