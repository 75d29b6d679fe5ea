// SPDX-License-Identifier: MIT
#include "wex_lib_log_storage.h"

#include <DRAV_UsrCommandReceiver.h>
#include <pthread.h>
#include <zol_platform.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <new>
#include <type_traits>

#include "codec/dump_line.h"
#include "codec/ring_chain.h"
#include "file_io.h"
#include "platform_calls.h"
#include "relaxed.h"
#include "ring_buffer/ring_storage.h"
#include "storage/store_commit_state.h"
#include "wex_lib_log_entry.h"

namespace velorin {
namespace {

constexpr size_t kDumpBatchSize = 64 * 1024;

// The calling thread's task id. The commit calls it here rather than through
// the exported get_task_id, which the compiler may not inline.
unsigned long this_task_id() {
  return static_cast<unsigned long>(pthread_self());
}

// Writes whole lines to the stream's descriptor in one call, after the
// bytes the caller left in the stream's buffer; a stream without a
// descriptor (a memory stream) takes them through stdio. What the descriptor
// refuses goes through stdio as well, which then marks the stream in error
// as a failed fprintf would.
void write_lines(FILE* stream, const std::string& lines) {
  if (lines.empty()) return;
  const int fd = fileno(stream);
  size_t written = 0;
  if (fd >= 0) {
    std::fflush(stream);
    written = write_up_to(fd, lines.data(), lines.size());
    if (written == lines.size()) return;
  }
  std::fwrite(lines.data() + written, 1, lines.size() - written, stream);
  if (fd >= 0) std::fflush(stream);
}

}  // namespace

int DRAV_UsrCommandReceiver::uctracef(const char* name, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = uc_trace(name, format, args);
  va_end(args);
  return result;
}

wex_lib_log_storage::wex_lib_log_storage(int trace_id, const char* name, wex_lib_log_entry* owner)
    : trace_id_(trace_id), name_(name ? name : ""), item_count_(0), owner_(owner) {
  static_assert(sizeof(commit_state) <= sizeof state_storage_,
                "the working state outgrew the bytes the exported class reserves for it");
  static_assert(alignof(commit_state) <= alignof(void*),
                "the working state needs more alignment than its reserved bytes have");
  static_assert(std::is_trivially_destructible<commit_state>::value,
                "the store never destroys its working state");
  new (state_storage_) commit_state;
  ring_storage::enroll(&ring_buffer_, trace_id_, name_);
}

wex_lib_log_storage::~wex_lib_log_storage() = default;

int wex_lib_log_storage::create_ring_buffer(unsigned int size) {
  return ring_buffer_.create_ring_buffer(size);
}

unsigned int wex_lib_log_storage::get_ring_buffer_size() {
  return ring_buffer_.size();
}

int wex_lib_log_storage::set_ring_buffer(const WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_& info,
                                         const unsigned char* data) {
  return ring_buffer_.set_buffer_data(info, data);
}

int wex_lib_log_storage::get_ring_buffer(WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_* info,
                                         unsigned char* data) {
  return ring_buffer_.get_buffer_data(info, data);
}

void wex_lib_log_storage::add_title_data(const char* title) {
  if (title == nullptr) return;
  const size_t length = strnlen(title, log_record::kTitleLimit);
  const size_t size = log_record::title_item_size(length);
  log_record::write_title_item(begin_item_(size), title, length);
  end_item_(size);
}

void wex_lib_log_storage::add_value_data(int value) {
  log_record::write_value_item(begin_item_(log_record::kValueItemSize), log_record::kValue, value);
  end_item_(log_record::kValueItemSize);
}

void wex_lib_log_storage::add_value_data_hex(int value) {
  log_record::write_value_item(begin_item_(log_record::kValueItemSize), log_record::kHexValue,
                               value);
  end_item_(log_record::kValueItemSize);
}

void wex_lib_log_storage::add_string_data(const char* text) {
  if (text == nullptr) return;
  const size_t length = strnlen(text, log_record::kTextLimit);
  const size_t size = log_record::string_item_size(length);
  log_record::write_string_item(begin_item_(size), text, length);
  end_item_(size);
}

void wex_lib_log_storage::add_set_data(const char* name, int value) {
  if (name == nullptr) return;
  const size_t length = strnlen(name, log_record::kTextLimit);
  const size_t size = log_record::set_item_size(length);
  log_record::write_set_item(begin_item_(size), name, length, value);
  end_item_(size);
}

// A data item whose bytes were lent (they stay valid until the commit) and
// that begins the record is only remembered: the commit hands those bytes to
// the ring as the record's body, so a message is copied once, into the ring.
void wex_lib_log_storage::add_data(unsigned int kind, void* data, unsigned int size) {
  commit_state& state = state_();
  if (size > log_record::kDataLimit || (data == nullptr && size != 0)) return;
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (bytes == state.lendable && bytes != nullptr && relaxed(state.building_size) == 0 &&
      relaxed(state.borrowed) == nullptr) {
    relaxed(state.borrowed) = bytes;
    relaxed(state.borrowed_size) = size;
    relaxed(state.borrowed_kind) = static_cast<unsigned char>(kind);
    ++relaxed(item_count_);
    return;
  }
  const size_t item_size = log_record::data_item_size(size);
  log_record::write_data_item(begin_item_(item_size), kind, bytes, size);
  end_item_(item_size);
}

// Every item starts here: a remembered data item first takes its place in
// the record; returns where the item's `item_size` bytes go, after the
// record's whole items. Those are the first building_size bytes of record_,
// which only grows (doubling) and is never cleared, so that an item costs no
// growth or zero fill of its own.
unsigned char* wex_lib_log_storage::begin_item_(size_t item_size) {
  commit_state& state = state_();
  if (relaxed(state.borrowed) != nullptr) {
    const unsigned char* bytes = relaxed(state.borrowed);
    const unsigned int size = relaxed(state.borrowed_size);
    relaxed(state.borrowed) = nullptr;
    const size_t borrowed_item = log_record::data_item_size(size);
    log_record::write_data_item(room_for_(borrowed_item), relaxed(state.borrowed_kind), bytes,
                                size);
    publish_record_(borrowed_item);
  }
  return room_for_(item_size);
}

// Where `item_size` more bytes go after the record's whole items.
unsigned char* wex_lib_log_storage::room_for_(size_t item_size) {
  const size_t at = relaxed(state_().building_size);
  const size_t end = at + item_size;
  if (end > record_.size()) record_.resize(std::max(end, 2 * record_.size()));
  return record_.data() + at;
}

// Counts the item of `item_size` bytes just written and shows the record.
void wex_lib_log_storage::end_item_(size_t item_size) {
  ++relaxed(item_count_);
  publish_record_(item_size);
}

// Shows the record under construction, grown by `item_size` bytes of whole
// items, to readers without the lock (the crash recorder).
void wex_lib_log_storage::publish_record_(size_t item_size) {
  commit_state& state = state_();
  relaxed(state.building) = record_.data();
  relaxed(state.building_size) = static_cast<uint32_t>(relaxed(state.building_size) + item_size);
}

void wex_lib_log_storage::entry_for_ring_buffer() {
  commit_state& state = state_();
  state.lendable = nullptr;
  const uint32_t record_size = relaxed(state.building_size);
  if (record_size == 0 && relaxed(state.borrowed) == nullptr) return;
  unsigned char head[log_record::kHeaderSize + log_record::kDataHeadSize];
  const uint32_t time_of_day = commit_time_();
  log_record::write_header(head, time_of_day, static_cast<uint32_t>(this_task_id()),
                           relaxed(item_count_));
  if (relaxed(state.borrowed) != nullptr) {
    // The record is the remembered data item alone: header and item head,
    // then the lent bytes.
    log_record::write_data_head(head + log_record::kHeaderSize, relaxed(state.borrowed_kind),
                                relaxed(state.borrowed_size));
    ring_buffer_.push_data(head, sizeof head, relaxed(state.borrowed),
                           relaxed(state.borrowed_size));
  } else {
    ring_buffer_.push_data(head, log_record::kHeaderSize, record_.data(), record_size);
  }
  discard_record();
}

void wex_lib_log_storage::discard_record() {
  commit_state& state = state_();
  relaxed(state.building_size) = 0;
  relaxed(item_count_) = 0;
  relaxed(state.borrowed) = nullptr;
  state.lendable = nullptr;
}

uint32_t wex_lib_log_storage::get_timer() {
  zolQMVClock clock{};
  const int status = zolQMVGetClock(&clock);
  const uint32_t second_start = platform_calls::local_second_start_ms(clock);
  if (status != 0) return platform_calls::clock_failed(trace_id_, status);
  return second_start + platform_calls::millisecond_of_second(clock);
}

// The commit's time of day. The local-time conversion is the platform's
// dearest call and its answer changes only with the second, so the store
// remembers the start of the last second it converted. Commits run under
// the logger's semaphore, which guards the remembered second too.
uint32_t wex_lib_log_storage::commit_time_() {
  commit_state& state = state_();
  zolQMVClock clock{};
  const int status = zolQMVGetClock(&clock);
  if (status != 0) return platform_calls::clock_failed(trace_id_, status);
  if (!state.time_cache_valid || clock.sec != state.cached_second) {
    state.cached_second = clock.sec;
    state.cached_second_ms = platform_calls::local_second_start_ms(clock);
    state.time_cache_valid = true;
  }
  return state.cached_second_ms + platform_calls::millisecond_of_second(clock);
}

unsigned long wex_lib_log_storage::get_task_id() {
  return this_task_id();
}

void wex_lib_log_storage::trace_log(FILE* stream) {
  std::vector<unsigned char> records;
  std::vector<unsigned char> data;
  std::string line;
  const auto render_data = [&](std::string& out, unsigned char kind, const unsigned char* bytes,
                               size_t size) {
    if (owner_ == nullptr) {
      log_record::append_default_data(out, kind, bytes, size);
      return;
    }
    data.assign(bytes, bytes + size);
    owner_->act_trace_log(out, data, kind, static_cast<unsigned int>(size));
  };
  // Records are copied from the ring in batches and file lines are written
  // in large pieces: a lock or a write per record would cost as much as
  // rendering it. Each piece is whole lines and goes out in one write, so
  // that other writers of a file opened for append never split a line of
  // the dump. A batch leaves the ring once rendered; when a hook throws, the
  // records rendered before it and its own leave the ring, the rest stay.
  std::string batch;
  const auto write_batch = [&] {
    write_lines(stream, batch);
    batch.clear();
  };
  unsigned long long mark = 0;
  size_t taken = 0;
  try {
    while (ring_buffer_.peek_records(records, kDumpBatchSize, mark) != 0) {
      for (taken = 0; taken < records.size();) {
        const uint32_t length = ring_chain::read_prefix(records.data() + taken);
        const unsigned char* payload = records.data() + taken + ring_chain::kPrefixSize;
        taken += ring_chain::kPrefixSize + size_t{length};
        line.clear();
        log_record::render_dump_line(line, payload, length, render_data);
        if (stream == nullptr) {
          DRAV_UsrCommandReceiver::uctracef(name_.c_str(), "%s", line.c_str());
          continue;
        }
        log_record::end_file_line(line);
        if (batch.size() + line.size() > kDumpBatchSize) write_batch();
        batch += line;
      }
      ring_buffer_.drop_records(mark, taken);
    }
  } catch (...) {
    ring_buffer_.drop_records(mark, taken);
    // Lines already rendered still reach the file.
    if (stream != nullptr) write_batch();
    throw;
  }
  if (stream != nullptr) write_batch();
}

}  // namespace velorin
