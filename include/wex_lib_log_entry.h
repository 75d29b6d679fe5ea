// SPDX-License-Identifier: MIT
// Logger object: one per application component.
//
// add_log filters a printf-style message by level and type, stores it as one
// log record in the logger's ring when its level is at or below usb_level_,
// and echoes it through the platform trace print and, with file echo on, to
// a text file when its level is at or below normal_level_. Structured calls
// store a title with numbers, strings or name/value pairs whatever the
// levels. trace_log dumps and drains the ring. Property commands change the
// levels and echo modes at run time.
//
// Threads: any number of threads may log through one logger. Building and
// committing a record, and the dump, hold the logger's semaphore; the ring
// takes its own semaphore inside, so the lock order is logger, then ring.
// Level checks, echoes, property commands and tracer calls take no logger
// lock. The levels and switches are relaxed atomics, and the echo file's path
// has a small lock of its own (held only to copy or replace the path and to
// open the file), so that loggers stay free of data races while property
// commands run beside logging threads.
//
// Choices this logger makes where its contract leaves room:
// - add_log_ext cuts its formatted text at 319 characters (its 320-byte buffer).
// - A composed text longer than 65531 characters is cut to 65531, so that its
//   message item fits the 16-bit size of a data item.
// - push_data and the structured calls release the semaphore through a scope
//   guard, also when a hook or the commit throws; a record left half built by
//   an exception is discarded then, so it never leaks into the next record.
// - set_properties(nullptr) leaves the path unchanged; a null property
//   command is echoed as "(null)".
// - storage() gives applications the record store, for snapshot export and
//   import and the ring's size.
// - A negative ring size is refused: the constructor throws
//   std::length_error naming the size (taken as unsigned it would ask for
//   about 4 GiB). A ring size of 0 gives a logger without a ring, whose
//   records the ring refuses with its message.
// - The logger's own act_add_data stores nothing for a null data or null
//   length pointer, so push_data(0, nullptr, ...) and push_data(0, data,
//   nullptr, ...) store nothing and print nothing.
// - The composed text ends at its first NUL, in the stored item and in both
//   echoes alike (a %c of 0 ends it). When the C library's formatter fails on
//   a conversion, the text it wrote before the failure is kept.
// - Each file-echo line reaches the file in one write on a descriptor opened
//   for append, so that echoes of other threads, processes and dumps into
//   the same file never split it.
// - The constructor enters the logger into the crash recorder's registry and
//   the destructor takes it out (wex_lib_log_crash.h).
#ifndef WEX_LIB_LOG_ENTRY_H
#define WEX_LIB_LOG_ENTRY_H

#include <QMV_Mutex_Semaphore.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "wex_lib_log_export.h"
#include "wex_lib_log_storage.h"
#include "wex_lib_log_tracer.h"

// Message level: smaller is more important. A message passes a threshold
// when its level is less than or equal to it. Any int passes through.
enum WEX_LIB_LOG_LV : int {
  WEX_LIB_LOG_LV_CRITICAL = 0,
  WEX_LIB_LOG_LV_ERROR = 1,
  WEX_LIB_LOG_LV_WARNING = 2,
  WEX_LIB_LOG_LV_INFO = 3,
  WEX_LIB_LOG_LV_DEBUG = 4,
  WEX_LIB_LOG_LV_VERBOSE = 5,
};

// Message type: one of the single-bit values, each with a type label.
enum WEX_LIB_LOG_TYPE : int {
  WEX_LIB_LOG_TYPE_ERROR = 1,
  WEX_LIB_LOG_TYPE_WARNING = 2,
  WEX_LIB_LOG_TYPE_ENTER = 4,
  WEX_LIB_LOG_TYPE_RETURN = 8,
  WEX_LIB_LOG_TYPE_NORMAL = 16,
  WEX_LIB_LOG_TYPE_IMPORTANT = 32,
  WEX_LIB_LOG_TYPE_PERFORMANCE = 64,
};

// Length selector: how much of the function name a message keeps.
enum WEX_LIB_LOG_LEN_TYPE : int {
  WEX_LIB_LOG_LEN_FULL = 0,      // whole name, type label in the echoes
  WEX_LIB_LOG_LEN_NO_LABEL = 1,  // whole name, no type label in the echoes
  WEX_LIB_LOG_LEN_SHORT = 2,     // last two components of a qualified name
};

namespace velorin {

class WEX_LIB_LOG_API wex_lib_log_entry {
 public:
  wex_lib_log_entry(int trace_id, const char* name, int ring_size);
  virtual ~wex_lib_log_entry();
  wex_lib_log_entry(const wex_lib_log_entry&) = delete;
  wex_lib_log_entry& operator=(const wex_lib_log_entry&) = delete;

  // Stores data items of kind 0 (message items) into the record under
  // construction; other kinds are left to derived loggers. Runs under the
  // logger's semaphore, taken by push_data.
  virtual void act_add_data(unsigned char kind, const char* data, void* param, int extra);
  // Appends the text of one data item to a dump line: message items as their
  // type label and text; other kinds are left to derived loggers.
  virtual void act_trace_log(std::string& line, std::vector<unsigned char>& data,
                             unsigned char kind, unsigned int size);

  // Message path. add_log stores the message when its level is at or below
  // usb_level() (3 by default) and echoes it when at or below normal_level()
  // (2 by default). The trace echo goes out with kind 0 for type ERROR or
  // level 0, with kind 1 for types WARNING and IMPORTANT or level 1; other
  // echoed messages are trace-echoed, with their level as the kind, only
  // after a ",T" command (a logger starts as after ",P").
  // With file echo on (",D,1" and a path from set_properties), each echoed
  // message is also appended to the echo file as
  //   "[%10lu][%8ld.%03ld] %s%s\n"
  // holding the calling thread's pthread_self() in full (the dump shows the
  // record's 32-bit task id), the platform clock's millisecond count as
  // seconds and milliseconds (it wraps every 2^32 ms, about 49.7 days, and
  // is not the time of day the dump shows), the type label and the text.
  // This line format is fixed: tools that read echo files depend on it.
  // Built with g++, a caller tests the levels and the type itself (below).
  void add_log(WEX_LIB_LOG_LV level, WEX_LIB_LOG_TYPE type, WEX_LIB_LOG_LEN_TYPE len_type,
               const char* function, const char* format, ...) __attribute__((format(printf, 6, 7)));
  void add_log_(WEX_LIB_LOG_LV level, WEX_LIB_LOG_TYPE type, WEX_LIB_LOG_LEN_TYPE len_type,
                const char* function, const char* message);
  void add_log_ext(WEX_LIB_LOG_LV level, const char* format, ...)
      __attribute__((format(printf, 3, 4)));

  // One record from one hook call: takes the semaphore, runs act_add_data
  // and commits.
  void push_data(unsigned char kind, const char* data, void* param, long extra);
  // Writes one data item into the record under construction (for hooks).
  void add_data(unsigned char kind, void* data, unsigned int length);

  // Structured records: a title and up to 8 values, 6 strings or 3 pairs,
  // stored whatever the levels and never echoed.
  // push_data_value stores the first `count` of value1..value8 (capped at
  // 8): mode 1 as hexadecimal items (" 0x1F" in the dump), any other mode as
  // decimal items ("[31]").
  // push_data_string stores the first `count` of string1..string6 (capped at
  // 6); a null string stores nothing but keeps its place in the count.
  // push_data_set's count is the number of arguments after it, names and
  // values both, not pairs: 2 for each pair, so 6 stores all three. It is
  // capped at 6 and halved, dropping the remainder (3 stores one pair). A
  // pair with a null name stores nothing.
  void push_data_value(const char* title, int mode, unsigned int count, int value1, int value2,
                       int value3, int value4, int value5, int value6, int value7, int value8);
  void push_data_string(const char* title, unsigned int count, const char* string1,
                        const char* string2, const char* string3, const char* string4,
                        const char* string5, const char* string6);
  void push_data_set(const char* title, unsigned int count, const char* name1, int value1,
                     const char* name2, int value2, const char* name3, int value3);

  // Property commands. set_properties sets the echo file's path.
  // set_properties_command takes ",<letter>[,<number>]", the letter in
  // either case and text before the first comma ignored: ",N,1".. ",N,5"
  // echo level, ",U,1".. ",U,5" storage level, ",D,0"/",D,1" file echo
  // off/on, ",P" trace echo of urgent messages only, ",T" trace echo of every
  // echoed message. Each command is first echoed as "[348] <command>"
  // through the trace print and "[349] <command>\n" on standard output. An
  // accepted command then replies on both, for example "[389] : Normal
  // LV[4]\n" on standard output and "[390] : Normal LV[4]" through the trace
  // print. The bracketed numbers are fixed reply numbers, a pair for each
  // reply (standard output, trace print): D,0 367/368, D,1 373/374, N
  // 389/390, U 404/405, P 413/414, T 420/421; they are part of the reply
  // texts that device tools match, so they stay as they are. An unknown
  // letter replies "[425] : param Error\n" and, with trace kind 0 (an error),
  // "[426] : param Error."; a missing or out-of-range number is ignored
  // after the echo.
  void set_properties(const char* path);
  void set_properties_command(const char* command);

  // Dump of every stored record to the file at `path` (appending), or to the
  // user-command trace channel when it cannot be opened.
  void trace_log(const char* path);
  void trace_log_(const char* path);

  // Tracers.
  void entry_log_tracer(wex_lib_log_tracer* tracer);
  void remove_log_tracer(wex_lib_log_tracer* tracer);
  int exec_log_tracer();

  // Copies the nine-character label of `type` into `dest` (16 bytes).
  void get_type_string(char* dest, WEX_LIB_LOG_TYPE type);
  // The platform clock in milliseconds, wrapping at 2^32.
  uint32_t wex_lib_log_get_time_msec_();

  wex_lib_log_storage& storage() { return storage_; }
  int normal_level() const { return normal_level_.load(std::memory_order_relaxed); }
  int usb_level() const { return usb_level_.load(std::memory_order_relaxed); }
  int file_trace() const { return file_trace_.load(std::memory_order_relaxed); }
  int gen_mode() const { return gen_mode_.load(std::memory_order_relaxed); }
  int error_count() const { return error_count_.load(std::memory_order_relaxed); }
  std::string file_path() const;

 private:
  // Whether add_log drops a message of this level and type: above both
  // levels, or of no type bit.
  bool filtered_(WEX_LIB_LOG_LV level, WEX_LIB_LOG_TYPE type) const {
    return (level > normal_level_.load(std::memory_order_relaxed) &&
            level > usb_level_.load(std::memory_order_relaxed)) ||
           (type & 127) == 0;
  }
  // add_log after the caller's own level and type tests.
  void add_log_passed_(WEX_LIB_LOG_LV level, WEX_LIB_LOG_TYPE type, WEX_LIB_LOG_LEN_TYPE len_type,
                       const char* function, const char* format, ...)
      __attribute__((format(printf, 6, 7)));
  WEX_LIB_LOG_LOCAL void add_log_v_(WEX_LIB_LOG_LV level, WEX_LIB_LOG_TYPE type,
                                    WEX_LIB_LOG_LEN_TYPE len_type, const char* function,
                                    const char* format, va_list args);
  WEX_LIB_LOG_LOCAL void echo_(int level, int type, bool with_label, const char* text);
  WEX_LIB_LOG_LOCAL void echo_to_file_(const char* label, const char* text);
  template <class Build>
  WEX_LIB_LOG_LOCAL void commit_record_(Build&& build);
  template <class WriteMessage>
  WEX_LIB_LOG_LOCAL void log_(int level, int type, int len_type, const char* function,
                              size_t message_room, WriteMessage&& write_message);
  WEX_LIB_LOG_LOCAL void set_level_(std::atomic<int32_t>& field, const char* letter,
                                    const char* reply_format, int reply_number,
                                    const char* trace_format, int trace_number);

  wex_lib_log_tracer_manager tracer_manager_;
  wex_lib_log_storage storage_;
  int32_t trace_id_;
  std::string name_;
  std::atomic<int32_t> normal_level_;
  std::atomic<int32_t> usb_level_;
  std::atomic<int32_t> file_trace_;
  std::atomic<int32_t> gen_mode_;
  std::atomic<int32_t> error_count_;
  std::string file_path_;
  mutable std::mutex file_path_mutex_;
  QMV_Mutex_Semaphore mutex_;
};

#if defined(__GNUC__) && !defined(__clang__) && !defined(WEX_LIB_LOG_BUILDING_LIBRARY)
// With g++ (optimising or not) add_log's level and type tests are made where
// it is called, so that a filtered message costs no call: this definition is
// only ever inlined, and the library's own one stays the exported symbol.
// The positions of the two level fields are part of the ABI for that reason.
__attribute__((gnu_inline, always_inline)) inline void wex_lib_log_entry::add_log(
    WEX_LIB_LOG_LV level, WEX_LIB_LOG_TYPE type, WEX_LIB_LOG_LEN_TYPE len_type,
    const char* function, const char* format, ...) {
  if (filtered_(level, type)) return;
  add_log_passed_(level, type, len_type, function, format, __builtin_va_arg_pack());
}
#endif

}  // namespace velorin

#endif  // WEX_LIB_LOG_ENTRY_H
