// SPDX-License-Identifier: MIT
// The one place that measures where a record store's and its ring's fields
// lie, for the layout descriptor (a friend of both classes).
//
// The classes are not standard-layout (a virtual destructor, private
// members), where offsetof is only conditionally supported and warns. So the
// offsets are taken as differences of member addresses in a real store, once,
// when the first store registers: that needs no object built for the purpose
// (a store owns a semaphore and an array), and it measures exactly the layout
// this compiler, standard library and ABI gave the classes.
#ifndef WEX_LIB_LOG_LAYOUT_ACCESS_H
#define WEX_LIB_LOG_LAYOUT_ACCESS_H

#include <cstdint>

#include "codec/layout_format.h"
#include "storage/store_commit_state.h"
#include "wex_lib_log_storage.h"

namespace velorin {

struct layout_access {
  static const std::string& name(const wex_lib_log_storage& store) noexcept { return store.name_; }

  // Fills the store's and ring's object sizes and fields of `d`.
  static void describe(const wex_lib_log_storage& store, layout::layout_descriptor& d) noexcept {
    using namespace layout;
    const wex_lib_log_ring_buffer& ring = store.ring_buffer_;
    const wex_lib_log_storage::commit_state& state = store.state_();
    d.store_size = sizeof store;
    d.ring_size = sizeof ring;
    place(d, store_trace_id, &store, store.trace_id_);
    place(d, store_ring, &store, ring);
    place(d, store_building, &store, state.building);
    place(d, store_building_size, &store, state.building_size);
    place(d, store_item_count, &store, store.item_count_);
    place(d, store_lent, &store, state.borrowed);
    place(d, store_lent_size, &store, state.borrowed_size);
    place(d, store_lent_kind, &store, state.borrowed_kind);
    place(d, ring_empty, &ring, ring.empty_);
    place(d, ring_write_pos, &ring, ring.write_pos_);
    place(d, ring_read_pos, &ring, ring.read_pos_);
    place(d, ring_size, &ring, ring.size_);
    place(d, ring_array, &ring, ring.buffer_);
  }

  template <class Object, class Field>
  static void place(layout::layout_descriptor& d, layout::layout_field_id id, const Object* object,
                    const Field& field) noexcept {
    d.fields[id] = {static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&field) -
                                          reinterpret_cast<uintptr_t>(object)),
                    static_cast<uint32_t>(sizeof field)};
  }
};

}  // namespace velorin

#endif  // WEX_LIB_LOG_LAYOUT_ACCESS_H
