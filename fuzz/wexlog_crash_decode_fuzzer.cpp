// SPDX-License-Identifier: MIT
// Feeds arbitrary bytes to `wexlog decode` as a crash file. Whatever the
// bytes, the reader either refuses them or reads them within the file's
// bounds, and an accepted file prints its heading and one ring heading per
// logger, every line ended, in text, its heading object first in JSON, and
// only whole LogsData lines in OTLP.
//
// With WEXLOG_FUZZ_SEEDS naming a directory, the fuzzer first has a child
// process arm the crash recorder there, fill three loggers and abort, so
// that the corpus starts from a real crash file, and writes crash files
// whose one ring has 1 to 3 bytes.
#include <crash_file.h>
#include <platform_standin.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wex_lib_log_crash.h>
#include <wex_lib_log_entry.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "codec/crash_format.h"

namespace {

namespace format = velorin::crash_format;

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

// A crash file of one logger whose ring has 1 to 3 bytes, positions at its
// last byte: every length prefix read there wraps round the ring.
void write_tiny_ring(const std::string& path, uint32_t size) {
  std::vector<unsigned char> file(format::kFileHeaderSize + format::kLoggerHeaderSize + 1 + size +
                                  format::kEndSize);
  std::memcpy(file.data(), format::kMagic, sizeof format::kMagic);
  format::store_le(&file[format::kVersionAt], format::kVersion, 4);
  format::store_le(&file[format::kSignalAt], 11, 4);
  unsigned char* logger = &file[format::kFileHeaderSize];
  format::copy_tag(logger, format::kLoggerTag);
  format::store_le(logger + format::kWritePosAt, size - 1, 4);
  format::store_le(logger + format::kReadPosAt, size - 1, 4);
  format::store_le(logger + format::kRingSizeAt, size, 4);
  format::store_le(logger + format::kNameSizeAt, 1, 4);
  logger[format::kLoggerHeaderSize] = 'n';
  std::memset(logger + format::kLoggerHeaderSize + 1, 0x21, size);
  unsigned char* end = &file[file.size() - format::kEndSize];
  format::copy_tag(end, format::kEndTag);
  format::store_le(end + format::kLoggerCountAt, 1, 4);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* dir = std::getenv("WEXLOG_FUZZ_SEEDS");
  if (dir == nullptr) return 0;
  for (uint32_t size = 1; size <= 3; ++size) {
    write_tiny_ring(std::string(dir) + "/tiny-" + std::to_string(size), size);
  }
  const pid_t child = fork();
  if (child == 0) crash_into(dir);
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
        if (!text.empty() && text.back() != '\n') __builtin_trap();
        for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
          if (text.compare(at, 17, "{\"resourceLogs\":[") != 0) __builtin_trap();
        }
        continue;
      }
      if (text.empty() || text.back() != '\n') __builtin_trap();
      if (format == wexlog::output_format::json) {
        if (text.rfind("{\"signal\":", 0) != 0) __builtin_trap();
        continue;
      }
      if (text.rfind("# crash ", 0) != 0 || notes != 0) __builtin_trap();
      // Record texts may hold line ends of their own, so they can only add headings.
      size_t headings = 0;
      for (size_t at = 0; (at = text.find("\n# ring ", at)) != std::string::npos; ++at) {
        ++headings;
      }
      if (headings < crash.heading().loggers) __builtin_trap();
    } catch (const wexlog::input_error&) {
    }
  }
  return 0;
}
