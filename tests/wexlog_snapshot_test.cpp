// SPDX-License-Identifier: MIT
// Ring snapshot files: the documented bytes, the round trip, the files the
// loader refuses, and what saving leaves at the path.
#include <pthread.h>
#include <wex_lib_log_entry.h>
#include <wex_lib_log_snapshot.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include "test_support.h"

namespace {

using bytes = std::vector<unsigned char>;
using wexlog_test::read_file;
constexpr auto save = velorin::wex_lib_log_save_snapshot;
constexpr auto load = velorin::wex_lib_log_load_snapshot;

// The names in a folder. The 64-bit readdir: a 32-bit one fails on the
// host's large inode numbers.
std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> found;
  DIR* folder = opendir(dir.c_str());
  while (const dirent64* entry = readdir64(folder)) found.insert(entry->d_name);
  closedir(folder);
  return found;
}

// What saving or loading `log`'s ring at `path` returns and prints.
std::string outcome(int (*call)(velorin::wex_lib_log_storage&, const char*),
                    velorin::wex_lib_log_entry& log, const std::string& path) {
  int result = 0;
  const std::string out =
      wexlog_test::stdout_of([&] { result = call(log.storage(), path.c_str()); });
  return std::to_string(result) + " " + out;
}

class SnapshotFileTest : public wexlog_test::PlatformFixture {
 protected:
  void SetUp() override {
    PlatformFixture::SetUp();
    wexlog_test::use_utc();
    platform_standin::set_clock(1, 0);
    source.push_data_value("ab", 0, 1, -2, 0, 0, 0, 0, 0, 0, 0);  // 00:00:01.000, title, -2
    ASSERT_EQ(save(source.storage(), file.c_str()), 0);
    saved = read_file(file);
  }
  void TearDown() override {
    std::remove(file.c_str());
    PlatformFixture::TearDown();
  }
  velorin::wex_lib_log_entry source{7, "source", 64};
  velorin::wex_lib_log_entry target{8, "target", 48};
  const std::string file = wexlog_test::temp_path("ring.snap");
  std::string saved;  // the snapshot file of `source`
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
  EXPECT_EQ(bytes(saved.begin(), saved.end()), expected);

  ASSERT_EQ(load(target.storage(), file.c_str()), 0);
  EXPECT_EQ(target.storage().get_ring_buffer_size(), 64u);
  const std::vector<std::string> lines{"[00:00:01.000:" + std::to_string(task) + "][ab" +
                                       std::string(30, ' ') + "][-2]"};
  EXPECT_EQ(wexlog_test::dump_lines(target), lines);
  EXPECT_EQ(wexlog_test::dump_lines(source), lines);  // saving left the records in the ring
}

TEST_F(SnapshotFileTest, UntrustedFilesAreRefusedWithTheirReasonAndLeaveTheRing) {
  target.push_data_value("kept", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  const auto with = [&](size_t offset, char value) {  // one byte changed or added
    std::string bad = saved;
    bad.resize(std::max(bad.size(), offset + 1));
    bad[offset] = value;
    return bad;
  };
  const std::string inconsistent = "ring positions or length prefixes are inconsistent";
  const std::pair<std::string, std::string> files[] = {
      {with(0, 'X'), "not a ring snapshot (no WEXLOGRS magic)"},
      {with(8, 2), "unsupported snapshot version"},
      {saved.substr(0, 20), "truncated snapshot header"},
      {saved.substr(0, saved.size() - 1), "truncated snapshot: fewer ring bytes than its size"},
      {with(saved.size(), 0), "trailing bytes after the ring bytes"},
      {with(16, 21), inconsistent},  // the prefixes do not chain to that write position
      {with(12, 2), inconsistent}};  // an empty flag neither 0 nor 1
  for (const auto& [content, reason] : files) {
    std::ofstream(file, std::ios::binary) << content;
    EXPECT_EQ(outcome(load, target, file),
              "4096 Load snapshot ERROR!! " + reason + " [" + file + "]\n");
  }
  for (const std::string& path : {std::string("/dev/null"), ::testing::TempDir()}) {
    EXPECT_EQ(outcome(load, target, path),
              "4096 Load snapshot ERROR!! not a regular file [" + path + "]\n");
  }
  EXPECT_EQ(target.storage().get_ring_buffer_size(), 48u);
  const auto lines = wexlog_test::dump_lines(target);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("[kept"), std::string::npos);

  velorin::wex_lib_log_entry unsized{9, "unsized", 0};
  std::remove(file.c_str());
  EXPECT_EQ(outcome(save, unsized, file),
            "4096 Save snapshot ERROR!! the ring has no bytes [" + file + "]\n");
  EXPECT_FALSE(std::ifstream(file).good());
}

TEST_F(SnapshotFileTest, SaveReplacesOnlyRegularFilesOnceCompleteAndKeepsLinks) {
  std::string made = ::testing::TempDir() + "wexlog_save_XXXXXX";
  ASSERT_NE(mkdtemp(&made[0]), nullptr);
  const std::string dir = made, snap = dir + "/ring.snap", link = dir + "/link";
  std::ofstream(snap) << "earlier";
  ASSERT_EQ(symlink("ring.snap", link.c_str()), 0);

  // A write that fails half way, as on a full disk, leaves the earlier file.
  velorin::wex_lib_log_entry big{9, "big", 4096};
  rlimit limit{}, small{};
  getrlimit(RLIMIT_FSIZE, &limit);
  small = limit;
  small.rlim_cur = 1024;
  signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  const std::string failed_direct = outcome(save, big, snap),
                    failed_through_link = outcome(save, big, link);
  setrlimit(RLIMIT_FSIZE, &limit);
  EXPECT_EQ(failed_direct, "4096 Save snapshot ERROR!! cannot write the file [" + snap + "]\n");
  EXPECT_EQ(failed_through_link,
            "4096 Save snapshot ERROR!! cannot write the file [" + link + "]\n");
  EXPECT_EQ(wexlog_test::read_lines(snap), std::vector<std::string>{"earlier"});

  // Through a link the final target is replaced, keeping its permissions,
  // and the link stays a link.
  ASSERT_EQ(chmod(snap.c_str(), 0600), 0);
  EXPECT_EQ(outcome(save, source, link), "0 ");
  EXPECT_EQ(read_file(snap), saved);
  struct stat st {};
  EXPECT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(stat(snap.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A device, a FIFO, a directory, or a link to one, is refused and left alone.
  const std::string fifo = dir + "/fifo", to_fifo = dir + "/to_fifo", sub = dir + "/sub";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // a writer would not wait
  ASSERT_EQ(symlink(fifo.c_str(), to_fifo.c_str()), 0);
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  for (const std::string& path : {std::string("/dev/null"), fifo, to_fifo, sub}) {
    EXPECT_EQ(outcome(save, source, path),
              "4096 Save snapshot ERROR!! not a regular file [" + path + "]\n");
  }
  char byte = 0;
  EXPECT_LE(read(reader, &byte, 1), 0);  // nothing went into the FIFO
  close(reader);
  EXPECT_EQ(names_in(dir),
            (std::set<std::string>{".", "..", "fifo", "link", "ring.snap", "sub", "to_fifo"}));
  std::filesystem::remove_all(dir);
}

// A save killed at random instants, 200 times, in a folder where the next
// save must still find the old or the new snapshot whole; then one more save
// leaves no temporary file. The target's 250-character name is longer than
// a temporary name built from it could be.
TEST_F(SnapshotFileTest, SavesKilledAtAnyInstantLeaveAWholeSnapshotAndNoTemporaryFile) {
  std::string made = ::testing::TempDir() + "wexlog_kill_XXXXXX";
  ASSERT_NE(mkdtemp(&made[0]), nullptr);
  const std::string dir = made, name(250, 'k'), snap = dir + "/" + name;
  velorin::wex_lib_log_entry big{9, "big", 1 << 18};
  for (int n = 0; n < 2000; ++n) big.push_data_value("n", 0, 1, n, 0, 0, 0, 0, 0, 0, 0);
  ASSERT_EQ(save(big.storage(), snap.c_str()), 0);
  const std::string big_saved = read_file(snap);
  ASSERT_EQ(save(source.storage(), snap.c_str()), 0);
  ASSERT_EQ(read_file(snap), saved);

  std::mt19937 random(17);
  int whole = 0;
  pid_t child = 0;
  for (int kill = 0; kill < 200; ++kill) {
    child = fork();
    if (child == 0) {
      for (;;) {
        save(big.storage(), snap.c_str());
        save(source.storage(), snap.c_str());
      }
    }
    ASSERT_GT(child, 0);
    usleep(static_cast<useconds_t>(random() % 4000));
    ::kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    const std::string now = read_file(snap);
    whole += now == saved || now == big_saved;
  }
  EXPECT_EQ(whole, 200);

  // Only temporary files of this library's naming whose process is gone are
  // removed: not those of a live process, nor other files.
  const std::string dead = ".wexlogsnap." + std::to_string(child) + ".0.tmp";
  const std::string live = ".wexlogsnap." + std::to_string(getppid()) + ".3.tmp";
  for (const std::string& planted : {dead, live, std::string(".wexlogsnap.x.0.tmp")}) {
    std::ofstream(dir + "/" + planted) << "planted";
  }
  ASSERT_EQ(save(big.storage(), snap.c_str()), 0);
  EXPECT_EQ(names_in(dir), (std::set<std::string>{".", "..", name, live, ".wexlogsnap.x.0.tmp"}));
  ASSERT_EQ(load(target.storage(), snap.c_str()), 0);
  EXPECT_EQ(wexlog_test::dump_lines(target), wexlog_test::dump_lines(big));
  std::filesystem::remove_all(dir);
}

}  // namespace
