// Finding the log rings in a core and reading their records.
//
// A ring object is five fields in the core's byte order: empty flag (int32,
// 0 or 1), write position, read position and size (uint32, both positions
// below the size), then the pointer to its byte array (pointer width of the
// core). The array must be in the core, `size` bytes long, and hold ring
// records whose 4-byte little-endian length prefixes chain exactly from the
// read position to the write position, each payload a log record that parses
// to its last byte. Rings are looked for at every pointer-aligned address of
// the writable segments.
//
// The record store around a ring is recognised by its layout under the
// Itanium C++ ABI with the GNU C++ library, for the core's pointer width P:
//   store + 0        vtable pointer (non-null, aligned, in a loaded segment)
//   store + P        trace identifier (int32)
//   store + 2P       name: std::string {data pointer, length, 16-byte local
//                    buffer or capacity}; the text must be in the core and
//                    end in a NUL at its length
//   store + 4P + 16  record under construction: std::vector {begin, end,
//                    capacity}, ordered, all null or none
//   store + 7P + 16  item count (byte), 0 when that vector is empty
//   store + 8P + 16  the ring
// When the memory before a ring does not look like that (a ring used on its
// own, another C++ library), the ring is still reported, without a name and
// trace identifier. A ring that holds no record is so weak a fingerprint
// (any {1, n, n, size, pointer} matches) that it is reported only when its
// record store is recognised.
#ifndef WEXLOG_RING_SCAN_H
#define WEXLOG_RING_SCAN_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core_file.h"

namespace wexlog {

using payload = std::vector<unsigned char>;

// A ring's control fields, in host byte order.
struct ring_state {
  int32_t empty;
  uint32_t write_pos;
  uint32_t read_pos;
  uint32_t size;
};

// Reads the ring records stored in a ring's `state.size` bytes, oldest
// first, into `records`. Accepts exactly what the ring's snapshot import
// accepts; otherwise returns why not and leaves `records` unspecified.
std::optional<std::string> walk_ring(const ring_state& state, const unsigned char* bytes,
                                     std::vector<payload>& records);

// Whether a payload is a log record that parses to its last byte.
bool is_whole_record(const payload& record);

struct found_ring {
  uint64_t address;
  uint64_t buffer;
  ring_state state;
  std::vector<payload> records;
  bool store_recognised = false;
  std::string name;
  int32_t trace_id = 0;
};

struct scan_options {
  bool include_empty = false;  // rings without records, when recognised
};

struct scan_stats {
  uint64_t bytes_scanned = 0;
  uint64_t candidates = 0;  // field patterns whose array was looked at
  uint64_t rings = 0;
};

// Every ring in the core, by ascending address.
std::vector<found_ring> find_rings(const core_image& core, const scan_options& options,
                                   scan_stats* stats = nullptr);

}  // namespace wexlog

#endif  // WEXLOG_RING_SCAN_H
