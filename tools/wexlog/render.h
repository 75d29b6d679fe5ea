// SPDX-License-Identifier: MIT
// Output of recovered records: dump lines exactly as the logger's dump
// writes them, ring headings, and JSON lines. The items of a record under
// construction (no header: the store adds it at the commit) render as the
// dump renders items, after "# uncommitted ", read up to the end of their
// bytes (a reader hands over only whole items).
#ifndef WEXLOG_RENDER_H
#define WEXLOG_RENDER_H

#include <cstdint>
#include <optional>
#include <string>

#include "ring_scan.h"

namespace wexlog {

// Appends the dump line of one record with its line end, byte for byte what
// the logger's dump writes to a file for it (data items as the logger's
// default hook renders them).
void append_dump_line(std::string& out, record_span record);

// "# ring 0x... size N records M logger "name" trace_id T", with "?" for the
// name and trace identifier when the record store was not recognised, and
// " torn at offset O" for a torn ring.
std::string ring_heading(const found_ring& ring);

// "0x" and the address in lower-case hex digits.
std::string hex_address(uint64_t address);

// A logger name in double quotes, with quotes and backslashes escaped and
// control characters as \xHH.
std::string quoted(const std::string& name);

// "# uncommitted " and the segments of the items, with the line end.
void append_uncommitted_line(std::string& out, record_span items);

// Where a record came from, for its JSON object; unset fields are null.
struct record_origin {
  std::optional<std::string> logger;
  std::optional<int32_t> trace_id;
  std::optional<uint64_t> ring;
};

// Appends one JSON object for the record, and a line end.
void append_json_line(std::string& out, record_span record, const record_origin& origin);
// One JSON object for the items of a record under construction, marked
// "uncommitted", without time and task id, and a line end.
void append_uncommitted_json(std::string& out, record_span items, const record_origin& origin);

}  // namespace wexlog

#endif  // WEXLOG_RENDER_H
