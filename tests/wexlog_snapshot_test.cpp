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
  }
  void TearDown() override {
    for (const auto& path : {file, dump}) std::remove(path.c_str());
    PlatformFixture::TearDown();
  }
  bytes saved() {
    std::ifstream in(file, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), {});
  }
  std::vector<std::string> dump_lines(velorin::wex_lib_log_entry& log) {
    std::remove(dump.c_str());
    log.trace_log(dump.c_str());
    return wexlog_test::read_lines(dump);
  }
  std::string load(velorin::wex_lib_log_entry& log, const bytes& content) {
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
    return wexlog_test::stdout_of(
        [&] { EXPECT_EQ(wex_lib_log_load_snapshot(log.storage(), file.c_str()), 0x1000); });
  }
  velorin::wex_lib_log_entry source{7, "source", 64};
  velorin::wex_lib_log_entry target{8, "target", 48};
  const std::string file = wexlog_test::temp_path("ring.snap");
  const std::string dump = wexlog_test::temp_path("dump.log");
};

TEST_F(SnapshotFileTest, SaveWritesTheDocumentedBytesAndLoadBringsBackTheSameLines) {
  ASSERT_EQ(wex_lib_log_save_snapshot(source.storage(), file.c_str()), 0);
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
  EXPECT_EQ(saved(), expected);

  ASSERT_EQ(wex_lib_log_load_snapshot(target.storage(), file.c_str()), 0);
  EXPECT_EQ(target.storage().get_ring_buffer_size(), 64u);
  const std::string line =
      "[00:00:01.000:" + std::to_string(task) + "][ab" + std::string(30, ' ') + "][-2]";
  EXPECT_EQ(dump_lines(target), std::vector<std::string>{line});
  EXPECT_EQ(dump_lines(source), std::vector<std::string>{line});
}

TEST_F(SnapshotFileTest, UntrustedFilesAreRefusedWithTheirReasonAndLeaveTheRing) {
  ASSERT_EQ(wex_lib_log_save_snapshot(source.storage(), file.c_str()), 0);
  const bytes good = saved();
  target.push_data_value("kept", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  const auto with = [&](size_t offset, unsigned char value) {
    bytes bad = good;
    bad[offset] = value;
    return bad;
  };
  const std::string refused = "Load snapshot ERROR!! ", at = " [" + file + "]";
  EXPECT_EQ(load(target, with(0, 'X')), refused + "not a ring snapshot (no WEXLOGRS magic)" + at);
  EXPECT_EQ(load(target, with(8, 2)), refused + "unsupported snapshot version" + at);
  EXPECT_EQ(load(target, bytes(good.begin(), good.end() - 1)),
            refused + "truncated snapshot: fewer ring bytes than its size" + at);
  const std::string inconsistent = refused + "ring positions or length prefixes are inconsistent";
  EXPECT_EQ(load(target, with(16, 21)), inconsistent + at);  // prefixes do not chain to it
  EXPECT_EQ(load(target, with(12, 2)), inconsistent + at);   // empty flag neither 0 nor 1
  EXPECT_EQ(target.storage().get_ring_buffer_size(), 48u);
  const auto lines = dump_lines(target);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("[kept"), std::string::npos);

  velorin::wex_lib_log_entry unsized{9, "unsized", 0};
  std::remove(file.c_str());
  EXPECT_EQ(wexlog_test::stdout_of([&] {
              EXPECT_EQ(wex_lib_log_save_snapshot(unsized.storage(), file.c_str()), 0x1000);
            }),
            "Save snapshot ERROR!! the ring has no bytes" + at);
  EXPECT_TRUE(saved().empty());
}

}  // namespace
