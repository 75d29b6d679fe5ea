// SPDX-License-Identifier: MIT
// Saves a ring snapshot holding every kind of record that OTLP output maps
// differently: a message of each type (and of a type without a label), each
// length selector, texts that need escaping or are not UTF-8, and the
// structured records.
//   wexlog_otlp_snapshot_fixture PATH
#include <platform_standin.h>
#include <wex_lib_log_entry.h>
#include <wex_lib_log_snapshot.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  platform_standin::capture(true);  // the echoes are not wanted here
  velorin::wex_lib_log_entry log(-7, "net", 8192);
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
  return velorin::wex_lib_log_save_snapshot(log.storage(), argv[1]) == 0 ? 0 : 1;
}
