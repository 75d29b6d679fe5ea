// SPDX-License-Identifier: MIT
// Arms the crash recorder, fills several loggers from several threads, writes
// the lines each logger's own dump gives for its records, and dies:
//   wexlog_crash_file_fixture MODE DIR
// MODE null: a worker thread writes through a null pointer while its logger
//            holds its semaphore and has a record under construction;
// MODE overflow: the main thread overflows its stack;
// MODE worker-overflow: a worker thread that has logged, on a 256 KiB stack,
//            overflows it;
// MODE abort: the main thread aborts;
// MODE handled: a SIGFPE recovered with siglongjmp and an ignored SIGSEGV
//            sent with kill come first, then the main thread aborts;
// MODE nofile: the null write with every descriptor in use;
// MODE taken: the null write with the crash file's name already taken;
// MODE fsize: the null write under a file size limit of 3000 bytes.
// DIR receives loggers.txt ("name trace_id" per logger), <name>.log with the
// dump lines of each logger, and the crash file.
//
//   wexlog_crash_file_fixture busy DIR
// Three writer threads log numbered messages of one size into a logger each
// ("busy0" to "busy2", rings of 2000 bytes) and go on while the main thread
// writes through a null pointer once each ring has wrapped a few times. DIR
// receives busy.txt ("name ring_size record_size" per logger: the bytes one
// message takes in the ring) and the crash file.
//
//   wexlog_crash_file_fixture mapped DIR
// Four writer threads log numbered messages of varying length, without
// pause, into three loggers whose rings are ring files of DIR ("kill0" to
// "kill2", rings of 3000, 5000 and 9000 bytes; writer t logs into kill<t%3>)
// until the task is killed from outside. After each message is stored its
// writer publishes its number in DIR/committed, a mapped file of one
// 32-bit word per writer in the host's byte order.
//
//   wexlog_crash_file_fixture pin DIR
// A process state small enough to write down byte for byte: the clock fixed
// at 01:02:03.004 UTC, one logger "pin" (trace id 7, a 32-byte ring) holding
// one record (title "t", hex value 0x12345678), and building a second (one
// message item "ab") when it writes through a null pointer.
#include <fcntl.h>
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
#include <cstdlib>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using velorin::wex_lib_log_entry;

std::string filler(size_t length, unsigned int seed) {
  std::string text;
  for (size_t i = 0; i < length; ++i) text += i % 9 == 8 ? ' ' : char('a' + (seed + i * 7) % 26);
  return text;
}

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

void fill(wex_lib_log_entry& log, unsigned int thread, unsigned int count, size_t longest) {
  for (unsigned int i = 0; i < count; ++i) {
    log.add_log(WEX_LIB_LOG_LV_ERROR, static_cast<WEX_LIB_LOG_TYPE>(1 << (i + thread) % 7),
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

// Recurses until the stack runs out; the bound only keeps the compiler from
// calling the recursion infinite.
__attribute__((noinline)) int overflow(int depth) {
  if (depth == std::numeric_limits<int>::max()) return 0;
  volatile char frame[512];
  frame[depth % 512] = static_cast<char>(depth);
  return overflow(depth + 1) + frame[(depth * 7) % 512];
}

void write_null() {
  *static_cast<volatile int*>(nullptr) = 1;
}

// A thread on a small stack that logs, waits for `go` and overflows its stack.
struct overflowing_worker {
  wex_lib_log_entry* log;
  std::atomic<bool> logged{false}, go{false};
  static void* run(void* self) {
    auto& worker = *static_cast<overflowing_worker*>(self);
    fill(*worker.log, 3, 5, 120);
    worker.logged = true;
    while (!worker.go) sched_yield();
    return reinterpret_cast<void*>(static_cast<intptr_t>(overflow(0)));
  }
  void start() {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    pthread_t thread;
    pthread_create(&thread, &attributes, run, this);
    pthread_attr_destroy(&attributes);
    pthread_detach(thread);
    while (!logged) sched_yield();
  }
};

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

void use_every_descriptor() {
  const rlimit few{64, 64};
  setrlimit(RLIMIT_NOFILE, &few);
  while (open("/dev/null", O_RDONLY) >= 0) {
  }
}

// The busy mode: writers that never stop, each numbering its messages.
int busy(const std::string& dir) {
  constexpr unsigned int kWriters = 3, kRing = 2000;
  std::vector<std::unique_ptr<wex_lib_log_entry>> logs;
  std::ofstream manifest(dir + "/busy.txt");
  for (unsigned int t = 0; t < kWriters; ++t) {
    const std::string name = "busy" + std::to_string(t);
    logs.emplace_back(new wex_lib_log_entry(static_cast<int>(301 + t), name.c_str(), kRing));
  }
  const auto log_one = [](wex_lib_log_entry& log, unsigned int t, unsigned int seq) {
    log.add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_ERROR, WEX_LIB_LOG_LEN_FULL, "busy",
                "writer %u seq %010u", t, seq);
  };
  for (unsigned int t = 0; t < kWriters; ++t) {
    log_one(*logs[t], t, 0);
    velorin::WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ info{};
    std::vector<unsigned char> bytes(kRing);
    logs[t]->storage().get_ring_buffer(&info, bytes.data());
    manifest << "busy" << t << ' ' << kRing << ' ' << info.write_pos << '\n';
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
  write_null();
  return 0;
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

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[1] : "", dir = argc == 3 ? argv[2] : "";
  const std::string modes[] = {"null",    "overflow", "worker-overflow", "abort",
                               "handled", "nofile",   "taken",           "fsize",
                               "busy",    "pin",      "mapped"};
  if (std::find(std::begin(modes), std::end(modes), mode) == std::end(modes)) return 2;
  platform_standin::capture(true);  // the echoes of the messages are not wanted here
  install_application_handlers(mode == "handled");
  if (velorin::wex_lib_log_install_crash_handler(dir.c_str()) != 0) return 3;
  if (mode == "busy") return busy(dir);
  if (mode == "pin") return pin();
  if (mode == "mapped") return mapped(dir);

  const char* const names[] = {"wrapped", "structured.and.long.texts", "quiet", "dying"};
  const int sizes[] = {1500, 9000, 128, 600};
  std::vector<std::unique_ptr<wex_lib_log_entry>> logs;
  std::ofstream manifest(dir + "/loggers.txt");
  for (int i = 0; i < 4; ++i) {
    logs.emplace_back(i == 3 ? new dying_logger(201 + i, names[i], sizes[i])
                             : new wex_lib_log_entry(201 + i, names[i], sizes[i]));
    manifest << names[i] << ' ' << 201 + i << '\n';
  }
  manifest.close();
  std::vector<std::thread> threads;
  for (unsigned int t = 0; t < 3; ++t) {
    threads.emplace_back([&logs, t] {
      fill(*logs[0], t, 40, 120);
      fill(*logs[1], t, 6, 1200);
      fill(*logs[3], t, 3, 40);
    });
  }
  for (auto& thread : threads) thread.join();
  overflowing_worker worker{logs[0].get()};
  if (mode == "worker-overflow") worker.start();

  {
    wex_lib_log_entry scratch(999, "scratch", 16);
    for (size_t i = 0; i < logs.size(); ++i) {
      const std::string path = dir + "/" + names[i];
      auto& log = *logs[i];
      if (velorin::wex_lib_log_save_snapshot(log.storage(), (path + ".snap").c_str()) != 0 ||
          velorin::wex_lib_log_load_snapshot(scratch.storage(), (path + ".snap").c_str()) != 0) {
        return 4;
      }
      std::remove((path + ".snap").c_str());
      std::ofstream(path + ".log").close();  // present even for a logger without records
      scratch.trace_log((path + ".log").c_str());
    }
  }
  std::fflush(nullptr);

  if (mode == "null" || mode == "nofile" || mode == "taken" || mode == "fsize") {
    auto& dying = static_cast<dying_logger&>(*logs[3]);
    dying.die = true;
    std::thread([&dying, &mode, &dir] {
      // In the thread, so that starting it needs no descriptor.
      if (mode == "nofile") use_every_descriptor();
      if (mode == "taken") take_names(dir);
      if (mode == "fsize") {
        const rlimit small{3000, 3000};
        setrlimit(RLIMIT_FSIZE, &small);
      }
      dying.add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_ERROR, WEX_LIB_LOG_LEN_FULL, "worker",
                    "dies while building");
    }).join();
  } else if (mode == "overflow") {
    return overflow(0);
  } else if (mode == "worker-overflow") {
    worker.go = true;
    for (;;) pause();
  } else if (mode == "handled") {
    if (sigsetjmp(recovery, 1) == 0) raise(SIGFPE);
    kill(getpid(), SIGSEGV);
  }
  std::abort();
}
