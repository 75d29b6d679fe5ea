// SPDX-License-Identifier: MIT
// The ring's bytes: a fixed-size array of ring records stored back to back,
// each a 4-byte little-endian length prefix and that many payload bytes,
// wrapping from the array's last byte to its first at any byte, also inside
// a prefix. This is the one writer and reader of the prefix and the one walk
// along the chain of ring records, shared by the ring itself (push, pop,
// dump, snapshot import) and by every reader of a ring's bytes taken from
// elsewhere (snapshot files, crash files, cores).
//
// A walk never reads outside the array: every position is reduced into it,
// and the records it passes may together be no longer than the span it was
// given, at most the array's size. Everything is inline: the ring's push
// walks the chain to discard its oldest records.
#ifndef WEXLOG_CODEC_RING_CHAIN_H
#define WEXLOG_CODEC_RING_CHAIN_H

#include <cstdint>
#include <cstring>

#include "codec/byte_order.h"

namespace velorin {
namespace ring_chain {

constexpr uint32_t kPrefixSize = 4;

// A ring's control fields. `empty` is 1 while the ring holds no ring record
// and 0 while it holds at least one; the stored records run from the read
// position forward to the write position, the whole array when the two are
// equal and the ring is not empty.
struct ring_state {
  int32_t empty;
  uint32_t write_pos;
  uint32_t read_pos;
  uint32_t size;
};

// `at` reduced into an array of `size` bytes. Positions plus a record's
// length stay below twice the size; a prefix read in a ring of a few bytes
// may go round it more than once.
inline uint32_t wrap(uint64_t at, uint32_t size) {
  if (at < size) return static_cast<uint32_t>(at);
  at -= size;
  return static_cast<uint32_t>(at < size ? at : at % size);
}

// Bytes from `from` forward to `to`, wrapping.
inline uint32_t distance(uint32_t from, uint32_t to, uint32_t size) {
  return wrap(uint64_t{to} + size - from, size);
}

inline void write_prefix(unsigned char* out, uint32_t length) {
  store_le(out, length, kPrefixSize);
}

inline uint32_t read_prefix(const unsigned char* in) {
  return load_le32(in);
}

// The length prefix at `pos`, wrapping at the end of the array; one wraps
// once per trip round the array, so the other case goes first.
inline uint32_t prefix_at(const unsigned char* ring, uint32_t size, uint32_t pos) {
  if (__builtin_expect(size - pos >= kPrefixSize, 1)) return read_prefix(ring + pos);
  uint32_t length = 0;
  for (unsigned int i = 0; i < kPrefixSize; ++i) {
    length |= uint32_t{ring[pos]} << (8 * i);
    pos = pos + 1 == size ? 0 : pos + 1;
  }
  return length;
}

// Copies `length` bytes into the array from `pos` on, wrapping: in one
// piece, or in two when they wrap. Returns the position after them.
inline uint32_t copy_in(unsigned char* ring, uint32_t size, uint32_t pos, const unsigned char* data,
                        uint32_t length) {
  const uint32_t to_end = size - pos;
  if (length < to_end) {
    std::memcpy(ring + pos, data, length);
    return pos + length;
  }
  std::memcpy(ring + pos, data, to_end);
  std::memcpy(ring, data + to_end, length - to_end);
  return length - to_end;
}

// Copies `length` bytes starting at `pos` out of the array, wrapping: in one
// piece, or in two when they wrap.
inline void copy_out(unsigned char* out, const unsigned char* ring, uint32_t size, uint32_t pos,
                     uint32_t length) {
  const uint32_t to_end = size - pos;
  if (length < to_end) {
    std::memcpy(out, ring + pos, length);
    return;
  }
  std::memcpy(out, ring + pos, to_end);
  std::memcpy(out + to_end, ring, length - to_end);
}

// Bytes the ring records of a ring with these fields take: none when it is
// empty, the whole array when it is full.
inline uint64_t stored_bytes(const ring_state& state) {
  if (state.empty != 0) return 0;
  const uint32_t ahead = distance(state.read_pos, state.write_pos, state.size);
  return ahead == 0 ? state.size : ahead;
}

// One ring record: where its prefix starts and its payload length.
struct ring_record {
  uint32_t offset;
  uint32_t length;
};

// Walks ring records from one position over a given number of bytes. Each
// record must have a non-zero length and end within those bytes; the walk
// ends where they end, or at the first record that breaks the rule.
class chain_walk {
 public:
  enum step : unsigned char { kRecord, kEnd, kZeroLength, kPastEnd };

  // `span` bytes from `from` (at most `size`).
  chain_walk(const unsigned char* ring, uint32_t size, uint32_t from, uint64_t span)
      : ring_(ring), size_(size), pos_(from), left_(span) {}
  // From the read position over the ring's stored records.
  chain_walk(const unsigned char* ring, const ring_state& state)
      : chain_walk(ring, state.size, state.read_pos, stored_bytes(state)) {}

  // The ring record at the position, or why there is none; the walk stays.
  step look(ring_record& out) const {
    if (left_ == 0) return kEnd;
    out = ring_record{pos_, prefix_at(ring_, size_, pos_)};
    if (out.length == 0) return kZeroLength;
    if (uint64_t{out.length} + kPrefixSize > left_) return kPastEnd;
    return kRecord;
  }
  // Moves past the record look() gave.
  void pass(const ring_record& record) {
    const uint64_t whole = uint64_t{record.length} + kPrefixSize;
    pos_ = wrap(pos_ + whole, size_);
    left_ -= whole;
  }
  // Where the record's payload starts.
  uint32_t payload_at(const ring_record& record) const {
    return wrap(uint64_t{record.offset} + kPrefixSize, size_);
  }
  uint32_t position() const { return pos_; }

 private:
  const unsigned char* ring_;
  uint32_t size_;
  uint32_t pos_;
  uint64_t left_;
};

// What is wrong with a ring's control fields, for any walk at all.
enum class field_fault : unsigned char { none, zero_size, write_pos, read_pos, empty_flag };

inline field_fault check_fields(const ring_state& state) {
  if (state.size == 0) return field_fault::zero_size;
  if (state.write_pos >= state.size) return field_fault::write_pos;
  if (state.read_pos >= state.size) return field_fault::read_pos;
  if (state.empty != 0 && state.empty != 1) return field_fault::empty_flag;
  return field_fault::none;
}

// Whether a ring may take over these fields and bytes: usable fields, equal
// positions when empty, and length prefixes that chain from the read
// position exactly to the write position. Every later push, pop and discard
// then stays within the array.
inline bool chain_is_whole(const ring_state& state, const unsigned char* ring) {
  if (check_fields(state) != field_fault::none) return false;
  if (state.empty == 1) return state.write_pos == state.read_pos;
  chain_walk walk(ring, state);
  ring_record record;
  chain_walk::step step;
  while ((step = walk.look(record)) == chain_walk::kRecord) walk.pass(record);
  return step == chain_walk::kEnd;
}

}  // namespace ring_chain
}  // namespace velorin

#endif  // WEXLOG_CODEC_RING_CHAIN_H
