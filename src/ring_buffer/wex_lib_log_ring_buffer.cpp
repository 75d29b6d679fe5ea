// SPDX-License-Identifier: MIT
// The ring's contract is in wex_lib_log_ring_buffer.h. How it keeps it:
// - The refusal tests of push_data run under the ring's semaphore, so that a
//   concurrent import cannot change the array between test and write.
// - pop_data tests empty_ again under the semaphore, so that two threads
//   racing for the last ring record cannot both take it.
// - Once the crash recorder has decided that the task dies, every operation
//   that would change the ring (push, pop, clear, create, import) parks its
//   thread for good right after taking the semaphore, so that the recorder
//   copies a ring that holds still. A push moves the read position past the
//   records it discards before it overwrites their bytes, and moves the write
//   position only after its record is whole, both with release ordering.
// - peek_records and drop_records let a reader take records out only once
//   it is done with them: read_total_ tells drop_records how much of what
//   was peeked has left the ring since.
// - The array may live in a mapped ring file (wex_lib_log_map.h). Either
//   way it follows a copy of the control fields that every change of the
//   fields updates in the same order as the fields themselves.
// - A push that does not wrap (the common one, also when it discards) writes
//   its prefix, head and body in one piece, after moving the read position
//   past what it discards, unless what it discards reaches the array's end.
#include "wex_lib_log_ring_buffer.h"

#include <cstdio>
#include <cstring>

#include "codec/ring_chain.h"
#include "crash/crash_hooks.h"
#include "relaxed.h"
#include "ring_buffer/ring_storage.h"
#include "semaphore_hold.h"
#include "short_copy.h"

namespace velorin {
namespace {

using ring_chain::chain_walk;
using ring_chain::kPrefixSize;
using ring_chain::wrap;

// What an operation that starts a new chain adds to read_total_: more than
// any ring holds, so that every earlier peek counts as gone.
constexpr uint64_t kNewChain = uint64_t{1} << 32;

using ring_storage::control_of;

ring_chain::ring_state state_of(const WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_& info) {
  return ring_chain::ring_state{info.empty, info.write_pos, info.read_pos, info.size};
}

// What read_pos_after_discard returns when the piecewise push must do it.
constexpr uint32_t kUnusual = UINT32_MAX;

// The position after the ring record at `at`, or kUnusual when its length
// is zero or it does not end before the array's end.
inline uint32_t past_record(const unsigned char* ring, uint32_t size, uint32_t at) {
  if (size - at <= kPrefixSize) return kUnusual;
  const uint32_t length = ring_chain::read_prefix(ring + at);
  // A length of 0 turns into the largest value.
  if (length - 1 >= size - at - kPrefixSize - 1) return kUnusual;
  return at + kPrefixSize + length;
}

// Where the read position goes when a ring record written from `start` to
// `end` (before the array's end) reaches the oldest ring record, at
// `read_pos` within (start, end]. It discards exactly what the piecewise
// push discards, so that both leave the same ring: one record when the 4
// bytes of the prefix already reach it, then, when the payload reaches the
// next one, records until as many bytes as the payload is long are passed.
// kUnusual when a record on the way has a zero length or the walk would
// reach the array's end.
inline uint32_t read_pos_after_discard(const unsigned char* ring, uint32_t size, uint32_t start,
                                       uint32_t end, uint32_t read_pos) {
  uint32_t at = read_pos;
  if (at - start <= kPrefixSize) {
    at = past_record(ring, size, at);
    if (at > end) return at;
  }
  // A record is read only while the walk is short of `enough`, which stays
  // a prefix short of the array's end: every prefix read lies within it.
  const uint64_t enough = uint64_t{at} + (end - start - kPrefixSize);
  if (enough > size - kPrefixSize) return kUnusual;
  uint64_t past = at;
  do {
    const uint32_t length = ring_chain::read_prefix(ring + past);
    if (length == 0) return kUnusual;
    past += kPrefixSize + uint64_t{length};
  } while (past < enough);
  return past < size ? static_cast<uint32_t>(past) : kUnusual;
}

}  // namespace

wex_lib_log_ring_buffer::wex_lib_log_ring_buffer()
    : empty_(1), write_pos_(0), read_pos_(0), size_(0), buffer_(nullptr), mutex_(1) {}

wex_lib_log_ring_buffer::~wex_lib_log_ring_buffer() {
  ring_storage::release(this, relaxed(buffer_));
  ring_storage::leave(this);
}

// A heap array comes zeroed from calloc, which for a large ring maps fresh
// zero pages: they become resident only as records reach them, so a big
// ring costs memory only as it fills. A ring file's array is replaced under
// the semaphore, as its file takes the old one's name.
int wex_lib_log_ring_buffer::create_ring_buffer(unsigned int size) {
  if (size == 0) return kFailed;
  semaphore_hold hold(mutex_);
  crash_hooks::park_if_frozen();
  unsigned char* array = ring_storage::allocate(this, size);
  ring_storage::release(this, relaxed(buffer_));
  relaxed(buffer_) = array;
  relaxed(size_) = size;
  relaxed(empty_) = 1;
  relaxed(write_pos_) = 0;
  relaxed(read_pos_) = 0;
  read_total_ += kNewChain;
  return kOk;
}

void wex_lib_log_ring_buffer::clear() {
  semaphore_hold hold(mutex_);
  crash_hooks::park_if_frozen();
  unsigned char* buffer = relaxed(buffer_);
  if (buffer == nullptr) return;
  relaxed(write_pos_) = 0;
  relaxed(read_pos_) = 0;
  relaxed(empty_) = 1;
  read_total_ += kNewChain;
  mirror_fields_();
  std::memset(buffer, 0, relaxed(size_));
}

int wex_lib_log_ring_buffer::set_buffer_data(const WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_& info,
                                             const unsigned char* data) {
  if (data == nullptr) return kFailed;
  if (info.size == 0) return kOk;
  // Only a snapshot whose chain is whole keeps every later push, pop and
  // discard within the array.
  if (!ring_chain::chain_is_whole(state_of(info), data)) return kFailed;
  semaphore_hold hold(mutex_);
  if (create_ring_buffer(info.size) == kOk) {
    std::memcpy(relaxed(buffer_), data, info.size);
    // The bytes are in place before the control fields of a ring file say so.
    std::atomic_thread_fence(std::memory_order_release);
    relaxed(empty_) = info.empty;
    relaxed(write_pos_) = info.write_pos;
    relaxed(read_pos_) = info.read_pos;
    mirror_fields_();
  }
  return kOk;
}

int wex_lib_log_ring_buffer::get_buffer_data(WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_* info,
                                             unsigned char* data) {
  if (info == nullptr || data == nullptr) return kFailed;
  if (relaxed(empty_) == 1 && relaxed(buffer_) == nullptr) {
    return kFailed;
  }
  semaphore_hold hold(mutex_);
  const uint32_t size = relaxed(size_);
  info->empty = static_cast<int8_t>(relaxed(empty_));
  info->write_pos = relaxed(write_pos_);
  info->read_pos = relaxed(read_pos_);
  info->size = size;
  std::memcpy(data, relaxed(buffer_), size);
  return kOk;
}

int wex_lib_log_ring_buffer::push_data(void* data, unsigned int size) {
  return push_data(static_cast<const unsigned char*>(data), size, nullptr, 0);
}

int wex_lib_log_ring_buffer::push_data(const unsigned char* head, unsigned int head_size,
                                       const unsigned char* body, unsigned int body_size) {
  semaphore_hold hold(mutex_);
  crash_hooks::park_if_frozen();
  const uint64_t total = uint64_t{head_size} + body_size;
  const uint32_t start = relaxed(write_pos_);
  const uint64_t end = uint64_t{start} + kPrefixSize + total;
  // The common push: both parts there and a ring record that ends before the
  // array's end, which also tells that there is an array (a ring without one
  // has size 0) and that the record fits.
  if (head != nullptr && (body != nullptr || body_size == 0) && total != 0 &&
      end < relaxed(size_) && make_room_before_end_(start, static_cast<uint32_t>(end))) {
    push_in_one_piece_(head, head_size, body, body_size);
    return kOk;
  }
  return push_or_refuse_(head, head_size, body, body_size);
}

// Any other push: refused, or written in pieces.
int wex_lib_log_ring_buffer::push_or_refuse_(const unsigned char* head, unsigned int head_size,
                                             const unsigned char* body, unsigned int body_size) {
  const uint64_t total = uint64_t{head_size} + body_size;
  unsigned char* buffer = relaxed(buffer_);
  const uint32_t capacity = relaxed(size_);
  // A missing second part shows as address 0, like a missing first part.
  const unsigned char* data = body == nullptr && body_size != 0 ? nullptr : head;
  if (data == nullptr || total == 0 || buffer == nullptr) {
    std::printf(
        "Push data ERROR!! push data addr[0x%08X] push data size[%d] Ring Buffer addr[0x%08X]",
        static_cast<unsigned int>(reinterpret_cast<uintptr_t>(data)), static_cast<int>(total),
        static_cast<unsigned int>(reinterpret_cast<uintptr_t>(buffer)));
    return kFailed;
  }
  if (capacity < total + kPrefixSize) {
    std::printf("Push data ERROR!! Ring Buffer size[%d] Push data size[%d]",
                static_cast<int>(capacity), static_cast<int>(total + kPrefixSize));
    return kFailed;
  }
  push_in_pieces_(static_cast<uint32_t>(total), head, head_size, body, body_size);
  return kOk;
}

// Makes room for a ring record from `start` to `end`, before the array's
// end, by discarding the oldest ring records it reaches: the common push of
// a full ring. Returns false, having changed nothing, when the piecewise
// push must do it (read_pos_after_discard).
[[gnu::always_inline]] inline bool wex_lib_log_ring_buffer::make_room_before_end_(uint32_t start,
                                                                                  uint32_t end) {
  const uint32_t read_pos = relaxed(read_pos_);
  // Only an oldest record within (start, end] is reached. An empty ring has
  // its read position at the write position, and so has an exactly full
  // ring, which the piecewise push overwrites from its oldest record's prefix
  // on without moving the read position: neither has anything to discard.
  if (read_pos - start - 1 >= end - start) {
    if (read_pos == start) overwrite_if_full_();
    return true;
  }
  unsigned char* buffer = relaxed(buffer_);
  const uint32_t past = read_pos_after_discard(buffer, relaxed(size_), start, end, read_pos);
  if (past == kUnusual) return false;
  read_total_ += past - read_pos;
  // The control fields first: a ring file's reader must find its read
  // position past the discarded records before they are overwritten.
  relaxed(control_of(buffer).read_pos) = past;
  relaxed(read_pos_) = past;
  std::atomic_thread_fence(std::memory_order_release);
  return true;
}

// The prefix, the head and the body at the write position, with the
// fixed-size moves that short pieces allow. The position and the length are
// loaded and summed again rather than kept from push_data: holding them
// costs stack traffic.
[[gnu::always_inline]] inline void wex_lib_log_ring_buffer::push_in_one_piece_(
    const unsigned char* head, unsigned int head_size, const unsigned char* body,
    unsigned int body_size) {
  unsigned char* at = relaxed(buffer_) + relaxed(write_pos_);
  ring_chain::write_prefix(at, head_size + body_size);
  copy_bytes(at + kPrefixSize, head, head_size);
  copy_bytes(at + kPrefixSize + head_size, body, body_size);
  publish_push_(relaxed(write_pos_) + kPrefixSize + head_size + body_size);
}

// Any other push: the prefix, the head and the body each discard what they
// reach and may wrap round the array's end.
void wex_lib_log_ring_buffer::push_in_pieces_(uint32_t length, const unsigned char* head,
                                              unsigned int head_size, const unsigned char* body,
                                              unsigned int body_size) {
  unsigned char prefix[kPrefixSize];
  ring_chain::write_prefix(prefix, length);
  // The write position moves once, when the ring record is whole: a reader
  // without the lock (the crash recorder) never finds it past a record that
  // is still being written.
  const uint32_t record_start = relaxed(write_pos_);
  uint32_t at = write_ring_buffer_(prefix, kPrefixSize, record_start, record_start);
  make_room_(length, at, record_start);
  at = copy_in_(head, head_size, at);
  if (body_size != 0) at = copy_in_(body, body_size, at);
  publish_push_(at);
}

// Moves the write position past a ring record that is whole, in the fields
// and then in the control fields before the array (what a ring file's
// reader trusts after a kill). The bytes are in place before either says
// so, also to a reader on another processor.
void wex_lib_log_ring_buffer::publish_push_(uint32_t write_pos) {
  std::atomic_thread_fence(std::memory_order_release);
  relaxed(write_pos_) = write_pos;
  relaxed(empty_) = 0;
  // The array is loaded again rather than kept from the start: holding it
  // across the copies costs registers and stack traffic.
  ring_file_format::control& control = control_of(relaxed(buffer_));
  relaxed(control.write_pos) = write_pos;
  relaxed(control.empty) = 0;
}

unsigned int wex_lib_log_ring_buffer::next_data_size() {
  semaphore_hold hold(mutex_);
  return refer_next_data_size_();
}

int wex_lib_log_ring_buffer::pop_data(std::vector<unsigned char>& out) {
  if (relaxed(empty_) == 1) return kFailed;
  semaphore_hold hold(mutex_);
  crash_hooks::park_if_frozen();
  if (relaxed(empty_) == 1) return kFailed;
  read_ring_buffer_(out);
  return kOk;
}

int wex_lib_log_ring_buffer::pop_data(void* out) {
  if (out == nullptr || relaxed(empty_) == 1) return kFailed;
  std::vector<unsigned char> payload;
  if (pop_data(payload) != kOk) return kFailed;
  std::memcpy(out, payload.data(), payload.size());
  return kOk;
}

unsigned int wex_lib_log_ring_buffer::peek_records(std::vector<unsigned char>& out,
                                                   unsigned int limit, unsigned long long& mark) {
  out.clear();
  if (relaxed(empty_) == 1) return 0;
  semaphore_hold hold(mutex_);
  if (relaxed(empty_) == 1) return 0;
  // Find how many whole ring records fit, then copy them in one piece: the
  // prefixes in the ring already are the little-endian lengths.
  const ring_chain::ring_state state{relaxed(empty_), relaxed(write_pos_), relaxed(read_pos_),
                                     relaxed(size_)};
  chain_walk walk(relaxed(buffer_), state);
  uint64_t total = 0;
  unsigned int count = 0;
  for (ring_chain::ring_record record; walk.look(record) == chain_walk::kRecord; ++count) {
    const uint64_t record_size = uint64_t{record.length} + kPrefixSize;
    if (count != 0 && total + record_size > limit) break;
    total += record_size;
    walk.pass(record);
  }
  out.resize(static_cast<size_t>(total));
  copy_out_(out.data(), static_cast<unsigned int>(total), relaxed(read_pos_));
  mark = read_total_;
  return count;
}

// Since the peek, read_pos_ has moved `passed` bytes along the same chain
// (whole records), or a new chain began and `passed` exceeds any peek; the
// rest of the dropped records starts at read_pos_.
void wex_lib_log_ring_buffer::drop_records(unsigned long long mark, unsigned long long length) {
  semaphore_hold hold(mutex_);
  crash_hooks::park_if_frozen();
  const uint64_t passed = read_total_ - mark;
  if (relaxed(empty_) != 0 || passed >= length) return;
  take_records_(length - passed);
}

// Writes `length` bytes at `at` with the overwrite rule; returns the
// position after them.
uint32_t wex_lib_log_ring_buffer::write_ring_buffer_(const unsigned char* data, unsigned int length,
                                                     uint32_t at, uint32_t record_start) {
  make_room_(length, at, record_start);
  return copy_in_(data, length, at);
}

// Discards the oldest ring records when writing `length` bytes at `at` would
// overwrite the first byte of the oldest one or end exactly on it.
void wex_lib_log_ring_buffer::make_room_(unsigned int length, uint32_t at, uint32_t record_start) {
  if (relaxed(empty_) != 0) return;
  const uint32_t size = relaxed(size_);
  const uint32_t distance = wrap(uint64_t{relaxed(read_pos_)} + size - at, size);
  if (distance == 0) return overwrite_if_full_();
  if (distance <= length) {
    escape_r_pos_(length, record_start);
    // The read position leaves the discarded records before their bytes are
    // overwritten, so that a reader without the lock that finds a byte
    // changed finds the read position past it afterwards.
    std::atomic_thread_fence(std::memory_order_release);
  }
}

// A push into an exactly full ring writes over its oldest record without
// discarding: the ring's chain then holds the new record alone, so every
// earlier peek counts as gone, and a dump's drop takes nothing from it.
void wex_lib_log_ring_buffer::overwrite_if_full_() {
  if (relaxed(empty_) == 0) read_total_ += kNewChain;
}

// Copies `length` bytes in at `at`, wrapping at the end of the array;
// returns the position after them.
uint32_t wex_lib_log_ring_buffer::copy_in_(const unsigned char* data, unsigned int length,
                                           uint32_t at) {
  return ring_chain::copy_in(relaxed(buffer_), relaxed(size_), at, data, length);
}

// Walks whole ring records from read_pos_ until at least `length` bytes are
// passed; never past `record_start`, the ring record being written. `end`
// receives the position after them.
// Inlined into escape_r_pos_, its only caller.
[[gnu::always_inline]] inline unsigned int wex_lib_log_ring_buffer::calc_escape_size_of_r_pos_(
    unsigned int length, unsigned int record_start, uint32_t& end) const {
  end = relaxed(read_pos_);
  if (relaxed(empty_) != 0 || length == 0) return 0;
  // At most once round the array; a full ring's walk starts at record_start.
  const uint32_t size = relaxed(size_);
  chain_walk walk(relaxed(buffer_), size, end, size);
  uint64_t total = 0;
  ring_chain::ring_record record;
  do {
    if (walk.look(record) != chain_walk::kRecord) break;
    total += uint64_t{record.length} + kPrefixSize;
    walk.pass(record);
  } while (total < length && walk.position() != record_start);
  end = walk.position();
  return static_cast<unsigned int>(total);
}

void wex_lib_log_ring_buffer::escape_r_pos_(unsigned int length, unsigned int record_start) {
  uint32_t end;
  read_total_ += calc_escape_size_of_r_pos_(length, record_start, end);
  // The control fields first: a ring file's reader must find its read
  // position past the discarded records before they are overwritten.
  relaxed(control_of(relaxed(buffer_)).read_pos) = end;
  relaxed(read_pos_) = end;
}

// Moves read_pos_ `bytes` on along the chain of ring records, in the
// control fields first.
void wex_lib_log_ring_buffer::advance_read_pos_(uint64_t bytes) {
  const uint32_t read_pos = wrap(uint64_t{relaxed(read_pos_)} + bytes, relaxed(size_));
  relaxed(control_of(relaxed(buffer_)).read_pos) = read_pos;
  relaxed(read_pos_) = read_pos;
  read_total_ += bytes;
}

// Removes the oldest `bytes` of ring records, the ring becoming Empty when
// they were all it held. The control fields say Empty before their read
// position reaches the write position, so that they never describe a full
// ring of records that are gone.
void wex_lib_log_ring_buffer::take_records_(uint64_t bytes) {
  const bool drained =
      wrap(uint64_t{relaxed(read_pos_)} + bytes, relaxed(size_)) == relaxed(write_pos_);
  if (drained) relaxed(control_of(relaxed(buffer_)).empty) = 1;
  advance_read_pos_(bytes);
  if (drained) relaxed(empty_) = 1;
}

// Copies the fields into the control fields after a clear or an import, the
// empty flag saying kChanging meanwhile. The fence keeps those stores after
// whatever the caller did to the bytes before.
void wex_lib_log_ring_buffer::mirror_fields_() {
  ring_file_format::control& control = control_of(relaxed(buffer_));
  relaxed(control.empty) = ring_file_format::kChanging;
  std::atomic_thread_fence(std::memory_order_release);
  relaxed(control.read_pos) = uint32_t{relaxed(read_pos_)};
  relaxed(control.write_pos) = uint32_t{relaxed(write_pos_)};
  std::atomic_thread_fence(std::memory_order_release);
  relaxed(control.empty) = int32_t{relaxed(empty_)};
}

void wex_lib_log_ring_buffer::refer_ring_buffer_(std::vector<unsigned char>& out,
                                                 unsigned int length, unsigned int pos) const {
  out.resize(length);
  copy_out_(out.data(), length, pos);
}

void wex_lib_log_ring_buffer::copy_out_(unsigned char* out, unsigned int length,
                                        unsigned int pos) const {
  ring_chain::copy_out(out, relaxed(buffer_), relaxed(size_), pos, length);
}

unsigned int wex_lib_log_ring_buffer::refer_next_data_size_() const {
  if (relaxed(empty_) != 0) return 0;
  return ring_chain::prefix_at(relaxed(buffer_), relaxed(size_), relaxed(read_pos_));
}

void wex_lib_log_ring_buffer::read_ring_buffer_(std::vector<unsigned char>& out) {
  const uint32_t size = relaxed(size_);
  const uint32_t length = refer_next_data_size_();
  refer_ring_buffer_(out, length, wrap(uint64_t{relaxed(read_pos_)} + kPrefixSize, size));
  take_records_(uint64_t{kPrefixSize} + length);
}

}  // namespace velorin
