// SPDX-License-Identifier: MIT
// An ELF core file seen as the memory of the crashed process: its loaded
// segments, mapped by virtual address, with the core's byte order and
// pointer width.
#ifndef WEXLOG_CORE_FILE_H
#define WEXLOG_CORE_FILE_H

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "memory_source.h"

namespace wexlog {

// Input the tool refuses: the message says why, for the user.
class input_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A regular file mapped read-only: only the pages that are read come in, so
// headers are checked before anything else is touched, and nothing is read
// that the headers do not point at. Anything else (a directory, a device
// such as /dev/zero, a FIFO or pipe) is refused at once: it has no size to
// bound the reading, and a FIFO would block. Copy such input to a file.
class file_bytes {
 public:
  explicit file_bytes(const std::string& path);
  ~file_bytes();
  file_bytes(const file_bytes&) = delete;
  file_bytes& operator=(const file_bytes&) = delete;
  const unsigned char* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  const unsigned char* data_ = nullptr;
  size_t size_ = 0;
};

// One loaded segment: `file_size` bytes of its `memory_size` are in the core.
struct segment {
  uint64_t address;
  uint64_t memory_size;
  uint64_t file_size;
  const unsigned char* bytes;
  bool writable;
};

class core_image : public memory_source {
 public:
  // Reads the ELF header and program headers of the core held in `data`,
  // which must outlive this object. Throws input_error for anything that is
  // not a whole ELF core file, and for loaded segments that overlap in
  // memory or share file bytes, which no core does.
  core_image(const unsigned char* data, size_t size);

  bool big_endian() const override { return big_endian_; }
  unsigned int pointer_size() const override { return pointer_size_; }
  // The writable segments' bytes in the core.
  std::vector<memory_range> data_ranges() const override;
  // The bytes of all segments in the core.
  uint64_t extent() const override { return extent_; }
  const char* name() const override { return "the core"; }
  // Loaded segments with bytes in the core, by ascending address.
  const std::vector<segment>& segments() const { return segments_; }

  // The `n` bytes at `address` when one segment holds them all, else null.
  const unsigned char* view(uint64_t address, uint64_t n) const;
  // The `n` bytes at `address`, also when they continue across adjacent
  // segments; copied into `scratch` then. Null when any byte is missing.
  const unsigned char* bytes(uint64_t address, uint64_t n,
                             std::vector<unsigned char>& scratch) const override;
  // Whether the core holds all `n` bytes at `address` (in one or more
  // adjacent segments).
  bool has(uint64_t address, uint64_t n) const;
  // Whether `address` lies in any loaded segment, dumped or not.
  bool mapped(uint64_t address) const;

 private:
  const segment* segment_at_(uint64_t address) const;

  bool big_endian_ = false;
  unsigned int pointer_size_ = 8;
  std::vector<segment> segments_;
  uint64_t extent_ = 0;
  // Address ranges of every loaded segment, dumped or not, merged.
  std::vector<std::pair<uint64_t, uint64_t>> ranges_;
};

}  // namespace wexlog

#endif  // WEXLOG_CORE_FILE_H
