// SPDX-License-Identifier: MIT
// Finding the live loggers of a core through the layout descriptor the
// library keeps in writable data (codec/layout_format.h).
//
// The descriptor is looked for as its 16-byte magic in the writable segments,
// at a 4-byte aligned address, and taken only when every field checks out:
// version, byte order and pointer width of the core, and each field of its
// expected width within its object. The registry it points at is walked from
// its head: at most kNodeLimit nodes in all, a node met twice ends the walk,
// and every byte is read through the core's bounds. Each store gives a ring
// named by its node, with its trace id and its record under construction: a
// lent data item (as the crash file saves it: item head, then the caller's
// bytes) followed by the bytes of the whole items. Reading a store whose
// parts are missing from the core is noted and the walk goes on.
//
// A process that holds the library twice has two descriptors: both registries
// are walked, each store shown once. The arrays, names and records under
// construction read may together be no larger than the core's segments
// (those of a real process never overlap), which bounds the time a forged
// core can cost.
#ifndef WEXLOG_LAYOUT_WALK_H
#define WEXLOG_LAYOUT_WALK_H

#include <string>
#include <vector>

#include "core_file.h"
#include "ring_scan.h"

namespace wexlog {

struct layout_rings {
  bool found = false;  // a descriptor was taken
  // With no descriptor taken: why the last candidate was refused, if any.
  std::string refused;
  std::vector<found_ring> rings;   // by ascending address
  std::vector<std::string> notes;  // stores or rings that could not be read
};

constexpr unsigned int kNodeLimit = 1u << 16;

layout_rings rings_by_layout(const core_image& core, scan_stats* stats = nullptr);

}  // namespace wexlog

#endif  // WEXLOG_LAYOUT_WALK_H
