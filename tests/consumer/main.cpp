// SPDX-License-Identifier: MIT
// Logs, dumps and checks one line through wexliblog's headers and library,
// and that the library it runs with is the version it was built against.
#include <wex_lib_log_entry.h>
#include <wex_lib_log_maintenance.h>
#include <wex_lib_log_version.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "consumer-dump.txt";
  std::remove(path);
  velorin::wex_lib_log_entry log(1, "consumer", 1024);
  log.add_log(WEX_LIB_LOG_LV_INFO, WEX_LIB_LOG_TYPE_NORMAL, WEX_LIB_LOG_LEN_FULL, "main",
              "installed %s", "ok");
  log.trace_log(path);
  char line[256] = {};
  FILE* file = std::fopen(path, "r");
  if (file == nullptr || std::fgets(line, sizeof line, file) == nullptr) return 1;
  std::fclose(file);
  const bool logged = std::strstr(line, "][      ] main\tinstalled ok\n") != nullptr;
  const bool same_version =
      std::strcmp(velorin::wex_lib_log_version(), WEX_LIB_LOG_VERSION_STRING) == 0;
  std::printf("wexliblog %s: %s", velorin::wex_lib_log_version(), line);
  return logged && same_version && wex_lib_log_line_log_wrap(nullptr) == 0 ? 0 : 1;
}
