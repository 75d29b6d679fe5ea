// SPDX-License-Identifier: MIT
// A component logger from start to finish: messages and structured records
// from a few threads, a property command that changes a level mid-run, a
// dump to a file whose lines are printed, and a ring snapshot exported from
// one logger and imported into another that dumps the same lines.
// With --linger SECONDS it then goes on logging a tick every 200 ms, so that
// `wexlog attach <pid> --follow` can watch it.
#include <wex_lib_log_entry.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

void worker(velorin::wex_lib_log_entry& log, int id) {
  for (int step = 0; step < 3; ++step) {
    log.add_log(step == 0 ? WEX_LIB_LOG_LV_WARNING : WEX_LIB_LOG_LV_INFO, WEX_LIB_LOG_TYPE_NORMAL,
                WEX_LIB_LOG_LEN_SHORT, "void demo::Worker::run(int)", "worker %d step %d", id,
                step);
  }
  log.push_data_value("worker done", 0, 2, id, 3, 0, 0, 0, 0, 0, 0);
}

void print_file(const std::string& path) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) std::cout << "  " << line << '\n';
}

// Logs a tick every 200 ms for `seconds` seconds.
void linger(velorin::wex_lib_log_entry& log, int seconds) {
  std::cout << "\nLogging a tick every 200 ms for " << seconds << " s: wexlog attach " << getpid()
            << " --follow" << std::endl;
  for (int tick = 0; tick < seconds * 5; ++tick) {
    log.add_log(WEX_LIB_LOG_LV_WARNING, WEX_LIB_LOG_TYPE_NORMAL, WEX_LIB_LOG_LEN_SHORT,
                "void demo::Clock::tick()", "tick %d", tick);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string echo_path = "demo-echo.txt";
  const std::string dump_path = "demo-dump.txt";
  const std::string copy_path = "demo-dump-copy.txt";
  for (const auto& path : {echo_path, dump_path, copy_path}) std::remove(path.c_str());

  velorin::wex_lib_log_entry log(7, "demo", 16 * 1024);
  log.set_properties(echo_path.c_str());
  log.set_properties_command(",D,1");  // echo to the file as well

  log.add_log(WEX_LIB_LOG_LV_WARNING, WEX_LIB_LOG_TYPE_IMPORTANT, WEX_LIB_LOG_LEN_FULL, "main",
              "starting %d workers", 3);
  std::vector<std::thread> workers;
  for (int id = 0; id < 3; ++id) workers.emplace_back(worker, std::ref(log), id);
  for (auto& thread : workers) thread.join();

  log.add_log(WEX_LIB_LOG_LV_DEBUG, WEX_LIB_LOG_TYPE_NORMAL, WEX_LIB_LOG_LEN_FULL, "main",
              "level 4 is dropped while the storage level is 3");
  log.set_properties_command(",U,4");  // store level 4 from now on
  log.add_log(WEX_LIB_LOG_LV_DEBUG, WEX_LIB_LOG_TYPE_NORMAL, WEX_LIB_LOG_LEN_FULL, "main",
              "level 4 is stored now");
  log.push_data_set("limits", 4, "speed", 16, "depth", 255, nullptr, 0);
  log.push_data_string("peers", 2, "alpha", "beta", nullptr, nullptr, nullptr, nullptr);

  // Snapshot the ring into a second logger before the dump drains it.
  velorin::WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ info{};
  std::vector<unsigned char> bytes(log.storage().get_ring_buffer_size());
  log.storage().get_ring_buffer(&info, bytes.data());
  velorin::wex_lib_log_entry copy(8, "demo-copy", 1024);
  copy.storage().set_ring_buffer(info, bytes.data());

  log.trace_log(dump_path.c_str());
  copy.trace_log(copy_path.c_str());

  std::cout << "\nEcho file " << echo_path << ":\n";
  print_file(echo_path);
  std::cout << "\nDump " << dump_path << ":\n";
  print_file(dump_path);
  std::cout << "\nDump of the imported snapshot " << copy_path << ":\n";
  print_file(copy_path);
  if (argc == 3 && std::string(argv[1]) == "--linger") linger(log, std::atoi(argv[2]));
  return 0;
}
