// Feeds arbitrary bytes to `wexlog decode` as a crash file. Whatever the
// bytes, the reader either refuses them or reads them within the file's
// bounds, and an accepted file prints its heading and one ring heading per
// logger, every line ended.
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
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void crash_into(const char* dir) {
  std::signal(SIGABRT, SIG_DFL);  // not the fuzzer's own crash report
  platform_standin::capture(true);
  if (velorin::wex_lib_log_install_crash_handler(dir) != 0) _exit(1);
  velorin::wex_lib_log_entry wrapped(1, "wrapped", 300), structured(2, "structured", 2000),
      quiet(3, "quiet", 64);
  for (int n = 0; n < 20; ++n) {
    wrapped.add_log(WEX_LIB_LOG_LV_ERROR, WEX_LIB_LOG_TYPE_WARNING, WEX_LIB_LOG_LEN_SHORT,
                    "ns::cls::fn(int)", "message %d", n);
    structured.push_data_string("strings", 2, "alpha", "", nullptr, nullptr, nullptr, nullptr);
    structured.push_data_set("pairs", 1, "speed", n, nullptr, 0, nullptr, 0);
  }
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* dir = std::getenv("WEXLOG_FUZZ_SEEDS");
  if (dir == nullptr) return 0;
  const pid_t child = fork();
  if (child == 0) crash_into(dir);
  if (child > 0) waitpid(child, nullptr, 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const wexlog::crash_record crash = wexlog::decode_crash(data, size);
    std::string text, json;
    wexlog::append_crash_text(text, crash);
    wexlog::append_crash_json(json, crash);
    if (text.rfind("# crash ", 0) != 0 || text.back() != '\n') __builtin_trap();
    if (!json.empty() && json.back() != '\n') __builtin_trap();
    // Record texts may hold line ends of their own, so they can only add headings.
    size_t headings = 0;
    for (size_t at = 0; (at = text.find("\n# ring ", at)) != std::string::npos; ++at) ++headings;
    if (headings < crash.loggers.size()) __builtin_trap();
  } catch (const wexlog::input_error&) {
  }
  return 0;
}
