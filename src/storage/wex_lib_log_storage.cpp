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

#include "byte_order.h"
#include "file_io.h"
#include "platform_calls.h"
#include "relaxed.h"
#include "storage/store_commit_state.h"
#include "storage/wex_lib_log_record.h"
#include "wex_lib_log_entry.h"

namespace velorin {
namespace {

constexpr size_t kDumpBatchSize = 64 * 1024;

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
  unsigned char* body = begin_item_(log_record::kTitle, 1 + length);
  body[0] = static_cast<unsigned char>(length);
  std::memcpy(body + 1, title, length);
  end_item_(body + 1 + length);
}

// Writes a text item (its 2-byte length and text) with room for `extra`
// bytes after the text; returns where those go.
unsigned char* wex_lib_log_storage::add_text_item_(unsigned char tag, const char* text,
                                                   size_t extra) {
  const size_t length = strnlen(text, log_record::kTextLimit);
  unsigned char* body = begin_item_(tag, 2 + length + extra);
  store_le(body, length, 2);
  std::memcpy(body + 2, text, length);
  return body + 2 + length;
}

void wex_lib_log_storage::add_value_data(int value) {
  unsigned char* body = begin_item_(log_record::kValue, 4);
  store_le(body, static_cast<uint32_t>(value), 4);
  end_item_(body + 4);
}

void wex_lib_log_storage::add_value_data_hex(int value) {
  unsigned char* body = begin_item_(log_record::kHexValue, 4);
  store_le(body, static_cast<uint32_t>(value), 4);
  end_item_(body + 4);
}

void wex_lib_log_storage::add_string_data(const char* text) {
  if (text == nullptr) return;
  end_item_(add_text_item_(log_record::kString, text, 0));
}

void wex_lib_log_storage::add_set_data(const char* name, int value) {
  if (name == nullptr) return;
  unsigned char* body_end = add_text_item_(log_record::kSet, name, 4);
  store_le(body_end, static_cast<uint32_t>(value), 4);
  end_item_(body_end + 4);
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
  end_item_(append_data_item_(kind, bytes, size));
}

// Returns the end of the item.
unsigned char* wex_lib_log_storage::append_data_item_(unsigned int kind, const unsigned char* bytes,
                                                      unsigned int size) {
  unsigned char* body = begin_item_(log_record::kData, 3 + size);
  body[0] = static_cast<unsigned char>(kind);
  store_le(body + 1, size, 2);
  if (size != 0) std::memcpy(body + 3, bytes, size);
  return body + 3 + size;
}

// Every item starts here: a remembered data item first takes its place in
// the record, then the item's tag is written after the record's whole items;
// returns where the `body_size` bytes after the tag go. The record's bytes
// are the first building_size bytes of record_, which only grows (doubling)
// and is never cleared, so that an item costs no growth or zero fill of its
// own.
unsigned char* wex_lib_log_storage::begin_item_(unsigned char tag, size_t body_size) {
  commit_state& state = state_();
  if (relaxed(state.borrowed) != nullptr) {
    const unsigned char* bytes = relaxed(state.borrowed);
    relaxed(state.borrowed) = nullptr;
    publish_record_(
        append_data_item_(relaxed(state.borrowed_kind), bytes, relaxed(state.borrowed_size)));
  }
  const size_t at = relaxed(state.building_size);
  const size_t end = at + 1 + body_size;
  if (end > record_.size()) record_.resize(std::max(end, 2 * record_.size()));
  unsigned char* item = record_.data() + at;
  item[0] = tag;
  return item + 1;
}

// Counts the item that ends at `end` and shows the record.
void wex_lib_log_storage::end_item_(const unsigned char* end) {
  ++relaxed(item_count_);
  publish_record_(end);
}

// Shows the record under construction, as it now stands with whole items
// only (up to `end`), to readers without the lock (the crash recorder).
void wex_lib_log_storage::publish_record_(const unsigned char* end) {
  commit_state& state = state_();
  relaxed(state.building) = record_.data();
  relaxed(state.building_size) = static_cast<uint32_t>(end - record_.data());
}

void wex_lib_log_storage::entry_for_ring_buffer() {
  commit_state& state = state_();
  state.lendable = nullptr;
  const uint32_t record_size = relaxed(state.building_size);
  if (record_size == 0 && relaxed(state.borrowed) == nullptr) return;
  unsigned char head[log_record::kHeaderSize + 4];
  store_le(head, commit_time_(), 4);
  store_le(head + 4, get_task_id(), 4);
  head[8] = relaxed(item_count_);
  if (relaxed(state.borrowed) != nullptr) {
    // The record is the remembered data item alone: header and item head,
    // then the lent bytes.
    head[9] = log_record::kData;
    head[10] = relaxed(state.borrowed_kind);
    store_le(head + 11, relaxed(state.borrowed_size), 2);
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
  return static_cast<unsigned long>(pthread_self());
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
        const uint32_t length = load_le32(records.data() + taken);
        const unsigned char* payload = records.data() + taken + 4;
        taken += 4 + size_t{length};
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
