// SPDX-License-Identifier: MIT
// Record store: builds one log record at a time from tagged items, commits it
// with its header as one ring record, and dumps stored records as text lines.
//
// Log record, all integers little-endian whatever the host's byte order:
//   header   time of day in ms (4), task id (4), item count (1)
//   items    tag 1 title:  length (1, max 32), text
//            tag 2 value:  int (4)            tag 3 hex value: int (4)
//            tag 4 string: length (2, max 64), text
//            tag 5 set:    name length (2, max 64), name, int (4)
//            tag 6 data:   kind (1), size (2), bytes
//
// The store has no lock for the record under construction: callers hold
// their logger's semaphore from the first item writer to the commit.
//
// Choices this store makes where its contract leaves room:
// - add_data refuses a data item of more than 65535 bytes (its size field is
//   16 bits): nothing is appended and the item is not counted, so no record
//   is ever unreadable.
// - The dump never reads past a record's bytes. When an item (or the header)
//   runs past the end of its record, the line shows everything that parsed
//   completely, then the marker "[!malformed]", and the dump goes on with the
//   next record. Bytes left over after the counted items are ignored.
// - A store without an owner renders data items as the logger's default hook
//   does (message items with their type label).
// - add_data with null data and a non-zero size appends nothing.
// - A commit converts the clock to local time once per second and reuses
//   that answer within the second: a change of the platform's time zone
//   shows in records from the next second on. get_timer converts every time.
// - The dump copies records from the ring in batches of up to 64 KiB and
//   removes a batch once its lines are rendered. If a derived logger's
//   act_trace_log throws, the lines rendered so far are written, the
//   records they came from and the one being rendered leave the ring, and
//   the rest stay for the next dump. Records that a push discarded while
//   the batch was being rendered are not removed twice.
// - The dump to a stream writes its lines straight to the stream's
//   descriptor in pieces of whole lines, each in one write call (a line
//   longer than a piece in a call of its own), after flushing what the
//   caller left in the stream's buffer; an empty dump neither writes nor
//   flushes. On a file opened for append, as trace_log(path) opens it,
//   other writers of the file never split a dump line. Bytes the descriptor
//   refuses are handed to stdio, so that a failed dump leaves the stream in
//   error (ferror) as a failed fprintf does. A stream without a descriptor
//   is written through stdio.
#ifndef WEX_LIB_LOG_STORAGE_H
#define WEX_LIB_LOG_STORAGE_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "wex_lib_log_export.h"
#include "wex_lib_log_ring_buffer.h"

namespace velorin {

class wex_lib_log_entry;

class WEX_LIB_LOG_API wex_lib_log_storage {
 public:
  wex_lib_log_storage(int trace_id, const char* name, wex_lib_log_entry* owner);
  virtual ~wex_lib_log_storage();
  wex_lib_log_storage(const wex_lib_log_storage&) = delete;
  wex_lib_log_storage& operator=(const wex_lib_log_storage&) = delete;

  // Forwarding to the ring; results as the ring gives them.
  int create_ring_buffer(unsigned int size);
  unsigned int get_ring_buffer_size();
  int set_ring_buffer(const WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_& info, const unsigned char* data);
  int get_ring_buffer(WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_* info, unsigned char* data);

  // Item writers: each appends one item to the record under construction.
  void add_title_data(const char* title);
  void add_value_data(int value);
  void add_value_data_hex(int value);
  void add_string_data(const char* text);
  void add_set_data(const char* name, int value);
  void add_data(unsigned int kind, void* data, unsigned int size);

  // Commits the record under construction as one ring record and starts anew.
  void entry_for_ring_buffer();
  // Drops the record under construction, for callers that give up on it.
  void discard_record();

  // Local time of day in milliseconds; 0 (after a trace print) when the clock fails.
  uint32_t get_timer();
  // pthread_self() of the calling thread.
  unsigned long get_task_id();

  // Pops every stored record and writes one dump line per record to
  // `stream`, or to the user-command trace channel under the store's name
  // when `stream` is null.
  void trace_log(FILE* stream);

 private:
  friend class wex_lib_log_entry;
  // The working state of the record path, defined inside the library and
  // kept in state_storage_; these are defined beside it.
  struct commit_state;
  inline commit_state& state_() noexcept;
  inline const commit_state& state_() const noexcept;
  inline void lend_(const void* bytes) noexcept;
  WEX_LIB_LOG_LOCAL unsigned char* begin_item_(size_t item_size);
  WEX_LIB_LOG_LOCAL unsigned char* room_for_(size_t item_size);
  WEX_LIB_LOG_LOCAL void end_item_(size_t item_size);
  WEX_LIB_LOG_LOCAL void publish_record_(size_t item_size);
  WEX_LIB_LOG_LOCAL uint32_t commit_time_();
  friend struct crash_access;   // the crash recorder reads the fields without locks
  friend struct layout_access;  // measures where the fields lie, for readers of cores

  int trace_id_;
  std::string name_;
  std::vector<unsigned char> record_;
  std::atomic<uint8_t> item_count_;
  wex_lib_log_ring_buffer ring_buffer_;
  wex_lib_log_entry* owner_;
  alignas(void*) unsigned char state_storage_[4 * sizeof(void*) + 16];
};

}  // namespace velorin

#endif  // WEX_LIB_LOG_STORAGE_H
