#include "ring_scan.h"

#include <algorithm>
#include <cstring>

#include "storage/wex_lib_log_record.h"

namespace wexlog {
namespace {

constexpr uint32_t kPrefixSize = 4;
constexpr uint64_t kNameLimit = 4096;

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

// The little-endian length prefix at `pos`, which may wrap at the end.
uint32_t prefix_at(const unsigned char* bytes, uint32_t size, uint32_t pos) {
  uint32_t length = 0;
  for (unsigned int i = 0; i < kPrefixSize; ++i) {
    const uint64_t at = uint64_t{pos} + i;  // below 2 * size: no division needed
    length |= uint32_t{bytes[at < size ? at : at - size]} << (8 * i);
  }
  return length;
}

std::string text(const char* what, uint64_t a, const char* then, uint64_t b) {
  return what + std::to_string(a) + then + std::to_string(b);
}

// Whether the fields and length prefixes describe a ring as the ring itself
// keeps it, and how many ring records it holds. Says why not in `why` when
// given; a scan asks this of many candidates and needs no reason.
bool check_chain(const ring_state& state, const unsigned char* bytes, size_t& count,
                 std::string* why) {
  const auto fail = [why](auto&& reason) {
    if (why != nullptr) *why = reason();
    return false;
  };
  const uint32_t size = state.size;
  count = 0;
  if (size == 0) return fail([] { return std::string("ring size is 0"); });
  if (state.write_pos >= size) {
    return fail([&] {
      return text("write position ", state.write_pos, " is not below the ring size ", size);
    });
  }
  if (state.read_pos >= size) {
    return fail([&] {
      return text("read position ", state.read_pos, " is not below the ring size ", size);
    });
  }
  if (state.empty == 1) {
    return state.write_pos == state.read_pos || fail([&] {
             return text("empty ring with write position ", state.write_pos, " and read position ",
                         state.read_pos);
           });
  }
  if (state.empty != 0) {
    return fail(
        [&] { return "empty flag " + std::to_string(state.empty) + " is neither 0 nor 1"; });
  }
  uint64_t stored = 0;
  uint32_t pos = state.read_pos;
  do {
    const uint32_t length = prefix_at(bytes, size, pos);
    if (length == 0) {
      return fail([&] { return "ring record at offset " + std::to_string(pos) + " has length 0"; });
    }
    if (uint64_t{length} + kPrefixSize > size - stored) {
      return fail([&] {
        return text("ring record at offset ", pos, " runs past the write position: length ",
                    length);
      });
    }
    stored += uint64_t{length} + kPrefixSize;
    pos = static_cast<uint32_t>((pos + uint64_t{length} + kPrefixSize) % size);
    ++count;
  } while (pos != state.write_pos);
  return true;
}

// Copies the payloads of the `count` ring records from the read position on.
void copy_records(const ring_state& state, const unsigned char* bytes, size_t count,
                  std::vector<payload>& records) {
  records.resize(count);
  uint32_t pos = state.read_pos;
  for (payload& record : records) {
    record.resize(prefix_at(bytes, state.size, pos));
    const uint32_t start = static_cast<uint32_t>((uint64_t{pos} + kPrefixSize) % state.size);
    const size_t first = std::min<size_t>(record.size(), state.size - start);
    std::memcpy(record.data(), bytes + start, first);
    std::memcpy(record.data() + first, bytes, record.size() - first);
    pos = static_cast<uint32_t>((uint64_t{start} + record.size()) % state.size);
  }
}

// The record store around a ring, when it has the layout described in the
// header; fills the name and trace identifier.
template <bool Swap, unsigned int P>
bool recognise_store(const core_image& core, found_ring& ring) {
  constexpr uint64_t kRingOffset = 8 * P + 16;
  if (ring.address < kRingOffset) return false;
  const uint64_t store = ring.address - kRingOffset;
  std::vector<unsigned char> scratch, name_scratch;
  const unsigned char* s = core.bytes(store, kRingOffset, scratch);
  if (s == nullptr) return false;
  const uint64_t vtable = load_pointer<Swap, P>(s);
  if (vtable == 0 || vtable % P != 0 || !core.mapped(vtable)) return false;
  const uint64_t begin = load_pointer<Swap, P>(s + 4 * P + 16);
  const uint64_t end = load_pointer<Swap, P>(s + 5 * P + 16);
  const uint64_t capacity = load_pointer<Swap, P>(s + 6 * P + 16);
  if (begin > end || end > capacity || (begin == 0 && capacity != 0)) return false;
  if (begin == end && s[7 * P + 16] != 0) return false;

  const uint64_t data = load_pointer<Swap, P>(s + 2 * P);
  const uint64_t length = load_pointer<Swap, P>(s + 3 * P);
  const unsigned char* name = nullptr;
  if (data == store + 4 * P) {
    if (length > 15) return false;
    name = s + 4 * P;
  } else {
    if (length > kNameLimit || load_pointer<Swap, P>(s + 4 * P) < length) return false;
    name = core.bytes(data, length + 1, name_scratch);
    if (name == nullptr) return false;
  }
  if (name[length] != 0) return false;
  ring.name.assign(reinterpret_cast<const char*>(name), length);
  ring.trace_id = static_cast<int32_t>(load32<Swap>(s + P));
  ring.store_recognised = true;
  return true;
}

template <bool Swap, unsigned int P>
void examine(const core_image& core, const segment& seg, uint64_t address,
             const unsigned char* fields, std::vector<found_ring>& out, scan_stats& stats) {
  ++stats.candidates;
  const ring_state state{static_cast<int32_t>(load32<Swap>(fields)), load32<Swap>(fields + 4),
                         load32<Swap>(fields + 8), load32<Swap>(fields + 12)};
  const uint64_t buffer = load_pointer<Swap, P>(fields + 16);
  std::vector<unsigned char> scratch;
  // The array usually lies in the ring's own segment; no lookup needed then.
  const bool here = buffer >= seg.address && state.size <= seg.file_size &&
                    buffer - seg.address <= seg.file_size - state.size;
  const unsigned char* bytes =
      here ? seg.bytes + (buffer - seg.address) : core.bytes(buffer, state.size, scratch);
  size_t count = 0;
  if (bytes == nullptr || !check_chain(state, bytes, count, nullptr)) return;
  found_ring ring;
  ring.address = address;
  ring.buffer = buffer;
  ring.state = state;
  if (state.empty == 1) {
    if (!recognise_store<Swap, P>(core, ring)) return;
  } else {
    copy_records(state, bytes, count, ring.records);
    if (!std::all_of(ring.records.begin(), ring.records.end(), is_whole_record)) return;
    recognise_store<Swap, P>(core, ring);
  }
  out.push_back(std::move(ring));
}

template <bool Swap, unsigned int P>
void scan_segment(const core_image& core, const scan_options& options, const segment& seg,
                  std::vector<found_ring>& out, scan_stats& stats) {
  constexpr uint64_t kFieldsSize = 16 + P;
  if (seg.file_size < kFieldsSize) return;
  const unsigned char* base = seg.bytes;
  const uint64_t last = seg.file_size - kFieldsSize;
  const bool include_empty = options.include_empty;
  for (uint64_t offset = (P - seg.address % P) % P; offset <= last; offset += P) {
    const unsigned char* p = base + offset;
    const uint32_t empty = load32<Swap>(p), write_pos = load32<Swap>(p + 4);
    const uint32_t read_pos = load32<Swap>(p + 8), size = load32<Swap>(p + 12);
    // One branch for all the field tests: memory full of zeros and small
    // numbers would make separate ones mispredict. A ring holding records
    // holds at least one ring record of a 4-byte prefix and a 9-byte header.
    const bool holding = (empty == 0) & (size >= kPrefixSize + velorin::log_record::kHeaderSize);
    const bool empty_ring = (empty == 1) & (write_pos == read_pos) & include_empty;
    if (!((holding | empty_ring) & (write_pos < size) & (read_pos < size) &
          (load_pointer<Swap, P>(p + 16) != 0))) {
      continue;
    }
    examine<Swap, P>(core, seg, seg.address + offset, p, out, stats);
  }
}

template <bool Swap, unsigned int P>
void scan(const core_image& core, const scan_options& options, std::vector<found_ring>& out,
          scan_stats& stats) {
  for (const segment& seg : core.segments()) {
    if (!seg.writable) continue;
    stats.bytes_scanned += seg.file_size;
    scan_segment<Swap, P>(core, options, seg, out, stats);
  }
}

}  // namespace

std::optional<std::string> walk_ring(const ring_state& state, const unsigned char* bytes,
                                     std::vector<payload>& records) {
  std::string why;
  size_t count = 0;
  if (!check_chain(state, bytes, count, &why)) return why;
  copy_records(state, bytes, count, records);
  return std::nullopt;
}

bool is_whole_record(const payload& record) {
  size_t unread = 0;
  const bool parsed = velorin::log_record::read_record(
      record.data(), record.size(), [](const velorin::log_record::header&) {},
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
    swap ? scan<true, 8>(core, options, out, s) : scan<false, 8>(core, options, out, s);
  } else {
    swap ? scan<true, 4>(core, options, out, s) : scan<false, 4>(core, options, out, s);
  }
  s.rings = out.size();
  return out;
}

}  // namespace wexlog
