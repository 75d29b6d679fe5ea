// SPDX-License-Identifier: MIT
// Prints the size and alignment of every exported class, as an application
// compiled against the installed headers sees them, and compares them with
// the checked-in record for the target's architecture. An application built
// against one release allocates and embeds these classes by their size, so a
// change of either is an ABI change even when every symbol stays the same.
// Usage: class_layout EXPECTED_FILE
#include <wex_lib_log_entry.h>
#include <wex_lib_log_ring_buffer.h>
#include <wex_lib_log_storage.h>
#include <wex_lib_log_tracer.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

template <class T>
void describe(std::string& out, const char* name) {
  char line[128];
  std::snprintf(line, sizeof line, "%s sizeof %zu alignof %zu\n", name, sizeof(T), alignof(T));
  out += line;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: class_layout EXPECTED_FILE\n", stderr);
    return 2;
  }
  std::string actual;
  describe<velorin::wex_lib_log_entry>(actual, "wex_lib_log_entry");
  describe<velorin::wex_lib_log_storage>(actual, "wex_lib_log_storage");
  describe<velorin::wex_lib_log_ring_buffer>(actual, "wex_lib_log_ring_buffer");
  describe<velorin::WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_>(actual,
                                                        "WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_");
  describe<velorin::wex_lib_log_tracer>(actual, "wex_lib_log_tracer");
  describe<velorin::wex_lib_log_tracer_manager>(actual, "wex_lib_log_tracer_manager");

  std::ifstream file(argv[1]);
  if (!file) {
    std::fprintf(stderr, "cannot read %s: %s\n", argv[1], std::strerror(errno));
    return 2;
  }
  const std::string expected(std::istreambuf_iterator<char>(file), {});
  if (actual != expected) {
    std::printf("Class layout differs from %s.\nExpected:\n%sBuilt:\n%s", argv[1], expected.c_str(),
                actual.c_str());
    return 1;
  }
  std::printf("Class layout matches %s\n", argv[1]);
  return 0;
}
