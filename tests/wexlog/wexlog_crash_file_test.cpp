// The crash recorder end to end. The crash file fixture dies three ways (a
// null write in a worker thread that holds its logger's semaphore, a stack
// overflow, abort); each time it must die of the signal it would die of
// without the recorder and leave one crash file that `wexlog decode` turns
// into each logger's own dump lines. The same holds for the fixture
// cross-built for the device and run under qemu-ppc, where
// WEXLOG_PPC_CRASH_FIXTURE names it (CI sets it after the ppc stage).
#include <crash_file.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wex_lib_log_crash.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <regex>

#include "crash/crash_format.h"
#include "recovered_lines.h"

namespace {

namespace fs = std::filesystem;
namespace format = velorin::crash_format;

struct crash_mode {
  const char* name;
  int signal;
  const char* signal_name;
};
constexpr crash_mode kModes[] = {
    {"null", SIGSEGV, "SIGSEGV"}, {"overflow", SIGSEGV, "SIGSEGV"}, {"abort", SIGABRT, "SIGABRT"}};

// Runs `argv` in `dir` with standard output to dir/out.txt and standard
// error to dir/err.txt; returns its pid and wait status. `cores` lets the
// program leave a core (qemu-ppc writes the guest's into `dir`).
std::pair<pid_t, int> spawn(const std::vector<std::string>& argv, const std::string& dir,
                            bool cores = false) {
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(open((dir + "/out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    dup2(open((dir + "/err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    if (chdir(dir.c_str()) != 0) _exit(126);
    rlimit core{0, 0};
    if (cores) getrlimit(RLIMIT_CORE, &core), core.rlim_cur = core.rlim_max;
    setrlimit(RLIMIT_CORE, &core);
    std::ofstream("/proc/self/coredump_filter") << "0\n";  // of qemu itself: a few pages
    setenv("ASAN_OPTIONS", "handle_segv=0:handle_abort=0:detect_leaks=0", 1);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return {pid, status};
}

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class WexlogCrashFileTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir); }
  void TearDown() override { fs::remove_all(dir); }

  // Runs the fixture (with its emulator first, if any) in a fresh `dir`,
  // expects it to die of the mode's signal and returns its crash file.
  std::string crash(std::vector<std::string> command, const crash_mode& mode, bool cores = false) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    command.insert(command.end(), {mode.name, dir});
    const auto [pid, status] = spawn(command, dir, cores);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == mode.signal)
        << "status " << status << ": " << read_text(dir + "/err.txt");
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.path().extension() == ".crash") files.push_back(entry.path().filename());
    }
    if (files.size() != 1) {
      ADD_FAILURE() << files.size() << " crash files";
      return "";
    }
    const std::string name = files[0];
    // Under qemu-ppc the guest sees its own pid: only the host's can be checked.
    const std::string pid_text = command[0] == WEXLOG_QEMU_PPC ? "[0-9]+" : std::to_string(pid);
    EXPECT_TRUE(std::regex_match(name, std::regex("wexlog-" + pid_text + "-[0-9]{10}\\.crash")))
        << name;
    struct stat st {};
    EXPECT_EQ(stat((dir + "/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    return dir + "/" + name;
  }

  // `wexlog decode` of the crash file against the dump lines the fixture
  // wrote for each logger before dying; in JSON, every record once.
  void expect_dump_lines(const std::string& file, const crash_mode& mode) {
    ASSERT_EQ(spawn({WEXLOG_TOOL, "decode", file}, dir).second, 0) << read_text(dir + "/err.txt");
    const auto lines = wexlog_test::read_lines(dir + "/out.txt");
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(std::string("# crash ") + mode.signal_name +
                                                      " \\(" + std::to_string(mode.signal) +
                                                      "\\) pid [0-9]+ at 20[0-9-]{8}T[0-9:]{8}Z "
                                                      "loggers 4")))
        << lines[0];
    const std::string text = read_text(dir + "/out.txt");
    ASSERT_EQ(spawn({WEXLOG_TOOL, "decode", "--json", file}, dir).second, 0);
    const auto under_construction = [&mode](const std::string& name,
                                            const std::vector<std::string>&) {
      if (name != "dying" || std::string(mode.name) != "null") return std::vector<std::string>{};
      return std::vector<std::string>{"# uncommitted [ERROR@] worker\tdies while building"};
    };
    EXPECT_EQ(wexlog_test::expect_logger_lines(dir, text, read_text(dir + "/out.txt"),
                                               under_construction),
              4u);
  }

  const std::string dir = ::testing::TempDir() + "wexlog_crash_" + std::to_string(getpid());
};

TEST_F(WexlogCrashFileTest, EachWayOfDyingLeavesOneFileWithEveryLoggersDumpLines) {
  for (const crash_mode& mode : kModes) {
    SCOPED_TRACE(mode.name);
    const std::string file = crash({WEXLOG_CRASH_FILE_FIXTURE}, mode);
    if (!file.empty()) expect_dump_lines(file, mode);
  }
}

TEST_F(WexlogCrashFileTest, CrashFilesOfThePowerPcFixtureDecodeOnTheHost) {
  const char* fixture = std::getenv("WEXLOG_PPC_CRASH_FIXTURE");
  if (fixture == nullptr) GTEST_SKIP() << "WEXLOG_PPC_CRASH_FIXTURE names no cross-built fixture";
  for (const crash_mode& mode : kModes) {
    SCOPED_TRACE(mode.name);
    const std::string file =
        crash({WEXLOG_QEMU_PPC, "-L", WEXLOG_PPC_SYSROOT, fixture}, mode, true);
    if (!file.empty()) expect_dump_lines(file, mode);
  }
}

TEST(WexlogCrashRecorderTest, ArmingRefusesAMissingDirectoryAndRemovingRestoresTheHandlers) {
  EXPECT_EQ(wexlog_test::stdout_of([] {
              EXPECT_EQ(velorin::wex_lib_log_install_crash_handler("/nonexistent/dir"), 0x1000);
            }),
            "Crash handler ERROR!! cannot write into the directory: No such file or directory "
            "[/nonexistent/dir]\n");
  struct sigaction mine {
  }, seen{};
  mine.sa_handler = SIG_IGN;
  sigaction(SIGSYS, &mine, nullptr);
  ASSERT_EQ(velorin::wex_lib_log_install_crash_handler(::testing::TempDir().c_str()), 0);
  ASSERT_EQ(velorin::wex_lib_log_install_crash_handler("/"), 0);  // moved, still armed
  sigaction(SIGSYS, nullptr, &seen);
  EXPECT_NE(seen.sa_handler, SIG_IGN);
  velorin::wex_lib_log_remove_crash_handler();
  sigaction(SIGSYS, nullptr, &seen);
  EXPECT_EQ(seen.sa_handler, SIG_IGN);
  mine.sa_handler = SIG_DFL;
  sigaction(SIGSYS, &mine, nullptr);
}

// A crash file with one logger "net" of trace id 7 whose ring holds `ring`
// with both positions at `pos`, nothing under construction, then the end
// section for `count` loggers.
std::vector<unsigned char> crash_file(const std::vector<unsigned char>& ring, uint32_t pos,
                                      uint32_t count) {
  std::vector<unsigned char> file(format::kFileHeaderSize + format::kLoggerHeaderSize + 3 +
                                  ring.size() + format::kEndSize);
  std::memcpy(file.data(), format::kMagic, sizeof format::kMagic);
  format::store_le(&file[format::kVersionAt], format::kVersion, 4);
  format::store_le(&file[format::kSignalAt], 11, 4);
  unsigned char* logger = &file[format::kFileHeaderSize];
  format::copy_tag(logger, format::kLoggerTag);
  format::store_le(logger + format::kTraceIdAt, 7, 4);
  format::store_le(logger + format::kWritePosAt, pos, 4);
  format::store_le(logger + format::kReadPosAt, pos, 4);
  format::store_le(logger + format::kRingSizeAt, ring.size(), 4);
  format::store_le(logger + format::kNameSizeAt, 3, 4);
  std::memcpy(logger + format::kLoggerHeaderSize, "net", 3);
  std::copy(ring.begin(), ring.end(), logger + format::kLoggerHeaderSize + 3);
  unsigned char* end = &file[file.size() - format::kEndSize];
  format::copy_tag(end, format::kEndTag);
  format::store_le(end + format::kLoggerCountAt, count, 4);
  return file;
}

// A 16-byte ring holding one 4-byte record from offset 0 to 8.
std::vector<unsigned char> small_crash_file(uint32_t count) {
  auto file = crash_file({4, 0, 0, 0, 1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0}, 8, count);
  format::store_le(&file[format::kFileHeaderSize + format::kReadPosAt], 0, 4);
  return file;
}

std::string refusal(const std::vector<unsigned char>& file) {
  try {
    const wexlog::crash_reader crash(file.data(), file.size());
    return crash.cut_short().value_or("accepted") + ", loggers " +
           std::to_string(crash.heading().loggers);
  } catch (const wexlog::input_error& e) {
    return e.what();
  }
}

// What `wexlog decode` prints for the file, then what it notes on standard
// error, one line each.
std::string printed(const std::vector<unsigned char>& file, wexlog::output_format as) {
  wexlog::crash_reader crash(file.data(), file.size());
  wexlog::output out;
  std::string notes;
  wexlog::print_crash(crash, *wexlog::make_printer(as, out),
                      [&notes](const std::string& line) { notes += line + "\n"; });
  return out.kept() + "--\n" + notes;
}

TEST(WexlogCrashFileReaderTest, BrokenFramingIsRefusedAndBrokenRingsOrEndingsAreReported) {
  const auto file = small_crash_file(1);
  EXPECT_EQ(refusal(file), "accepted, loggers 1");
  const auto with = [&file](size_t at, unsigned char value) {
    auto changed = file;
    changed[at] = value;
    return changed;
  };
  EXPECT_EQ(refusal(small_crash_file(2)), "the end section counts 2 loggers, the file holds 1");
  EXPECT_EQ(refusal(with(format::kFileHeaderSize, 'X')), "unknown section at offset 32");
  EXPECT_EQ(refusal(with(format::kFileHeaderSize + format::kNameSizeAt + 1, 0x10)),
            "logger name of 4099 bytes (at most 4096)");
  EXPECT_EQ(refusal(std::vector<unsigned char>(file.begin(), file.end() - 1)),
            "cut short after 1 whole loggers (no end section), loggers 1");
  EXPECT_EQ(refusal(std::vector<unsigned char>(file.begin(), file.end() - 9)),
            "cut short after 0 whole loggers (no end section), loggers 0");
  // A ring caught in the middle of a push: the logger is kept, its ring
  // salvaged up to the tear, which JSON notes beside its heading object.
  const auto torn = with(format::kFileHeaderSize + format::kLoggerHeaderSize + 3, 5);
  EXPECT_EQ(printed(torn, wexlog::output_format::text),
            "# crash SIGSEGV (11) pid 0 at 1970-01-01T00:00:00Z loggers 1\n"
            "# ring 0x0 size 16 records 0 logger \"net\" trace_id 7 torn at offset 0\n--\n");
  EXPECT_EQ(printed(torn, wexlog::output_format::json),
            R"({"signal":11,"signal_name":"SIGSEGV","pid":0,"time":"1970-01-01T00:00:00Z",)"
            R"("time_s":0,"loggers":1})"
            "\n--\nlogger \"net\" torn at offset 0 (ring record at offset 0 runs past the "
            "write position: length 5); the records before it are shown\n");
  // Rings shorter than a length prefix: the prefix at the last byte wraps
  // round the ring, more than once, and reads none of the bytes after it.
  for (uint32_t size = 1; size <= 3; ++size) {
    const auto tiny = crash_file(std::vector<unsigned char>(size, 0x21), size - 1, 1);
    EXPECT_NE(printed(tiny, wexlog::output_format::json)
                  .find("--\nlogger \"net\" torn at offset " + std::to_string(size - 1) +
                        " (ring record at offset " + std::to_string(size - 1) +
                        " runs past the write position: length 555819297)"),
              std::string::npos)
        << size;
  }
}

}  // namespace
