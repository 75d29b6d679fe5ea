// SPDX-License-Identifier: MIT
// Cost of one logged message: stored, filtered out, dumped, as a structured
// record, and from 1 to 8 threads at once, next to a peer logger and to a
// floor that does only the unavoidable work (bench_cases.h).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "bench_cases.h"

namespace {

using bench::kRingSize;
using bench::log_one;
using bench::make_spdlog;
using bench::spdlog_one;
constexpr int kDumpRecords = 100000;

velorin::wex_lib_log_entry& stored_logger() {
  static velorin::wex_lib_log_entry logger(1, "bench", static_cast<int>(kRingSize));
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
void BM_Floor(benchmark::State& state) {
  bench::floor_sink sink;
  int i = 0;
  for (auto _ : state) {
    bench::floor_one(sink, i++);
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

// 6. Structured records of about the message's size.
template <void (*Log)(velorin::wex_lib_log_entry&, int)>
void BM_Structured(benchmark::State& state) {
  auto& logger = stored_logger();
  int i = 0;
  for (auto _ : state) Log(logger, i++);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Structured<bench::value_one>)->Name("BM_StructuredValue");
BENCHMARK(BM_Structured<bench::set_one>)->Name("BM_StructuredSet");
BENCHMARK(BM_Structured<bench::string_one>)->Name("BM_StructuredString");

// 7. One shared logger, and one shared peer logger, from 1 to 8 threads:
// total messages per second.
void BM_StoredAddLogThreads(benchmark::State& state) {
  static velorin::wex_lib_log_entry logger(3, "threads", static_cast<int>(kRingSize));
  int i = state.thread_index() * 4096;
  for (auto _ : state) log_one(logger, WEX_LIB_LOG_LV_INFO, i++);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StoredAddLogThreads)->ThreadRange(1, 8)->UseRealTime();

void BM_SpdlogThreads(benchmark::State& state) {
  static const auto logger = make_spdlog(spdlog::level::info);
  int i = state.thread_index() * 4096;
  for (auto _ : state) spdlog_one(*logger, i++);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SpdlogThreads)->ThreadRange(1, 8)->UseRealTime();

}  // namespace
