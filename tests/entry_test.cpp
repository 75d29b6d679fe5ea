// SPDX-License-Identifier: MIT
// Message path of the logger: level and type filters, function-name trimming,
// stored message items, trace and file echoes, add_log_ext, property
// commands, tracers, hooks, threads, rings in mapped files.
#include <pthread.h>
#include <sys/stat.h>
#include <wex_lib_log_entry.h>
#include <wex_lib_log_map.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>

#include "codec/ring_file_format.h"
#include "test_support.h"

namespace {

using records = std::vector<std::vector<unsigned char>>;
using strings = std::vector<std::string>;
constexpr int kId = 77;
const auto L = [](int v) { return static_cast<WEX_LIB_LOG_LV>(v); };
const auto T = [](int v) { return static_cast<WEX_LIB_LOG_TYPE>(v); };
const auto S = [](int v) { return static_cast<WEX_LIB_LOG_LEN_TYPE>(v); };
const auto task_id = [] { return std::to_string(static_cast<uint32_t>(pthread_self())); };
const std::string kHead = "[01:23:20.023:";  // a dump line at the fixed clock

// One stored message committed at 5000.023 s, i.e. 5000023 ms into the day.
std::vector<unsigned char> message_record(int type, int selector, const std::string& text) {
  return wexlog_test::message_record(5000023, uint32_t(pthread_self()), type, selector, text);
}

// Runs `work(i)` on `n` threads that start together, and waits for them.
template <class Work>
void run_together(int n, Work&& work) {
  std::vector<std::thread> threads;
  std::atomic<int> waiting{n};
  for (int i = 0; i < n; ++i) {
    threads.emplace_back([&, i] {
      for (--waiting; waiting != 0;) std::this_thread::yield();
      work(i);
    });
  }
  for (auto& thread : threads) thread.join();
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
  // Checks, and forgets, what was stored and trace-printed since the last check.
  void expect(const records& stored, const strings& traces) {
    EXPECT_EQ(wexlog_test::take_records(log.storage()), stored);
    EXPECT_EQ(wexlog_test::take_traces(kId), traces);
  }
  velorin::wex_lib_log_entry log{kId, "entry", 1 << 17};
};

TEST_F(EntryTest, LevelsChooseStorageAndEchoAndTypesWithoutTheLowSevenBitsAreDropped) {
  log.add_log(L(3), T(32), S(0), "fn", "m%d", 3);
  expect({message_record(32, 0, "fn\tm3")}, {});
  log.add_log(L(2), T(32), S(0), "fn", "m%d", 2);
  expect({message_record(32, 0, "fn\tm2")}, {"1|[IMP***] fn\tm2\n"});
  log.add_log(L(4), T(32), S(0), "fn", "m4");
  log.add_log(L(1), T(0), S(0), "fn", "zero");
  log.add_log(L(1), T(128), S(0), "fn", "high");
  expect({}, {});
  command(",N,5");
  command(",U,1");
  log.add_log(L(3), T(32), S(0), "fn", "m3");
  expect({}, {"1|[IMP***] fn\tm3\n"});
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
  // A name in a buffer that changes between calls is trimmed anew, also when
  // only bytes after its "(" change; each name is logged twice.
  char buffer[32];
  for (const auto& [name, kept] : {std::pair{"::run(x)", "run"},
                                   {"::run(a::bc)", "bc)"},
                                   {"int a::B::run(int)", "B::run"},
                                   {"int a::B::go(x)", "B::go"}}) {
    std::strcpy(buffer, name);
    log.add_log(L(3), T(1), S(2), buffer, "m");
    log.add_log(L(3), T(1), S(2), buffer, "m");
    const auto record = message_record(1, 2, std::string(kept) + "\tm");
    expect({record, record}, {});
  }
  // The dump takes the label from the stored type byte alone.
  log.add_log(L(2), T(8), S(1), "f", "m");
  EXPECT_EQ(wexlog_test::dump_lines(log), strings{kHead + task_id() + "][return] f\tm"});
}

TEST_F(EntryTest, EchoKindFollowsTypeLevelAndModeAndEveryEchoReachesTheFileIfItOpens) {
  const std::string path = wexlog_test::temp_path("echo.log");
  log.set_properties(path.c_str());
  command(",D,1");
  // clang-format off
  const struct { int level, type; std::string kind, label; } rows[] = {
      {0, 4, "0|", "[enter ] "}, {2, 1, "0|", "[ERROR@] "}, {2, 2, "1|", "[warn??] "},
      {2, 32, "1|", "[IMP***] "}, {1, 8, "1|", "[return] "}, {1, 3, "1|", "[??????] "},
      {1, 16, "1|", "[      ] "}, {2, 4, "", "[enter ] "}, {2, 4, "2|", "[enter ] "}};
  // clang-format on
  char thread[32];
  std::snprintf(thread, sizeof thread, "[%10lu]", static_cast<unsigned long>(pthread_self()));
  strings lines;
  for (const auto& row : rows) {
    if (&row == &rows[8]) command(",T");  // the last row in GENTRACE mode
    log.add_log(L(row.level), T(row.type), S(0), "f", "m");
    const std::string text = row.label + "f\tm";
    expect({message_record(row.type, 0, "f\tm")},
           row.kind.empty() ? strings{} : strings{row.kind + text + "\n"});
    lines.push_back(thread + ("[    5000.023] " + text));
  }
  EXPECT_EQ(wexlog_test::read_lines(path), lines);
  std::remove(path.c_str());
  log.set_properties("");  // no file, no complaint
  EXPECT_EQ(wexlog_test::stdout_of([&] { log.add_log(L(1), T(1), S(0), "f", "m"); }), "");
  log.set_properties("/nonexistent-wexlog-dir/echo.log");
  EXPECT_EQ(wexlog_test::stdout_of([&] {
              log.add_log(L(1), T(1), S(0), "f", "a");
              log.add_log(L(3), T(1), S(0), "f", "stored only");
              log.add_log(L(2), T(4), S(0), "f", "b");
            }),
            "Fail Open\nFail Open\n");
}

// The rows run in order on the logger, whose path is kPath. After the echo
// lines come `reply` on standard output and `trace` as a trace print ("" for
// none); `after` is the normal and USB level, file echo and trace mode then.
struct row {
  const char* command;
  std::string reply, trace;
  std::vector<int> after;
};
std::vector<int> settings(const velorin::wex_lib_log_entry& log) {
  return {log.normal_level(), log.usb_level(), log.file_trace(), log.gen_mode()};
}
const std::string kPath = "/var/log/echo.txt";
const std::string kStart = "] : start[1] " + kPath + "\n", kEnd = "] : end[0]   " + kPath + "\n";
const char *kError = "[425] : param Error\n", *kErrorTrace = "0|[426] : param Error.";

// clang-format off
const row kRows[] = {
    {",N,3", "[389] : Normal LV[3]\n", "1|[390] : Normal LV[3]", {3, 3, 0, 0}},
    {"N,3", kError, kErrorTrace, {3, 3, 0, 0}},
    {",N, 4", "[389] : Normal LV[4]\n", "1|[390] : Normal LV[4]", {4, 3, 0, 0}},
    {",n,5", "[389] : Normal LV[5]\n", "1|[390] : Normal LV[5]", {5, 3, 0, 0}},
    {",N,4x", "[389] : Normal LV[4]\n", "1|[390] : Normal LV[4]", {4, 3, 0, 0}},
    {",u,1", "[404] : USB LV[1]\n", "1|[405] : USB LV[1]", {4, 1, 0, 0}},
    {",N,0", "", "", {4, 1, 0, 0}},
    {",N,6", "", "", {4, 1, 0, 0}},
    {",U,-1", "", "", {4, 1, 0, 0}},
    {",U", "", "", {4, 1, 0, 0}},
    {",U,5", "[404] : USB LV[5]\n", "1|[405] : USB LV[5]", {4, 5, 0, 0}},
    {",D,1", "[373" + kStart, "1|[374" + kStart, {4, 5, 1, 0}},
    {",D,2", "", "", {4, 5, 1, 0}},
    {",D,abc", "[367" + kEnd, "1|[368" + kEnd, {4, 5, 0, 0}},
    {",d,", "[367" + kEnd, "1|[368" + kEnd, {4, 5, 0, 0}},
    {",T", "[420] : GENTRACE\n", "1|[421] : GENTRACE", {4, 5, 0, 1}},
    {",Pabc", "[413] : GENPRINT\n", "1|[414] : GENPRINT", {4, 5, 0, 0}},
    {",", kError, kErrorTrace, {4, 5, 0, 0}},
    {",X", kError, kErrorTrace, {4, 5, 0, 0}},
    {",E", kError, kErrorTrace, {4, 5, 0, 0}},
    {"a,b,N,3", kError, kErrorTrace, {4, 5, 0, 0}},
    {"N3", "", "", {4, 5, 0, 0}},
    {nullptr, "", "", {4, 5, 0, 0}},
};
// clang-format on

TEST_F(EntryTest, EveryPropertyCommandIsEchoedThenRepliedAndChangesOnlyItsField) {
  EXPECT_EQ(settings(log), (std::vector<int>{2, 3, 0, 0}));
  EXPECT_EQ(wexlog_test::stdout_of([&] { log.set_properties(kPath.c_str()); }), "");
  for (const row& r : kRows) {
    const std::string shown = r.command ? r.command : "(null)";
    SCOPED_TRACE(shown);
    EXPECT_EQ(wexlog_test::stdout_of([&] { log.set_properties_command(r.command); }),
              "[349] " + shown + "\n" + r.reply);
    strings traces{"1|[348] " + shown};
    if (!r.trace.empty()) traces.push_back(r.trace);
    EXPECT_EQ(wexlog_test::take_traces(kId), traces);
    EXPECT_EQ(settings(log), r.after);
  }
  log.set_properties(nullptr);
  EXPECT_EQ(log.file_path(), kPath);
  log.set_properties("");
  EXPECT_EQ(wexlog_test::stdout_of([&] { log.set_properties_command(",D,0"); }),
            "[349] ,D,0\n[367] : end[0]   \n");
  EXPECT_EQ(wexlog_test::take_traces(kId), (strings{"1|[348] ,D,0", "1|[368] : end[0]   \n"}));
}

TEST_F(EntryTest, LongTextsAreCutAndExtPrintsOnlyUpToLevelTwoWithoutStoring) {
  log.add_log(L(2), T(1), S(0), "f", "%s", std::string(2000, 'x').c_str());
  const std::string kept = "f\t" + std::string(1278, 'x');
  expect({message_record(1, 0, kept)}, {"0|[ERROR@] " + kept + "\n"});
  log.add_log_(L(3), T(1), S(0), "f", std::string(70000, 'y').c_str());
  expect({message_record(1, 0, "f\t" + std::string(65529, 'y'))}, {});
  command(",N,1");
  log.add_log_ext(L(3), "v=%d", 3);
  log.add_log_ext(L(2), "v=%d", 2);
  log.add_log_ext(L(0), "%s", std::string(400, 'z').c_str());
  int written = -1;
  log.add_log_ext(L(3), "abc%n", &written);  // formatted though not printed
  EXPECT_EQ(written, 3);
  expect({}, {"2|v=2\n", "0|" + std::string(319, 'z') + "\n"});
}

TEST_F(EntryTest, TextEndsAtItsFirstNulOrWhereAFailedFormatStoppedAndNullPushesStoreNothing) {
  uint32_t size = 8;
  log.push_data(0, nullptr, &size, 0);
  log.push_data(0, "\1\0f\tm\0\0", nullptr, 0);
  log.add_log(L(2), T(1), S(0), "f", "a%cb", 0);
  log.add_log(L(2), T(1), S(0), "f", "a%cb%.1f", 0, 1.5);  // formatted by vsnprintf
  // The C locale cannot encode U+00E9: vsnprintf fails after "before ".
  log.add_log(L(2), T(1), S(0), "f", "before %lc after", static_cast<wint_t>(0xE9));
  expect({message_record(1, 0, "f\ta"), message_record(1, 0, "f\ta"),
          message_record(1, 0, "f\tbefore ")},
         {"0|[ERROR@] f\ta\n", "0|[ERROR@] f\ta\n", "0|[ERROR@] f\tbefore \n"});
  EXPECT_THROW(velorin::wex_lib_log_entry(kId, "negative", -1), std::length_error);
}

// Stores the `extra` of its kind-9 pushes as an int item; a kind-7 push
// stores its message item around such an item. Throws from its data hook,
// after writing the items, while `fail` is set.
struct hooked_logger : wexlog_test::int_item_logger {
  using int_item_logger::int_item_logger;
  void act_add_data(unsigned char kind, const char* data, void* param, int extra) override {
    if (kind == 7) wex_lib_log_entry::act_add_data(0, data, param, extra);
    if (kind == 9 || kind == 7) add_data(9, &extra, sizeof extra);
    if (kind != 9) wex_lib_log_entry::act_add_data(kind == 7 ? 0 : kind, data, param, extra);
    if (fail) throw std::runtime_error("hook");
  }
  bool fail = true;
};

TEST_F(EntryTest, HooksAddOwnKindsAndAThrowIsCountedAndLeavesNoLockOrHalfRecord) {
  hooked_logger hooked(kId, "hooked", 1 << 12);
  hooked.add_log(L(2), T(2), S(0), "f", "lost");
  EXPECT_EQ(hooked.error_count(), 1);
  EXPECT_TRUE(wexlog_test::take_traces(kId).empty());
  hooked.fail = false;
  std::string other;  // hangs here if the semaphore stayed held
  std::thread([&] {
    other = task_id();
    hooked.push_data(9, nullptr, nullptr, 4660);
  }).join();
  hooked.push_data(8, "ignored", nullptr, 1);
  hooked.add_log(L(3), T(1), S(0), "f", "m");
  const char item[] =
      "\x01\x00"
      "f\tm\0";  // type 1, selector 0, "f\tm", NUL, zero
  uint32_t item_size = sizeof item;
  hooked.push_data(7, item, &item_size, 5);
  EXPECT_EQ(wexlog_test::dump_lines(hooked),
            (strings{kHead + other + "][4660]", kHead + task_id() + "][ERROR@] f\tm",
                     kHead + task_id() + "][ERROR@] f\tm[5][ERROR@] f\tm"}));
  EXPECT_EQ(hooked.error_count(), 1);
}

// Appends its name to a shared log (and '~' when destroyed), runs its action.
struct tracer : velorin::wex_lib_log_tracer {
  tracer(std::string& log, char name, int result) : log_(log), name_(name), result_(result) {}
  ~tracer() override { log_ += '~'; }
  int exec_trace() override {
    log_ += name_;
    if (action) action();
    return result_;
  }
  std::function<void()> action;
  std::string& log_;
  char name_;
  int result_;
};

TEST_F(EntryTest, TracersRunOnceInAttachOrderWithResultsOredAndAreNeverOwned) {
  std::string runs;
  tracer t1(runs, '1', 0x1), t2(runs, '2', 0), t3(runs, '3', 0x4), t4(runs, '4', 0);
  {
    velorin::wex_lib_log_entry zeros(kId, "zeros", 64);
    EXPECT_EQ(zeros.exec_log_tracer(), 0);
    zeros.entry_log_tracer(&t2);
    zeros.entry_log_tracer(&t4);
    EXPECT_EQ(zeros.exec_log_tracer(), 0);
  }
  for (tracer* t : {&t1, &t2, &t3, &t2}) log.entry_log_tracer(t);
  log.entry_log_tracer(nullptr);
  EXPECT_EQ(log.exec_log_tracer(), 0x5);
  log.remove_log_tracer(&t2);
  log.entry_log_tracer(&t2);
  log.remove_log_tracer(&t4);
  log.remove_log_tracer(nullptr);
  EXPECT_EQ(log.exec_log_tracer(), 0x5);
  EXPECT_EQ(runs, "24123132");  // runs 24, 123, 132; no tracer destroyed with its logger

  runs.clear();  // tracers may detach themselves or others, or attach others, while they run
  t1.action = [&] { log.remove_log_tracer(&t1); };
  t3.action = [&] {
    log.remove_log_tracer(&t2);
    log.entry_log_tracer(&t4);
  };
  EXPECT_EQ(log.exec_log_tracer(), 0x5);  // 0x1 | 0x4 | 0
  EXPECT_EQ(log.exec_log_tracer(), 0x4);
  EXPECT_EQ(runs, "13434");  // runs 134, then 34
}

// Threads fill four loggers together, each message once and whole, trimming
// one name at once; then the four dump into one file while other threads echo
// long lines into it.
TEST_F(EntryTest, ConcurrentMessagesStayWholeAndDumpsAndEchoesShareAFileWithoutTearingALine) {
  constexpr int kWriters = 4, kMessages = 2000, kEchoes = 500;
  const std::string path = wexlog_test::temp_path("shared.log");
  std::vector<std::unique_ptr<velorin::wex_lib_log_entry>> dumpers;
  for (int d = 0; d < kWriters; ++d)
    dumpers.push_back(std::make_unique<velorin::wex_lib_log_entry>(kId, "dumper", 1 << 19));
  std::string ids[kWriters];
  run_together(kWriters, [&](int t) {
    ids[t] = task_id();
    for (auto& dumper : dumpers)
      for (int m = 0; m < kMessages; ++m)
        dumper->add_log(L(3), T(16), S(2), "worker", "t%d m%d", t, m);
  });
  std::multiset<std::string> expected;
  for (int t = 0; t < kWriters; ++t)
    for (int m = 0; m < kMessages * kWriters; ++m)
      expected.insert(kHead + ids[t] + "][      ] worker\tt" + std::to_string(t) + " m" +
                      std::to_string(m / kWriters));
  log.set_properties(path.c_str());
  command(",D,1");
  command(",U,1");  // echoed only
  std::string echo_heads[kWriters];
  run_together(2 * kWriters, [&](int i) {
    if (i < kWriters) return dumpers[size_t(i)]->trace_log(path.c_str());
    const int e = i - kWriters;
    char head[64];
    std::snprintf(head, sizeof head, "[%10lu][    5000.023] [      ] ",
                  static_cast<unsigned long>(pthread_self()));
    echo_heads[e] = head;
    const std::string function(5000, char('a' + e));
    for (int m = 0; m < kEchoes; ++m) log.add_log(L(2), T(16), S(0), function.c_str(), "%d", m);
  });
  for (int e = 0; e < kWriters; ++e)
    for (int m = 0; m < kEchoes; ++m)
      expected.insert(echo_heads[e] + std::string(5000, char('a' + e)) + "\t" + std::to_string(m));
  size_t torn = 0;
  for (const std::string& line : wexlog_test::read_lines(path)) {
    const auto found = expected.find(line);
    torn += found == expected.end();
    if (found != expected.end()) expected.erase(found);
  }
  std::remove(path.c_str());
  EXPECT_EQ(torn, 0u);
  EXPECT_TRUE(expected.empty());
}

// A ring file holds the header fields and, after them, exactly what a
// snapshot of the ring exports; dumps match a ring in memory fed the same.
TEST_F(EntryTest, MappedRingLivesInAPrivateFileInStepWithTheRingAndGoesWithItsLogger) {
  namespace fmt = velorin::ring_file_format;
  char dir[] = "/tmp/wexlog_mapped_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  EXPECT_EQ(velorin::wex_lib_log_map_rings(""), 0x1000);
  EXPECT_EQ(velorin::wex_lib_log_map_rings("/nonexistent/wexlog"), 0x1000);
  ASSERT_EQ(velorin::wex_lib_log_map_rings(dir), 0);
  const std::string path =
      std::string(dir) + "/wexlog-" + std::to_string(getpid()) + "-77-a%2Fb%2Dc%20d.ring";
  auto mapped = std::make_unique<velorin::wex_lib_log_entry>(kId, "a/b-c d", 600);
  auto twin = std::make_unique<velorin::wex_lib_log_entry>(kId, "a/b-c d", 600);
  ASSERT_EQ(velorin::wex_lib_log_map_rings(nullptr), 0);
  velorin::wex_lib_log_entry plain(kId, "a/b-c d", 600);
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(info.st_size, 128 + 600);
  const std::string twin_path = path.substr(0, path.size() - 5) + "-2.ring";
  EXPECT_EQ(access(twin_path.c_str(), F_OK), 0);

  for (int m = 0; m < 40; ++m) {  // wraps the 600-byte ring several times
    for (auto* logger : {mapped.get(), &plain})
      logger->add_log(L(3), T(16), S(0), "fn", "message %d %s", m,
                      std::string(size_t(m), 'x').c_str());
  }
  std::ifstream in(path, std::ios::binary);
  const std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)), {});
  ASSERT_EQ(file.size(), 128u + 600u);
  const auto word = [&](size_t at) {
    uint32_t v;
    std::memcpy(&v, file.data() + at, 4);
    return v;
  };
  EXPECT_EQ(std::string(file.begin(), file.begin() + 8), "WEXLRING");
  EXPECT_EQ(word(fmt::kVersionAt), 1u);
  EXPECT_EQ(word(fmt::kByteOrderAt), 0x01020304u);
  EXPECT_EQ(word(fmt::kPidAt), uint32_t(getpid()));
  EXPECT_EQ(word(fmt::kTraceIdAt), 77u);
  EXPECT_EQ(word(fmt::kRingSizeAt), 600u);
  const char* name = reinterpret_cast<const char*>(file.data() + fmt::kNameAt);
  EXPECT_EQ(std::string(name, word(fmt::kNameLengthAt)), "a/b-c d");
  velorin::WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ ctrl{};
  std::vector<unsigned char> bytes(600);
  ASSERT_EQ(mapped->storage().get_ring_buffer(&ctrl, bytes.data()), 0);
  EXPECT_EQ(int32_t(word(fmt::kControlAt)), ctrl.empty);
  EXPECT_EQ(word(fmt::kControlAt + 4), ctrl.write_pos);
  EXPECT_EQ(word(fmt::kControlAt + 8), ctrl.read_pos);
  EXPECT_EQ(word(fmt::kControlAt + 12), 600u);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), file.begin() + 128));
  const strings lines = wexlog_test::dump_lines(*mapped);
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("\tmessage 39 x"), std::string::npos);
  EXPECT_EQ(lines, wexlog_test::dump_lines(plain));

  mapped.reset();
  twin.reset();
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  EXPECT_NE(access(twin_path.c_str(), F_OK), 0);
  rmdir(dir);
}

// A directory gone by the time a logger is made: the ring stays in memory
// and works, and the first such logger says so on one line.
TEST_F(EntryTest, MappedRingFallsBackToMemoryWhenItsFileCannotBeMadeAndSaysSoOnce) {
  char dir[] = "/tmp/wexlog_mapped_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  ASSERT_EQ(velorin::wex_lib_log_map_rings(dir), 0);
  rmdir(dir);
  ::testing::internal::CaptureStderr();
  velorin::wex_lib_log_entry first(kId, "first", 4096), second(kId, "second", 4096);
  const std::string said = ::testing::internal::GetCapturedStderr();
  velorin::wex_lib_log_map_rings(nullptr);
  EXPECT_EQ(said,
            "wex_lib_log: the ring of logger \"first\" stays in memory: cannot create a ring "
            "file in " +
                std::string(dir) + ": No such file or directory\n");
  second.add_log(L(3), T(16), S(0), "fn", "kept");
  EXPECT_EQ(wexlog_test::dump_lines(second), strings{kHead + task_id() + "][      ] fn\tkept"});
}

}  // namespace
