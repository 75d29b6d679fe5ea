// SPDX-License-Identifier: MIT
// The crash recorder end to end. The crash file fixture dies in many ways
// (a null write in a worker thread that holds its logger's semaphore, stack
// overflows in the main and in a worker thread, abort, abort after signals
// the application handles, a null write with every descriptor in use, with
// the file's name taken or under a file size limit); each time it must die
// of the signal it would die of without the recorder and leave one crash
// file naming that signal, which `wexlog decode` turns into each logger's
// own dump lines. Crash files taken while three threads keep logging must
// hold each of their loggers whole. The same holds for the fixture
// cross-built for the device and run under qemu-ppc, where
// WEXLOG_PPC_CRASH_FIXTURE names it (CI sets it after the ppc stage).
#include <crash_file.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

struct crash_mode {
  const char* name;
  int signal;
  const char* signal_name;
};
constexpr crash_mode kModes[] = {{"null", SIGSEGV, "SIGSEGV"},
                                 {"overflow", SIGSEGV, "SIGSEGV"},
                                 {"worker-overflow", SIGSEGV, "SIGSEGV"},
                                 {"abort", SIGABRT, "SIGABRT"},
                                 {"handled", SIGABRT, "SIGABRT"},
                                 {"nofile", SIGSEGV, "SIGSEGV"},
                                 {"taken", SIGSEGV, "SIGSEGV"}};
constexpr crash_mode kFileSizeLimit{"fsize", SIGSEGV, "SIGSEGV"};
constexpr crash_mode kBusy{"busy", SIGSEGV, "SIGSEGV"};
constexpr crash_mode kPin{"pin", SIGSEGV, "SIGSEGV"};

// The recorder copies rings that other threads are writing, on purpose;
// ThreadSanitizer stops the busy fixture there, so its runs are left out.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define WEXLOG_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(WEXLOG_THREAD_SANITIZER)
constexpr int kBusyRunsScale = 0;
#else
constexpr int kBusyRunsScale = 1;
#endif

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
  const std::string bytes = read_text(file);
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
  void SetUp() override { fs::create_directories(dir); }
  void TearDown() override { fs::remove_all(dir); }

  // Runs the fixture (with its emulator first, if any) in a fresh `dir`,
  // expects it to die of the mode's signal and returns its crash file. The
  // taken mode leaves empty files at the plain names, which must stay empty:
  // the file takes the name with -1.
  std::string crash(std::vector<std::string> command, const crash_mode& mode, bool cores = false) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    command.insert(command.end(), {mode.name, dir});
    const auto [pid, status] = spawn(command, dir, cores);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == mode.signal)
        << "status " << status << ": " << read_text(dir + "/err.txt");
    std::vector<std::string> files;
    size_t empty = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.path().extension() != ".crash") continue;
      if (fs::file_size(entry.path()) == 0) {
        ++empty;
      } else {
        files.push_back(entry.path().filename());
      }
    }
    const bool taken = std::string(mode.name) == "taken";
    EXPECT_EQ(empty != 0, taken) << empty << " empty crash files";
    if (files.size() != 1) {
      ADD_FAILURE() << files.size() << " crash files";
      return "";
    }
    const std::string name = files[0];
    // Under qemu-ppc the guest sees its own pid: only the host's can be checked.
    const std::string pid_text = command[0] == WEXLOG_QEMU_PPC ? "[0-9]+" : std::to_string(pid);
    EXPECT_TRUE(std::regex_match(
        name, std::regex("wexlog-" + pid_text + "-[0-9]{10}" + (taken ? "-1" : "") + "\\.crash")))
        << name;
    struct stat st {};
    EXPECT_EQ(stat((dir + "/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    return dir + "/" + name;
  }

  // The first line `wexlog decode` prints; it exits with `status`.
  std::string decode_heading(const std::string& file, int status = 0) {
    EXPECT_EQ(spawn({WEXLOG_TOOL, "decode", file}, dir).second, status)
        << read_text(dir + "/err.txt");
    const auto lines = wexlog_test::read_lines(dir + "/out.txt");
    return lines.empty() ? "" : lines[0];
  }

  static std::regex heading(const crash_mode& mode, const char* loggers) {
    return std::regex(std::string("# crash ") + mode.signal_name + " \\(" +
                      std::to_string(mode.signal) +
                      "\\) pid [0-9]+ at 20[0-9-]{8}T[0-9:]{8}Z loggers " + loggers);
  }

  // `wexlog decode` of the crash file against the dump lines the fixture
  // wrote for each logger before dying; in JSON, every record once.
  void expect_dump_lines(const std::string& file, const crash_mode& mode) {
    const std::string first = decode_heading(file);
    EXPECT_TRUE(std::regex_match(first, heading(mode, "4"))) << first;
    const std::string text = read_text(dir + "/out.txt");
    ASSERT_EQ(spawn({WEXLOG_TOOL, "decode", "--json", file}, dir).second, 0);
    const auto under_construction = [&mode](const std::string& name,
                                            const std::vector<std::string>&) {
      if (name != "dying" || std::string(mode.name) == "abort" ||
          std::string(mode.name).find("overflow") != std::string::npos ||
          std::string(mode.name) == "handled") {
        return std::vector<std::string>{};
      }
      return std::vector<std::string>{"# uncommitted [ERROR@] worker\tdies while building"};
    };
    EXPECT_EQ(wexlog_test::expect_logger_lines(dir, text, read_text(dir + "/out.txt"),
                                               under_construction),
              4u);
  }

  // Under a file size limit the file holds what fits and the task still
  // dies of its own signal.
  void expect_cut_short(const std::string& file) {
    EXPECT_EQ(fs::file_size(file), 3000u);
    const std::string first = decode_heading(file, 1 << 8);
    EXPECT_TRUE(std::regex_match(first, heading(kFileSizeLimit, "[0-9]+"))) << first;
    EXPECT_NE(read_text(dir + "/err.txt").find("cut short after"), std::string::npos);
  }

  // Each busy logger's decoded ring: whole records (not torn), the writer's
  // message numbers one after another, and no more than two records' room
  // of the ring unused (a full ring leaves less than one; a push under way
  // when the task died may have discarded one more).
  void expect_busy_loggers_whole(const std::string& file) {
    const std::string first = decode_heading(file);
    EXPECT_TRUE(std::regex_match(first, heading(kBusy, "3"))) << first;
    auto rings = wexlog_test::lines_by_logger(read_text(dir + "/out.txt"));
    std::ifstream manifest(dir + "/busy.txt");
    size_t loggers = 0;
    for (std::string name; manifest >> name;) {
      size_t ring_size = 0, record_size = 0;
      manifest >> ring_size >> record_size;
      ++loggers;
      SCOPED_TRACE(name);
      const auto& ring = rings[name];
      ASSERT_FALSE(ring.empty());
      std::smatch match;
      ASSERT_TRUE(std::regex_search(ring[0], match, std::regex(" records ([0-9]+) logger ")))
          << ring[0];
      EXPECT_EQ(ring[0].find(" torn "), std::string::npos) << ring[0];
      const size_t records = std::stoul(match[1]);
      EXPECT_GE((records + 2) * record_size, ring_size) << records << " records";
      long last = -1;
      for (size_t i = 1; i < ring.size(); ++i) {
        if (ring[i].rfind("# uncommitted ", 0) == 0) continue;
        ASSERT_TRUE(std::regex_search(ring[i], match, std::regex(" seq ([0-9]{10})$"))) << ring[i];
        const long seq = std::stol(match[1]);
        if (last >= 0) {
          EXPECT_EQ(seq, last + 1) << ring[i];
        }
        last = seq;
      }
    }
    EXPECT_EQ(loggers, 3u);
  }

  // Every way of dying, then `busy_runs` crash files of the busy writers.
  void expect_every_way(const std::vector<std::string>& command, bool cores, int busy_runs) {
    for (const crash_mode& mode : kModes) {
      SCOPED_TRACE(mode.name);
      const std::string file = crash(command, mode, cores);
      if (!file.empty()) expect_dump_lines(file, mode);
    }
    {
      SCOPED_TRACE(kFileSizeLimit.name);
      const std::string file = crash(command, kFileSizeLimit, cores);
      if (!file.empty()) expect_cut_short(file);
    }
    for (int i = 0; i < busy_runs * kBusyRunsScale; ++i) {
      SCOPED_TRACE("busy " + std::to_string(i));
      const std::string file = crash(command, kBusy, cores);
      if (!file.empty()) expect_busy_loggers_whole(file);
    }
    {
      SCOPED_TRACE(kPin.name);
      const std::string file = crash(command, kPin, cores);
      if (!file.empty()) {
        EXPECT_EQ(pinned_hex(file), kPinnedFile);
      }
    }
  }

  const std::string dir = ::testing::TempDir() + "wexlog_crash_" + std::to_string(getpid());
};

TEST_F(WexlogCrashFileTest, EachWayOfDyingLeavesOneFileWithEveryLoggersDumpLines) {
  expect_every_way({WEXLOG_CRASH_FILE_FIXTURE}, false, 10);
}

TEST_F(WexlogCrashFileTest, CrashFilesOfThePowerPcFixtureDecodeOnTheHost) {
  const char* fixture = std::getenv("WEXLOG_PPC_CRASH_FIXTURE");
  if (fixture == nullptr)
    GTEST_SKIP() << "needs the PowerPC fixture: after `cmake --workflow --preset ppc`, set "
                    "WEXLOG_PPC_CRASH_FIXTURE="
                    "build/ppc/tools/wexlog/wexlog_crash_file_fixture (.ci/run does)";
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
