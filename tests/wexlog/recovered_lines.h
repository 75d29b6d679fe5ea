// SPDX-License-Identifier: MIT
// What wexlog gives for a fixture's loggers against their own dump lines.
#ifndef WEXLOG_RECOVERED_LINES_H
#define WEXLOG_RECOVERED_LINES_H

#include <functional>
#include <nlohmann/json.hpp>
#include <set>

#include "test_support.h"

namespace wexlog_test {

// wexlog's text output `text` and JSON lines `json` against dir/loggers.txt
// and the dump lines dir/<name>.log of each logger listed there: each one's
// heading and lines, then `after(name, dump lines)`, and in JSON every dump
// line once (records under construction and a crash file's heading aside). Returns the loggers
// `text` names.
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
