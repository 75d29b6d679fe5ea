// SPDX-License-Identifier: MIT
// Property commands: ",<letter>[,<number>]" changes a logger's levels and
// echo modes at run time; every call is echoed first, and every accepted
// command or unknown letter is acknowledged on standard output and through
// the trace print.
#include <zol_platform.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform_calls.h"
#include "wex_lib_log_entry.h"

namespace velorin {
namespace {

using platform_calls::kTraceCategory;
using platform_calls::kTraceKindError;
constexpr int kKindReply = 1;

// The number of a D, N or U command: the text after the next comma at or
// after the command letter, read with strtol rules. False without a comma.
bool read_number(const char* letter, long& number) {
  const char* comma = std::strchr(letter, ',');
  if (comma == nullptr) return false;
  number = std::strtol(comma + 1, nullptr, 10);
  return true;
}

}  // namespace

void wex_lib_log_entry::set_properties(const char* path) {
  if (path == nullptr) return;
  std::lock_guard<std::mutex> lock(file_path_mutex_);
  file_path_ = path;
}

void wex_lib_log_entry::set_properties_command(const char* command) {
  const char* shown = command ? command : "(null)";
  zolGENTrcPrintf(trace_id_, kTraceCategory, kKindReply, "[%d] %s", 348, shown);
  std::printf("[%d] %s\n", 349, shown);
  if (command == nullptr) return;
  const char* comma = std::strchr(command, ',');
  if (comma == nullptr) return;
  const char* letter = comma + 1;
  switch (*letter) {
    case 'D':
    case 'd': {
      long number;
      if (!read_number(letter, number) || (number != 0 && number != 1)) return;
      file_trace_.store(static_cast<int32_t>(number), std::memory_order_relaxed);
      const std::string path = file_path();
      if (number == 0) {
        std::printf("[%d] : end[%d]   %s\n", 367, 0, path.c_str());
        zolGENTrcPrintf(trace_id_, kTraceCategory, kKindReply, "[%d] : end[%d]   %s\n", 368,
                        file_trace(), path.c_str());
      } else {
        std::printf("[%d] : start[%d] %s\n", 373, 1, path.c_str());
        zolGENTrcPrintf(trace_id_, kTraceCategory, kKindReply, "[%d] : start[%d] %s\n", 374,
                        file_trace(), path.c_str());
      }
      return;
    }
    case 'N':
    case 'n':
      set_level_(normal_level_, letter, "[%d] : Normal LV[%d]\n", 389, "[%d] : Normal LV[%d]", 390);
      return;
    case 'U':
    case 'u':
      set_level_(usb_level_, letter, "[%d] : USB LV[%d]\n", 404, "[%d] : USB LV[%d]", 405);
      return;
    case 'P':
    case 'p':
      gen_mode_.store(0, std::memory_order_relaxed);
      std::printf("[%d] : GENPRINT\n", 413);
      zolGENTrcPrintf(trace_id_, kTraceCategory, kKindReply, "[%d] : GENPRINT", 414);
      return;
    case 'T':
    case 't':
      gen_mode_.store(1, std::memory_order_relaxed);
      std::printf("[%d] : GENTRACE\n", 420);
      zolGENTrcPrintf(trace_id_, kTraceCategory, kKindReply, "[%d] : GENTRACE", 421);
      return;
    default:
      std::printf("[%d] : param Error\n", 425);
      zolGENTrcPrintf(trace_id_, kTraceCategory, kTraceKindError, "[%d] : param Error.", 426);
      return;
  }
}

// Stores a level of 1 to 5 read from an N or U command and acknowledges it;
// any other number changes nothing and is not acknowledged.
void wex_lib_log_entry::set_level_(std::atomic<int32_t>& field, const char* letter,
                                   const char* reply_format, int reply_number,
                                   const char* trace_format, int trace_number) {
  long number;
  if (!read_number(letter, number) || number < 1 || number > 5) return;
  field.store(static_cast<int32_t>(number), std::memory_order_relaxed);
  std::printf(reply_format, reply_number, static_cast<int>(number));
  zolGENTrcPrintf(trace_id_, kTraceCategory, kKindReply, trace_format, trace_number,
                  field.load(std::memory_order_relaxed));
}

}  // namespace velorin
