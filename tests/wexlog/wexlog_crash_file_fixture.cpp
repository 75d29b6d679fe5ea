// Arms the crash recorder, fills several loggers from several threads, writes
// the lines each logger's own dump gives for its records, and dies:
//   wexlog_crash_file_fixture MODE DIR
// MODE null: a worker thread writes through a null pointer while its logger
//            holds its semaphore and has a record under construction;
// MODE overflow: the main thread overflows its stack;
// MODE abort: the main thread aborts.
// DIR receives loggers.txt ("name trace_id" per logger), <name>.log with the
// dump lines of each logger, and the crash file.
#include <platform_standin.h>
#include <signal.h>
#include <wex_lib_log_crash.h>
#include <wex_lib_log_entry.h>
#include <wex_lib_log_snapshot.h>

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

void install_application_handler() {
  struct sigaction action {};
  action.sa_handler = application_handler;
  action.sa_flags = static_cast<int>(SA_ONSTACK | SA_RESETHAND);
  sigaction(SIGSEGV, &action, nullptr);
  sigaction(SIGABRT, &action, nullptr);
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

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[1] : "", dir = argc == 3 ? argv[2] : "";
  if (mode != "null" && mode != "overflow" && mode != "abort") return 2;
  platform_standin::capture(true);  // the echoes of the messages are not wanted here
  install_application_handler();
  if (velorin::wex_lib_log_install_crash_handler(dir.c_str()) != 0) return 3;

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

  if (mode == "null") {
    auto& dying = static_cast<dying_logger&>(*logs[3]);
    dying.die = true;
    std::thread([&dying] {
      dying.add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_ERROR, WEX_LIB_LOG_LEN_FULL, "worker",
                    "dies while building");
    }).join();
  } else if (mode == "overflow") {
    return overflow(0);
  }
  std::abort();
}
