// SPDX-License-Identifier: MIT
#include "layout_walk.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

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

// Integers and pointers of the core's byte order and width.
class core_values {
 public:
  explicit core_values(const core_image& core)
      : big_(core.big_endian()), pointer_(core.pointer_size()) {}
  uint64_t load(const unsigned char* p, unsigned int n) const {
    uint64_t v = 0;
    for (unsigned int i = 0; i < n; ++i) v |= uint64_t{p[big_ ? n - 1 - i : i]} << (8 * i);
    return v;
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

std::string check(const unsigned char* d, const core_values& v, descriptor& out) {
  const uint32_t version = v.u32(d + layout::kVersionAt);
  if (v.u32(d + layout::kByteOrderAt) != layout::kByteOrderMark) {
    return "its byte order is not the core's";
  }
  if (version != layout::kLayoutVersion) {
    return "version " + std::to_string(version) + ", this wexlog reads version " +
           std::to_string(layout::kLayoutVersion);
  }
  const uint32_t pointer = v.u32(d + layout::kPointerSizeAt);
  if (pointer != v.pointer_size()) {
    return "pointers of " + std::to_string(pointer) + " bytes in a core of " +
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
  registry_walk(const core_image& core, layout_rings& result, scan_stats& stats)
      : core_(core), v_(core), result_(result), stats_(stats) {
    for (const segment& seg : core.segments()) budget_ += seg.file_size;
  }

  void walk(const descriptor& d) {
    d_ = &d;
    std::vector<unsigned char> scratch;
    const unsigned char* head = core_.bytes(d.registry, v_.pointer_size(), scratch);
    if (head == nullptr)
      return note("registry head " + hex_address(d.registry) + " is not in the core");
    for (uint64_t node = v_.pointer(head); node != 0 && !spent_;) {
      if (visited_.size() == kNodeLimit) return note("more than 65536 loggers: the rest not read");
      if (!visited_.insert(node).second)
        return note("registry reaches node " + hex_address(node) + " again");
      const unsigned char* n = core_.bytes(node, d.object_size[layout::in_node], scratch);
      if (n == nullptr) return note("registry node " + hex_address(node) + " is not in the core");
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

  // The `n` bytes at `address`, counted against the budget; null when they
  // are missing or the budget is spent.
  const unsigned char* take_(uint64_t address, uint64_t n, std::vector<unsigned char>& scratch) {
    static const unsigned char nothing = 0;
    if (n == 0) return &nothing;  // an empty name or lent item, wherever it points
    if (spent_) return nullptr;
    if (n > budget_) {
      note("the loggers' memory read so far exceeds the core: the rest not read");
      spent_ = true;
      return nullptr;
    }
    const unsigned char* bytes = core_.bytes(address, n, scratch);
    if (bytes != nullptr) budget_ -= n;
    return bytes;
  }

  void store_(const unsigned char* n) {
    const uint64_t address = value(n, layout::node_store);
    if (!stores_.insert(address).second) return;
    std::vector<unsigned char> scratch;
    const unsigned char* s = core_.bytes(address, d_->object_size[layout::in_store], scratch);
    if (s == nullptr) return note("logger store " + hex_address(address) + " is not in the core");
    found_ring ring;
    const uint64_t name_size = value(n, layout::node_name_size);
    std::vector<unsigned char> name_scratch;
    const unsigned char* name = name_size <= kNameLimit
                                    ? take_(value(n, layout::node_name), name_size, name_scratch)
                                    : nullptr;
    if (spent_) return;
    if (name != nullptr) {
      ring.name.assign(reinterpret_cast<const char*>(name), name_size);
      ring.trace_id = static_cast<int32_t>(value(s, layout::store_trace_id));
      ring.store_recognised = true;
    } else {
      note("logger store " + hex_address(address) + ": its name is not in the core");
    }
    const unsigned char* r = s + d_->fields[layout::store_ring].offset;
    ring.address = address + d_->fields[layout::store_ring].offset;
    ring.buffer = value(r, layout::ring_array);
    ring.state = ring_state{static_cast<int32_t>(value(r, layout::ring_empty)),
                            static_cast<uint32_t>(value(r, layout::ring_write_pos)),
                            static_cast<uint32_t>(value(r, layout::ring_read_pos)),
                            static_cast<uint32_t>(value(r, layout::ring_size))};
    if (ring.state.size == 0) return;  // a logger without a ring
    const std::string which = "ring " + hex_address(ring.address) + ": ";
    if (const auto why = unusable_fields(ring.state)) return note(which + *why);
    std::vector<unsigned char> array_scratch;
    const unsigned char* bytes = take_(ring.buffer, ring.state.size, array_scratch);
    if (bytes == nullptr) return spent_ ? void() : note(which + "its array is not in the core");
    ring_walk walk(ring.state, bytes, true);
    for (record_span record; walk.next(record);) ++stats_.steps;
    ring.records = ring.shown = walk.records();
    ring.torn = walk.torn();
    uncommitted_(s, ring.uncommitted);
    result_.rings.push_back(std::move(ring));
  }

  // The lent data item, as its head and the caller's bytes, then the whole
  // items; either part is left out when the core lacks it.
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

  const core_image& core_;
  core_values v_;
  layout_rings& result_;
  scan_stats& stats_;
  const descriptor* d_ = nullptr;
  uint64_t budget_ = 0;
  bool spent_ = false;
  // Nodes and stores met by the walks of every descriptor: at most
  // kNodeLimit nodes are read, whatever number of descriptors lead to them.
  std::unordered_set<uint64_t> visited_, stores_;
};

}  // namespace

layout_rings rings_by_layout(const core_image& core, scan_stats* stats) {
  layout_rings result;
  scan_stats local;
  scan_stats& s = stats ? *stats : local;
  const core_values v(core);
  registry_walk registry(core, result, s);
  std::vector<unsigned char> scratch;
  for (const segment& seg : core.segments()) {
    if (!seg.writable) continue;
    s.bytes_scanned += seg.file_size;
    const auto* end = seg.bytes + seg.file_size;
    for (const unsigned char* at = seg.bytes;; ++at) {
      at = static_cast<const unsigned char*>(
          memmem(at, static_cast<size_t>(end - at), layout::kLayoutMagic, 16));
      if (at == nullptr) break;
      const uint64_t address = seg.address + static_cast<uint64_t>(at - seg.bytes);
      if (address % 4 != 0) continue;
      ++s.candidates;
      const unsigned char* d = core.bytes(address, layout::kDescriptorSize, scratch);
      descriptor taken;
      std::string why = d ? check(d, v, taken) : "it is cut short";
      if (!why.empty()) {
        if (!result.found)
          result.refused = "layout descriptor at " + hex_address(address) + " refused: " + why;
        continue;
      }
      result.found = true;
      result.refused.clear();
      registry.walk(taken);
    }
  }
  std::sort(result.rings.begin(), result.rings.end(),
            [](const found_ring& a, const found_ring& b) { return a.address < b.address; });
  s.rings = result.rings.size();
  return result;
}

}  // namespace wexlog
