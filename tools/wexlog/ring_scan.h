// SPDX-License-Identifier: MIT
// Finding the log rings in a core and reading their records. The scan
// described here is for cores without a layout descriptor (layout_walk.h
// finds the loggers of the others); the ring walk serves both.
//
// A ring object is five fields in the core's byte order: empty flag (int32,
// 0 or 1), write position, read position and size (uint32, both positions
// below the size), then the pointer to its byte array (pointer width of the
// core). The array must be in the core, `size` bytes long, and hold ring
// records whose 4-byte little-endian length prefixes chain from the read
// position to the write position, each payload a log record that parses to
// its last byte. Rings are looked for at every pointer-aligned address of
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
//                    capacity}, the items added since the last commit
//   store + 7P + 16  item count (byte): the whole items of that record; an
//                    item still being written lies past them
//   store + 8P + 16  the ring
// The vector and the count are not part of the fingerprint: a core may catch
// them between two of their stores. When the memory before a ring does not
// look like that (a ring used on its own, another C++ library), the ring is
// still reported, without a name and trace identifier. A ring that holds no
// record is so weak a fingerprint (any {1, n, n, size, pointer} matches) that
// it is reported only when its record store is recognised.
//
// A core taken while a thread pushes a record catches a torn ring: the
// positions and prefixes no longer chain up to the write position, or the
// empty flag is still 1 while the write position has moved. Its ring records
// that still chain and parse are all intact (a push moves the read position
// past the records it overwrites before writing over them), so they are
// shown, and the ring says at which offset the chain broke. Torn rings are
// reported only inside a recognised record store: without the store, a
// chain that breaks is no evidence of a ring at all.
#ifndef WEXLOG_RING_SCAN_H
#define WEXLOG_RING_SCAN_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/ring_chain.h"
#include "core_file.h"

namespace wexlog {

// The bytes of one log record: inside the core or snapshot when they lie in
// one piece, else in a walk's scratch buffer, valid until its next step.
struct record_span {
  const unsigned char* data = nullptr;
  size_t size = 0;
  record_span() = default;
  record_span(const unsigned char* bytes, size_t n) : data(bytes), size(n) {}
  record_span(const std::vector<unsigned char>& bytes) : data(bytes.data()), size(bytes.size()) {}
};

// A ring's control fields, in host byte order.
using velorin::ring_chain::ring_state;

// Why the fields of a ring cannot be walked at all, or null when they can:
// a size of 0, a position not below the size, an empty flag not 0 or 1.
std::optional<std::string> unusable_fields(const ring_state& state);

// Where and why a ring's chain broke before its write position.
struct tear {
  enum kind_t : unsigned char { moved_while_empty, zero_length, past_write, unparsed };
  kind_t kind;
  uint32_t offset;  // of the ring record that broke the chain
  uint32_t length;  // its length prefix
};
std::string describe(const tear& where, const ring_state& state);
// "torn at offset O (why); the records before it are shown", for the notes
// of readers whose output has no ring heading to say it.
std::string tear_note(const tear& where, const ring_state& state);

// Walks the ring records of a ring with usable fields, oldest first, without
// copying them (except the one record that wraps at the end of the array).
// Each ring record must have a non-zero length, end at or before the write
// position and, when `parse` is set, hold a log record that parses to its
// last byte. The walk stops at the write position, or at the first ring
// record that breaks these rules: the ring is then torn there. It steps
// with the codec's chain walk, the one the library's ring uses, so a ring
// the library's snapshot import accepts is exactly one whose walk without
// `parse` ends untorn.
class ring_walk {
 public:
  ring_walk(const ring_state& state, const unsigned char* bytes, bool parse);
  // The next record; false at the write position or the tear.
  bool next(record_span& record);
  uint64_t records() const { return records_; }
  const std::optional<tear>& torn() const { return torn_; }
  // Where the next ring record starts.
  uint32_t position() const { return chain_.position(); }

 private:
  bool stop_(tear::kind_t kind, uint32_t offset, uint32_t length);

  const unsigned char* bytes_;
  uint32_t size_;
  bool parse_;
  velorin::ring_chain::chain_walk chain_;
  uint64_t records_ = 0;
  std::optional<tear> torn_;
  std::vector<unsigned char> scratch_;
};

// Whether the bytes are a log record that parses to its last byte.
bool is_whole_record(record_span record);

struct found_ring {
  uint64_t address;
  uint64_t buffer;
  ring_state state;
  // The array's bytes as the layout walk read them, and `state` the control
  // fields that hold for them (null from the scan, which reads them again).
  const unsigned char* array = nullptr;
  uint64_t records = 0;  // records that chain and parse
  std::optional<tear> torn;
  // Records to show: all of them, unless from `joins` on the chain is one
  // an earlier ring on the same array and write position shows.
  uint64_t shown = 0;
  struct join {
    uint32_t offset;  // the first ring record not shown again
    uint64_t ring;    // the address of the ring that shows it
  };
  std::optional<join> joins;
  bool store_recognised = false;
  std::string name;
  int32_t trace_id = 0;
  // The items of the record under construction, when its vector was read.
  std::vector<unsigned char> uncommitted;
};

struct scan_options {
  bool include_empty = false;  // rings without records, when recognised
};

struct scan_stats {
  uint64_t bytes_scanned = 0;
  uint64_t candidates = 0;  // field patterns whose array was looked at
  uint64_t steps = 0;       // ring records read by the walks
  uint64_t skipped = 0;     // candidates not walked: the budget was spent
  uint64_t rings = 0;
};

// Every ring in the core, by ascending address.
//
// A forged core can point any number of candidates at one large array, each
// with a read position of its own; walking each chain would cost the number
// of candidates times the array's size. So what a walk found from each ring
// record it passed (records up to the write position, and the tear) is kept
// per array, size and write position, and a later walk stops at the first
// ring record already walked: each ring record of an array is walked once
// per write position. Only arrays that a second candidate walks pay for
// this record, so a real core's rings, one per array, are walked as before.
// For the same reason a chain's records are shown once: the ring whose
// chain reaches records an earlier ring (by address) on the same array and
// write position shows stops there and names that ring (`joins`).
//
// Candidates on one array with distinct write positions, or on arrays that
// overlap, still walk the same bytes again. So the walks together read at
// most as many ring records as the core's segments have bytes (plus 64): a
// real core, whose rings have arrays of their own and ring records of at
// least 13 bytes, needs a fraction of that. Once it is spent, the remaining
// candidates are skipped and counted (`skipped`): the core is forged.
std::vector<found_ring> find_rings(const core_image& core, const scan_options& options,
                                   scan_stats* stats = nullptr);

}  // namespace wexlog

#endif  // WEXLOG_RING_SCAN_H
