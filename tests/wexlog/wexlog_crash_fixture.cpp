// SPDX-License-Identifier: MIT
// Fills five loggers, two of them from three writer threads at once, and
// leaves a core file of itself behind while those threads still live, with
// the lines each logger's own dump writes for the same records. First writes
// DIR/loggers.txt, one "name trace_id" line per logger, then:
//   gcore DIR  writes DIR/core with gcore, then dumps each logger to
//              DIR/<name>.log; exit 3 when no core was written (DIR/gcore.out).
//   abort DIR  saves each logger's ring to DIR/<name>.snap, loads it into a
//              scratch logger and dumps that to DIR/<name>.log, then aborts.
//   live DIR   writes DIR/<name>.log the same way, leaving the rings as they
//              are, and says "ready" on standard output; for each line on
//              standard input, logs three records to "wrapped" and many more
//              than fit to "full", then does the same; ends with its input.
#include <malloc.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>
#include <wex_lib_log_entry.h>
#include <wex_lib_log_snapshot.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define WEXLOG_SANITIZED
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define WEXLOG_SANITIZED
#endif
#endif

namespace {

using velorin::wex_lib_log_entry;

// Logger i is named kNames[i] and has the trace identifier 101 + i.
const char* const kNames[] = {"wrapped", "full", "empty", "drained", "structured.and.long.texts"};
const int kSizes[] = {1500, 256, 128, 300, 9000};

std::string filler(size_t length, unsigned int seed) {
  std::string text;
  for (size_t i = 0; i < length; ++i) text += i % 9 == 8 ? ' ' : char('a' + (seed + i * 11) % 26);
  return text;
}

// Messages of every type, length selector and a range of lengths; the odd
// ones are above the level the ring stores.
void log_messages(wex_lib_log_entry& log, unsigned int count, size_t longest = 200,
                  unsigned int thread = 0) {
  for (unsigned int i = 0; i < count; ++i) {
    log.add_log(static_cast<WEX_LIB_LOG_LV>(3 + i % 2), static_cast<WEX_LIB_LOG_TYPE>(1 << i % 7),
                static_cast<WEX_LIB_LOG_LEN_TYPE>(i % 3), "void app::net::Link::poll(int)",
                "thread %u message %u: %s", thread, i, filler(10 + (i * 37) % longest, i).c_str());
  }
}

// Three threads that log into the same loggers at once, then stay alive
// (so that the core holds them) until released; released and joined when
// destroyed. An abort leaves them running. Their stacks are small, as the
// core holds every byte of them.
class writers {
 public:
  writers(wex_lib_log_entry& wrapped, wex_lib_log_entry& structured)
      : wrapped_(wrapped), structured_(structured) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    for (pthread_t& thread : threads_) pthread_create(&thread, &attributes, run, this);
    pthread_attr_destroy(&attributes);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return logged_ == kThreads; });
  }
  ~writers() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
    for (pthread_t thread : threads_) pthread_join(thread, nullptr);
  }

 private:
  static constexpr unsigned int kThreads = 3;

  static void* run(void* self) {
    auto& all = *static_cast<writers*>(self);
    const unsigned int t = all.started_++;
    log_messages(all.wrapped_, 20, 200, t);
    log_messages(all.structured_, 4, 1200, t);
    std::unique_lock<std::mutex> lock(all.mutex_);
    ++all.logged_;
    all.changed_.notify_all();
    all.changed_.wait(lock, [&all] { return all.released_; });
    return nullptr;
  }

  wex_lib_log_entry& wrapped_;
  wex_lib_log_entry& structured_;
  pthread_t threads_[kThreads] = {};
  std::atomic<unsigned int> started_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  unsigned int logged_ = 0;
  bool released_ = false;
};

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

// Each logger's dump lines in DIR/<name>.log, by way of a snapshot loaded
// into a scratch logger, which leaves the logger's ring as it is.
bool dump_copies(std::unique_ptr<wex_lib_log_entry> (&log)[5], const std::string& dir) {
  wex_lib_log_entry scratch(999, "scratch", 16);
  for (int i = 0; i < 5; ++i) {
    const std::string path = dir + "/" + kNames[i];
    std::remove((path + ".log").c_str());  // the dump appends
    if (velorin::wex_lib_log_save_snapshot(log[i]->storage(), (path + ".snap").c_str()) != 0 ||
        velorin::wex_lib_log_load_snapshot(scratch.storage(), (path + ".snap").c_str()) != 0) {
      return false;
    }
    scratch.trace_log((path + ".log").c_str());
  }
  return true;
}

int serve(std::unique_ptr<wex_lib_log_entry> (&log)[5], const std::string& dir) {
  for (std::string line;;) {
    if (!dump_copies(log, dir)) return 4;
    std::printf("ready\n");
    std::fflush(stdout);
    if (!std::getline(std::cin, line)) return 0;
    for (int i = 0; i < 3; ++i) {
      log[0]->add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_ERROR, WEX_LIB_LOG_LEN_FULL, "serve",
                      "logged while attached %d", i);
    }
    log_messages(*log[1], 40, 100);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[1] : "", dir = argc == 3 ? argv[2] : "";
  if (mode != "gcore" && mode != "abort" && mode != "live") return 2;
  // The writer threads share the main arena: an arena of their own each
  // would put 64 MiB of reserved address space apiece into the core.
  mallopt(M_ARENA_MAX, 1);
  std::unique_ptr<wex_lib_log_entry> log[5];
  std::ofstream manifest(dir + "/loggers.txt");
  for (int i = 0; i < 5; ++i) {
    log[i].reset(new wex_lib_log_entry(101 + i, kNames[i], kSizes[i]));
    manifest << kNames[i] << ' ' << 101 + i << '\n';
  }
  manifest.close();
  const writers threads(*log[0], *log[4]);
  log_messages(*log[0], 50);  // wrapped many times over
  log_messages(*log[1], 3);   // then exactly full: one ring record of 256 bytes
  log[1]->add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_ERROR, WEX_LIB_LOG_LEN_FULL, "fill", "%s",
                  filler(230, 1).c_str());
  log_messages(*log[3], 4);  // emptied by a dump, positions away from 0
  log[3]->trace_log("/dev/null");
  // A name too long for the string's own buffer, every structured item,
  // texts cut to their limits, and long messages.
  log[4]->push_data_value("a title of more than thirty-two characters", 0, 8, 1, -2, 3,
                          -2147483647 - 1, 2147483647, 0, -1, 42);
  log[4]->push_data_value("hex", 1, 3, 5, 255, -1, 0, 0, 0, 0, 0);
  log[4]->push_data_string("strings", 6, "one", "", filler(100, 3).c_str(), nullptr, "5", "6");
  log[4]->push_data_set("", 6, "speed", 16, "load", -1, filler(70, 4).c_str(), 4096);
  log_messages(*log[4], 12, 1200);
  if (mode == "gcore") {
    if (!write_own_core(dir)) return 3;
    for (int i = 0; i < 5; ++i) log[i]->trace_log((dir + "/" + kNames[i] + ".log").c_str());
    return 0;
  }
  if (mode == "live") return serve(log, dir);
  if (!dump_copies(log, dir)) return 4;
  std::fflush(nullptr);
  std::abort();
}
