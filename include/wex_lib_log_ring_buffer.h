// SPDX-License-Identifier: MIT
// Framed ring buffer: a fixed-size byte ring of ring records, each a 4-byte
// little-endian length prefix followed by its payload.
//
// A push never fails for lack of room: when the bytes about to be written
// would reach the oldest ring record, whole ring records are discarded from
// the oldest end first. A push fails (0x1000) only without an array, without
// data, or when the ring record could never fit. The whole ring can be
// exported and imported as a snapshot: a control record plus the raw array.
//
// Every public operation that reads or moves the stored bytes holds the
// ring's semaphore. Its fields are also read without it (the fast empty test
// of pop_data, the store's size query, the crash recorder), so they are
// relaxed atomics of the same width as the plain fields they stand for.
//
// Choices this ring makes where its contract leaves room:
// - If a payload write must discard every older ring record and would reach
//   the new record's own length prefix, the discarding stops there: the new
//   ring record stays as the only one and read_pos_ stays on a length prefix.
// - create_ring_buffer always leaves the ring Empty with both positions 0,
//   also on a ring that held records. The array is allocated zeroed
//   (calloc), so the pages of a large ring become resident only as records
//   reach them; an allocation failure throws std::bad_alloc.
// - set_buffer_data refuses (0x1000, ring untouched) a snapshot whose
//   positions are not below its size, whose empty flag is not 0 or 1, whose
//   empty ring has different positions, or whose length prefixes do not chain
//   from read_pos to write_pos. A snapshot of size 0 is accepted and changes
//   nothing.
// - clear reports no result.
// - A ring of a logger made after wex_lib_log_map_rings keeps its array and
//   control fields in a mapped file; it behaves the same.
// - The two-part push_data refuses a missing part (null with a non-zero size)
//   as the one-part push refuses null data, printing address 0.
#ifndef WEX_LIB_LOG_RING_BUFFER_H
#define WEX_LIB_LOG_RING_BUFFER_H

#include <QMV_Mutex_Semaphore.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "wex_lib_log_export.h"

namespace velorin {

// Control record of a ring snapshot; `size` is also the length of the raw
// array copy that goes with it.
struct WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ {
  int8_t empty;
  uint32_t write_pos;
  uint32_t read_pos;
  uint32_t size;
};

class WEX_LIB_LOG_API wex_lib_log_ring_buffer {
 public:
  static constexpr int kOk = 0;
  static constexpr int kFailed = 0x1000;

  wex_lib_log_ring_buffer();
  ~wex_lib_log_ring_buffer();
  wex_lib_log_ring_buffer(const wex_lib_log_ring_buffer&) = delete;
  wex_lib_log_ring_buffer& operator=(const wex_lib_log_ring_buffer&) = delete;

  // Replaces the array with `size` zero bytes and empties the ring.
  int create_ring_buffer(unsigned int size);
  // Empties the ring and zeroes its array; nothing without an array.
  void clear();
  // Imports a snapshot; `data` holds info.size bytes.
  int set_buffer_data(const WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_& info, const unsigned char* data);
  // Exports a snapshot; `data` has room for the ring's size in bytes.
  int get_buffer_data(WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_* info, unsigned char* data);
  // Stores `size` bytes as one ring record, discarding the oldest as needed.
  int push_data(void* data, unsigned int size);
  // Stores `head` followed by `body` as one ring record; the same as
  // push_data of the two joined, without joining them first.
  int push_data(const unsigned char* head, unsigned int head_size, const unsigned char* body,
                unsigned int body_size);
  // Payload length of the oldest ring record, 0 when empty.
  unsigned int next_data_size();
  // Removes the oldest ring record and hands its payload over in `out`.
  int pop_data(std::vector<unsigned char>& out);
  // The same into a caller buffer with room for next_data_size() bytes.
  int pop_data(void* out);
  // Copies the oldest ring records, as many as fit into `limit` bytes (at
  // least one), into `out` as they stand in the ring: each payload after its
  // 4-byte little-endian length. They stay in the ring; `mark` receives what
  // drop_records needs to remove them. Returns how many it copied, 0 when
  // the ring is empty. Draining a ring this way takes the semaphore twice
  // per batch instead of once per record.
  unsigned int peek_records(std::vector<unsigned char>& out, unsigned int limit,
                            unsigned long long& mark);
  // Removes the first `length` bytes of the ring records that peek_records
  // copied with `mark` (a whole number of them). Those that left the ring
  // meanwhile (made room for a push, popped, cleared, replaced by an import)
  // are not removed again, and nothing after them is touched.
  void drop_records(unsigned long long mark, unsigned long long length);

  // Capacity in bytes, read without the semaphore.
  unsigned int size() const { return size_.load(std::memory_order_relaxed); }

 private:
  WEX_LIB_LOG_LOCAL bool make_room_before_end_(uint32_t start, uint32_t end);
  WEX_LIB_LOG_LOCAL void push_in_one_piece_(const unsigned char* head, unsigned int head_size,
                                            const unsigned char* body, unsigned int body_size);
  // Out of line, so that the common push stays short.
  WEX_LIB_LOG_LOCAL __attribute__((noinline)) int push_or_refuse_(const unsigned char* head,
                                                                  unsigned int head_size,
                                                                  const unsigned char* body,
                                                                  unsigned int body_size);
  WEX_LIB_LOG_LOCAL void push_in_pieces_(uint32_t length, const unsigned char* head,
                                         unsigned int head_size, const unsigned char* body,
                                         unsigned int body_size);
  WEX_LIB_LOG_LOCAL uint32_t write_ring_buffer_(const unsigned char* data, unsigned int length,
                                                uint32_t at, uint32_t record_start);
  WEX_LIB_LOG_LOCAL void make_room_(unsigned int length, uint32_t at, uint32_t record_start);
  WEX_LIB_LOG_LOCAL void overwrite_if_full_();
  WEX_LIB_LOG_LOCAL uint32_t copy_in_(const unsigned char* data, unsigned int length, uint32_t at);
  WEX_LIB_LOG_LOCAL void escape_r_pos_(unsigned int length, unsigned int record_start);
  WEX_LIB_LOG_LOCAL void advance_read_pos_(uint64_t bytes);
  WEX_LIB_LOG_LOCAL void publish_push_(uint32_t write_pos);
  WEX_LIB_LOG_LOCAL void take_records_(uint64_t bytes);
  WEX_LIB_LOG_LOCAL void mirror_fields_();
  WEX_LIB_LOG_LOCAL unsigned int calc_escape_size_of_r_pos_(unsigned int length,
                                                            unsigned int record_start,
                                                            uint32_t& end) const;
  WEX_LIB_LOG_LOCAL void refer_ring_buffer_(std::vector<unsigned char>& out, unsigned int length,
                                            unsigned int pos) const;
  WEX_LIB_LOG_LOCAL unsigned int refer_next_data_size_() const;
  WEX_LIB_LOG_LOCAL void read_ring_buffer_(std::vector<unsigned char>& out);
  WEX_LIB_LOG_LOCAL void copy_out_(unsigned char* out, unsigned int length, unsigned int pos) const;

  std::atomic<int32_t> empty_;
  std::atomic<uint32_t> write_pos_;
  std::atomic<uint32_t> read_pos_;
  std::atomic<uint32_t> size_;
  std::atomic<unsigned char*> buffer_;
  // How far read_pos_ has moved along the chain of ring records, in bytes;
  // an operation that starts a new chain adds more than a ring can hold.
  // Read and written only under the semaphore.
  unsigned long long read_total_ = 0;
  QMV_Mutex_Semaphore mutex_;
  friend struct crash_access;   // the crash recorder reads the fields without locks
  friend struct layout_access;  // measures where the fields lie, for readers of cores
};

}  // namespace velorin

#endif  // WEX_LIB_LOG_RING_BUFFER_H
