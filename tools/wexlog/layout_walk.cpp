// SPDX-License-Identifier: MIT
#include "layout_walk.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "codec/byte_order.h"
#include "codec/layout_format.h"
#include "codec/record_format.h"
#include "render.h"

namespace wexlog {
namespace {

namespace layout = velorin::layout;
using layout::layout_field_id;

constexpr uint64_t kNameLimit = 4096;
constexpr uint64_t kObjectLimit = 4096;
constexpr uint64_t kUncommittedLimit = 1u << 24;

constexpr uint64_t kSearchChunk = 1u << 20;
// Copies of a ring's array taken before the records that cannot have
// changed are kept (a core's agree at once).
constexpr unsigned int kReadAttempts = 4;

// Integers and pointers of the memory's byte order and width.
class memory_values {
 public:
  explicit memory_values(const memory_source& memory)
      : big_(memory.big_endian()), pointer_(memory.pointer_size()) {}
  uint64_t load(const unsigned char* p, unsigned int n) const {
    return velorin::load_ordered(p, n, big_);
  }
  uint32_t u32(const unsigned char* p) const { return static_cast<uint32_t>(load(p, 4)); }
  uint64_t pointer(const unsigned char* p) const { return load(p, pointer_); }
  unsigned int pointer_size() const { return pointer_; }

 private:
  bool big_;
  unsigned int pointer_;
};

// A descriptor read into host values, or why it was refused.
struct descriptor {
  uint64_t registry = 0;
  uint32_t object_size[3] = {};
  layout::field_place fields[layout::kFieldCount] = {};
};

std::string check(const unsigned char* d, const memory_values& v, descriptor& out) {
  const uint32_t version = v.u32(d + layout::kVersionAt);
  if (v.u32(d + layout::kByteOrderAt) != layout::kByteOrderMark) {
    return "its byte order is not the memory's";
  }
  if (version != layout::kLayoutVersion) {
    return "version " + std::to_string(version) + ", this wexlog reads version " +
           std::to_string(layout::kLayoutVersion);
  }
  const uint32_t pointer = v.u32(d + layout::kPointerSizeAt);
  if (pointer != v.pointer_size()) {
    return "pointers of " + std::to_string(pointer) + " bytes in memory of " +
           std::to_string(v.pointer_size());
  }
  if (v.u32(d + layout::kDescriptorSizeAt) != layout::kDescriptorSize ||
      v.u32(d + layout::kFieldCountAt) != layout::kFieldCount) {
    return "its size or field count is not version 1's";
  }
  out.registry = v.load(d + layout::kRegistryAt, 8);
  for (unsigned int i = 0; i < 3; ++i) {
    out.object_size[i] = v.u32(d + layout::kObjectSizesAt + 4 * i);
    if (out.object_size[i] == 0 || out.object_size[i] > kObjectLimit) {
      return "object size " + std::to_string(out.object_size[i]);
    }
  }
  for (unsigned int i = 0; i < layout::kFieldCount; ++i) {
    const layout::field_shape shape = layout::kFieldWidths[i];
    const layout::field_place place{v.u32(d + layout::kFieldsAt + 8 * i),
                                    v.u32(d + layout::kFieldsAt + 8 * i + 4)};
    const uint32_t width = shape.width == layout::kPointerWidth ? pointer
                           : shape.width == layout::kRingWidth  ? out.object_size[layout::in_ring]
                                                                : shape.width;
    if (place.size != width ||
        uint64_t{place.offset} + place.size > out.object_size[shape.object]) {
      return "field " + std::to_string(i) + " at offset " + std::to_string(place.offset) +
             " of size " + std::to_string(place.size);
    }
    out.fields[i] = place;
  }
  return {};
}

class registry_walk {
 public:
  registry_walk(const memory_source& memory, layout_rings& result, scan_stats& stats)
      : memory_(memory), v_(memory), result_(result), stats_(stats), budget_(memory.extent()) {}

  void walk(const descriptor& d) {
    d_ = &d;
    std::vector<unsigned char> scratch;
    const unsigned char* head = memory_.bytes(d.registry, v_.pointer_size(), scratch);
    if (head == nullptr) return note("registry head " + hex_address(d.registry) + missing());
    for (uint64_t node = v_.pointer(head); node != 0 && !spent_;) {
      if (visited_.size() == kNodeLimit) return note("more than 65536 loggers: the rest not read");
      if (!visited_.insert(node).second)
        return note("registry reaches node " + hex_address(node) + " again");
      const unsigned char* n = memory_.bytes(node, d.object_size[layout::in_node], scratch);
      if (n == nullptr) return note("registry node " + hex_address(node) + missing());
      const uint64_t next = value(n, layout::node_next);
      store_(n);
      node = next;
    }
  }

 private:
  uint64_t value(const unsigned char* object, layout_field_id id) const {
    return v_.load(object + d_->fields[id].offset, d_->fields[id].size);
  }

  void note(const std::string& line) { result_.notes.push_back(line); }
  std::string missing() const { return std::string(" is not in ") + memory_.name(); }

  // The `n` bytes at `address`, counted against the budget; null when they
  // are missing or the budget is spent.
  const unsigned char* take_(uint64_t address, uint64_t n, std::vector<unsigned char>& scratch) {
    static const unsigned char nothing = 0;
    if (n == 0) return &nothing;  // an empty name or lent item, wherever it points
    if (spent_) return nullptr;
    if (n > budget_) {
      note(std::string("the loggers' memory read so far exceeds ") + memory_.name() +
           ": the rest not read");
      spent_ = true;
      return nullptr;
    }
    const unsigned char* bytes = memory_.bytes(address, n, scratch);
    if (bytes != nullptr) budget_ -= n;
    return bytes;
  }

  void store_(const unsigned char* n) {
    const uint64_t address = value(n, layout::node_store);
    if (!stores_.insert(address).second) return;
    std::vector<unsigned char> scratch;
    const unsigned char* s = memory_.bytes(address, d_->object_size[layout::in_store], scratch);
    if (s == nullptr) return note("logger store " + hex_address(address) + missing());
    found_ring ring;
    name_(n, s, ring);
    if (spent_) return;
    if (!ring.store_recognised)
      note("logger store " + hex_address(address) + ": its name" + missing());
    ring.address = address + d_->fields[layout::store_ring].offset;
    ring_fields_(s + d_->fields[layout::store_ring].offset, ring);
    if (ring.state.size == 0) return;  // a logger without a ring
    const std::string which = "ring " + hex_address(ring.address) + ": ";
    if (const auto why = unusable_fields(ring.state)) return note(which + *why);
    std::vector<unsigned char> copy;
    ring.array = array_(ring, copy, which);
    if (ring.array == nullptr) return;
    if (!copy.empty() && ring.array == copy.data()) result_.copies.push_back(std::move(copy));
    ring_walk walk(ring.state, ring.array, true);
    for (record_span record; walk.next(record);) ++stats_.steps;
    ring.records = ring.shown = walk.records();
    ring.torn = walk.torn();
    uncommitted_(s, ring.uncommitted);
    result_.rings.push_back(std::move(ring));
  }

  void name_(const unsigned char* n, const unsigned char* s, found_ring& ring) {
    const uint64_t size = value(n, layout::node_name_size);
    std::vector<unsigned char> scratch;
    const unsigned char* name =
        size <= kNameLimit ? take_(value(n, layout::node_name), size, scratch) : nullptr;
    if (name == nullptr) return;
    ring.name.assign(reinterpret_cast<const char*>(name), size);
    ring.trace_id = static_cast<int32_t>(value(s, layout::store_trace_id));
    ring.store_recognised = true;
  }

  void ring_fields_(const unsigned char* r, found_ring& ring) const {
    ring.buffer = value(r, layout::ring_array);
    ring.state = ring_state{static_cast<int32_t>(value(r, layout::ring_empty)),
                            static_cast<uint32_t>(value(r, layout::ring_write_pos)),
                            static_cast<uint32_t>(value(r, layout::ring_read_pos)),
                            static_cast<uint32_t>(value(r, layout::ring_size))};
  }

  // The ring's array, copied between two reads of its control fields, and
  // in `ring.state` the fields that hold for the copy. Null, and noted,
  // when the array is missing, or the ring was replaced meanwhile.
  const unsigned char* array_(found_ring& ring, std::vector<unsigned char>& copy,
                              const std::string& which) {
    std::vector<unsigned char> scratch;
    for (unsigned int attempt = 1;; ++attempt) {
      // Taken from the budget once: the copies again are as many as the
      // attempts, whatever the memory holds.
      const unsigned char* bytes = attempt == 1 ? take_(ring.buffer, ring.state.size, copy)
                                                : memory_.bytes(ring.buffer, ring.state.size, copy);
      if (bytes == nullptr) {
        if (!spent_) note(which + "its array" + missing());
        return nullptr;
      }
      const unsigned char* r =
          memory_.bytes(ring.address, d_->object_size[layout::in_ring], scratch);
      found_ring after{};
      if (r != nullptr) ring_fields_(r, after);
      if (r == nullptr || after.buffer != ring.buffer || after.state.size != ring.state.size ||
          unusable_fields(after.state)) {
        note(which + "it was replaced while it was read");
        return nullptr;
      }
      const ring_state& a = after.state;
      const ring_state& b = ring.state;
      if (a.empty == b.empty && a.write_pos == b.write_pos && a.read_pos == b.read_pos) {
        return bytes;
      }
      if (attempt == kReadAttempts) {
        ring.state = unchanged_records(b, a);
        return bytes;
      }
      ring.state = a;
    }
  }

  // The lent data item, as its head and the caller's bytes, then the whole
  // items; either part is left out when the memory lacks it.
  void uncommitted_(const unsigned char* s, std::vector<unsigned char>& items) {
    std::vector<unsigned char> scratch;
    const uint64_t lent = value(s, layout::store_lent);
    const uint64_t lent_size = value(s, layout::store_lent_size);
    if (lent != 0 && lent_size <= velorin::log_record::kDataLimit) {
      if (const unsigned char* bytes = take_(lent, lent_size, scratch)) {
        items.resize(velorin::log_record::data_item_size(lent_size));
        velorin::log_record::write_data_item(
            items.data(), static_cast<unsigned int>(value(s, layout::store_lent_kind)), bytes,
            static_cast<unsigned int>(lent_size));
      }
    }
    const uint64_t size = value(s, layout::store_building_size);
    if (size == 0 || size > kUncommittedLimit) return;
    if (const unsigned char* bytes = take_(value(s, layout::store_building), size, scratch)) {
      items.insert(items.end(), bytes, bytes + size);
    }
  }

  const memory_source& memory_;
  memory_values v_;
  layout_rings& result_;
  scan_stats& stats_;
  const descriptor* d_ = nullptr;
  uint64_t budget_;
  bool spent_ = false;
  // Nodes and stores met by the walks of every descriptor: at most
  // kNodeLimit nodes are read, whatever number of descriptors lead to them.
  std::unordered_set<uint64_t> visited_, stores_;
};

// The descriptor at `address`, or why it is refused.
std::string read_descriptor(const memory_source& memory, uint64_t address, descriptor& out) {
  std::vector<unsigned char> scratch;
  const unsigned char* d = memory.bytes(address, layout::kDescriptorSize, scratch);
  return d ? check(d, memory_values(memory), out) : "it is cut short";
}

// Calls found(address) for each 4-byte aligned magic in the range, read in
// pieces that overlap by less than the magic, so that each is met once.
template <class Found>
void search_range(const memory_source& memory, const memory_range& range, Found&& found) {
  constexpr uint64_t kMagicSize = sizeof layout::kLayoutMagic;
  std::vector<unsigned char> scratch;
  for (uint64_t done = 0; range.size - done >= kMagicSize;) {
    const uint64_t piece = std::min(range.size - done, kSearchChunk + kMagicSize - 1);
    const unsigned char* bytes = memory.bytes(range.address + done, piece, scratch);
    if (bytes == nullptr) return;
    const unsigned char* const end = bytes + piece;
    for (const unsigned char* at = bytes;; ++at) {
      at = static_cast<const unsigned char*>(
          memmem(at, static_cast<size_t>(end - at), layout::kLayoutMagic, kMagicSize));
      if (at == nullptr) break;
      const uint64_t address = range.address + done + static_cast<uint64_t>(at - bytes);
      if (address % 4 == 0) found(address);
    }
    done += piece - (kMagicSize - 1);
  }
}

}  // namespace

layout_descriptors find_descriptors(const memory_source& memory, scan_stats* stats) {
  layout_descriptors result;
  scan_stats local;
  scan_stats& s = stats ? *stats : local;
  for (const memory_range& range : memory.data_ranges()) {
    s.bytes_scanned += range.size;
    search_range(memory, range, [&](uint64_t address) {
      ++s.candidates;
      descriptor taken;
      const std::string why = read_descriptor(memory, address, taken);
      if (why.empty()) {
        result.taken.push_back(address);
        result.refused.clear();
      } else if (result.taken.empty()) {
        result.refused = "layout descriptor at " + hex_address(address) + " refused: " + why;
      }
    });
  }
  return result;
}

layout_rings walk_registries(const memory_source& memory, const layout_descriptors& descriptors,
                             scan_stats* stats) {
  layout_rings result;
  scan_stats local;
  scan_stats& s = stats ? *stats : local;
  result.refused = descriptors.refused;
  registry_walk registry(memory, result, s);
  for (const uint64_t address : descriptors.taken) {
    descriptor taken;
    if (read_descriptor(memory, address, taken).empty()) {
      result.found = true;
      registry.walk(taken);
    }
  }
  std::sort(result.rings.begin(), result.rings.end(),
            [](const found_ring& a, const found_ring& b) { return a.address < b.address; });
  s.rings = result.rings.size();
  return result;
}

layout_rings rings_by_layout(const memory_source& memory, scan_stats* stats) {
  return walk_registries(memory, find_descriptors(memory, stats), stats);
}

ring_state unchanged_records(const ring_state& before, const ring_state& after) {
  const uint32_t size = before.size;
  const ring_state none{1, before.write_pos, before.write_pos, size};
  if (before.empty != 0 || after.empty != 0) return none;
  const auto ahead = [size](uint32_t from, uint32_t to) {
    return static_cast<uint32_t>((uint64_t{to} + size - from) % size);
  };
  const uint32_t held =
      before.write_pos == before.read_pos ? size : ahead(before.read_pos, before.write_pos);
  if (ahead(before.read_pos, after.read_pos) >= held) return none;
  return ring_state{0, before.write_pos, after.read_pos, size};
}

}  // namespace wexlog
