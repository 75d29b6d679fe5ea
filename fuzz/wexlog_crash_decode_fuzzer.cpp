// SPDX-License-Identifier: MIT
// Feeds arbitrary bytes to `wexlog decode` as a crash file. Whatever the
// bytes, the reader either refuses them or reads them within the file's
// bounds, and an accepted file prints its heading and one ring heading per
// logger, every line ended, in text, its heading object first in JSON, and
// only whole LogsData lines in OTLP.
//
// With WEXLOG_FUZZ_SEEDS naming a directory, the fuzzer first has a child
// process arm the crash recorder there, fill three loggers and abort, so
// that the corpus starts from a real crash file.
#include <crash_file.h>
#include <platform_standin.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wex_lib_log_crash.h>
#include <wex_lib_log_entry.h>

#include <csignal>
#include <string>

#include "codec/crash_format.h"
#include "fuzz_support.h"

namespace {

using wexlog_fuzz::check;

[[noreturn]] void crash_into(const char* dir) {
  std::signal(SIGABRT, SIG_DFL);  // not the fuzzer's own crash report
  platform_standin::capture(true);
  if (velorin::wex_lib_log_install_crash_handler(dir) != 0) _exit(1);
  velorin::wex_lib_log_entry wrapped(1, "wrapped", 300), structured(2, "structured", 2000),
      quiet(3, "quiet", 64);
  for (int n = 0; n < 20; ++n) {
    wrapped.add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_WARNING, WEX_LIB_LOG_LEN_SHORT,
                    "ns::cls::fn(int)", "message %d", n);
  }
  wexlog_fuzz::fill(structured, 20);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (wexlog_fuzz::seed_dir() == nullptr) return 0;
  const pid_t child = fork();
  if (child == 0) crash_into(wexlog_fuzz::seed_dir());
  if (child > 0) waitpid(child, nullptr, 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (const auto format :
       {wexlog::output_format::text, wexlog::output_format::json, wexlog::output_format::otlp}) {
    try {
      wexlog::crash_reader crash(data, size);
      wexlog::output out;
      size_t notes = 0;
      wexlog::print_crash(crash, *wexlog::make_printer(format, out),
                          [&notes](const std::string&) { ++notes; });
      const std::string& text = out.kept();
      if (format == wexlog::output_format::otlp) {
        // One LogsData object a line, every line ended: texts are escaped.
        check(text.empty() || text.back() == '\n');
        for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1)
          check(text.compare(at, 17, "{\"resourceLogs\":[") == 0);
        continue;
      }
      check(!text.empty() && text.back() == '\n');
      if (format == wexlog::output_format::json) {
        check(text.rfind("{\"signal\":", 0) == 0);
        continue;
      }
      check(text.rfind("# crash ", 0) == 0 && notes == 0);
      // Record texts may hold line ends of their own, so they can only add headings.
      size_t headings = 0;
      for (size_t at = 0; (at = text.find("\n# ring ", at)) != std::string::npos; ++at) ++headings;
      check(headings >= crash.heading().loggers);
    } catch (const wexlog::input_error&) {
    }
  }
  return 0;
}
