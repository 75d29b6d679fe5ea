// SPDX-License-Identifier: MIT
#include "attach.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <set>

#include "codec/ring_chain.h"
#include "layout_walk.h"
#include "process_memory.h"
#include "render.h"

namespace wexlog {
namespace {

volatile std::sig_atomic_t stop_requested = 0;

extern "C" void request_stop(int) {
  stop_requested = 1;
}

// SIGINT and SIGTERM end the polling between two polls; without
// SA_RESTART they also cut a pause short.
void stop_on_signals() {
  struct sigaction action {};
  action.sa_handler = request_stop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// Sleeps for `interval`; false when a stop was requested.
bool pause_for(std::chrono::milliseconds interval) {
  const auto ms = interval.count();
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (stop_requested == 0 && nanosleep(&left, &left) != 0) {
  }
  return stop_requested == 0;
}

bool same_bytes(record_span record, const std::vector<unsigned char>& bytes) {
  return record.size == bytes.size() && std::memcmp(record.data, bytes.data(), record.size) == 0;
}

// How many records of the ring were printed before: those up to the last
// one printed, when it is still where it was, unchanged; else none.
uint64_t printed_before(const found_ring& ring, const std::vector<unsigned char>& last,
                        uint32_t last_at) {
  if (last.empty()) return 0;
  ring_walk walk(ring.state, ring.array, true);
  uint64_t count = 0;
  for (record_span record;;) {
    const uint32_t at = walk.position();
    if (!walk.next(record)) return 0;
    ++count;
    if (at == last_at) return same_bytes(record, last) ? count : 0;
  }
}

// Whether the last record printed, length prefix and all, is still where
// it was: the ring discards a record by moving its read position past it,
// and writes over its bytes only when the ring comes round to them again.
bool left_in_place(const found_ring& ring, const std::vector<unsigned char>& last,
                   uint32_t last_at) {
  namespace chain = velorin::ring_chain;
  const uint32_t size = ring.state.size;
  if (chain::kPrefixSize + uint64_t{last.size()} > size) return false;
  if (chain::prefix_at(ring.array, size, last_at) != last.size()) return false;
  const uint32_t payload_at = chain::wrap(uint64_t{last_at} + chain::kPrefixSize, size);
  std::vector<unsigned char> now(last.size());
  chain::copy_out(now.data(), ring.array, size, payload_at, static_cast<uint32_t>(now.size()));
  return now == last;
}

}  // namespace

// A ring missing from one poll (unreadable for a moment, or its logger
// gone) keeps its mark: one that comes back goes on where it was, and a new
// logger on the same address has another array.
void follower::poll(const std::vector<found_ring>& rings) {
  for (const found_ring& ring : rings) {
    const auto before = marks_.find(ring.address);
    mark after;
    ring_(ring, before == marks_.end() ? nullptr : &before->second, after);
    marks_[ring.address] = std::move(after);
  }
  first_ = false;
}

void follower::heading_(const found_ring& ring) {
  if (!first_ && headed_ == ring.address) return;
  out_.text() += ring_heading(ring);
  headed_ = ring.address;
}

void follower::ring_(const found_ring& ring, const mark* before, mark& after) {
  // A ring given another array since (or a new logger) starts afresh.
  if (before != nullptr && (before->buffer != ring.buffer || before->size != ring.state.size)) {
    before = nullptr;
  }
  const uint64_t skip = before != nullptr ? printed_before(ring, before->last, before->last_at) : 0;
  // Nothing was lost when the ring still holds the last record printed, or
  // the first record not printed yet is its oldest and the one printed last
  // lies discarded before it, not yet written over: positions alone cannot
  // tell a ring that went round whole times since.
  const bool lost =
      before != nullptr && skip == 0 &&
      (ring.state.read_pos != before->next ||
       (!before->last.empty() && !left_in_place(ring, before->last, before->last_at)));
  after = before != nullptr ? *before : mark{ring.buffer, ring.state.size, 0, 0, {}};
  ring_walk walk(ring.state, ring.array, true);
  record_span record;
  for (uint64_t i = 0; i < skip; ++i) walk.next(record);
  bool headed = false;
  if (lost) {
    heading_(ring);
    headed = true;
    const uint32_t gap = static_cast<uint32_t>(
        (uint64_t{ring.state.read_pos} + ring.state.size - before->next) % ring.state.size);
    out_.text() += "# records lost since the last poll: at least " +
                   std::to_string(gap == 0 ? ring.state.size : gap) + " bytes\n";
  }
  for (uint32_t at = walk.position(); walk.next(record); at = walk.position()) {
    if (!headed) heading_(ring);
    headed = true;
    append_dump_line(out_.text(), record);
    after.last_at = at;
    after.last.assign(record.data, record.data + record.size);
  }
  if (first_ && !headed) heading_(ring);  // as recover, empty rings too
  after.next = walk.position();
}

int attach(pid_t pid, const attach_options& options,
           const std::function<void(const std::string&)>& note) {
  process_memory memory(pid);
  const layout_descriptors descriptors = find_descriptors(memory);
  if (descriptors.taken.empty()) {
    throw input_error(descriptors.refused.empty()
                          ? "no layout descriptor in its memory: the library is not loaded, or "
                            "it has made no logger yet"
                          : descriptors.refused);
  }
  if (options.follow) stop_on_signals();
  output out(STDOUT_FILENO);
  follower print(out);
  std::set<std::string> noted;  // a ring that stays unreadable is noted once
  for (;;) {
    const layout_rings rings = walk_registries(memory, descriptors);
    for (const std::string& line : rings.notes) {
      if (noted.insert(line).second) note(line);
    }
    print.poll(rings.rings);
    out.flush();
    if (!options.follow || !pause_for(options.interval)) return 0;
    if (!memory.refresh()) {
      note("the process has ended");
      return 0;
    }
  }
}

}  // namespace wexlog
