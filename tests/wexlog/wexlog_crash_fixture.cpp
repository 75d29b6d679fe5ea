// SPDX-License-Identifier: MIT
// A process whose loggers wexlog must read back:  wexlog_crash_fixture MODE DIR
// Most modes fill six loggers, three of them also from three writer threads
// that stay alive, and write DIR/loggers.txt ("name trace_id" per logger) and,
// through a snapshot round trip, DIR/<name>.snap and the lines of each
// logger's own dump, DIR/<name>.log. Then gcore writes DIR/core with gcore
// (exit 3 when it could not: DIR/gcore.out says why); snapshots aborts
// (under qemu-ppc, qemu writes the guest's core). In both cores "dying"
// holds a record under construction, its title "building". Every other mode arms the
// crash recorder first and dies leaving a crash file: null (a worker thread
// writes through a null pointer while logger "dying" holds its semaphore
// and builds a record), the same with every descriptor in use (nofile), the
// crash file's name taken (taken) or a file size limit of 3000 bytes
// (fsize); overflow and worker-overflow (the main or a writer thread
// overflows its stack); abort; handled (a SIGFPE recovered with siglongjmp
// and an ignored SIGSEGV come first, then abort).
// busy: three threads log numbered messages of one size into a logger each
// ("busy0" to "busy2", rings of 2000 bytes) until the main thread writes
// through a null pointer; DIR/busy.txt holds "name ring_size record_size".
// mapped: four writer threads log numbered messages of varying length, without
// pause, into three loggers whose rings are ring files of DIR ("kill0" to
// "kill2", rings of 3000, 5000 and 9000 bytes; writer t logs into kill<t%3>)
// until the task is killed from outside. After each message is stored its
// writer publishes its number in DIR/committed, a mapped file of one 32-bit
// word per writer in the host's byte order.
// otlp: writes DIR/ring.snap of records OTLP output maps differently.
// live: as gcore without the core, then says "ready" on standard output; for
// each line on standard input logs three records to "wrapped" and many more
// than fit to "full", writes the dump lines again and says "ready"; ends
// with its input.
// pin: a state to write down byte for byte: clock 01:02:03.004 UTC, logger
// "pin" (trace id 7, 32-byte ring) holding a record (title "t", hex value
// 0x12345678) and building another (message item "ab") when it dies.
#include <fcntl.h>
#include <malloc.h>
#include <platform_standin.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#include <wex_lib_log_crash.h>
#include <wex_lib_log_entry.h>
#include <wex_lib_log_map.h>
#include <wex_lib_log_snapshot.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define WEXLOG_SANITIZED
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define WEXLOG_SANITIZED
#endif
#endif

namespace {

using velorin::wex_lib_log_entry;

std::string filler(size_t length, unsigned int seed) {
  std::string text;
  for (size_t i = 0; i < length; ++i) text += i % 9 == 8 ? ' ' : char('a' + (seed + i * 11) % 26);
  return text;
}

// Messages of every type, length selector and a range of lengths, with
// structured records among them; the odd ones are above the level the ring
// stores.
void fill(wex_lib_log_entry& log, unsigned int thread, unsigned int count, size_t longest) {
  for (unsigned int i = 0; i < count; ++i) {
    log.add_log(static_cast<WEX_LIB_LOG_LV>(3 + i % 2),
                static_cast<WEX_LIB_LOG_TYPE>(1 << (i + thread) % 7),
                static_cast<WEX_LIB_LOG_LEN_TYPE>(i % 3), "void app::Worker::run(int)",
                "thread %u message %u: %s", thread, i, filler(5 + (i * 53) % longest, i).c_str());
    if (i % 4 == 0) {
      log.push_data_value("values", 0, 3, int(thread), int(i), -1, 0, 0, 0, 0, 0);
      log.push_data_set("pairs", 2, "thread", int(thread), "index", int(i), nullptr, 0);
      log.push_data_string("strings", 2, filler(80, i).c_str(), "", nullptr, nullptr, nullptr,
                           nullptr);
    }
  }
}

// A logger whose data hook dies after storing the item, while push_data
// holds the logger's semaphore.
class dying_logger : public wex_lib_log_entry {
 public:
  using wex_lib_log_entry::wex_lib_log_entry;
  bool die = false;
  void act_add_data(unsigned char kind, const char* data, void* param, int extra) override {
    wex_lib_log_entry::act_add_data(kind, data, param, extra);
    if (die) *static_cast<volatile int*>(nullptr) = 1;
  }
};

// Recurses until the stack runs out; the bound only keeps the compiler from
// calling the recursion infinite.
__attribute__((noinline)) int overflow(int depth) {
  if (depth == std::numeric_limits<int>::max()) return 0;
  volatile char frame[512];
  frame[depth % 512] = static_cast<char>(depth);
  return overflow(depth + 1) + frame[(depth * 7) % 512];
}

// Three threads that log into three loggers at once, then stay alive (so
// that a core holds them) until released, to end or to overflow their
// stacks. Their stacks are small: a core holds every byte of them.
class writers {
 public:
  writers(wex_lib_log_entry& wrapped, wex_lib_log_entry& structured, wex_lib_log_entry& dying)
      : logs_{&wrapped, &structured, &dying} {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    for (pthread_t& thread : threads_) pthread_create(&thread, &attributes, run, this);
    pthread_attr_destroy(&attributes);
    while (logged_ < kThreads) sched_yield();
  }
  ~writers() {
    release(false);
    for (pthread_t thread : threads_) pthread_join(thread, nullptr);
  }
  // `overflow_` is stored before `released_`, which the threads read first.
  void release(bool then_overflow) {
    overflow_ = then_overflow;
    released_ = true;
  }

 private:
  static constexpr unsigned int kThreads = 3;

  static void* run(void* self) {
    auto& all = *static_cast<writers*>(self);
    const unsigned int t = all.started_++;
    fill(*all.logs_[0], t, 40, 120);
    fill(*all.logs_[1], t, 6, 1200);
    fill(*all.logs_[2], t, 3, 40);
    ++all.logged_;
    while (!all.released_) usleep(1000);
    return reinterpret_cast<void*>(static_cast<intptr_t>(all.overflow_ ? overflow(0) : 0));
  }

  wex_lib_log_entry* logs_[3];
  pthread_t threads_[kThreads] = {};
  std::atomic<unsigned int> started_{0}, logged_{0};
  std::atomic<bool> released_{false}, overflow_{false};
};

// The application's own handler, which the recorder passes the signal on to;
// the default action follows it.
void application_handler(int) {}

sigjmp_buf recovery;
void recovering_handler(int) {
  siglongjmp(recovery, 1);
}

// Installed before arming, so that these are the dispositions the recorder
// passes signals on to. In the handled mode SIGSEGV is ignored and SIGFPE
// recovers with siglongjmp.
void install_application_handlers(bool handled) {
  struct sigaction action {};
  action.sa_handler = application_handler;
  action.sa_flags = static_cast<int>(SA_ONSTACK | SA_RESETHAND);
  sigaction(SIGABRT, &action, nullptr);
  if (!handled) {
    sigaction(SIGSEGV, &action, nullptr);
    return;
  }
  action.sa_handler = SIG_IGN;
  sigaction(SIGSEGV, &action, nullptr);
  action.sa_handler = recovering_handler;
  action.sa_flags = 0;
  sigaction(SIGFPE, &action, nullptr);
}

// Puts empty files at the names the crash file would take in the next few
// seconds; the recorder must leave them as they are and take another name.
void take_names(const std::string& dir) {
  const time_t now = time(nullptr);
  for (time_t second = now; second < now + 3; ++second) {
    close(
        open((dir + "/wexlog-" + std::to_string(getpid()) + "-" + std::to_string(second) + ".crash")
                 .c_str(),
             O_WRONLY | O_CREAT | O_EXCL, 0600));
  }
}

// gcore of this process into DIR/core: only anonymous private memory (the
// rings, the names and the relocated vtables), never past 200 MB, and none
// from a sanitizer build, whose shadow memory would take gigabytes.
bool write_own_core(const std::string& dir) {
#ifdef WEXLOG_SANITIZED
  std::ofstream(dir + "/gcore.out") << "refused: sanitizer build\n";
  return false;
#endif
  std::ofstream("/proc/self/coredump_filter") << "0x1\n";
  const rlimit file_cap{200u << 20, 200u << 20}, no_core{0, 0};
  setrlimit(RLIMIT_FSIZE, &file_cap);  // inherited by gdb
  setrlimit(RLIMIT_CORE, &no_core);
  const std::string pid = std::to_string(getpid());
  const std::string gcore = "gcore -o " + dir + "/core " + pid + " >" + dir + "/gcore.out 2>&1";
  return std::system(gcore.c_str()) == 0 &&
         std::rename((dir + "/core." + pid).c_str(), (dir + "/core").c_str()) == 0;
}

// The busy mode: writers that never stop, each numbering its messages.
int busy(const std::string& dir) {
  constexpr unsigned int kWriters = 3, kRing = 2000;
  const auto log_one = [](wex_lib_log_entry& log, unsigned int t, unsigned int seq) {
    log.add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_ERROR, WEX_LIB_LOG_LEN_FULL, "busy",
                "writer %u seq %010u", t, seq);
  };
  std::vector<std::unique_ptr<wex_lib_log_entry>> logs;
  std::ofstream manifest(dir + "/busy.txt");
  for (unsigned int t = 0; t < kWriters; ++t) {
    const std::string name = "busy" + std::to_string(t);
    logs.emplace_back(new wex_lib_log_entry(static_cast<int>(301 + t), name.c_str(), kRing));
    log_one(*logs[t], t, 0);
    velorin::WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ info{};
    std::vector<unsigned char> bytes(kRing);
    logs[t]->storage().get_ring_buffer(&info, bytes.data());
    manifest << name << ' ' << kRing << ' ' << info.write_pos << '\n';
  }
  manifest.close();
  std::atomic<unsigned int> written[kWriters] = {};
  for (unsigned int t = 0; t < kWriters; ++t) {
    std::thread([&, t] {
      for (unsigned int seq = 1;; ++seq) {
        log_one(*logs[t], t, seq);
        written[t].store(seq, std::memory_order_relaxed);
      }
    }).detach();
  }
  for (unsigned int t = 0; t < kWriters; ++t) {
    while (written[t].load(std::memory_order_relaxed) < 200) sched_yield();
  }
  *static_cast<volatile int*>(nullptr) = 1;
  return 0;
}

// The otlp mode: DIR/ring.snap of logger "net" holding every kind of record
// OTLP output maps differently: a message of each type (and of a type
// without a label), each length selector, texts that need escaping or are
// not UTF-8, and the structured records.
int otlp(const std::string& dir) {
  wex_lib_log_entry log(-7, "net", 8192);
  const char* function = "int net::Link::send(const char*)";
  for (int type = 1; type <= 64; type *= 2) {
    log.add_log(WEX_LIB_LOG_LV_ERROR, static_cast<WEX_LIB_LOG_TYPE>(type),
                static_cast<WEX_LIB_LOG_LEN_TYPE>(type % 3), function, "type %d", type);
  }
  log.add_log(WEX_LIB_LOG_LV_ERROR, static_cast<WEX_LIB_LOG_TYPE>(3), WEX_LIB_LOG_LEN_FULL,
              function, "two bits");
  log.add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_ERROR, WEX_LIB_LOG_LEN_FULL, "",
              "quote \" backslash \\ bell \a latin-1 \xE9 end");
  log.push_data_value("values", 0, 3, -1, 0, 2147483647, 0, 0, 0, 0, 0);
  log.push_data_value("hex", 1, 1, 255, 0, 0, 0, 0, 0, 0, 0);
  log.push_data_string("strings", 2, "first", "", nullptr, nullptr, nullptr, nullptr);
  log.push_data_set("pairs", 4, "speed", 16, "load", -2, nullptr, 0);
  return velorin::wex_lib_log_save_snapshot(log.storage(), (dir + "/ring.snap").c_str()) == 0 ? 0
                                                                                              : 1;
}

// The mapped mode: writers that never stop, until a SIGKILL.
int mapped(const std::string& dir) {
  constexpr unsigned int kWriters = 4, kLoggers = 3;
  const int sizes[kLoggers] = {3000, 5000, 9000};
  const int fd = open((dir + "/committed").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || ftruncate(fd, 4 * kWriters) != 0) return 4;
  void* words = mmap(nullptr, 4 * kWriters, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (words == MAP_FAILED || velorin::wex_lib_log_map_rings(dir.c_str()) != 0) return 4;
  auto* committed = static_cast<std::atomic<uint32_t>*>(words);
  std::vector<std::unique_ptr<wex_lib_log_entry>> logs;
  for (unsigned int i = 0; i < kLoggers; ++i) {
    const std::string name = "kill" + std::to_string(i);
    logs.emplace_back(new wex_lib_log_entry(static_cast<int>(401 + i), name.c_str(), sizes[i]));
  }
  for (unsigned int t = 0; t < kWriters; ++t) {
    std::thread([&, t] {
      for (uint32_t seq = 1;; ++seq) {
        logs[t % kLoggers]->add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_ERROR,
                                    WEX_LIB_LOG_LEN_FULL, "kill", "writer %u seq %u %s", t, seq,
                                    filler(seq % 23, t).c_str());
        committed[t].store(seq, std::memory_order_release);
      }
    }).detach();
  }
  for (;;) pause();
}

int pin() {
  setenv("TZ", "UTC", 1);
  platform_standin::local_time_zone_changed();
  platform_standin::set_clock(3723, 4000000);
  dying_logger log(7, "pin", 32);
  log.push_data_value("t", 1, 1, 0x12345678, 0, 0, 0, 0, 0, 0, 0);
  log.die = true;
  uint32_t size = 2;
  log.push_data(0, "ab", &size, 0);
  return 0;
}

// Logger i is named kNames[i] and has the trace identifier 101 + i.
const char* const kNames[] = {"wrapped", "full",  "empty",
                              "drained", "dying", "structured.and.long.texts"};
const int kSizes[] = {1500, 256, 128, 300, 600, 9000};
constexpr int kLoggers = 6;

// Fills the loggers: wrapped many times over, exactly full (one ring record
// of 256 bytes), empty, emptied by a dump (positions away from 0), and a
// name too long for the string's own buffer with every structured item,
// texts cut to their limits and long messages.
void fill_all(std::unique_ptr<wex_lib_log_entry> (&log)[kLoggers]) {
  fill(*log[0], 9, 50, 200);
  fill(*log[1], 9, 3, 200);
  log[1]->add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_ERROR, WEX_LIB_LOG_LEN_FULL, "fill", "%s",
                  filler(230, 1).c_str());
  fill(*log[3], 9, 4, 200);
  log[3]->trace_log("/dev/null");
  log[5]->push_data_value("a title of more than thirty-two characters", 0, 8, 1, -2, 3,
                          -2147483647 - 1, 2147483647, 0, -1, 42);
  log[5]->push_data_value("hex", 1, 3, 5, 255, -1, 0, 0, 0, 0, 0);
  log[5]->push_data_string("strings", 6, "one", "", filler(100, 3).c_str(), nullptr, "5", "6");
  log[5]->push_data_set("", 6, "speed", 16, "load", -1, filler(70, 4).c_str(), 4096);
  fill(*log[5], 9, 12, 1200);
}

// Each logger's ring saved to DIR/<name>.snap, loaded into a scratch logger
// and dumped from there to DIR/<name>.log, leaving the logger as it is.
bool dump_through_snapshots(std::unique_ptr<wex_lib_log_entry> (&log)[kLoggers],
                            const std::string& dir) {
  wex_lib_log_entry scratch(999, "scratch", 16);
  for (int i = 0; i < kLoggers; ++i) {
    const std::string path = dir + "/" + kNames[i];
    if (velorin::wex_lib_log_save_snapshot(log[i]->storage(), (path + ".snap").c_str()) != 0 ||
        velorin::wex_lib_log_load_snapshot(scratch.storage(), (path + ".snap").c_str()) != 0) {
      return false;
    }
    std::ofstream(path + ".log").close();  // present even for a logger without records
    scratch.trace_log((path + ".log").c_str());
  }
  std::fflush(nullptr);
  return true;
}

// The live mode: the loggers stay as they are while wexlog attaches to them.
int serve(std::unique_ptr<wex_lib_log_entry> (&log)[kLoggers], const std::string& dir) {
  for (std::string line;;) {
    std::printf("ready\n");
    std::fflush(stdout);
    if (!std::getline(std::cin, line)) return 0;
    for (int i = 0; i < 3; ++i) {
      log[0]->add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_ERROR, WEX_LIB_LOG_LEN_FULL, "serve",
                      "logged while attached %d", i);
    }
    fill(*log[1], 9, 40, 100);
    if (!dump_through_snapshots(log, dir)) return 4;
  }
}

// Dies the way `mode` says, holding `dying`'s semaphore in the null write.
[[noreturn]] void die(const std::string& mode, const std::string& dir, dying_logger& dying,
                      writers& threads) {
  if (mode == "null" || mode == "nofile" || mode == "taken" || mode == "fsize") {
    dying.die = true;
    std::thread([&dying, &mode, &dir] {
      // In the thread, so that starting it needs no descriptor.
      if (mode == "nofile") {
        const rlimit few{64, 64};
        setrlimit(RLIMIT_NOFILE, &few);
        while (open("/dev/null", O_RDONLY) >= 0) {
        }
      }
      if (mode == "taken") take_names(dir);
      if (mode == "fsize") {
        const rlimit small{3000, 3000};
        setrlimit(RLIMIT_FSIZE, &small);
      }
      dying.add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_ERROR, WEX_LIB_LOG_LEN_FULL, "worker",
                    "dies while building");
    }).join();
  } else if (mode == "overflow") {
    overflow(0);
  } else if (mode == "worker-overflow") {
    threads.release(true);
    for (;;) pause();
  } else if (mode == "handled") {
    if (sigsetjmp(recovery, 1) == 0) raise(SIGFPE);
    kill(getpid(), SIGSEGV);
  }
  std::abort();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[1] : "", dir = argc == 3 ? argv[2] : "";
  const std::string modes[] = {
      "gcore", "snapshots", "null", "nofile", "taken", "fsize", "overflow", "worker-overflow",
      "abort", "handled",   "busy", "pin",    "otlp",  "live",  "mapped"};
  if (std::find(std::begin(modes), std::end(modes), mode) == std::end(modes)) return 2;
  platform_standin::capture(true);  // the echoes of the messages are not wanted here
  if (mode != "gcore" && mode != "snapshots" && mode != "otlp" && mode != "live") {
    install_application_handlers(mode == "handled");
    if (velorin::wex_lib_log_install_crash_handler(dir.c_str()) != 0) return 3;
  }
  if (mode == "busy") return busy(dir);
  if (mode == "pin") return pin();
  if (mode == "otlp") return otlp(dir);
  if (mode == "mapped") return mapped(dir);

  // The writer threads share the main arena: an arena of their own each
  // would put 64 MiB of reserved address space apiece into the core.
  mallopt(M_ARENA_MAX, 1);
  std::unique_ptr<wex_lib_log_entry> log[kLoggers];
  std::ofstream manifest(dir + "/loggers.txt");
  for (int i = 0; i < kLoggers; ++i) {
    log[i].reset(i == 4 ? new dying_logger(101 + i, kNames[i], kSizes[i])
                        : new wex_lib_log_entry(101 + i, kNames[i], kSizes[i]));
    manifest << kNames[i] << ' ' << 101 + i << '\n';
  }
  manifest.close();
  writers threads(*log[0], *log[5], *log[4]);
  fill_all(log);
  if (!dump_through_snapshots(log, dir)) return 4;
  if (mode == "gcore" || mode == "snapshots") log[4]->storage().add_title_data("building");
  if (mode == "gcore") return write_own_core(dir) ? 0 : 3;
  if (mode == "live") return serve(log, dir);
  die(mode, dir, static_cast<dying_logger&>(*log[4]), threads);
}
