// SPDX-License-Identifier: MIT
// Finding the live loggers of a task through the layout descriptor the
// library keeps in writable data (codec/layout_format.h), in a core or
// in a running process alike (memory_source.h).
//
// The descriptor is looked for as its 16-byte magic in the source's data
// ranges, at a 4-byte aligned address, and taken only when every field
// checks out: version, byte order and pointer width of the memory, and each
// field of its expected width within its object. The registry it points at
// is walked from its head: at most kNodeLimit nodes in all, a node met twice
// ends the walk, and every byte is read through the source's bounds. Each
// store gives a ring named by its node, with its trace id and its record
// under construction: a lent data item (as the crash file saves it: item
// head, then the caller's bytes) followed by the bytes of the whole items.
// Reading a store whose parts are missing is noted and the walk goes on.
//
// A ring's array is read between two reads of its control fields, and the
// ring's state is then what holds for that copy (unchanged_records): in a
// core both reads agree; in a running task, writers may push meanwhile, and
// the copy is taken again a few times before the records that cannot have
// changed are kept.
//
// A process that holds the library twice has two descriptors: both registries
// are walked, each store shown once. The arrays, names and records under
// construction read may together be no larger than the source's extent,
// which bounds the time forged memory can cost.
#ifndef WEXLOG_LAYOUT_WALK_H
#define WEXLOG_LAYOUT_WALK_H

#include <string>
#include <vector>

#include "memory_source.h"
#include "ring_scan.h"

namespace wexlog {

struct layout_rings {
  bool found = false;  // a descriptor was taken
  // With no descriptor taken: why the last candidate was refused, if any.
  std::string refused;
  std::vector<found_ring> rings;   // by ascending address
  std::vector<std::string> notes;  // stores or rings that could not be read
  // The arrays the source had to copy; the rings' `array` point into them.
  std::vector<std::vector<unsigned char>> copies;
};

constexpr unsigned int kNodeLimit = 1u << 16;

// The addresses of the descriptors taken, in the order found.
struct layout_descriptors {
  std::vector<uint64_t> taken;
  // With none taken: why the last candidate was refused, if any.
  std::string refused;
};

layout_descriptors find_descriptors(const memory_source& memory, scan_stats* stats = nullptr);
// Walks the registries of descriptors found earlier; a running task's
// loggers come and go, its descriptors stay where they are.
layout_rings walk_registries(const memory_source& memory, const layout_descriptors& descriptors,
                             scan_stats* stats = nullptr);
// Both in one.
layout_rings rings_by_layout(const memory_source& memory, scan_stats* stats = nullptr);

// The control fields that hold for an array copied between reading
// `before` and `after` (of one array and size). A push moves the read
// position past the records it discards before it writes over them, and
// the write position only once its record is whole; so the records from
// the later read position up to the earlier write position are whole in
// the copy. None when the ring was emptied, or the read position passed
// the earlier write position. A push that went round the whole ring while
// the array was copied is beyond what the positions can tell.
ring_state unchanged_records(const ring_state& before, const ring_state& after);

}  // namespace wexlog

#endif  // WEXLOG_LAYOUT_WALK_H
