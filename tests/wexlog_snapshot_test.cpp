// Ring snapshot files: the documented bytes, the round trip, and the files
// the loader refuses.
#include <pthread.h>
#include <wex_lib_log_entry.h>
#include <wex_lib_log_snapshot.h>

#include <fstream>
#include <iterator>

#include "test_support.h"

namespace {

using bytes = std::vector<unsigned char>;
using velorin::wex_lib_log_load_snapshot;
using velorin::wex_lib_log_save_snapshot;

class SnapshotFileTest : public wexlog_test::PlatformFixture {
 protected:
  void SetUp() override {
    PlatformFixture::SetUp();
    wexlog_test::use_utc();
    platform_standin::set_clock(1, 0);
    source.push_data_value("ab", 0, 1, -2, 0, 0, 0, 0, 0, 0, 0);  // 00:00:01.000, title, -2
    ASSERT_EQ(wex_lib_log_save_snapshot(source.storage(), file.c_str()), 0);
    std::ifstream in(file, std::ios::binary);
    saved.assign(std::istreambuf_iterator<char>(in), {});
  }
  void TearDown() override {
    for (const auto& path : {file, dump}) std::remove(path.c_str());
    PlatformFixture::TearDown();
  }
  std::vector<std::string> dump_lines(velorin::wex_lib_log_entry& log) {
    std::remove(dump.c_str());
    log.trace_log(dump.c_str());
    return wexlog_test::read_lines(dump);
  }
  velorin::wex_lib_log_entry source{7, "source", 64};
  velorin::wex_lib_log_entry target{8, "target", 48};
  const std::string file = wexlog_test::temp_path("ring.snap");
  const std::string dump = wexlog_test::temp_path("dump.log");
  bytes saved;  // the snapshot file of `source`
};

TEST_F(SnapshotFileTest, SaveWritesTheDocumentedBytesAndLoadBringsBackTheSameLines) {
  const auto task = static_cast<uint32_t>(pthread_self());
  bytes expected = wexlog_test::hex_bytes(
      "57 45 58 4C 4F 47 52 53 01 00 00 00 00 00 00 00 16 00 00 00 00 00 00 00 40 00 00 00 "
      "12 00 00 00 E8 03 00 00");
  for (unsigned int i = 0; i < 32; i += 8)
    expected.push_back(static_cast<unsigned char>(task >> i));
  for (const unsigned char b : wexlog_test::hex_bytes("02 01 02 61 62 02 FE FF FF FF")) {
    expected.push_back(b);
  }
  expected.resize(28 + 64);
  EXPECT_EQ(saved, expected);

  ASSERT_EQ(wex_lib_log_load_snapshot(target.storage(), file.c_str()), 0);
  EXPECT_EQ(target.storage().get_ring_buffer_size(), 64u);
  const std::vector<std::string> lines{"[00:00:01.000:" + std::to_string(task) + "][ab" +
                                       std::string(30, ' ') + "][-2]"};
  EXPECT_EQ(dump_lines(target), lines);
  EXPECT_EQ(dump_lines(source), lines);  // saving left the records in the ring
}

TEST_F(SnapshotFileTest, UntrustedFilesAreRefusedWithTheirReasonAndLeaveTheRing) {
  target.push_data_value("kept", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  const auto with = [&](size_t offset, unsigned char value) {
    bytes bad = saved;
    bad[offset] = value;
    return bad;
  };
  const std::string inconsistent = "ring positions or length prefixes are inconsistent";
  const std::pair<bytes, std::string> files[] = {
      {with(0, 'X'), "not a ring snapshot (no WEXLOGRS magic)"},
      {with(8, 2), "unsupported snapshot version"},
      {bytes(saved.begin(), saved.end() - 1), "truncated snapshot: fewer ring bytes than its size"},
      {with(16, 21), inconsistent},  // the prefixes do not chain to that write position
      {with(12, 2), inconsistent}};  // an empty flag neither 0 nor 1
  for (const auto& [content, reason] : files) {
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
    EXPECT_EQ(wexlog_test::stdout_of([&] {
                EXPECT_EQ(wex_lib_log_load_snapshot(target.storage(), file.c_str()), 0x1000);
              }),
              "Load snapshot ERROR!! " + reason + " [" + file + "]");
  }
  EXPECT_EQ(target.storage().get_ring_buffer_size(), 48u);
  const auto lines = dump_lines(target);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("[kept"), std::string::npos);

  velorin::wex_lib_log_entry unsized{9, "unsized", 0};
  std::remove(file.c_str());
  EXPECT_EQ(wexlog_test::stdout_of([&] {
              EXPECT_EQ(wex_lib_log_save_snapshot(unsized.storage(), file.c_str()), 0x1000);
            }),
            "Save snapshot ERROR!! the ring has no bytes [" + file + "]");
  EXPECT_FALSE(std::ifstream(file).good());
}

}  // namespace
