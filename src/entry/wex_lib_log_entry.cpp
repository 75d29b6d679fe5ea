// SPDX-License-Identifier: MIT
#include "wex_lib_log_entry.h"

#include <fcntl.h>
#include <pthread.h>
#include <zol_platform.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "codec/dump_line.h"
#include "crash/crash_hooks.h"
#include "crash/logger_registry.h"
#include "entry/kept_name.h"
#include "entry/wex_lib_log_format.h"
#include "file_io.h"
#include "platform_calls.h"
#include "semaphore_hold.h"
#include "short_copy.h"
#include "storage/store_commit_state.h"

namespace velorin {
namespace {

using platform_calls::kTraceCategory;
using platform_calls::kTraceKindError;
constexpr int kKindUrgent = 1;
constexpr size_t kMessageBufferSize = 1280;
constexpr size_t kExtBufferSize = 320;
constexpr size_t kLabelBufferSize = 16;
constexpr size_t kMaxComposedLength = log_record::kDataLimit - log_record::kMessageOverhead;

// Whether a message is trace-echoed, and with which kind: errors and level 0
// as errors, warnings, important messages and level 1 as urgent, the rest
// only in GENTRACE mode, with their level as the kind.
bool trace_kind(int level, int type, int gen_mode, int& kind) {
  if (type == WEX_LIB_LOG_TYPE_ERROR || level == 0) {
    kind = kTraceKindError;
  } else if (type == WEX_LIB_LOG_TYPE_IMPORTANT || type == WEX_LIB_LOG_TYPE_WARNING || level == 1) {
    kind = kKindUrgent;
  } else if (gen_mode == 1) {
    kind = level;
  } else {
    return false;
  }
  return true;
}

// Bytes of one message item: on the stack for ordinary lines, on the heap
// for the rare longer one.
class item_buffer {
 public:
  explicit item_buffer(size_t size)
      : heap_(size > sizeof stack_ ? new unsigned char[size] : nullptr) {}
  unsigned char* data() { return heap_ ? heap_.get() : stack_; }

 private:
  unsigned char stack_[2048];
  std::unique_ptr<unsigned char[]> heap_;
};

}  // namespace

wex_lib_log_entry::wex_lib_log_entry(int trace_id, const char* name, int ring_size)
    : storage_(trace_id, name, this),
      trace_id_(trace_id),
      name_(name ? name : ""),
      normal_level_(2),
      usb_level_(3),
      file_trace_(0),
      gen_mode_(0),
      error_count_(0),
      mutex_(1) {
  if (ring_size < 0) {
    throw std::length_error("wex_lib_log_entry: negative ring size " + std::to_string(ring_size));
  }
  storage_.create_ring_buffer(static_cast<unsigned int>(ring_size));
  logger_registry::enter(storage_);
}

wex_lib_log_entry::~wex_lib_log_entry() {
  logger_registry::leave(storage_);
}

void wex_lib_log_entry::add_log(WEX_LIB_LOG_LV level, WEX_LIB_LOG_TYPE type,
                                WEX_LIB_LOG_LEN_TYPE len_type, const char* function,
                                const char* format, ...) {
  if (filtered_(level, type)) return;
  va_list args;
  va_start(args, format);
  add_log_v_(level, type, len_type, function, format, args);
  va_end(args);
}

void wex_lib_log_entry::add_log_passed_(WEX_LIB_LOG_LV level, WEX_LIB_LOG_TYPE type,
                                        WEX_LIB_LOG_LEN_TYPE len_type, const char* function,
                                        const char* format, ...) {
  va_list args;
  va_start(args, format);
  add_log_v_(level, type, len_type, function, format, args);
  va_end(args);
}

// One byte short of the 1280-byte buffer: at most 1278 characters and the NUL.
void wex_lib_log_entry::add_log_v_(WEX_LIB_LOG_LV level, WEX_LIB_LOG_TYPE type,
                                   WEX_LIB_LOG_LEN_TYPE len_type, const char* function,
                                   const char* format, va_list args) {
  log_(level, type, len_type, function, kMessageBufferSize - 1,
       [&](char* out) { return format_message(out, kMessageBufferSize - 1, format, args); });
}

void wex_lib_log_entry::add_log_(WEX_LIB_LOG_LV level, WEX_LIB_LOG_TYPE type,
                                 WEX_LIB_LOG_LEN_TYPE len_type, const char* function,
                                 const char* message) {
  const size_t length = message ? std::strlen(message) : 0;
  log_(level, type, len_type, function, length + 1, [&](char* out) {
    std::memcpy(out, message ? message : "", length);
    return length;
  });
}

// Builds the message item in place, so that the store and the echoes share
// one copy of the composed text and the message is formatted straight into
// it. Everything runs inside the one handler that counts failures.
template <class WriteMessage>
void wex_lib_log_entry::log_(int level, int type, int len_type, const char* function,
                             size_t message_room, WriteMessage&& write_message) {
  try {
    const kept_name kept = keep_function_name(function, len_type);
    item_buffer item(kept.length + 1 + message_room + log_record::kMessageOverhead);
    unsigned char* bytes = item.data();
    char* composed = log_record::write_message_head(bytes, type, kept.len_type);
    copy_bytes(composed, kept.text, kept.length);
    composed[kept.length] = '\t';
    const size_t message_length = write_message(composed + kept.length + 1);
    const size_t length = std::min(kept.length + 1 + message_length, kMaxComposedLength);
    log_record::end_message_text(composed, length);

    if (level <= usb_level_.load(std::memory_order_relaxed)) {
      uint32_t item_size = static_cast<uint32_t>(length + log_record::kMessageOverhead);
      push_data(0, reinterpret_cast<const char*>(bytes), &item_size, 0);
    }
    if (level <= normal_level_.load(std::memory_order_relaxed)) {
      echo_(level, type, kept.len_type != WEX_LIB_LOG_LEN_NO_LABEL, composed);
    }
  } catch (...) {
    error_count_.fetch_add(1, std::memory_order_relaxed);
  }
}

void wex_lib_log_entry::echo_(int level, int type, bool with_label, const char* text) {
  char label[kLabelBufferSize] = {};
  if (with_label) get_type_string(label, static_cast<WEX_LIB_LOG_TYPE>(type));
  int kind;
  if (trace_kind(level, type, gen_mode_.load(std::memory_order_relaxed), kind)) {
    zolGENTrcPrintf(trace_id_, kTraceCategory, kind, "%s%s\n", label, text);
  }
  if (file_trace_.load(std::memory_order_relaxed) == 1) echo_to_file_(label, text);
}

// The line goes to the file in one write on a descriptor opened for append,
// so that lines of other threads and processes never split it. "a+" of
// fopen opens the same way: read and write, append, created with 0666.
void wex_lib_log_entry::echo_to_file_(const char* label, const char* text) {
  const uint32_t now = wex_lib_log_get_time_msec_();
  const unsigned long thread = static_cast<unsigned long>(pthread_self());
  int fd;
  {
    std::lock_guard<std::mutex> lock(file_path_mutex_);
    if (file_path_.empty()) return;
    fd = ::open(file_path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  }
  const descriptor file(fd);
  if (file.get() < 0) {
    std::printf("Fail Open\n");
    return;
  }
  char head[64];
  std::snprintf(head, sizeof head, "[%10lu][%8ld.%03ld] ", thread, static_cast<long>(now / 1000),
                static_cast<long>(now % 1000));
  std::string line;
  line.reserve(kMessageBufferSize + sizeof head);
  line.append(head).append(label).append(text) += '\n';
  write_all(file.get(), line.data(), line.size());
}

// The message is formatted whatever the level, so that a %n in it is
// written for every level.
void wex_lib_log_entry::add_log_ext(WEX_LIB_LOG_LV level, const char* format, ...) {
  char message[kExtBufferSize];
  va_list args;
  va_start(args, format);
  format_message(message, sizeof message, format, args);
  va_end(args);
  if (level > 2) return;
  zolGENTrcPrintf(trace_id_, kTraceCategory, level, "%s\n", message);
}

template <class Build>
void wex_lib_log_entry::commit_record_(Build&& build) {
  // A thread that stores records while the crash recorder is armed gets an
  // alternate signal stack, so that its stack overflow is recorded too.
  crash_hooks::ensure_thread_alternate_stack();
  semaphore_hold hold(mutex_);
  try {
    build();
    storage_.entry_for_ring_buffer();
  } catch (...) {
    storage_.discard_record();
    throw;
  }
}

// The caller's bytes stay valid until push_data returns, after the commit,
// so the store may take a data item made of them without copying it.
void wex_lib_log_entry::push_data(unsigned char kind, const char* data, void* param, long extra) {
  commit_record_([&] {
    storage_.lend_(data);
    act_add_data(kind, data, param, static_cast<int>(extra));
  });
}

void wex_lib_log_entry::act_add_data(unsigned char kind, const char* data, void* param,
                                     int /*extra*/) {
  if (kind != 0 || data == nullptr || param == nullptr) return;
  add_data(kind, const_cast<char*>(data), *static_cast<const uint32_t*>(param));
}

void wex_lib_log_entry::add_data(unsigned char kind, void* data, unsigned int length) {
  storage_.add_data(kind, data, length);
}

void wex_lib_log_entry::push_data_value(const char* title, int mode, unsigned int count, int value1,
                                        int value2, int value3, int value4, int value5, int value6,
                                        int value7, int value8) {
  const int values[] = {value1, value2, value3, value4, value5, value6, value7, value8};
  const unsigned int n = std::min(count, 8u);
  commit_record_([&] {
    storage_.add_title_data(title);
    for (unsigned int i = 0; i < n; ++i) {
      if (mode == 1) {
        storage_.add_value_data_hex(values[i]);
      } else {
        storage_.add_value_data(values[i]);
      }
    }
  });
}

void wex_lib_log_entry::push_data_string(const char* title, unsigned int count, const char* string1,
                                         const char* string2, const char* string3,
                                         const char* string4, const char* string5,
                                         const char* string6) {
  const char* strings[] = {string1, string2, string3, string4, string5, string6};
  const unsigned int n = std::min(count, 6u);
  commit_record_([&] {
    storage_.add_title_data(title);
    for (unsigned int i = 0; i < n; ++i) storage_.add_string_data(strings[i]);
  });
}

void wex_lib_log_entry::push_data_set(const char* title, unsigned int count, const char* name1,
                                      int value1, const char* name2, int value2, const char* name3,
                                      int value3) {
  const char* names[] = {name1, name2, name3};
  const int values[] = {value1, value2, value3};
  const unsigned int pairs = std::min(count, 6u) / 2;
  commit_record_([&] {
    storage_.add_title_data(title);
    for (unsigned int i = 0; i < pairs; ++i) storage_.add_set_data(names[i], values[i]);
  });
}

void wex_lib_log_entry::trace_log(const char* path) {
  semaphore_hold hold(mutex_);
  trace_log_(path);
}

void wex_lib_log_entry::trace_log_(const char* path) {
  const std::unique_ptr<FILE, int (*)(FILE*)> file(path ? std::fopen(path, "a+") : nullptr,
                                                   &std::fclose);
  storage_.trace_log(file.get());
}

void wex_lib_log_entry::act_trace_log(std::string& line, std::vector<unsigned char>& data,
                                      unsigned char kind, unsigned int size) {
  if (kind != 0) return;
  log_record::append_message_item(line, data.data(), std::min<size_t>(size, data.size()));
}

void wex_lib_log_entry::entry_log_tracer(wex_lib_log_tracer* tracer) {
  tracer_manager_.add(tracer);
}

void wex_lib_log_entry::remove_log_tracer(wex_lib_log_tracer* tracer) {
  tracer_manager_.remove(tracer);
}

int wex_lib_log_entry::exec_log_tracer() {
  return tracer_manager_.exec();
}

void wex_lib_log_entry::get_type_string(char* dest, WEX_LIB_LOG_TYPE type) {
  std::strncpy(dest, log_record::type_label(type), kLabelBufferSize);
}

uint32_t wex_lib_log_entry::wex_lib_log_get_time_msec_() {
  zolQMVClock clock{};
  const int status = zolQMVGetClock(&clock);
  if (status != 0) return platform_calls::clock_failed(trace_id_, status);
  return clock.sec * 1000u + platform_calls::millisecond_of_second(clock);
}

std::string wex_lib_log_entry::file_path() const {
  std::lock_guard<std::mutex> lock(file_path_mutex_);
  return file_path_;
}

}  // namespace velorin
