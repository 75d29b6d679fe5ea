// Cost of one logged message: stored, filtered out, dumped, and from two
// threads at once, next to a peer logger and to a floor that does only the
// unavoidable work (format, clock read, copy of the bytes).
//
// Every case logs the same line: a qualified function name kept by
// selector 2 and a message of about 60 characters with two %d and one %s.
#include <benchmark/benchmark.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <zol_platform.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "wex_lib_log_entry.h"

namespace {

constexpr const char* kFunction = "int velorin::sensor::bus_poller::poll_once(int)";
constexpr const char* kBus = "i2c-1";
constexpr unsigned int kRingSize = 1u << 20;
constexpr size_t kSpdlogRingItems = 10000;  // about as many lines as our 1 MiB ring holds
constexpr int kDumpRecords = 100000;

void log_one(velorin::wex_lib_log_entry& logger, WEX_LIB_LOG_LV level, int i) {
  logger.add_log(level, WEX_LIB_LOG_TYPE_NORMAL, WEX_LIB_LOG_LEN_SHORT, kFunction,
                 "sensor %d reported %d samples on bus %s, queue nearly full", i & 7,
                 1000 + (i & 1023), kBus);
}

void spdlog_one(spdlog::logger& logger, int i) {
  logger.log(spdlog::source_loc{__FILE__, __LINE__, kFunction}, spdlog::level::info,
             "sensor {} reported {} samples on bus {}, queue nearly full", i & 7, 1000 + (i & 1023),
             kBus);
}

velorin::wex_lib_log_entry& stored_logger() {
  static velorin::wex_lib_log_entry logger(1, "bench", static_cast<int>(kRingSize));
  return logger;
}

std::unique_ptr<spdlog::logger> make_spdlog(spdlog::level::level_enum level) {
  auto sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(kSpdlogRingItems);
  auto logger = std::make_unique<spdlog::logger>("bench", std::move(sink));
  logger->set_pattern("[%H:%M:%S.%e:%t] %v");
  logger->set_level(level);
  return logger;
}

// 1. A message at level 3 with the default levels: stored, not echoed.
void BM_StoredAddLog(benchmark::State& state) {
  auto& logger = stored_logger();
  int i = 0;
  for (auto _ : state) log_one(logger, WEX_LIB_LOG_LV_INFO, i++);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StoredAddLog);

// 2. The same line through the peer logger into its in-memory ring.
void BM_SpdlogRingbufferMt(benchmark::State& state) {
  const auto logger = make_spdlog(spdlog::level::info);
  int i = 0;
  for (auto _ : state) spdlog_one(*logger, i++);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SpdlogRingbufferMt);

// 3. The floor: format on the stack, read the platform clock, copy the
// bytes into a preallocated area.
struct floor_sink {
  std::vector<unsigned char> bytes = std::vector<unsigned char>(kRingSize);
  size_t pos = 0;
};

__attribute__((noinline, format(printf, 2, 3))) void floor_log(floor_sink& sink, const char* format,
                                                               ...) {
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

void BM_Floor(benchmark::State& state) {
  floor_sink sink;
  int i = 0;
  for (auto _ : state) {
    floor_log(sink, "sensor %d reported %d samples on bus %s, queue nearly full", i & 7,
              1000 + (i & 1023), kBus);
    ++i;
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Floor);

// 4. A message above both levels, and the peer's equivalent.
void BM_FilteredAddLog(benchmark::State& state) {
  auto& logger = stored_logger();
  int i = 0;
  for (auto _ : state) log_one(logger, WEX_LIB_LOG_LV_VERBOSE, i++);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FilteredAddLog);

void BM_SpdlogFiltered(benchmark::State& state) {
  const auto logger = make_spdlog(spdlog::level::warn);
  int i = 0;
  for (auto _ : state) spdlog_one(*logger, i++);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SpdlogFiltered);

// 5. Dump of kDumpRecords stored messages into /dev/null, against writing
// the same lines, already formatted, to the same stream. Only the dump (or
// the writing) is timed, in thread CPU time; the fill is not.
FILE* dev_null() {
  static FILE* const file = std::fopen("/dev/null", "w");
  return file;
}

velorin::wex_lib_log_entry& dump_logger() {
  static velorin::wex_lib_log_entry logger(2, "dump", 16 << 20);
  return logger;
}

void fill(velorin::wex_lib_log_entry& logger) {
  for (int i = 0; i < kDumpRecords; ++i) log_one(logger, WEX_LIB_LOG_LV_INFO, i);
}

// The calling thread's CPU time, so that other processes on the machine do
// not count against the dump.
double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

template <class Work>
void time_iteration(benchmark::State& state, Work&& work) {
  const double start = thread_seconds();
  work();
  std::fflush(dev_null());
  state.SetIterationTime(thread_seconds() - start);
}

void set_record_rate(benchmark::State& state) {
  state.counters["records_per_second"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kDumpRecords, benchmark::Counter::kIsRate);
}

void BM_Dump(benchmark::State& state) {
  auto& logger = dump_logger();
  for (auto _ : state) {
    fill(logger);
    time_iteration(state, [&] { logger.storage().trace_log(dev_null()); });
  }
  set_record_rate(state);
}
BENCHMARK(BM_Dump)->UseManualTime()->Unit(benchmark::kMillisecond);

// The dump lines of one fill, each with its line end.
std::vector<std::string> preformatted_lines() {
  char* text = nullptr;
  size_t size = 0;
  FILE* memory = open_memstream(&text, &size);
  fill(dump_logger());
  dump_logger().storage().trace_log(memory);
  std::fclose(memory);
  const std::string_view all(text, size);
  std::vector<std::string> lines;
  for (size_t start = 0, end; start < size; start = end + 1) {
    end = std::min(all.find('\n', start), size - 1);
    lines.emplace_back(all.substr(start, end + 1 - start));
  }
  std::free(text);
  return lines;
}

void BM_WritePreformatted(benchmark::State& state) {
  const std::vector<std::string> lines = preformatted_lines();
  if (lines.size() != kDumpRecords) state.SkipWithError("the dump gave an unexpected line count");
  for (auto _ : state) {
    time_iteration(state, [&] {
      for (const std::string& line : lines) std::fwrite(line.data(), 1, line.size(), dev_null());
    });
  }
  set_record_rate(state);
}
BENCHMARK(BM_WritePreformatted)->UseManualTime()->Unit(benchmark::kMillisecond);

// 6. One shared logger, one and two threads: total messages per second.
void BM_StoredAddLogThreads(benchmark::State& state) {
  static velorin::wex_lib_log_entry logger(3, "threads", static_cast<int>(kRingSize));
  int i = state.thread_index() * 4096;
  for (auto _ : state) log_one(logger, WEX_LIB_LOG_LV_INFO, i++);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StoredAddLogThreads)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
