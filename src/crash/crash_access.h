// SPDX-License-Identifier: MIT
// What the crash recorder reads of one record store, taken from its fields
// without its logger's or its ring's semaphore: the crashing thread may hold
// either. Each field is read once, with a relaxed atomic load where another
// thread may be writing it, so that a ring pushed into meanwhile gives a
// possibly torn but never undefined picture. Nothing here allocates.
#ifndef WEX_LIB_LOG_CRASH_ACCESS_H
#define WEX_LIB_LOG_CRASH_ACCESS_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "relaxed.h"
#include "storage/store_commit_state.h"
#include "wex_lib_log_storage.h"

namespace velorin {

// What one store looked like when the recorder read it: plain values and
// pointers into the store's and ring's own memory, which the recorder hands
// to write(2) as they stand.
struct crash_view {
  int32_t trace_id;
  const char* name;
  size_t name_size;
  uintptr_t ring_address;
  int32_t empty;
  uint32_t write_pos;
  uint32_t read_pos;
  uint32_t size;
  const unsigned char* bytes;     // `size` bytes, or null without an array
  const unsigned char* building;  // the record under construction
  size_t building_size;
  uint8_t item_count;
  // A data item that begins the record under construction and is still in
  // the caller's bytes (a message being committed): its kind, size and bytes.
  const unsigned char* lent;
  uint32_t lent_size;
  uint8_t lent_kind;
};

// The one place allowed to read a store's and its ring's private fields for
// the recorder (a friend of both classes).
struct crash_access {
  static crash_view view(const wex_lib_log_storage& store) noexcept {
    const wex_lib_log_ring_buffer& ring = store.ring_buffer_;
    const wex_lib_log_storage::commit_state& state = store.state_();
    crash_view v{};
    v.trace_id = store.trace_id_;
    v.name = store.name_.data();
    v.name_size = store.name_.size();
    v.ring_address = reinterpret_cast<uintptr_t>(&ring);
    v.empty = relaxed(ring.empty_);
    v.write_pos = relaxed(ring.write_pos_);
    v.read_pos = relaxed(ring.read_pos_);
    v.size = relaxed(ring.size_);
    // Pairs with the ring's release fences: the bytes up to the write
    // position read here, and the read position's moves before them, show.
    std::atomic_thread_fence(std::memory_order_acquire);
    v.bytes = relaxed(ring.buffer_);
    v.building_size = relaxed(state.building_size);
    v.building = relaxed(state.building);
    v.item_count = relaxed(store.item_count_);
    v.lent = relaxed(state.borrowed);
    v.lent_size = relaxed(state.borrowed_size);
    v.lent_kind = relaxed(state.borrowed_kind);
    return v;
  }

  // The ring's empty flag and read position once more, after its bytes were
  // copied: a push that overwrote some of them has moved the read position
  // past them by then.
  static void positions_after_copy(const wex_lib_log_storage& store, int32_t& empty,
                                   uint32_t& read_pos) noexcept {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const wex_lib_log_ring_buffer& ring = store.ring_buffer_;
    empty = relaxed(ring.empty_);
    read_pos = relaxed(ring.read_pos_);
  }
};

}  // namespace velorin

#endif  // WEX_LIB_LOG_CRASH_ACCESS_H
