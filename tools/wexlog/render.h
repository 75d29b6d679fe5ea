// Output of recovered records: dump lines exactly as the logger's dump
// writes them, ring headings, and JSON lines.
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
void append_dump_line(std::string& out, const payload& record);

// "# ring 0x... size N records M logger "name" trace_id T", with "?" for the
// name and trace identifier when the record store was not recognised.
std::string ring_heading(const found_ring& ring);

// Where a record came from, for its JSON object; unset fields are null.
struct record_origin {
  std::optional<std::string> logger;
  std::optional<int32_t> trace_id;
  std::optional<uint64_t> ring;
};

// Appends one JSON object for the record, and a line end.
void append_json_line(std::string& out, const payload& record, const record_origin& origin);

}  // namespace wexlog

#endif  // WEXLOG_RENDER_H
