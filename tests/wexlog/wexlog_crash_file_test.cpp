// SPDX-License-Identifier: MIT
// The crash recorder end to end. The crash fixture dies in every way it
// knows; each time it must die of the signal it would die of without the
// recorder and leave one crash file naming that signal, which `wexlog
// decode` turns into each logger's own dump lines. Crash files taken while
// three threads keep logging must hold each of their loggers whole
// (scripts/crash_stress.sh). The same holds for the fixture cross-built for
// the device and run under qemu-ppc, where WEXLOG_PPC_FIXTURE names it (CI
// sets it after the ppc stage).
#include <crash_file.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wex_lib_log_crash.h>
#include <wex_lib_log_entry.h>

#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>

#include "codec/crash_format.h"
#include "recovered_lines.h"

namespace {

namespace fs = std::filesystem;
namespace format = velorin::crash_format;

// Each way the fixture dies, and the signal that ends it.
const std::pair<std::string, int> kModes[] = {
    {"null", SIGSEGV},    {"overflow", SIGSEGV}, {"worker-overflow", SIGSEGV}, {"abort", SIGABRT},
    {"handled", SIGABRT}, {"nofile", SIGSEGV},   {"taken", SIGSEGV},           {"fsize", SIGSEGV},
    {"busy", SIGSEGV},    {"pin", SIGSEGV}};

// The recorder copies rings that other threads are writing, on purpose;
// ThreadSanitizer stops the busy fixture there, so its runs are left out.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define WEXLOG_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(WEXLOG_THREAD_SANITIZER)
constexpr bool kBusyRuns = false;
#else
constexpr bool kBusyRuns = true;
#endif
constexpr const char* kSanitizerOptions = "handle_segv=0:handle_abort=0:detect_leaks=0";

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
    setenv("ASAN_OPTIONS", kSanitizerOptions, 1);
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

// The pin mode's crash file as hex, two digits a byte, "xx" where the value
// is the process's own (pid, time, the ring's address, the record's task id).
// Every integer little-endian at its offset in the file header, the logger
// section and the end section; the ring's one record is its length prefix,
// header (time of day 01:02:03.004, task id, 2 items), title "t" and hex
// value 0x12345678, then free space; the record under construction is its
// one message item "ab".
// clang-format off
constexpr const char kPinnedFile[] =
    // file header: magic, version, signal 11, pid, reserved, time
    "5745584c4f474352" "01000000" "0b000000" "xxxxxxxx" "00000000" "xxxxxxxxxxxxxxxx"
    // logger section: tag, trace id, ring address, empty flag, write and read
    // positions, ring size, name length, record length, item count, reserved
    "4c4f4752" "07000000" "xxxxxxxxxxxxxxxx" "00000000" "15000000" "00000000" "20000000"
    "03000000" "06000000" "01" "000000"
    // name, ring, record under construction
    "70696e"
    "11000000" "fcce3800" "xxxxxxxx" "02" "010174" "0378563412" "0000000000000000000000"
    "06000200" "6162"
    // end section: tag, one logger
    "454e4421" "01000000";
// clang-format on

// The file's bytes as hex with the process's own values masked.
std::string pinned_hex(const std::string& file) {
  const std::string bytes = wexlog_test::read_file(file);
  const auto masked = [](size_t at) {
    const size_t logger = format::kFileHeaderSize, ring = logger + format::kLoggerHeaderSize + 3;
    return (at >= format::kPidAt && at < format::kReservedAt) ||
           (at >= format::kTimeAt && at < logger) ||
           (at >= logger + format::kRingAddressAt && at < logger + format::kEmptyAt) ||
           (at >= ring + 8 && at < ring + 12);
  };
  std::string hex;
  for (size_t at = 0; at < bytes.size(); ++at) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(bytes[at]));
    hex += masked(at) ? "xx" : digits;
  }
  return hex;
}

class WexlogCrashFileTest : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove_all(dir); }

  // Runs the fixture (with its emulator first, if any) in a fresh `dir`,
  // expects it to die of `signal` and returns its crash file. The taken mode
  // leaves empty files at the plain names, which must stay empty: the file
  // takes the name with -1.
  std::string crash(std::vector<std::string> command, const std::string& mode, int signal,
                    bool cores) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    command.insert(command.end(), {mode, dir});
    const auto [pid, status] = spawn(command, dir, cores);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal)
        << "status " << status << ": " << wexlog_test::read_file(dir + "/err.txt");
    std::vector<std::string> files, empty;
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.path().extension() != ".crash") continue;
      (fs::file_size(entry.path()) == 0 ? empty : files).push_back(entry.path().filename());
    }
    EXPECT_EQ(!empty.empty(), mode == "taken") << empty.size() << " empty crash files";
    if (files.size() != 1) {
      ADD_FAILURE() << files.size() << " crash files";
      return "";
    }
    // Under qemu-ppc the guest sees its own pid: only the host's can be checked.
    const std::string pid_text = command[0] == WEXLOG_QEMU_PPC ? "[0-9]+" : std::to_string(pid);
    EXPECT_TRUE(std::regex_match(files[0], std::regex("wexlog-" + pid_text + "-[0-9]{10}" +
                                                      (mode == "taken" ? "-1" : "") + "\\.crash")))
        << files[0];
    EXPECT_EQ(fs::status(dir + "/" + files[0]).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    return dir + "/" + files[0];
  }

  // Expects the first line `wexlog decode` prints to be the crash heading of
  // `signal` and `loggers`, and `wexlog decode` to exit with `status`.
  void expect_heading(const std::string& file, int signal, const char* loggers, int status = 0) {
    EXPECT_EQ(spawn({WEXLOG_TOOL, "decode", file}, dir).second, status)
        << wexlog_test::read_file(dir + "/err.txt");
    const std::string out = wexlog_test::read_file(dir + "/out.txt"),
                      first = out.substr(0, out.find('\n')),
                      name = signal == SIGSEGV ? "SIGSEGV" : "SIGABRT";
    EXPECT_TRUE(
        std::regex_match(first, std::regex("# crash " + name + " \\(" + std::to_string(signal) +
                                           "\\) pid [0-9]+ at 20[0-9-]{8}T[0-9:]{8}Z "
                                           "loggers " +
                                           loggers)))
        << first;
  }

  // `wexlog decode` of the crash file against the dump lines the fixture
  // wrote for each logger before dying; in JSON, every record once. The
  // logger that died holding its semaphore shows its record under
  // construction.
  void expect_dump_lines(const std::string& file, const std::string& mode, int signal) {
    expect_heading(file, signal, "6");
    const std::string text = wexlog_test::read_file(dir + "/out.txt");
    ASSERT_EQ(spawn({WEXLOG_TOOL, "decode", "--json", file}, dir).second, 0);
    const bool held = mode == "null" || mode == "nofile" || mode == "taken";
    const auto under_construction = [held](const std::string& name,
                                           const std::vector<std::string>&) {
      if (name != "dying" || !held) return std::vector<std::string>{};
      return std::vector<std::string>{"# uncommitted [ERROR@] worker\tdies while building"};
    };
    EXPECT_EQ(wexlog_test::expect_logger_lines(dir, text, wexlog_test::read_file(dir + "/out.txt"),
                                               under_construction),
              6u);
  }

  // Every way of dying, then `busy_runs` crash files of the busy writers,
  // each logger whole. Under a file size limit the file holds what fits.
  void expect_every_way(const std::vector<std::string>& command, bool cores, int busy_runs) {
    for (const auto& [mode, signal] : kModes) {
      SCOPED_TRACE(mode);
      if (mode == "busy" && !kBusyRuns) continue;
      const std::string file = crash(command, mode, signal, cores);
      if (file.empty()) continue;
      if (mode == "fsize") {
        EXPECT_EQ(fs::file_size(file), 3000u);
        expect_heading(file, signal, "[0-9]+", 1 << 8);
        EXPECT_NE(wexlog_test::read_file(dir + "/err.txt").find("cut short after"),
                  std::string::npos);
      } else if (mode == "busy") {
        expect_heading(file, signal, "3");
      } else if (mode == "pin") {
        EXPECT_EQ(pinned_hex(file), kPinnedFile);
      } else {
        expect_dump_lines(file, mode, signal);
      }
    }
    std::string stress = std::string("ASAN_OPTIONS=") + kSanitizerOptions +
                         " WEXLOG=" WEXLOG_TOOL " " WEXLOG_CRASH_STRESS " " +
                         std::to_string(busy_runs) + " " + command.back();
    for (size_t i = 0; i + 1 < command.size(); ++i) stress += " " + command[i];
    if (kBusyRuns) {
      EXPECT_EQ(std::system((stress + " >&2").c_str()), 0) << stress;
    }
  }

  const std::string dir = ::testing::TempDir() + "wexlog_crash_" + std::to_string(getpid());
};

TEST_F(WexlogCrashFileTest, EachWayOfDyingLeavesOneFileWithEveryLoggersDumpLines) {
  expect_every_way({WEXLOG_HOST_FIXTURE}, false, 10);
}

TEST_F(WexlogCrashFileTest, CrashFilesOfThePowerPcFixtureDecodeOnTheHost) {
  const char* fixture = std::getenv("WEXLOG_PPC_FIXTURE");
  if (fixture == nullptr)
    GTEST_SKIP() << "needs the PowerPC fixture: after `cmake --workflow --preset ppc`, set "
                    "WEXLOG_PPC_FIXTURE="
                    "build/ppc/tools/wexlog/tests/wexlog_crash_fixture (.ci/run does)";
  expect_every_way({WEXLOG_QEMU_PPC, "-L", WEXLOG_PPC_SYSROOT, fixture}, true, 5);
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

// The alternate stack of a thread that logs while the recorder is armed:
// 64 KiB, given on its first record, unmapped when the thread ends; a
// thread's own alternate stack is kept. Each thread starts without one and
// puts back what it had (a sanitizer's) before it ends.
TEST(WexlogCrashRecorderTest, EveryLoggingThreadGetsAnAlternateStackReleasedWhenItEnds) {
  ASSERT_EQ(velorin::wex_lib_log_install_crash_handler(::testing::TempDir().c_str()), 0);
  velorin::wex_lib_log_entry log(1, "threads", 4096);
  const auto in_thread = [&log](const stack_t* own) {
    stack_t seen{};
    std::thread([&] {
      stack_t before{};
      const stack_t off{nullptr, SS_DISABLE, 0};
      sigaltstack(&off, &before);
      if (own != nullptr) sigaltstack(own, nullptr);
      log.add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_ERROR, WEX_LIB_LOG_LEN_FULL, "f", "m");
      sigaltstack(nullptr, &seen);
      if ((before.ss_flags & SS_DISABLE) == 0) sigaltstack(&before, nullptr);
    }).join();
    return seen;
  };
  const stack_t given = in_thread(nullptr);
  EXPECT_EQ(given.ss_flags, 0);
  EXPECT_EQ(given.ss_size, 64u * 1024);
  // Unmapped: no inaccessible guard page ends where the stack began (the
  // addresses themselves may have been mapped again for something else).
  const auto start = reinterpret_cast<uintptr_t>(given.ss_sp);
  const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    uintptr_t from = 0, to = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%" SCNxPTR "-%" SCNxPTR " %4s", &from, &to, perms) == 3) {
      EXPECT_FALSE(from == start - page && to == start && perms[0] == '-') << line;
    }
  }
  static char own[128 * 1024];
  const stack_t mine{own, 0, sizeof own};
  EXPECT_EQ(in_thread(&mine).ss_sp, static_cast<void*>(own));
  velorin::wex_lib_log_remove_crash_handler();
}

// The pin mode's crash file, its process's own values zero.
std::vector<unsigned char> pinned_file() {
  std::string hex = kPinnedFile;
  std::replace(hex.begin(), hex.end(), 'x', '0');
  return wexlog_test::hex_bytes(hex);
}

// The pinned file with its ring cut to `size` bytes of 0x21, both positions
// at the last, and nothing under construction.
std::vector<unsigned char> tiny_ring_file(uint32_t size) {
  const auto pinned = pinned_file();
  const size_t ring = format::kFileHeaderSize + format::kLoggerHeaderSize + 3;
  std::vector<unsigned char> file(pinned.begin(), pinned.begin() + ring);
  unsigned char* logger = &file[format::kFileHeaderSize];
  for (const size_t at : {format::kWritePosAt, format::kReadPosAt})
    format::store_le(logger + at, size - 1, 4);
  format::store_le(logger + format::kRingSizeAt, size, 4);
  format::store_le(logger + format::kBuildingSizeAt, 0, 4);
  logger[format::kItemCountAt] = 0;
  file.resize(ring + size, 0x21);
  file.insert(file.end(), pinned.end() - format::kEndSize, pinned.end());
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
  const auto file = pinned_file();
  EXPECT_EQ(refusal(file), "accepted, loggers 1");
  const auto with = [&file](size_t at, unsigned char value) {
    auto changed = file;
    changed[at] = value;
    return changed;
  };
  EXPECT_EQ(refusal(with(file.size() - 4, 2)),
            "the end section counts 2 loggers, the file holds 1");
  EXPECT_EQ(refusal(with(format::kFileHeaderSize, 'X')), "unknown section at offset 32");
  EXPECT_EQ(refusal(with(format::kFileHeaderSize + format::kNameSizeAt + 1, 0x10)),
            "logger name of 4099 bytes (at most 4096)");
  EXPECT_EQ(refusal(std::vector<unsigned char>(file.begin(), file.end() - 1)),
            "cut short after 1 whole loggers (no end section), loggers 1");
  EXPECT_EQ(refusal(std::vector<unsigned char>(file.begin(), file.end() - 9)),
            "cut short after 0 whole loggers (no end section), loggers 0");
  // A ring caught in the middle of a push: the logger is kept, its ring
  // salvaged up to the tear, which JSON notes beside its heading object, and
  // its record under construction shown ("ab" read as a message item).
  const auto torn = with(format::kFileHeaderSize + format::kLoggerHeaderSize + 3, 18);
  EXPECT_EQ(printed(torn, wexlog::output_format::text),
            "# crash SIGSEGV (11) pid 0 at 1970-01-01T00:00:00Z loggers 1\n"
            "# ring 0x0 size 32 records 0 logger \"pin\" trace_id 7 torn at offset 0\n"
            "# uncommitted [??????] \n--\n");
  EXPECT_EQ(printed(torn, wexlog::output_format::json),
            R"({"signal":11,"signal_name":"SIGSEGV","pid":0,"time":"1970-01-01T00:00:00Z",)"
            R"("time_s":0,"loggers":1})"
            "\n"
            R"({"logger":"pin","trace_id":7,"ring":"0x0","uncommitted":true,"items":[{"item":)"
            R"("message","kind":0,"type":97,"label":"[??????] ","len_type":98,"function":"",)"
            R"("text":""}],"line":"[??????] "})"
            "\n--\nlogger \"pin\" torn at offset 0 (ring record at offset 0 runs past the "
            "write position: length 18); the records before it are shown\n");
  // Rings shorter than a length prefix: the prefix at the last byte wraps
  // round the ring, more than once, and reads none of the bytes after it.
  for (uint32_t size = 1; size <= 3; ++size) {
    EXPECT_NE(printed(tiny_ring_file(size), wexlog::output_format::json)
                  .find("--\nlogger \"pin\" torn at offset " + std::to_string(size - 1) +
                        " (ring record at offset " + std::to_string(size - 1) +
                        " runs past the write position: length 555819297)"),
              std::string::npos)
        << size;
  }
}

}  // namespace
