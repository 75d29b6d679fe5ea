// SPDX-License-Identifier: MIT
// What the fuzzers share: a check that stops the run where it fails, the
// seeds each writes into the directory WEXLOG_FUZZ_SEEDS names when it
// starts, and loggers filled with records of every kind to take them from.
#ifndef WEXLOG_FUZZ_SUPPORT_H
#define WEXLOG_FUZZ_SUPPORT_H

#include <wex_lib_log_entry.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace wexlog_fuzz {

inline void check(bool ok) {
  if (!ok) __builtin_trap();
}

// The directory for seeds, or null when none are wanted.
inline const char* seed_dir() {
  return std::getenv("WEXLOG_FUZZ_SEEDS");
}

inline void write_seed(const std::string& name, const std::vector<unsigned char>& bytes) {
  std::ofstream(std::string(seed_dir()) + "/" + name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// `rounds` times a message and a record of each structured kind.
inline void fill(velorin::wex_lib_log_entry& log, int rounds) {
  for (int n = 0; n < rounds; ++n) {
    log.add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_WARNING, WEX_LIB_LOG_LEN_SHORT,
                "ns::cls::fn(int)", "message %d", n);
    log.push_data_value("values", n % 2, 3, n, -n, 0x1000, 0, 0, 0, 0, 0);
    log.push_data_string("strings", 2, "alpha", "", nullptr, nullptr, nullptr, nullptr);
    log.push_data_set("pairs", 4, "speed", 16, "mode", n, nullptr, 0);
  }
}

}  // namespace wexlog_fuzz

#endif  // WEXLOG_FUZZ_SUPPORT_H
