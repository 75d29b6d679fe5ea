// SPDX-License-Identifier: MIT
#include "ring_scan.h"

#include <cstring>
#include <map>
#include <tuple>
#include <unordered_map>

#include "codec/record_format.h"
#include "codec/ring_chain.h"

namespace wexlog {
namespace {

using velorin::ring_chain::chain_walk;
using velorin::ring_chain::kPrefixSize;
constexpr uint64_t kNameLimit = 4096;
// The record under construction is read only up to this size: far more than
// any record the library builds, and a bound on what a forged vector can
// make the scan copy.
constexpr uint64_t kUncommittedLimit = 1u << 24;

constexpr bool kHostBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

template <bool Swap>
inline uint32_t load32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return Swap ? __builtin_bswap32(v) : v;
}

template <bool Swap>
inline uint64_t load64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return Swap ? __builtin_bswap64(v) : v;
}

template <bool Swap, unsigned int P>
inline uint64_t load_pointer(const unsigned char* p) {
  if constexpr (P == 8) {
    return load64<Swap>(p);
  } else {
    return load32<Swap>(p);
  }
}

std::string text(const char* what, uint64_t a, const char* then, uint64_t b) {
  return what + std::to_string(a) + then + std::to_string(b);
}

// Rings on one array, of one size, with one write position.
using array_key = std::tuple<uint64_t, uint32_t, uint32_t>;
array_key key_of(const found_ring& ring) {
  return array_key{ring.buffer, ring.state.size, ring.state.write_pos};
}

// What a walk from one ring record found up to the write position.
struct walk_summary {
  uint64_t records = 0;
  std::optional<tear> torn;
};

// Candidates on one array, size and write position, and once a second one
// is walked, the summary of the walk from each ring record walked since.
struct shared_array {
  uint64_t walks = 0;
  std::unordered_map<uint32_t, walk_summary> from;
  std::optional<walk_summary> full;  // from the write position round the whole ring
};

// Scans the writable segments of a core of byte order Swap and pointer
// width P.
template <bool Swap, unsigned int P>
class scanner {
 public:
  scanner(const core_image& core, const scan_options& options, scan_stats& stats)
      : core_(core), options_(options), stats_(stats), budget_(64) {
    for (const segment& seg : core.segments()) budget_ += seg.file_size;
  }

  void scan(std::vector<found_ring>& out) {
    for (const segment& seg : core_.segments()) {
      if (!seg.writable) continue;
      stats_.bytes_scanned += seg.file_size;
      scan_segment_(seg, out);
    }
  }

 private:
  void scan_segment_(const segment& seg, std::vector<found_ring>& out) {
    constexpr uint64_t kFieldsSize = 16 + P;
    if (seg.file_size < kFieldsSize) return;
    const unsigned char* base = seg.bytes;
    const uint64_t last = seg.file_size - kFieldsSize;
    const bool include_empty = options_.include_empty;
    for (uint64_t offset = (P - seg.address % P) % P; offset <= last; offset += P) {
      const unsigned char* p = base + offset;
      const uint32_t empty = load32<Swap>(p), write_pos = load32<Swap>(p + 4);
      const uint32_t read_pos = load32<Swap>(p + 8), size = load32<Swap>(p + 12);
      // One branch for all the field tests: memory full of zeros and small
      // numbers would make separate ones mispredict. A ring holding records
      // holds at least one ring record of a 4-byte prefix and a 9-byte
      // header; an empty flag of 1 with the positions apart is a push into
      // an empty ring caught half done.
      const bool holding = (empty == 0) & (size >= kPrefixSize + velorin::log_record::kHeaderSize);
      const bool empty_ring = (empty == 1) & ((write_pos != read_pos) | include_empty);
      if (!((holding | empty_ring) & (write_pos < size) & (read_pos < size) &
            (load_pointer<Swap, P>(p + 16) != 0))) {
        continue;
      }
      examine_(seg, seg.address + offset, p, out);
    }
  }

  void examine_(const segment& seg, uint64_t address, const unsigned char* fields,
                std::vector<found_ring>& out) {
    ++stats_.candidates;
    found_ring ring;
    ring.address = address;
    ring.buffer = load_pointer<Swap, P>(fields + 16);
    ring.state = ring_state{static_cast<int32_t>(load32<Swap>(fields)), load32<Swap>(fields + 4),
                            load32<Swap>(fields + 8), load32<Swap>(fields + 12)};
    const unsigned char* bytes = array_(seg, ring.buffer, ring.state.size);
    if (bytes == nullptr) return;
    const std::optional<walk_summary> walked = walk_(ring, bytes);
    if (!walked) {
      ++stats_.skipped;
      return;
    }
    ring.records = ring.shown = walked->records;
    ring.torn = walked->torn;
    const bool holding = ring.records != 0 && !ring.torn;
    const bool recognised = recognise_store_(ring);
    if (holding || (recognised && (ring.torn || options_.include_empty))) {
      out.push_back(std::move(ring));
    }
  }

  // Takes one ring record from the budget; false when it is spent.
  bool step_() {
    if (budget_ == 0) return false;
    --budget_;
    ++stats_.steps;
    return true;
  }

  // The walk of the ring's chain; from the second candidate on an array,
  // size and write position on, it stops at a ring record already walked.
  // Nothing once the budget is spent.
  std::optional<walk_summary> walk_(const found_ring& ring, const unsigned char* bytes) {
    ring_walk walk(ring.state, bytes, true);
    record_span record;
    if (ring.state.empty != 0) {
      walk.next(record);
      return walk_summary{0, walk.torn()};
    }
    shared_array& shared = arrays_[key_of(ring)];
    // The write position starts a full ring's walk but ends every other, so
    // the walk from there is kept apart.
    const uint32_t end = ring.state.write_pos;
    const bool full = ring.state.read_pos == end;
    if (full && shared.full) return *shared.full;
    std::vector<uint32_t> path;
    walk_summary tail;
    const bool keep = ++shared.walks > 1;
    for (;;) {
      const uint32_t at = walk.position();
      if (keep && !(at == end && path.empty())) {
        const auto known = shared.from.find(at);
        if (known != shared.from.end()) {
          tail = known->second;
          break;
        }
      }
      if (!step_()) return std::nullopt;
      if (!walk.next(record)) {
        tail.torn = walk.torn();
        if (keep && tail.torn && at != end) shared.from.emplace(at, tail);
        break;
      }
      if (keep) path.push_back(at);
    }
    for (size_t i = 0; i < path.size(); ++i) {
      if (path[i] != end) {
        shared.from.emplace(path[i], walk_summary{tail.records + (path.size() - i), tail.torn});
      }
    }
    const walk_summary result = keep ? walk_summary{tail.records + path.size(), tail.torn}
                                     : walk_summary{walk.records(), walk.torn()};
    if (full) shared.full = result;
    return result;
  }

  // The array usually lies in the ring's own segment; no lookup needed then.
  const unsigned char* array_(const segment& seg, uint64_t buffer, uint32_t size) {
    const bool here = buffer >= seg.address && size <= seg.file_size &&
                      buffer - seg.address <= seg.file_size - size;
    return here ? seg.bytes + (buffer - seg.address) : core_.bytes(buffer, size, scratch_);
  }

  // The record store around a ring, when it has the layout described in the
  // header; fills the name, trace identifier and record under construction.
  bool recognise_store_(found_ring& ring) {
    constexpr uint64_t kRingOffset = 8 * P + 16;
    if (ring.address < kRingOffset) return false;
    const uint64_t store = ring.address - kRingOffset;
    std::vector<unsigned char> scratch, name_scratch;
    const unsigned char* s = core_.bytes(store, kRingOffset, scratch);
    if (s == nullptr) return false;
    const uint64_t vtable = load_pointer<Swap, P>(s);
    if (vtable == 0 || vtable % P != 0 || !core_.mapped(vtable)) return false;
    const uint64_t data = load_pointer<Swap, P>(s + 2 * P);
    const uint64_t length = load_pointer<Swap, P>(s + 3 * P);
    const unsigned char* name = nullptr;
    if (data == store + 4 * P) {
      if (length > 15) return false;
      name = s + 4 * P;
    } else {
      if (length > kNameLimit || load_pointer<Swap, P>(s + 4 * P) < length) return false;
      name = core_.bytes(data, length + 1, name_scratch);
      if (name == nullptr) return false;
    }
    if (name[length] != 0) return false;
    ring.name.assign(reinterpret_cast<const char*>(name), length);
    ring.trace_id = static_cast<int32_t>(load32<Swap>(s + P));
    ring.store_recognised = true;
    read_uncommitted_(s + 4 * P + 16, s[7 * P + 16], ring.uncommitted);
    return true;
  }

  // The items of the record under construction that the item count says are
  // whole: the count rises only once an item is written, and the bytes past
  // them belong to an item still being written (zeros the record grew by).
  void read_uncommitted_(const unsigned char* vector, unsigned int count,
                         std::vector<unsigned char>& items) {
    const uint64_t begin = load_pointer<Swap, P>(vector);
    const uint64_t end = load_pointer<Swap, P>(vector + P);
    if (begin > end || end - begin > kUncommittedLimit) return;
    std::vector<unsigned char> scratch;
    const unsigned char* bytes = core_.bytes(begin, end - begin, scratch);
    if (bytes == nullptr) return;
    velorin::log_record::reader in(bytes, end - begin);
    velorin::log_record::item item;
    for (unsigned int i = 0; i < count && in.unread() != 0; ++i) {
      if (!in.read_item(item)) break;
    }
    items.assign(bytes, bytes + (end - begin - in.unread()));
  }

  const core_image& core_;
  const scan_options& options_;
  scan_stats& stats_;
  std::map<array_key, shared_array> arrays_;
  std::vector<unsigned char> scratch_;
  uint64_t budget_;  // ring records the walks may still read
};

// Limits the records shown of rings on one array, size and write position
// to those no earlier ring shows: each ring walks its chain until a ring
// record an earlier one showed.
void share_records(const core_image& core, std::vector<found_ring>& rings) {
  std::map<array_key, std::vector<found_ring*>> arrays;
  for (found_ring& ring : rings) {
    if (ring.state.empty == 0 && ring.records != 0) arrays[key_of(ring)].push_back(&ring);
  }
  std::vector<unsigned char> scratch;
  for (auto& [key, group] : arrays) {
    if (group.size() < 2) continue;
    const unsigned char* bytes = core.bytes(group[0]->buffer, group[0]->state.size, scratch);
    if (bytes == nullptr) continue;
    std::unordered_map<uint32_t, uint64_t> shown_by;
    for (found_ring* ring : group) {
      ring_walk walk(ring->state, bytes, true);
      record_span record;
      for (ring->shown = 0;; ++ring->shown) {
        const uint32_t at = walk.position();
        const auto by = shown_by.find(at);
        // The write position ends every walk but a full ring's, which starts there.
        if (by != shown_by.end() && (at != ring->state.write_pos || ring->shown == 0)) {
          ring->joins = found_ring::join{at, by->second};
          break;
        }
        if (!walk.next(record)) break;
        shown_by.emplace(at, ring->address);
      }
    }
  }
}

}  // namespace

std::optional<std::string> unusable_fields(const ring_state& state) {
  using velorin::ring_chain::field_fault;
  switch (velorin::ring_chain::check_fields(state)) {
    case field_fault::none:
      return std::nullopt;
    case field_fault::zero_size:
      return std::string("ring size is 0");
    case field_fault::write_pos:
      return text("write position ", state.write_pos, " is not below the ring size ", state.size);
    case field_fault::read_pos:
      return text("read position ", state.read_pos, " is not below the ring size ", state.size);
    case field_fault::empty_flag:
      return "empty flag " + std::to_string(state.empty) + " is neither 0 nor 1";
  }
  return std::nullopt;
}

std::string describe(const tear& where, const ring_state& state) {
  switch (where.kind) {
    case tear::moved_while_empty:
      return text("empty ring with write position ", state.write_pos, " and read position ",
                  state.read_pos);
    case tear::zero_length:
      return "ring record at offset " + std::to_string(where.offset) + " has length 0";
    case tear::past_write:
      return text("ring record at offset ", where.offset, " runs past the write position: length ",
                  where.length);
    case tear::unparsed:
      return text("ring record at offset ", where.offset, " holds no whole log record: length ",
                  where.length);
  }
  return {};
}

std::string tear_note(const tear& where, const ring_state& state) {
  return "torn at offset " + std::to_string(where.offset) + " (" + describe(where, state) +
         "); the records before it are shown";
}

ring_walk::ring_walk(const ring_state& state, const unsigned char* bytes, bool parse)
    : bytes_(bytes), size_(state.size), parse_(parse), chain_(bytes, state) {
  if (state.empty == 1 && state.write_pos != state.read_pos) {
    stop_(tear::moved_while_empty, state.read_pos, 0);
  }
}

bool ring_walk::stop_(tear::kind_t kind, uint32_t offset, uint32_t length) {
  torn_ = tear{kind, offset, length};
  chain_ = chain_walk(bytes_, size_, offset, 0);
  return false;
}

bool ring_walk::next(record_span& record) {
  velorin::ring_chain::ring_record at;
  switch (chain_.look(at)) {
    case chain_walk::kEnd:
      return false;
    case chain_walk::kZeroLength:
      return stop_(tear::zero_length, at.offset, 0);
    case chain_walk::kPastEnd:
      return stop_(tear::past_write, at.offset, at.length);
    case chain_walk::kRecord:
      break;
  }
  const uint32_t start = chain_.payload_at(at);
  if (at.length <= size_ - start) {
    record = record_span(bytes_ + start, at.length);
  } else {
    scratch_.resize(at.length);
    velorin::ring_chain::copy_out(scratch_.data(), bytes_, size_, start, at.length);
    record = record_span(scratch_);
  }
  if (parse_ && !is_whole_record(record)) return stop_(tear::unparsed, at.offset, at.length);
  chain_.pass(at);
  ++records_;
  return true;
}

bool is_whole_record(record_span record) {
  size_t unread = 0;
  const bool parsed = velorin::log_record::read_record(
      record.data, record.size, [](const velorin::log_record::header&) {},
      [](const velorin::log_record::item&) {}, &unread);
  return parsed && unread == 0;
}

std::vector<found_ring> find_rings(const core_image& core, const scan_options& options,
                                   scan_stats* stats) {
  std::vector<found_ring> out;
  scan_stats local;
  scan_stats& s = stats ? *stats : local;
  const bool swap = core.big_endian() != kHostBigEndian;
  if (core.pointer_size() == 8) {
    swap ? scanner<true, 8>(core, options, s).scan(out)
         : scanner<false, 8>(core, options, s).scan(out);
  } else {
    swap ? scanner<true, 4>(core, options, s).scan(out)
         : scanner<false, 4>(core, options, s).scan(out);
  }
  share_records(core, out);
  s.rings = out.size();
  return out;
}

}  // namespace wexlog
