// SPDX-License-Identifier: MIT
// The messages every benchmark logs, through our logger, through the peer
// logger's multi-threaded ring-buffer sink, and through the floor: the work
// no logger can avoid (format, clock read, copy of the bytes).
//
// Every case logs the same line: a qualified function name kept by selector
// 2 and a message of about 60 characters with two %d and one %s. The
// structured cases store records of about the same size.
//
// The peer's cases are built where the peer is installed (WEXLOG_BENCH_PEER):
// a cross build for the device has only ours and the floor.
#ifndef WEXLOG_BENCH_CASES_H
#define WEXLOG_BENCH_CASES_H

#if WEXLOG_BENCH_PEER
#include <spdlog/logger.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#endif
#include <zol_platform.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "wex_lib_log_entry.h"

namespace bench {

constexpr const char* kFunction = "int velorin::sensor::bus_poller::poll_once(int)";
constexpr const char* kBus = "i2c-1";
constexpr unsigned int kRingSize = 1u << 20;
constexpr size_t kSpdlogRingItems = 10000;  // about as many lines as our 1 MiB ring holds

inline void log_one(velorin::wex_lib_log_entry& logger, WEX_LIB_LOG_LV level, int i) {
  logger.add_log(level, WEX_LIB_LOG_TYPE_NORMAL, WEX_LIB_LOG_LEN_SHORT, kFunction,
                 "sensor %d reported %d samples on bus %s, queue nearly full", i & 7,
                 1000 + (i & 1023), kBus);
}

#if WEXLOG_BENCH_PEER
inline void spdlog_one(spdlog::logger& logger, int i) {
  logger.log(spdlog::source_loc{__FILE__, __LINE__, kFunction}, spdlog::level::info,
             "sensor {} reported {} samples on bus {}, queue nearly full", i & 7, 1000 + (i & 1023),
             kBus);
}
#endif

// Structured records of about the size of the message above.
inline void value_one(velorin::wex_lib_log_entry& logger, int i) {
  logger.push_data_value("bus_poller samples per sensor", 0, 4, i & 7, 1000 + (i & 1023), i, -i, 0,
                         0, 0, 0);
}

inline void set_one(velorin::wex_lib_log_entry& logger, int i) {
  logger.push_data_set("bus_poller queue", 3, "sensor", i & 7, "samples", 1000 + (i & 1023),
                       "queue_nearly_full_threshold", 4096);
}

inline void string_one(velorin::wex_lib_log_entry& logger, int) {
  logger.push_data_string("bus_poller", 3, "sensor reported samples", kBus, "queue nearly full",
                          nullptr, nullptr, nullptr);
}

#if WEXLOG_BENCH_PEER
inline std::unique_ptr<spdlog::logger> make_spdlog(spdlog::level::level_enum level) {
  auto sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(kSpdlogRingItems);
  auto logger = std::make_unique<spdlog::logger>("bench", std::move(sink));
  logger->set_pattern("[%H:%M:%S.%e:%t] %v");
  logger->set_level(level);
  return logger;
}
#endif

// Where the floor copies its bytes: a preallocated area used round and
// round, as a ring would be, without framing or discarding.
struct floor_sink {
  std::vector<unsigned char> bytes = std::vector<unsigned char>(kRingSize);
  size_t pos = 0;
};

__attribute__((noinline, format(printf, 2, 3))) inline void floor_log(floor_sink& sink,
                                                                      const char* format, ...) {
  char text[1280];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text - 1, format, args);
  va_end(args);
  zolQMVClock clock{};
  zolQMVGetClock(&clock);
  const size_t length = n > 0 ? static_cast<size_t>(n) : 0;
  if (sink.pos + sizeof clock + length > sink.bytes.size()) sink.pos = 0;
  std::memcpy(&sink.bytes[sink.pos], &clock, sizeof clock);
  std::memcpy(&sink.bytes[sink.pos + sizeof clock], text, length);
  sink.pos += sizeof clock + length;
}

inline void floor_one(floor_sink& sink, int i) {
  floor_log(sink, "sensor %d reported %d samples on bus %s, queue nearly full", i & 7,
            1000 + (i & 1023), kBus);
}

}  // namespace bench

#endif  // WEXLOG_BENCH_CASES_H
