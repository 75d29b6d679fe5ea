// wexlog recover on real cores of the crash fixture: the core gcore writes of
// the host build, and the one qemu-ppc writes when the fixture cross-built for
// the device aborts. The recovered lines must be the lines each logger's own
// dump wrote for the same ring. Not built with sanitizers: their shadow memory
// would end up in the core.
#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
constexpr uintmax_t kCoreCap = 200u << 20;

std::pair<int, std::string> run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  char chunk[4096];
  for (size_t n; pipe && (n = std::fread(chunk, 1, sizeof chunk, pipe)) != 0;) out.append(chunk, n);
  const int status = pipe ? pclose(pipe) : -1;
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), out};
}

class WexlogCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const rlimit cap{kCoreCap, kCoreCap};  // no file written from here on grows past it
    setrlimit(RLIMIT_FSIZE, &cap);
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  // Every logger's heading and lines from `wexlog recover`, with --all and
  // --json, against the lines its dump wrote.
  void expect_recovered_lines(const std::string& core) {
    ASSERT_LT(fs::file_size(core), kCoreCap) << core << " is too large to be the fixture's core";
    const std::string recover = std::string(WEXLOG_TOOL) + " recover ";
    const auto [status, plain] = run(recover + core);
    ASSERT_EQ(status, 0);
    std::map<std::string, std::vector<std::string>> all;  // heading and lines by logger
    std::istringstream in(run(recover + "--all " + core).second);
    std::vector<std::string>* ring = nullptr;
    for (std::string line; std::getline(in, line);) {
      const size_t name = line.rfind("# ring ", 0) == 0 ? line.find(" logger \"") + 9 : 0;
      if (name != 0) ring = &all[line.substr(name, line.find('"', name) - name)];
      if (ring != nullptr) ring->push_back(line);
    }
    std::multiset<std::string> json_lines, dump_lines;
    std::istringstream json(run(recover + "--json " + core).second);
    for (std::string line; std::getline(json, line);) {
      const auto record = nlohmann::json::parse(line);
      json_lines.insert(record["logger"].get<std::string>() + " " +
                        record["line"].get<std::string>());
    }
    std::ifstream manifest(dir + "/loggers.txt");
    size_t loggers = 0;
    for (std::string name, id; manifest >> name >> id; ++loggers) {
      SCOPED_TRACE(name);
      auto expected = wexlog_test::read_lines(dir + "/" + name + ".log");
      for (const auto& line : expected) dump_lines.insert(name + " " + line);
      EXPECT_EQ(plain.find("logger \"" + name + "\"") != std::string::npos, !expected.empty());
      ASSERT_FALSE(all[name].empty());
      EXPECT_NE(all[name][0].find(" records " + std::to_string(expected.size()) + " logger \"" +
                                  name + "\" trace_id " + id),
                std::string::npos);
      expected.insert(expected.begin(), all[name][0]);
      EXPECT_EQ(all[name], expected);
    }
    EXPECT_EQ(loggers, 5u);
    EXPECT_EQ(json_lines, dump_lines);
  }

  const std::string dir = ::testing::TempDir() + "wexlog_core_" + std::to_string(getpid());
};

TEST_F(WexlogCoreTest, GcoreOfTheHostFixtureGivesEveryLoggersDumpLines) {
  const int status = run(std::string(WEXLOG_HOST_FIXTURE) + " gcore " + dir + " 2>/dev/null").first;
  if (status == 3)
    GTEST_SKIP() << "gcore wrote no core: " << run("cat " + dir + "/gcore.out").second;
  ASSERT_EQ(status, 0);
  expect_recovered_lines(dir + "/core");
}

// Runs where WEXLOG_PPC_FIXTURE names the cross-built fixture (CI sets it
// after the ppc stage).
TEST_F(WexlogCoreTest, QemuCoreOfThePowerPcFixtureGivesTheLinesOfItsSnapshotRoundTrip) {
  const char* fixture = std::getenv("WEXLOG_PPC_FIXTURE");
  if (fixture == nullptr) GTEST_SKIP() << "WEXLOG_PPC_FIXTURE names no cross-built fixture";
  // qemu-ppc writes the guest's core into the working directory itself; the
  // filter keeps the kernel's core of qemu (if any) to a few pages.
  const auto [status, out] = run(
      "cd " + dir + " && ulimit -c unlimited; echo 0 >/proc/self/coredump_filter; exec " +
      WEXLOG_QEMU_PPC + " -L " + WEXLOG_PPC_SYSROOT + " " + fixture + " abort " + dir + " 2>&1");
  ASSERT_EQ(status, 128 + SIGABRT) << out;
  std::string core;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() == ".core") core = entry.path();
  }
  ASSERT_FALSE(core.empty()) << "qemu-ppc wrote no core (hard core size limit 0?)";
  expect_recovered_lines(core);
  std::ifstream manifest(dir + "/loggers.txt");
  for (std::string name, id; manifest >> name >> id;) {
    const auto decoded = run(std::string(WEXLOG_TOOL) + " decode " + dir + "/" + name + ".snap");
    EXPECT_EQ(decoded, std::make_pair(0, run("cat " + dir + "/" + name + ".log").second)) << name;
  }
}

}  // namespace
