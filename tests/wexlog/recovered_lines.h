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
  std::map<std::string, std::vector<std::string>> rings;  // heading and lines, by logger
  std::istringstream lines(text);
  for (std::string line, name; std::getline(lines, line);) {
    const size_t at = line.rfind("# ring ", 0) == 0 ? line.find(" logger \"") + 9 : 0;
    if (at != 0) name = line.substr(at, line.find('"', at) - at);
    if (!name.empty()) rings[name].push_back(line);
  }
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
    const auto& ring = rings[name];
    const std::string heading = ring.empty() ? "" : ring[0];
    EXPECT_EQ(
        heading.substr(std::min(heading.size(), heading.find(" records "))),
        " records " + std::to_string(dumped.size()) + " logger \"" + name + "\" trace_id " + id);
    std::vector<std::string> expected{heading};
    expected.insert(expected.end(), dumped.begin(), dumped.end());
    const auto more = after(name, dumped);
    expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(ring, expected) << name;
  }
  EXPECT_FALSE(dump_lines.empty());
  EXPECT_EQ(json_lines, dump_lines);
  return rings.size();
}

}  // namespace wexlog_test

#endif  // WEXLOG_RECOVERED_LINES_H
