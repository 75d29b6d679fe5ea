// SPDX-License-Identifier: MIT
// Shared pieces of the unit tests.
#ifndef WEXLOG_TEST_SUPPORT_H
#define WEXLOG_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <platform_standin.h>
#include <unistd.h>
#include <wex_lib_log_entry.h>
#include <wex_lib_log_storage.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace wexlog_test {

// Starts and ends every test with the platform stand-in in its start state,
// with trace prints and user-command traces captured instead of printed.
class PlatformFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_standin::reset();
    platform_standin::capture(true);
  }
  void TearDown() override { platform_standin::reset(); }
};

// "E8 030a" -> {0xE8, 0x03, 0x0A}: bytes written as hex pairs, spaces ignored.
inline std::vector<unsigned char> hex_bytes(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  std::vector<unsigned char> bytes;
  for (size_t at = 0; at < text.size(); at += 2)
    bytes.push_back(static_cast<unsigned char>(std::stoul(text.substr(at, 2), nullptr, 16)));
  return bytes;
}

// A log record's header: time of day in ms, task id and item count.
inline std::vector<unsigned char> record_head(uint32_t ms, uint32_t task, unsigned int count) {
  std::vector<unsigned char> head;
  for (uint32_t v :
       {ms, ms >> 8, ms >> 16, ms >> 24, task, task >> 8, task >> 16, task >> 24, count})
    head.push_back(static_cast<unsigned char>(v));
  return head;
}

// A log record holding one message item: type, length selector, composed text.
inline std::vector<unsigned char> message_record(uint32_t ms, uint32_t task, int type, int selector,
                                                 const std::string& text) {
  std::vector<unsigned char> record = record_head(ms, task, 1);
  const auto size = static_cast<uint32_t>(text.size()) + 4;
  for (uint32_t v : {6u, 0u, size, size >> 8, uint32_t(type), uint32_t(selector)})
    record.push_back(static_cast<unsigned char>(v));
  record.insert(record.end(), text.begin(), text.end());
  record.insert(record.end(), {0, 0});
  return record;
}

// Runs `action` and returns what it wrote to standard output meanwhile.
template <class Action>
std::string stdout_of(Action&& action) {
  ::testing::internal::CaptureStdout();
  action();
  return ::testing::internal::GetCapturedStdout();
}

// Local time is UTC for this process, whatever the environment says.
inline void use_utc() {
  setenv("TZ", "UTC", 1);
  platform_standin::local_time_zone_changed();
}

// A file's bytes; none for a missing file.
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// The lines of a text file without their line ends; none for a missing file.
inline std::vector<std::string> read_lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A path in the test's temporary directory, unique to this process; any file
// left there by an earlier run is removed.
inline std::string temp_path(const std::string& name) {
  const std::string path = ::testing::TempDir() + "wexlog_" + std::to_string(getpid()) + "_" + name;
  std::remove(path.c_str());
  return path;
}

// The lines `log` dumps into a fresh file, which is then removed.
template <class Logger>
std::vector<std::string> dump_lines(Logger& log) {
  const std::string path = temp_path("dump_lines.log");
  log.trace_log(path.c_str());
  std::vector<std::string> lines = read_lines(path);
  std::remove(path.c_str());
  return lines;
}

// Replaces the store's ring by a snapshot holding `records` (log record
// bytes, oldest first) as its ring records.
inline int import_records(velorin::wex_lib_log_storage& storage,
                          const std::vector<std::vector<unsigned char>>& records) {
  std::vector<unsigned char> ring;
  for (const auto& record : records) {
    const auto size = static_cast<uint32_t>(record.size());
    for (unsigned int i = 0; i < 4; ++i)
      ring.push_back(static_cast<unsigned char>(size >> (8 * i)));
    ring.insert(ring.end(), record.begin(), record.end());
  }
  const auto used = static_cast<uint32_t>(ring.size());
  ring.resize(used + 16);
  const velorin::WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ info{
      static_cast<int8_t>(records.empty() ? 1 : 0), used, 0, used + 16};
  return storage.set_ring_buffer(info, ring.data());
}

// The log records in the store's ring, oldest first, which are then dropped.
inline std::vector<std::vector<unsigned char>> take_records(velorin::wex_lib_log_storage& storage) {
  std::vector<std::vector<unsigned char>> records;
  velorin::WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ info{};
  std::vector<unsigned char> ring(storage.get_ring_buffer_size() + 1);
  if (storage.get_ring_buffer(&info, ring.data()) != 0) return records;
  velorin::wex_lib_log_ring_buffer copy;
  copy.set_buffer_data(info, ring.data());
  for (std::vector<unsigned char> record; copy.pop_data(record) == 0;) records.push_back(record);
  storage.create_ring_buffer(info.size);
  return records;
}

// The captured trace prints as "kind|text", each checked to carry the
// logger's trace id `id` and the category 258.
inline std::vector<std::string> take_traces(int id) {
  std::vector<std::string> out;
  for (const auto& print : platform_standin::take_trace_prints()) {
    EXPECT_EQ(print.id, id) << print.text;
    EXPECT_EQ(print.category, 258) << print.text;
    out.push_back(std::to_string(print.kind) + "|" + print.text);
  }
  return out;
}

// A logger with a data kind of its own: items of kind 9 hold an int, which
// its dump shows as "[<int>]" after calling `on_render` with it (a throw
// from there is a throw from the hook).
struct int_item_logger : velorin::wex_lib_log_entry {
  using wex_lib_log_entry::wex_lib_log_entry;
  void act_trace_log(std::string& line, std::vector<unsigned char>& data, unsigned char kind,
                     unsigned int size) override {
    if (kind != 9) return wex_lib_log_entry::act_trace_log(line, data, kind, size);
    int value = 0;
    std::memcpy(&value, data.data(), std::min<size_t>(size, sizeof value));
    if (on_render) on_render(value);
    line += "[" + std::to_string(value) + "]";
  }
  void push(int value) {
    storage().add_data(9, &value, sizeof value);
    storage().entry_for_ring_buffer();
  }
  std::function<void(int)> on_render;
};

}  // namespace wexlog_test

#endif  // WEXLOG_TEST_SUPPORT_H
