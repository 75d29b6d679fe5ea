// Dump lines of stored records, dump targets, and the structured record calls.
#include <pthread.h>
#include <wex_lib_log_entry.h>

#include <cstdio>
#include <fstream>

#include "test_support.h"

namespace {

using wexlog_test::hex_bytes;
using strings = std::vector<std::string>;
using bytes = std::vector<unsigned char>;

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

class DumpTest : public wexlog_test::PlatformFixture {
 protected:
  void SetUp() override {
    PlatformFixture::SetUp();
    wexlog_test::use_utc();
    platform_standin::set_clock(5000, 123456789);
  }
  // Imports `records` and dumps them to a fresh file; returns its lines.
  strings dump(const std::vector<bytes>& records) {
    EXPECT_EQ(wexlog_test::import_records(log.storage(), records), 0);
    log.trace_log(path.c_str());
    return wexlog_test::read_lines(path);
  }
  void TearDown() override {
    std::remove(path.c_str());
    PlatformFixture::TearDown();
  }
  velorin::wex_lib_log_entry log{5, "dumper", 4096};
  const std::string path = wexlog_test::temp_path("dump.log");
};

TEST_F(DumpTest, EveryItemKindRendersItsFixedSegment) {
  const std::string zero = "[00:00:00.000:4660]";
  EXPECT_EQ(
      dump({kWorkedExample, record("03 D4 CE 02 00", ""), record("FF 5B 26 05 00", ""),
            record("FF FF FF FF 00", ""),
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

TEST_F(DumpTest, LoggedRecordsComeBackAsExactLinesOnceOnly) {
  log.add_log(WEX_LIB_LOG_LV_INFO, WEX_LIB_LOG_TYPE_ERROR, WEX_LIB_LOG_LEN_SHORT,
              "int ns::Cls::run(int)", "code %d", 7);
  log.add_log(WEX_LIB_LOG_LV_INFO, WEX_LIB_LOG_TYPE_PERFORMANCE, WEX_LIB_LOG_LEN_FULL, "f", "p");
  log.add_log(WEX_LIB_LOG_LV_WARNING, WEX_LIB_LOG_TYPE_NORMAL, WEX_LIB_LOG_LEN_NO_LABEL, "g", "n");
  log.push_data_value("vals", 1, 2, 5, 255, 0, 0, 0, 0, 0, 0);
  const std::string head =
      "[01:23:20.123:" + std::to_string(static_cast<uint32_t>(pthread_self())) + "]";
  const strings expected{head + "[ERROR@] Cls::run\tcode 7", head + "[perfrm] f\tp",
                         head + "[      ] g\tn", head + title("vals") + " 0x05 0xFF"};
  log.trace_log(path.c_str());
  EXPECT_EQ(wexlog_test::read_lines(path), expected);
  log.trace_log(path.c_str());
  EXPECT_EQ(wexlog_test::read_lines(path), expected);
}

TEST_F(DumpTest, EmptyRingCreatesAMissingFileAndLeavesAnExistingOneAlone) {
  EXPECT_EQ(dump({}), strings{});
  EXPECT_TRUE(std::ifstream(path).good());
  std::ofstream(path) << "kept\n";
  log.trace_log(path.c_str());
  EXPECT_EQ(wexlog_test::read_lines(path), strings{"kept"});
}

TEST_F(DumpTest, UnopenablePathSendsEachLineToTheUserCommandChannel) {
  ASSERT_EQ(
      wexlog_test::import_records(log.storage(), {kWorkedExample, record("03 D4 CE 02 00", "")}),
      0);
  log.trace_log("/nonexistent-wexlog-dir/dump.log");
  const auto traces = platform_standin::take_user_traces();
  ASSERT_EQ(traces.size(), 2u);
  EXPECT_EQ(traces[0].name, "dumper");
  EXPECT_EQ(traces[0].text, kWorkedLine);
  EXPECT_EQ(traces[1].text, "[13:05:09.123:4660]");
  log.trace_log("/nonexistent-wexlog-dir/dump.log");
  EXPECT_TRUE(platform_standin::take_user_traces().empty());
}

TEST_F(DumpTest, MalformedRecordsShowWhatParsedThenAMarker) {
  EXPECT_EQ(dump({hex_bytes("E8 03 00 00 34"),                                // short header
                  record("E8 03 00 00 02", "01 02 6F 6B 04 0A 00 61 62 63"),  // item past the end
                  record("E8 03 00 00 03", "02 05 00 00 00"),                 // count too high
                  record("E8 03 00 00 02", "06 00 03 00 01 00 5A 02 08 00 00 00"),  // no NUL
                  kWorkedExample}),
            (strings{"[!malformed]", "[00:00:01.000:4660]" + title("ok") + "[!malformed]",
                     "[00:00:01.000:4660][5][!malformed]", "[00:00:01.000:4660][ERROR@] Z[8]",
                     kWorkedLine}));
}

TEST_F(DumpTest, StructuredCallsFollowTheirCountRulesAndStayQuiet) {
  wexlog_test::stdout_of([&] {
    log.set_properties_command(",N,1");
    log.set_properties_command(",U,1");
  });
  platform_standin::take_trace_prints();
  const std::string out = wexlog_test::stdout_of([&] {
    log.push_data_value("v", 0, 12, 1, 2, 3, 4, 5, 6, 7, 8);
    log.push_data_value("m", 1, 1, 10, 0, 0, 0, 0, 0, 0, 0);
    log.push_data_value("m", 2, 1, 10, 0, 0, 0, 0, 0, 0, 0);
    log.push_data_value("m", -1, 1, 10, 0, 0, 0, 0, 0, 0, 0);
    log.push_data_string("s", 3, "a", nullptr, "c", "d", "e", "f");
    for (unsigned int count : {1u, 3u, 5u, 7u, 0xFFFFFFFFu}) {
      log.push_data_set("p", count, "x", 1, "y", 2, "z", 3);
    }
    log.push_data_value("t", 0, 0, 1, 2, 3, 4, 5, 6, 7, 8);
    log.push_data_value(nullptr, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8);
  });
  EXPECT_EQ(out, "");
  EXPECT_TRUE(platform_standin::take_trace_prints().empty());
  log.trace_log(path.c_str());
  const std::string head =
      "[01:23:20.123:" + std::to_string(static_cast<uint32_t>(pthread_self())) + "]";
  const std::string p = head + title("p"), x = "[x:0x01]", y = "[y:0x02]", z = "[z:0x03]";
  EXPECT_EQ(
      wexlog_test::read_lines(path),
      (strings{head + title("v") + "[1][2][3][4][5][6][7][8]", head + title("m") + " 0x0A",
               head + title("m") + "[10]", head + title("m") + "[10]", head + title("s") + "[a][c]",
               p, p + x, p + x + y, p + x + y + z, p + x + y + z, head + title("t")}));
}

}  // namespace
