// SPDX-License-Identifier: MIT
// Record store: item bytes, header stamps and commits, the structured record
// calls, and the dump's lines and targets.
#include <pthread.h>
#include <wex_lib_log_entry.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "codec/layout_format.h"
#include "crash/crash_access.h"
#include "test_support.h"

namespace {

using wexlog_test::hex_bytes;
using bytes = std::vector<unsigned char>;
using strings = std::vector<std::string>;

bytes operator+(bytes a, const bytes& b) {
  return a.insert(a.end(), b.begin(), b.end()), a;
}
// Record header: time of day (1000 ms is E8 03 00 00), this thread's id, item count.
bytes head(unsigned count, uint32_t ms = 1000) {
  return wexlog_test::record_head(ms, static_cast<uint32_t>(pthread_self()), count);
}
// Log record bytes from hex pairs: time of day and item count (the task id
// 0x1234 goes between them), then the items.
bytes record(const std::string& time_and_count, const std::string& items) {
  return hex_bytes(time_and_count.substr(0, 12) + "34 12 00 00 " + time_and_count.substr(12) + " " +
                   items);
}
std::string title(const std::string& text) {
  return "[" + text + std::string(32 - text.size(), ' ') + "]";
}
const bytes kWorkedExample = record("E8 03 00 00 02", "01 02 61 62 02 FE FF FF FF");
const std::string kWorkedLine = "[00:00:01.000:4660]" + title("ab") + "[-2]";
const bytes kBare = record("03 D4 CE 02 00", "");  // [13:05:09.123:4660]

class StorageTest : public wexlog_test::PlatformFixture {
 protected:
  void SetUp() override {
    PlatformFixture::SetUp();
    wexlog_test::use_utc();
    platform_standin::set_clock(1, 0);  // 00:00:01.000
  }
  void TearDown() override {
    std::remove(path.c_str());
    PlatformFixture::TearDown();
  }
  // The one record committed since the last call.
  bytes committed() {
    const std::vector<bytes> all = wexlog_test::take_records(store);
    EXPECT_EQ(all.size(), 1u);
    return all.empty() ? bytes{} : all[0];
  }
  // Imports `records` and dumps them to a fresh file; returns its lines.
  strings dump(const std::vector<bytes>& records) {
    EXPECT_EQ(wexlog_test::import_records(store, records), 0);
    log.trace_log(path.c_str());
    return wexlog_test::read_lines(path);
  }
  velorin::wex_lib_log_entry log{5, "dumper", 4096};
  velorin::wex_lib_log_storage& store = log.storage();
  const std::string path = wexlog_test::temp_path("dump.log");
};

TEST_F(StorageTest, CommitStampsTimeTaskIdAndCountTakenThenBeforeTheItems) {
  platform_standin::set_clock(47109, 999000000);
  store.add_title_data("ab");
  store.add_value_data(-2);
  platform_standin::set_clock(1, 0);
  store.entry_for_ring_buffer();
  EXPECT_EQ(committed(), head(2) + hex_bytes("01 02 61 62 02 FE FF FF FF"));
  platform_standin::set_clock(13 * 3600 + 5 * 60 + 9, 123456789);
  EXPECT_EQ(store.get_timer(), 47109123u);
  platform_standin::set_clock(47109, 5000000, 0x1234ABCD);  // the clock fails: time 0
  store.add_value_data(3);
  store.entry_for_ring_buffer();
  EXPECT_EQ(committed(), head(1, 0) + hex_bytes("02 03 00 00 00"));
  EXPECT_EQ(wexlog_test::take_traces(5), strings{"0|Get Time ERROR!! os_ret[0x1234ABCD]"});
}

TEST_F(StorageTest, ItemsAreTaggedTruncatedAndLittleEndianAndNullsAddNothing) {
  const std::string forty(40, 't'), hundred(100, 's');
  unsigned char three[3] = {1, 2, 3};
  const std::pair<std::function<void()>, bytes> rows[] = {
      {[&] { store.add_title_data(forty.c_str()); }, hex_bytes("01 20") + bytes(32, 't')},
      {[&] { store.add_title_data(forty.c_str() + 8); }, hex_bytes("01 20") + bytes(32, 't')},
      {[&] { store.add_title_data(""); }, hex_bytes("01 00")},
      {[&] { store.add_string_data(hundred.c_str()); }, hex_bytes("04 40 00") + bytes(64, 's')},
      {[&] { store.add_set_data("speed", 16); }, hex_bytes("05 05 00 73 70 65 65 64 10 00 00 00")},
      {[&] { store.add_value_data(0x12345678); }, hex_bytes("02 78 56 34 12")},
      {[&] { store.add_value_data_hex(0x12345678); }, hex_bytes("03 78 56 34 12")},
      {[&] { store.add_data(0x1FF, three, 3); }, hex_bytes("06 FF 03 00 01 02 03")},
  };
  for (const auto& row : rows) {
    row.first();
    store.add_title_data(nullptr);
    store.add_string_data(nullptr);
    store.add_set_data(nullptr, 5);
    store.add_data(0, nullptr, 3);
    store.entry_for_ring_buffer();
    EXPECT_EQ(committed(), head(1) + row.second);
  }
}

TEST_F(StorageTest, CountWrapsAt256AndEmptyOrRefusedRecordsLeaveACleanBuilder) {
  for (unsigned items : {256u, 257u}) {
    bytes expected = head(items % 256);
    for (unsigned i = 0; i < items; ++i) {
      store.add_value_data(-1);
      expected = expected + hex_bytes("02 FF FF FF FF");
    }
    store.entry_for_ring_buffer();
    EXPECT_EQ(committed(), expected);
  }
  store.add_string_data(nullptr);
  store.entry_for_ring_buffer();
  EXPECT_TRUE(wexlog_test::take_records(store).empty());
  store.create_ring_buffer(24);
  store.add_title_data("twenty characters...");  // 9 + 22 + 4 > 24
  EXPECT_EQ(wexlog_test::stdout_of([&] { store.entry_for_ring_buffer(); }),
            "Push data ERROR!! Ring Buffer size[24] Push data size[35]");
  store.add_value_data(5);
  store.entry_for_ring_buffer();
  EXPECT_EQ(committed(), head(1) + hex_bytes("02 05 00 00 00"));
}

TEST_F(StorageTest, StructuredCallsFollowTheirCountRulesStayQuietAndDumpOnce) {
  wexlog_test::stdout_of([&] {
    log.set_properties_command(",N,1");
    log.set_properties_command(",U,1");
  });
  platform_standin::take_trace_prints();
  EXPECT_EQ(wexlog_test::stdout_of([&] {
              log.push_data_value("v", 0, 12, 1, 2, 3, 4, 5, 6, 7, 8);
              for (int mode : {1, 2, -1})
                log.push_data_value("m", mode, 1, 10, 0, 0, 0, 0, 0, 0, 0);
              log.push_data_string("s", 3, "a", nullptr, "c", "d", "e", "f");
              for (unsigned int count : {1u, 3u, 5u, 7u, 0xFFFFFFFFu})
                log.push_data_set("p", count, "x", 1, "y", 2, "z", 3);
              log.push_data_value("t", 0, 0, 1, 2, 3, 4, 5, 6, 7, 8);
              log.push_data_value(nullptr, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8);
            }),
            "");
  EXPECT_TRUE(platform_standin::take_trace_prints().empty());
  const std::string at = "[00:00:01.000:" + std::to_string(uint32_t(pthread_self())) + "]";
  const std::string x = "[x:0x01]", xy = x + "[y:0x02]", xyz = xy + "[z:0x03]";
  const std::pair<std::string, std::string> titled[] = {
      {"m", " 0x0A"}, {"m", "[10]"}, {"m", "[10]"}, {"s", "[a][c]"}, {"p", ""},
      {"p", x},       {"p", xy},     {"p", xyz},    {"p", xyz},      {"t", ""}};
  strings lines{at + title("v") + "[1][2][3][4][5][6][7][8]"};
  for (const auto& [name, items] : titled) lines.push_back(at + title(name) + items);
  EXPECT_EQ(wexlog_test::dump_lines(log), lines);
  EXPECT_EQ(wexlog_test::dump_lines(log), strings{});  // the first dump emptied the ring
}

TEST_F(StorageTest, DumpRendersEveryItemKindAsItsFixedSegment) {
  const std::string zero = "[00:00:00.000:4660]";
  EXPECT_EQ(
      dump({kWorkedExample, kBare, record("FF 5B 26 05 00", ""), record("FF FF FF FF 00", ""),
            record("00 00 00 00 04",
                   "03 05 00 00 00 05 05 00 73 70 65 65 64 10 00 00 00 "
                   "03 FF FF FF FF 03 00 10 00 00"),
            record("00 00 00 00 02", "04 00 00 01 00"),
            record("00 00 00 00 02",
                   "06 00 09 00 01 00 66 09 6D 73 67 00 00 06 00 05 00 03 02 78 00 00"),
            record("00 00 00 00 02", "06 05 02 00 AA BB 02 07 00 00 00"),
            record("00 00 00 00 03", "00 07 02 09 00 00 00")}),
      (strings{kWorkedLine, "[13:05:09.123:4660]", "[23:59:59.999:4660]", "[1193:02:47.295:4660]",
               zero + " 0x05[speed:0x10] 0xFFFFFFFF 0x1000", zero + "[]" + title(""),
               zero + "[ERROR@] f\tmsg[??????] x", zero + "[7]", zero + "[9]"}));
}

TEST_F(StorageTest, DumpShowsWhatParsedOfAMalformedRecordThenAMarker) {
  EXPECT_EQ(dump({hex_bytes("E8 03 00 00 34"),                                // short header
                  record("E8 03 00 00 02", "01 02 6F 6B 04 0A 00 61 62 63"),  // item past the end
                  record("E8 03 00 00 03", "02 05 00 00 00"),                 // count too high
                  record("E8 03 00 00 02", "06 00 03 00 01 00 5A 02 08 00 00 00"),  // no NUL
                  kWorkedExample}),
            (strings{"[!malformed]", "[00:00:01.000:4660]" + title("ok") + "[!malformed]",
                     "[00:00:01.000:4660][5][!malformed]", "[00:00:01.000:4660][ERROR@] Z[8]",
                     kWorkedLine}));
}

TEST_F(StorageTest, DumpOfAnEmptyRingCreatesAFileAndAnUnopenablePathGoesToTheUserChannel) {
  EXPECT_EQ(dump({}), strings{});
  EXPECT_TRUE(std::ifstream(path).good());
  std::ofstream(path) << "kept\n";
  log.trace_log(path.c_str());
  EXPECT_EQ(wexlog_test::read_lines(path), strings{"kept"});

  ASSERT_EQ(wexlog_test::import_records(store, {kWorkedExample, kBare}), 0);
  log.trace_log("/nonexistent-wexlog-dir/dump.log");
  const auto traces = platform_standin::take_user_traces();
  ASSERT_EQ(traces.size(), 2u);
  EXPECT_EQ(traces[0].name, "dumper");
  EXPECT_EQ(traces[0].text, kWorkedLine);
  EXPECT_EQ(traces[1].text, "[13:05:09.123:4660]");
  log.trace_log("/nonexistent-wexlog-dir/dump.log");
  EXPECT_TRUE(platform_standin::take_user_traces().empty());
}

TEST_F(StorageTest, DumpToAStreamFlushesOnlyBeforeItsLinesAndLeavesAFailedStreamInError) {
  FILE* file = std::fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fputs("caller's\n", file);
  store.trace_log(file);  // nothing to dump: the caller's bytes stay buffered
  EXPECT_EQ(wexlog_test::read_lines(path), strings{});
  ASSERT_EQ(wexlog_test::import_records(store, {kWorkedExample}), 0);
  store.trace_log(file);
  EXPECT_EQ(wexlog_test::read_lines(path), (strings{"caller's", kWorkedLine}));
  EXPECT_EQ(std::ferror(file), 0);
  std::fclose(file);

  FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  ASSERT_EQ(wexlog_test::import_records(store, {kWorkedExample}), 0);
  store.trace_log(full);
  EXPECT_NE(std::ferror(full), 0);
  std::fclose(full);
}

TEST_F(StorageTest, AThrowingHookLosesOnlyItsRecordAndPushesDuringADumpKeepTheRingWhole) {
  const std::string at = "[00:00:01.000:" + std::to_string(uint32_t(pthread_self())) + "]";
  const auto lines = [&](std::initializer_list<int> values) {
    strings out;
    for (int v : values) out.push_back(at + "[" + std::to_string(v) + "]");
    return out;
  };
  // Each record takes 21 bytes of the ring: 9 of them fit into 200.
  wexlog_test::int_item_logger hooked(5, "hooked", 200);
  for (int v = 1; v <= 9; ++v) hooked.push(v);
  hooked.on_render = [](int v) {
    if (v == 3) throw std::runtime_error("hook");
  };
  EXPECT_THROW(hooked.trace_log(path.c_str()), std::runtime_error);
  EXPECT_EQ(wexlog_test::read_lines(path), lines({1, 2}));
  std::remove(path.c_str());
  // While record 4 renders, six pushes discard records 4 to 6 from the ring
  // (74 bytes were free); the dump removes only the rest of its batch and
  // then dumps the pushed records as well.
  hooked.on_render = [&](int v) {
    if (v == 4)
      for (int pushed = 101; pushed <= 106; ++pushed) hooked.push(pushed);
  };
  EXPECT_EQ(wexlog_test::dump_lines(hooked),
            lines({4, 5, 6, 7, 8, 9, 101, 102, 103, 104, 105, 106}));
  hooked.push(10);
  EXPECT_EQ(wexlog_test::dump_lines(hooked), lines({10}));
}

}  // namespace
