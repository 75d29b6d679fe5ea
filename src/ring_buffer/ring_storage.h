// SPDX-License-Identifier: MIT
// Where a ring's byte array lives: on the heap, or in a ring file mapped
// MAP_SHARED when wex_lib_log_map_rings named a directory before the ring's
// logger was constructed (codec/ring_file_format.h has the file's bytes).
//
// Every array, heap or file, comes right after a block of control fields
// that the ring keeps in step with its own (ring_file_format::control). In a
// file that block is what a reader trusts after a kill; on the heap nobody
// reads it, and it is there only so that the ring updates its copy the same
// way in both cases, without a test on its hot path.
//
// Rings enrolled by their record store are kept in a small registry (one
// lock), which only allocation, release and enrolment consult; a process
// that never names a directory never takes its lock.
#ifndef WEX_LIB_LOG_RING_STORAGE_H
#define WEX_LIB_LOG_RING_STORAGE_H

#include <cstdint>
#include <string>

#include "codec/ring_file_format.h"

namespace velorin {
namespace ring_storage {

// Marks `ring` to keep its array in a file of the directory named now, if
// any, under the logger's trace identifier and name.
void enroll(const void* ring, int trace_id, const std::string& name);
// Forgets `ring`; its file, if any, is removed.
void leave(const void* ring);
// A zeroed array of `size` bytes for `ring` with its control block saying
// Empty; in a file when the ring is enrolled and the file can be made (else
// on the heap, saying why once). Throws std::bad_alloc when memory runs out.
unsigned char* allocate(const void* ring, uint32_t size);
// Gives back an array that allocate returned for `ring`.
void release(const void* ring, unsigned char* array);

inline ring_file_format::control& control_of(unsigned char* array) {
  return *reinterpret_cast<ring_file_format::control*>(array - sizeof(ring_file_format::control));
}

// The name a logger's ring file takes in its directory (without a
// collision suffix): wexlog-<pid>-<trace id>-<name>.ring, the name with
// every byte but letters, digits, '_' and '.' written as %XX and cut to 128
// characters, so that '-' ends it and no name leaves the directory.
std::string file_name(long pid, int trace_id, const std::string& name);

}  // namespace ring_storage
}  // namespace velorin

#endif  // WEX_LIB_LOG_RING_STORAGE_H
