// Message path of the logger: level and type filters, function-name trimming,
// stored message items, trace and file echoes, add_log_ext, hooks, threads.
#include <pthread.h>
#include <wex_lib_log_entry.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <set>
#include <stdexcept>
#include <thread>

#include "test_support.h"

namespace {

using records = std::vector<std::vector<unsigned char>>;
using strings = std::vector<std::string>;
constexpr int kId = 77;
const auto L = [](int v) { return static_cast<WEX_LIB_LOG_LV>(v); };
const auto T = [](int v) { return static_cast<WEX_LIB_LOG_TYPE>(v); };
const auto S = [](int v) { return static_cast<WEX_LIB_LOG_LEN_TYPE>(v); };

const auto task_id = [] { return static_cast<uint32_t>(pthread_self()); };
const std::string kHead = "[01:23:20.023:";  // a dump line at the fixed clock

// One stored message committed at 5000.023 s, i.e. 5000023 ms into the day.
std::vector<unsigned char> message_record(int type, int sel, const std::string& text) {
  const uint32_t id = task_id(), n = static_cast<uint32_t>(text.size()) + 4;
  std::vector<unsigned char> r = wexlog_test::hex_bytes("57 4B 4C 00");
  for (uint32_t v :
       {id, id >> 8, id >> 16, id >> 24, 1u, 6u, 0u, n, n >> 8, uint32_t(type), uint32_t(sel)})
    r.push_back(static_cast<unsigned char>(v));
  r.insert(r.end(), text.begin(), text.end());
  r.insert(r.end(), {0, 0});
  return r;
}

std::string file_line(const std::string& label_and_text) {
  char head[32];
  std::snprintf(head, sizeof head, "[%10lu]", static_cast<unsigned long>(pthread_self()));
  return head + std::string("[    5000.023] ") + label_and_text;
}

class EntryTest : public wexlog_test::PlatformFixture {
 protected:
  void SetUp() override {
    PlatformFixture::SetUp();
    wexlog_test::use_utc();
    platform_standin::set_clock(5000, 23456789);
  }
  void command(const char* text) {
    wexlog_test::stdout_of([&] { log.set_properties_command(text); });
    platform_standin::take_trace_prints();
  }
  records stored() { return wexlog_test::take_records(log.storage()); }
  // Checks, and forgets, what was stored and trace-printed since the last check.
  void expect(const records& records_stored, const strings& traces) {
    EXPECT_EQ(stored(), records_stored);
    EXPECT_EQ(wexlog_test::take_traces(kId), traces);
  }
  // Dumps `logger` to a fresh file and returns the file's lines.
  static strings dump(velorin::wex_lib_log_entry& logger) {
    const std::string path = wexlog_test::temp_path("entry_dump.log");
    logger.trace_log(path.c_str());
    const strings lines = wexlog_test::read_lines(path);
    std::remove(path.c_str());
    return lines;
  }
  velorin::wex_lib_log_entry log{kId, "entry", 1 << 17};
};

TEST_F(EntryTest, LevelsChooseStorageAndEchoAndDropAboveBoth) {
  log.add_log(L(3), T(32), S(0), "fn", "m%d", 3);
  expect({message_record(32, 0, "fn\tm3")}, {});
  log.add_log(L(2), T(32), S(0), "fn", "m%d", 2);
  expect({message_record(32, 0, "fn\tm2")}, {"1|[IMP***] fn\tm2\n"});
  log.add_log(L(4), T(32), S(0), "fn", "m4");
  expect({}, {});
  command(",N,5");
  command(",U,1");
  log.add_log(L(3), T(32), S(0), "fn", "m3");
  expect({}, {"1|[IMP***] fn\tm3\n"});
}

TEST_F(EntryTest, TypesWithoutTheLowSevenBitsAreDroppedOthersKeepTheirByte) {
  log.add_log(L(1), T(0), S(0), "fn", "zero");
  log.add_log(L(1), T(128), S(0), "fn", "high");
  expect({}, {});
  log.add_log(L(1), T(3), S(0), "fn", "three");
  log.add_log(L(1), T(16), S(0), "fn", "plain");
  expect({message_record(3, 0, "fn\tthree"), message_record(16, 0, "fn\tplain")},
         {"1|[??????] fn\tthree\n", "1|[      ] fn\tplain\n"});
}

TEST_F(EntryTest, LengthSelectorTrimsTheNameAndSelectorOneHidesTheLabel) {
  const std::string sig = "int ns::Cls::run(int)";
  // clang-format off
  const struct { std::string name; int sel; std::string kept; int stored_sel; } rows[] = {
      {sig, 2, "Cls::run", 2}, {"a::b::c::d(x)", 2, "c::d", 2}, {"::run(int)", 2, "run", 2},
      {"void Cls::run(void)", 2, "void Cls::run", 2}, {"int main(void)", 2, "int main", 2},
      {"no_paren::name", 2, "no_paren::name", 1}, {sig, 1, sig, 1}, {sig, 0, sig, 0}, {sig, 3, sig, 3}};
  // clang-format on
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name + " / " + std::to_string(row.sel));
    log.add_log(L(2), T(1), S(row.sel), row.name.c_str(), "m");
    const std::string label = row.stored_sel == 1 ? "" : "[ERROR@] ";
    expect({message_record(1, row.stored_sel, row.kept + "\tm")},
           {"0|" + label + row.kept + "\tm\n"});
  }
  // The dump takes the label from the stored type byte alone.
  log.add_log(L(2), T(8), S(1), "f", "m");
  EXPECT_EQ(dump(log), strings{kHead + std::to_string(task_id()) + "][return] f\tm"});
}

TEST_F(EntryTest, EchoKindFollowsTypeLevelAndModeAndEveryEchoReachesTheFile) {
  const std::string path = wexlog_test::temp_path("echo.log");
  log.set_properties(path.c_str());
  command(",D,1");
  // clang-format off
  const struct { int level, type; const char* kind; std::string label; } rows[] = {
      {0, 4, "0", "[enter ] "}, {2, 1, "0", "[ERROR@] "}, {2, 2, "1", "[warn??] "},
      {2, 32, "1", "[IMP***] "}, {1, 8, "1", "[return] "}, {2, 4, nullptr, "[enter ] "},
      {2, 4, "2", "[enter ] "}};  // the last one in GENTRACE mode
  // clang-format on
  strings lines;
  for (const auto& row : rows) {
    if (&row == &rows[6]) command(",T");
    log.add_log(L(row.level), T(row.type), S(0), "f", "m");
    const std::string text = row.label + "f\tm";
    expect({message_record(row.type, 0, "f\tm")},
           row.kind ? strings{row.kind + ("|" + text + "\n")} : strings{});
    lines.push_back(file_line(text));
  }
  EXPECT_EQ(wexlog_test::read_lines(path), lines);
  std::remove(path.c_str());
}

TEST_F(EntryTest, FileEchoSkipsAnEmptyPathAndReportsEachFailedOpen) {
  command(",D,1");
  EXPECT_EQ(wexlog_test::stdout_of([&] { log.add_log(L(1), T(1), S(0), "f", "m"); }), "");
  log.set_properties("/nonexistent-wexlog-dir/echo.log");
  EXPECT_EQ(wexlog_test::stdout_of([&] {
              log.add_log(L(1), T(1), S(0), "f", "a");
              log.add_log(L(3), T(1), S(0), "f", "stored only");
              log.add_log(L(2), T(4), S(0), "f", "b");
            }),
            "Fail Open\nFail Open\n");
}

TEST_F(EntryTest, LongTextsAreCutAndEveryItemEndsInTwoZeros) {
  log.add_log(L(2), T(1), S(0), "f", "%s", std::string(2000, 'x').c_str());
  const std::string kept = "f\t" + std::string(1278, 'x');
  expect({message_record(1, 0, kept)}, {"0|[ERROR@] " + kept + "\n"});
  log.add_log_(L(3), T(1), S(0), "f", std::string(70000, 'y').c_str());
  EXPECT_EQ(stored(), records{message_record(1, 0, "f\t" + std::string(65529, 'y'))});
}

TEST_F(EntryTest, ExtPrintsOnlyUpToLevelTwoNeverStoresAndCutsAt319) {
  command(",N,1");
  log.add_log_ext(L(3), "v=%d", 3);
  log.add_log_ext(L(2), "v=%d", 2);
  log.add_log_ext(L(0), "%s", std::string(400, 'z').c_str());
  expect({}, {"2|v=2\n", "0|" + std::string(319, 'z') + "\n"});
  EXPECT_EQ(log.error_count(), 0);
}

TEST_F(EntryTest, NonPositiveRingSizeLeavesTheLoggerWithoutRing) {
  velorin::wex_lib_log_entry none(kId, "none", -1);
  const std::string out = wexlog_test::stdout_of([&] { none.add_log(L(3), T(1), S(0), "f", "m"); });
  EXPECT_EQ(out.rfind("Push data ERROR!!", 0), 0u) << out;
  EXPECT_EQ(none.storage().get_ring_buffer_size(), 0u);
}

// Throws from its data hook, after writing the item, while `fail` is set.
struct throwing_logger : velorin::wex_lib_log_entry {
  using wex_lib_log_entry::wex_lib_log_entry;
  void act_add_data(unsigned char kind, const char* data, void* param, int extra) override {
    wex_lib_log_entry::act_add_data(kind, data, param, extra);
    if (fail) throw std::runtime_error("hook");
  }
  bool fail = true;
};

TEST_F(EntryTest, ThrowingHookIsCountedAndLeavesNoLockOrHalfRecordBehind) {
  throwing_logger tl(kId, "throw", 1 << 12);
  tl.add_log(L(2), T(2), S(0), "f", "lost");
  EXPECT_EQ(tl.error_count(), 1);
  EXPECT_TRUE(wexlog_test::take_traces(kId).empty());
  // Hangs here if the semaphore stayed held.
  std::thread([&] { tl.push_data_value("t", 0, 1, 7, 0, 0, 0, 0, 0, 0, 0); }).join();
  const records values = wexlog_test::take_records(tl.storage());
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(std::vector<unsigned char>(values[0].begin() + 8, values[0].end()),
            wexlog_test::hex_bytes("02 01 01 74 02 07 00 00 00"));
  tl.fail = false;
  tl.add_log(L(3), T(2), S(0), "f", "ok");
  EXPECT_EQ(wexlog_test::take_records(tl.storage()), records{message_record(2, 0, "f\tok")});
  EXPECT_EQ(tl.error_count(), 1);
}

// Stores the `extra` of its kind-9 pushes and renders it.
struct counter_logger : velorin::wex_lib_log_entry {
  using wex_lib_log_entry::wex_lib_log_entry;
  void act_add_data(unsigned char kind, const char* data, void* param, int extra) override {
    if (kind != 9) return wex_lib_log_entry::act_add_data(kind, data, param, extra);
    add_data(9, &extra, sizeof extra);
  }
  void act_trace_log(std::string& line, std::vector<unsigned char>& data, unsigned char kind,
                     unsigned int size) override {
    if (kind != 9) return wex_lib_log_entry::act_trace_log(line, data, kind, size);
    int value = 0;
    std::memcpy(&value, data.data(), std::min<size_t>(size, sizeof value));
    line += "[counter " + std::to_string(value) + "]";
  }
};

TEST_F(EntryTest, DerivedLoggerStoresAndRendersItsOwnDataKind) {
  counter_logger cl(kId, "counter", 1 << 12);
  cl.push_data(9, nullptr, nullptr, 4660);
  cl.push_data(8, "ignored", nullptr, 1);
  cl.add_log(L(3), T(1), S(0), "f", "m");
  const std::string head = kHead + std::to_string(task_id()) + "]";
  EXPECT_EQ(dump(cl), (strings{head + "[counter 4660]", head + "[ERROR@] f\tm"}));
}

TEST_F(EntryTest, ConcurrentThreadsStoreEveryMessageOnceAndWhole) {
  constexpr int kThreads = 4, kMessages = 2000;
  velorin::wex_lib_log_entry shared(kId, "threads", 1 << 20);
  std::vector<std::thread> threads;
  unsigned long ids[kThreads] = {};
  std::atomic<int> waiting{kThreads};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ids[t] = task_id();
      for (--waiting; waiting != 0;) std::this_thread::yield();  // start together
      for (int m = 0; m < kMessages; ++m)
        shared.add_log(L(3), T(16), S(0), "worker", "t%d m%d", t, m);
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::string> seen;
  for (const std::string& line : dump(shared)) {
    unsigned long id = 0;
    int t = 0, m = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "[01:23:20.023:%lu][ ] worker t%d m%d", &id, &t, &m), 3);
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(line, kHead + std::to_string(ids[t]) + "][      ] worker\tt" + std::to_string(t) +
                        " m" + std::to_string(m));
    EXPECT_TRUE(seen.insert(line).second) << line;
  }
  EXPECT_EQ(seen.size(), size_t{kThreads * kMessages});
}

}  // namespace
