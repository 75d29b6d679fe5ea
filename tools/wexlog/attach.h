// SPDX-License-Identifier: MIT
// wexlog attach: the log rings of a running task, read from outside without
// stopping it and without taking records out of them, printed as recover
// prints a core's: a heading per ring that holds records, then its dump
// lines. With follow, the task is read again at every interval and only the
// records that arrived since are printed, under their ring's heading
// whenever the ring changes from the one printed last, until SIGINT or
// SIGTERM.
//
// Positions alone tell which records are new: the ring has no count of the
// records it ever held. So each ring's last printed record is remembered with
// its bytes; finding it again, unchanged, where it was means nothing was
// lost. When the read position has moved past where the last poll stopped,
// the records between were lost (overwritten, or taken out by the task's
// own dump) before they could be read, and a line of its own says so, with
// at least how many bytes of records that was: the positions give the
// distance, but not how many times the ring went round meanwhile.
#ifndef WEXLOG_ATTACH_H
#define WEXLOG_ATTACH_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "printer.h"
#include "ring_scan.h"

namespace wexlog {

// Prints what is new in a task's rings at each poll.
class follower {
 public:
  explicit follower(output& out) : out_(out) {}
  // At the first poll, every ring that holds records with its heading, as
  // recover prints it; later, only the records that arrived since. Each
  // ring's `array` must hold the bytes its `state` describes.
  void poll(const std::vector<found_ring>& rings);

 private:
  // What was printed of one ring.
  struct mark {
    uint64_t buffer = 0;
    uint32_t size = 0;
    uint32_t next = 0;                // where the records not yet printed begin
    uint32_t last_at = 0;             // where the last record printed begins
    std::vector<unsigned char> last;  // its bytes, empty before the first
  };
  void ring_(const found_ring& ring, const mark* before, mark& after);
  void heading_(const found_ring& ring);

  output& out_;
  bool first_ = true;
  std::map<uint64_t, mark> marks_;  // by ring address
  uint64_t headed_ = 0;             // the ring whose records were printed last
};

struct attach_options {
  bool follow = false;
  std::chrono::milliseconds interval{200};
};

// Prints the rings of process `pid` on standard output, notes through
// `note`. Returns the exit status; throws input_error for a process that
// is gone, unreadable or holds no layout descriptor.
int attach(pid_t pid, const attach_options& options,
           const std::function<void(const std::string&)>& note);

}  // namespace wexlog

#endif  // WEXLOG_ATTACH_H
