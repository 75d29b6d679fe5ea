// SPDX-License-Identifier: MIT
// The memory of a task as wexlog's layout walk reads it, wherever it comes
// from: the loaded segments of a core file, or a running process read from
// outside. The walk reads through this interface only, so that a core and a
// live task are walked by one and the same code.
#ifndef WEXLOG_MEMORY_SOURCE_H
#define WEXLOG_MEMORY_SOURCE_H

#include <cstdint>
#include <vector>

namespace wexlog {

struct memory_range {
  uint64_t address;
  uint64_t size;
};

class memory_source {
 public:
  virtual ~memory_source() = default;
  virtual bool big_endian() const = 0;
  virtual unsigned int pointer_size() const = 0;
  // Where the library's writable data may lie, the layout descriptor among
  // it, by ascending address.
  virtual std::vector<memory_range> data_ranges() const = 0;
  // How many bytes the task's memory holds: the most a walk may read in all,
  // so that forged or changing memory cannot keep it reading.
  virtual uint64_t extent() const = 0;
  // The `n` bytes at `address`, or null when any of them is missing: inside
  // the source when it holds them in one piece, else copied into `scratch`.
  virtual const unsigned char* bytes(uint64_t address, uint64_t n,
                                     std::vector<unsigned char>& scratch) const = 0;
  // How notes name the memory: "the core", "the process".
  virtual const char* name() const = 0;
};

}  // namespace wexlog

#endif  // WEXLOG_MEMORY_SOURCE_H
