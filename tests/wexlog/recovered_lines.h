// SPDX-License-Identifier: MIT
// What wexlog gives for a fixture's loggers against their own dump lines.
#ifndef WEXLOG_RECOVERED_LINES_H
#define WEXLOG_RECOVERED_LINES_H

#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "test_support.h"

namespace wexlog_test {

// wexlog's output grouped by ring: each ring heading and the lines after it,
// by the name of the logger the heading names.
inline std::map<std::string, std::vector<std::string>> lines_by_logger(const std::string& text) {
  std::map<std::string, std::vector<std::string>> rings;
  std::istringstream lines(text);
  for (std::string line, name; std::getline(lines, line);) {
    const size_t at = line.rfind("# ring ", 0) == 0 ? line.find(" logger \"") + 9 : 0;
    if (at != 0) name = line.substr(at, line.find('"', at) - at);
    if (!name.empty()) rings[name].push_back(line);
  }
  return rings;
}

// Expects `ring` (a heading and its lines) to be the ring of logger `name`
// with trace id `id`, holding exactly the records `dumped`, then `after`.
inline void expect_ring_lines(const std::vector<std::string>& ring, const std::string& name,
                              const std::string& id, const std::vector<std::string>& dumped,
                              const std::vector<std::string>& after = {}) {
  const std::string heading = ring.empty() ? "" : ring[0];
  EXPECT_EQ(
      heading.substr(std::min(heading.size(), heading.find(" records "))),
      " records " + std::to_string(dumped.size()) + " logger \"" + name + "\" trace_id " + id);
  std::vector<std::string> expected{heading};
  expected.insert(expected.end(), dumped.begin(), dumped.end());
  expected.insert(expected.end(), after.begin(), after.end());
  EXPECT_EQ(ring, expected) << name;
}

// wexlog's text output `text` and JSON lines `json` against dir/loggers.txt
// and the dump lines dir/<name>.log of each logger listed there: each one's
// ring heading (its record count, name and trace id) and lines, then
// `after(name, dump lines)`, and in JSON every dump line once (records under
// construction and a crash file's heading aside). Returns the loggers `text`
// names.
inline size_t expect_logger_lines(
    const std::string& dir, const std::string& text, const std::string& json,
    const std::function<std::vector<std::string>(const std::string&,
                                                 const std::vector<std::string>&)>& after) {
  auto rings = lines_by_logger(text);
  std::multiset<std::string> json_lines, dump_lines;
  std::istringstream in(json);
  for (std::string line; std::getline(in, line);) {
    const auto record = nlohmann::json::parse(line);
    if (record.value("uncommitted", false) || record.contains("signal")) continue;
    json_lines.insert(record["logger"].get<std::string>() + " " +
                      record["line"].get<std::string>());
  }
  std::ifstream manifest(dir + "/loggers.txt");
  for (std::string name, id; manifest >> name >> id;) {
    const auto dumped = read_lines(dir + "/" + name + ".log");
    for (const auto& line : dumped) dump_lines.insert(name + " " + line);
    expect_ring_lines(rings[name], name, id, dumped, after(name, dumped));
  }
  EXPECT_FALSE(dump_lines.empty());
  EXPECT_EQ(json_lines, dump_lines);
  return rings.size();
}

}  // namespace wexlog_test

#endif  // WEXLOG_RECOVERED_LINES_H
