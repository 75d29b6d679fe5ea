// SPDX-License-Identifier: MIT
#include "wex_lib_log_ring_buffer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "byte_order.h"
#include "crash/crash_hooks.h"
#include "relaxed.h"
#include "semaphore_hold.h"
#include "short_copy.h"

namespace velorin {
namespace {

constexpr unsigned int kPrefixSize = 4;
// What an operation that starts a new chain adds to read_total_: more than
// any ring holds, so that every earlier peek counts as gone.
constexpr uint64_t kNewChain = uint64_t{1} << 32;

// x mod size for the small multiples of size that position arithmetic
// produces; a division would cost more than the rest of a push.
uint32_t wrap(uint64_t x, uint32_t size) {
  while (x >= size) x -= size;
  return static_cast<uint32_t>(x);
}

// Reads the length prefix at `pos` of a `size`-byte array, wrapping at its end.
uint32_t prefix_at(const unsigned char* buffer, uint32_t size, uint32_t pos) {
  if (size - pos >= kPrefixSize) return load_le32(buffer + pos);
  unsigned char bytes[kPrefixSize];
  for (unsigned int i = 0; i < kPrefixSize; ++i) bytes[i] = buffer[wrap(uint64_t{pos} + i, size)];
  return load_le32(bytes);
}

// A snapshot is accepted only when its positions lie in the array and its
// length prefixes chain exactly from read_pos to write_pos, so that every
// later push, pop and escape stays within the array.
bool snapshot_is_consistent(const WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_& info,
                            const unsigned char* data) {
  const uint32_t size = info.size;
  if (info.write_pos >= size || info.read_pos >= size) return false;
  if (info.empty == 1) return info.write_pos == info.read_pos;
  if (info.empty != 0) return false;
  uint64_t stored = 0;
  uint32_t pos = info.read_pos;
  do {
    const uint32_t length = prefix_at(data, size, pos);
    if (length == 0 || uint64_t{length} + kPrefixSize > size - stored) return false;
    stored += uint64_t{length} + kPrefixSize;
    pos = wrap(pos + uint64_t{length} + kPrefixSize, size);
  } while (pos != info.write_pos);
  return true;
}

}  // namespace

wex_lib_log_ring_buffer::wex_lib_log_ring_buffer()
    : empty_(1), write_pos_(0), read_pos_(0), size_(0), buffer_(nullptr), mutex_(1) {}

wex_lib_log_ring_buffer::~wex_lib_log_ring_buffer() {
  std::free(relaxed(buffer_));
}

// The array comes zeroed from calloc, which for a large ring maps fresh zero
// pages: they become resident only as records reach them, so a big ring
// costs memory only as it fills.
int wex_lib_log_ring_buffer::create_ring_buffer(unsigned int size) {
  if (size == 0) return kFailed;
  std::unique_ptr<unsigned char, void (*)(void*)> array(
      static_cast<unsigned char*>(std::calloc(size, 1)), &std::free);
  if (!array) throw std::bad_alloc();
  semaphore_hold hold(mutex_);
  crash_hooks::park_if_frozen();
  std::free(relaxed(buffer_));
  relaxed(buffer_) = array.release();
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
  std::memset(buffer, 0, relaxed(size_));
  relaxed(write_pos_) = 0;
  relaxed(read_pos_) = 0;
  relaxed(empty_) = 1;
  read_total_ += kNewChain;
}

int wex_lib_log_ring_buffer::set_buffer_data(const WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_& info,
                                             const unsigned char* data) {
  if (data == nullptr) return kFailed;
  if (info.size == 0) return kOk;
  if (!snapshot_is_consistent(info, data)) return kFailed;
  semaphore_hold hold(mutex_);
  if (create_ring_buffer(info.size) == kOk) {
    std::memcpy(relaxed(buffer_), data, info.size);
    relaxed(empty_) = info.empty;
    relaxed(write_pos_) = info.write_pos;
    relaxed(read_pos_) = info.read_pos;
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
  const uint64_t total = uint64_t{head_size} + body_size;
  semaphore_hold hold(mutex_);
  crash_hooks::park_if_frozen();
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
  const uint32_t length = static_cast<uint32_t>(total);
  if (fits_before_end_and_oldest_(length)) {
    push_in_one_piece_(length, head, head_size, body, body_size);
    return kOk;
  }
  const unsigned char prefix[kPrefixSize] = {
      static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
      static_cast<unsigned char>(length >> 16), static_cast<unsigned char>(length >> 24)};
  // The write position moves once, when the ring record is whole: a reader
  // without the lock (the crash recorder) never finds it past a record that
  // is still being written.
  const uint32_t record_start = relaxed(write_pos_);
  uint32_t at = write_ring_buffer_(prefix, kPrefixSize, record_start, record_start);
  make_room_(length, at, record_start);
  at = copy_in_(head, head_size, at);
  if (body_size != 0) at = copy_in_(body, body_size, at);
  // The bytes are in place before the write position says so, also to a
  // reader on another processor.
  std::atomic_thread_fence(std::memory_order_release);
  relaxed(write_pos_) = at;
  relaxed(empty_) = 0;
  return kOk;
}

// Whether the ring record of a `length`-byte payload fits between the write
// position and both the end of the array and the oldest ring record, so
// that writing it discards nothing and does not wrap: the common push.
bool wex_lib_log_ring_buffer::fits_before_end_and_oldest_(uint32_t length) const {
  const uint64_t record_end = uint64_t{relaxed(write_pos_)} + kPrefixSize + length;
  if (record_end >= relaxed(size_)) return false;
  const uint32_t read_pos = relaxed(read_pos_);
  return relaxed(empty_) != 0 || read_pos < relaxed(write_pos_) || read_pos > record_end;
}

// The common push: the prefix, the head and the body at the write position,
// with the fixed-size moves that short pieces allow.
void wex_lib_log_ring_buffer::push_in_one_piece_(uint32_t length, const unsigned char* head,
                                                 unsigned int head_size, const unsigned char* body,
                                                 unsigned int body_size) {
  const uint32_t start = relaxed(write_pos_);
  unsigned char* at = relaxed(buffer_) + start;
  store_le(at, length, kPrefixSize);
  copy_bytes(at + kPrefixSize, head, head_size);
  if (body_size != 0) std::memcpy(at + kPrefixSize + head_size, body, body_size);
  // The bytes are in place before the write position says so, also to a
  // reader on another processor.
  std::atomic_thread_fence(std::memory_order_release);
  relaxed(write_pos_) = start + kPrefixSize + length;
  relaxed(empty_) = 0;
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
  if (relaxed(read_pos_) == relaxed(write_pos_)) relaxed(empty_) = 1;
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
  const unsigned char* buffer = relaxed(buffer_);
  const uint32_t size = relaxed(size_);
  uint32_t end = relaxed(read_pos_);
  uint64_t total = 0;
  unsigned int count = 0;
  do {
    const uint64_t record_size = uint64_t{prefix_at(buffer, size, end)} + kPrefixSize;
    if (count != 0 && total + record_size > limit) break;
    total += record_size;
    end = wrap(end + record_size, size);
    ++count;
  } while (end != relaxed(write_pos_));
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
  advance_read_pos_(length - passed);
  if (relaxed(read_pos_) == relaxed(write_pos_)) relaxed(empty_) = 1;
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
  if (distance >= 1 && distance <= length) {
    escape_r_pos_(length, record_start);
    // The read position leaves the discarded records before their bytes are
    // overwritten, so that a reader without the lock that finds a byte
    // changed finds the read position past it afterwards.
    std::atomic_thread_fence(std::memory_order_release);
  }
}

// Copies `length` bytes in at `at`, wrapping at the end of the array;
// returns the position after them.
uint32_t wex_lib_log_ring_buffer::copy_in_(const unsigned char* data, unsigned int length,
                                           uint32_t at) {
  unsigned char* buffer = relaxed(buffer_);
  const uint32_t to_end = relaxed(size_) - at;
  if (length < to_end) {
    std::memcpy(buffer + at, data, length);
    return at + length;
  }
  std::memcpy(buffer + at, data, to_end);
  std::memcpy(buffer, data + to_end, length - to_end);
  return length - to_end;
}

void wex_lib_log_ring_buffer::escape_r_pos_(unsigned int length, unsigned int record_start) {
  advance_read_pos_(calc_escape_size_of_r_pos_(length, record_start));
}

// Moves read_pos_ `bytes` on along the chain of ring records.
void wex_lib_log_ring_buffer::advance_read_pos_(uint64_t bytes) {
  relaxed(read_pos_) = wrap(uint64_t{relaxed(read_pos_)} + bytes, relaxed(size_));
  read_total_ += bytes;
}

// Walks whole ring records from read_pos_ until at least `length` bytes are
// passed; never past `record_start`, the ring record being written.
unsigned int wex_lib_log_ring_buffer::calc_escape_size_of_r_pos_(unsigned int length,
                                                                 unsigned int record_start) const {
  if (relaxed(empty_) != 0 || length == 0) return 0;
  const unsigned char* buffer = relaxed(buffer_);
  const uint32_t size = relaxed(size_);
  uint64_t total = 0;
  uint32_t pos = relaxed(read_pos_);
  do {
    const uint64_t step = uint64_t{prefix_at(buffer, size, pos)} + kPrefixSize;
    total += step;
    pos = wrap(pos + step, size);
  } while (total < length && pos != record_start);
  return static_cast<unsigned int>(total);
}

void wex_lib_log_ring_buffer::refer_ring_buffer_(std::vector<unsigned char>& out,
                                                 unsigned int length, unsigned int pos) const {
  out.resize(length);
  copy_out_(out.data(), length, pos);
}

// Copies `length` bytes from offset `pos`, wrapping at the end of the array.
void wex_lib_log_ring_buffer::copy_out_(unsigned char* out, unsigned int length,
                                        unsigned int pos) const {
  const unsigned char* buffer = relaxed(buffer_);
  const uint32_t to_end = relaxed(size_) - pos;
  if (length < to_end) {
    std::memcpy(out, buffer + pos, length);
    return;
  }
  std::memcpy(out, buffer + pos, to_end);
  std::memcpy(out + to_end, buffer, length - to_end);
}

unsigned int wex_lib_log_ring_buffer::refer_next_data_size_() const {
  if (relaxed(empty_) != 0) return 0;
  return prefix_at(relaxed(buffer_), relaxed(size_), relaxed(read_pos_));
}

void wex_lib_log_ring_buffer::read_ring_buffer_(std::vector<unsigned char>& out) {
  const uint32_t size = relaxed(size_);
  const uint32_t length = refer_next_data_size_();
  refer_ring_buffer_(out, length, wrap(uint64_t{relaxed(read_pos_)} + kPrefixSize, size));
  advance_read_pos_(uint64_t{kPrefixSize} + length);
}

}  // namespace velorin
