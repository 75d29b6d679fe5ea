// Fills several loggers and leaves a core file of itself behind, with the
// lines each logger's own dump writes for the same records.
//
//   wexlog_crash_fixture gcore DIR  writes DIR/core with gcore, then dumps
//                                   each logger to DIR/<name>.log. Exit 3
//                                   when no core was written (DIR/gcore.out).
//   wexlog_crash_fixture abort DIR  saves each logger's ring to DIR/<name>.snap,
//                                   loads it into a scratch logger and dumps
//                                   that to DIR/<name>.log, then aborts.
// Both first write DIR/loggers.txt, one "name trace_id" line per logger.
#include <sys/resource.h>
#include <unistd.h>
#include <wex_lib_log_entry.h>
#include <wex_lib_log_snapshot.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#if defined(__has_feature)
#define WEXLOG_HAS_SANITIZER (__has_feature(address_sanitizer) || __has_feature(thread_sanitizer))
#else
#define WEXLOG_HAS_SANITIZER 0
#endif

namespace {

using velorin::wex_lib_log_entry;

// Stores data items of kind 5 too, which the default dump hook renders as nothing.
class kinds_logger : public wex_lib_log_entry {
 public:
  using wex_lib_log_entry::wex_lib_log_entry;
  void act_add_data(unsigned char kind, const char* data, void* param, int extra) override {
    if (kind != 5) return wex_lib_log_entry::act_add_data(kind, data, param, extra);
    add_data(kind, const_cast<char*>(data), *static_cast<unsigned int*>(param));
    storage().add_value_data(extra);
  }
};

std::string filler(size_t length, unsigned int seed) {
  std::string text;
  for (size_t i = 0; i < length; ++i) text += i % 9 == 8 ? ' ' : char('a' + (seed + i * 11) % 26);
  return text;
}

void log_messages(wex_lib_log_entry& log, unsigned int first, unsigned int count) {
  for (unsigned int i = first; i < first + count; ++i) {
    log.add_log(static_cast<WEX_LIB_LOG_LV>(3 + i % 2), static_cast<WEX_LIB_LOG_TYPE>(1 << i % 7),
                static_cast<WEX_LIB_LOG_LEN_TYPE>(i % 3), "void app::net::Link::poll(int)",
                "message %u: %s", i, filler(10 + (i * 37) % 190, i).c_str());
  }
}

// Logger i is named kNames[i] and has the trace identifier 101 + i.
const char* const kNames[] = {
    "wrapped", "full", "empty", "drained", "structured", "kinds", "telemetry.uplink.scheduler"};

std::vector<std::unique_ptr<wex_lib_log_entry>> fill() {
  std::vector<std::unique_ptr<wex_lib_log_entry>> loggers;
  const auto add = [&](int size) {
    const int i = static_cast<int>(loggers.size());
    loggers.emplace_back(i == 5 ? new kinds_logger(101 + i, kNames[i], size)
                                : new wex_lib_log_entry(101 + i, kNames[i], size));
    return loggers.back().get();
  };
  log_messages(*add(1500), 0, 50);     // wrapped many times over
  wex_lib_log_entry* full = add(256);  // exactly full: one ring record of 256 bytes
  log_messages(*full, 0, 3);
  full->add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_ERROR, WEX_LIB_LOG_LEN_FULL, "fill", "%s",
                filler(230, 1).c_str());
  add(128);                               // never used
  wex_lib_log_entry* drained = add(300);  // emptied by a dump, positions away from 0
  log_messages(*drained, 0, 4);
  drained->trace_log("/dev/null");
  wex_lib_log_entry* structured = add(2048);
  structured->push_data_value("a title of more than thirty-two characters", 0, 8, 1, -2, 3,
                              -2147483647 - 1, 2147483647, 0, -1, 42);
  structured->push_data_value("hex", 1, 3, 5, 255, -1, 0, 0, 0, 0, 0);
  structured->push_data_string("strings", 6, "one", "", filler(100, 3).c_str(), nullptr, "5", "6");
  structured->push_data_set("", 6, "speed", 16, "load", -1, filler(70, 4).c_str(), 4096);
  log_messages(*structured, 0, 5);
  wex_lib_log_entry* kinds = add(512);
  for (unsigned int i = 0; i < 6; ++i) {
    unsigned char bytes[] = {1, 2, 3, static_cast<unsigned char>(i)};
    unsigned int size = sizeof bytes;
    kinds->push_data(5, reinterpret_cast<const char*>(bytes), &size, static_cast<long>(700 + i));
    log_messages(*kinds, i, 1);
  }
  // A name too long for the string's own buffer, and long texts.
  wex_lib_log_entry* telemetry = add(9000);
  for (unsigned int i = 0; i < 12; ++i) {
    telemetry->add_log(WEX_LIB_LOG_LV_INFO, WEX_LIB_LOG_TYPE_IMPORTANT, WEX_LIB_LOG_LEN_SHORT,
                       "int telemetry::uplink::Scheduler::run(unsigned)", "%s",
                       filler(600 + i * 60, i).c_str());
  }
  return loggers;
}

// gcore of this process into DIR/core, kept small and capped in size.
bool write_own_core(const std::string& dir) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || WEXLOG_HAS_SANITIZER
  // The sanitizers' shadow memory would make the core many gigabytes large.
  std::ofstream(dir + "/gcore.out") << "refused: sanitizer build\n";
  return false;
#endif
  // Anonymous private memory holds the rings, the names and the relocated
  // vtables; nothing else is needed.
  std::ofstream("/proc/self/coredump_filter") << "0x1\n";
  const rlimit file_cap{200u << 20, 200u << 20}, no_core{0, 0};
  setrlimit(RLIMIT_FSIZE, &file_cap);  // inherited by gdb: a core never grows past 200 MB
  setrlimit(RLIMIT_CORE, &no_core);
  const std::string pid = std::to_string(getpid());
  const std::string gcore = "gcore -o " + dir + "/core " + pid + " >" + dir + "/gcore.out 2>&1";
  return std::system(gcore.c_str()) == 0 &&
         std::rename((dir + "/core." + pid).c_str(), (dir + "/core").c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[1] : "", dir = argc == 3 ? argv[2] : "";
  if (mode != "gcore" && mode != "abort") {
    std::fprintf(stderr, "usage: %s gcore|abort DIR\n", argv[0]);
    return 2;
  }
  const auto loggers = fill();
  std::ofstream manifest(dir + "/loggers.txt");
  for (size_t i = 0; i < loggers.size(); ++i) manifest << kNames[i] << ' ' << 101 + i << '\n';
  manifest.close();
  if (mode == "gcore") {
    if (!write_own_core(dir)) return 3;
    for (size_t i = 0; i < loggers.size(); ++i)
      loggers[i]->trace_log((dir + "/" + kNames[i] + ".log").c_str());
    return 0;
  }
  wex_lib_log_entry scratch(999, "scratch", 16);
  for (size_t i = 0; i < loggers.size(); ++i) {
    const std::string path = dir + "/" + kNames[i];
    if (velorin::wex_lib_log_save_snapshot(loggers[i]->storage(), (path + ".snap").c_str()) ||
        velorin::wex_lib_log_load_snapshot(scratch.storage(), (path + ".snap").c_str())) {
      return 4;
    }
    scratch.trace_log((path + ".log").c_str());
  }
  std::fflush(nullptr);
  std::abort();
}
