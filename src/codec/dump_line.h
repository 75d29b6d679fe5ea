// SPDX-License-Identifier: MIT
// Dump lines: the text form of log records, written by the logger's dump and
// by the post-mortem tools, so that both print a record the same way.
//
// A record whose item (or header) runs past its end renders everything that
// parsed completely, then kMalformedMarker.
#ifndef WEXLOG_CODEC_DUMP_LINE_H
#define WEXLOG_CODEC_DUMP_LINE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "codec/record_format.h"

namespace velorin {
namespace log_record {

// Marks the point where a record stopped parsing.
constexpr const char kMalformedMarker[] = "[!malformed]";

// The nine-character label of a message type.
const char* type_label(int type);

void append_time_of_day(std::string& line, uint32_t time_of_day);
void append_signed(std::string& line, int value);
void append_hex(std::string& line, unsigned long value);
// Appends the text up to its first NUL.
void append_text(std::string& line, const unsigned char* text, size_t size);
// "[time:task]", the opening of every dump line.
void append_header(std::string& line, const header& h);
// The segment of a non-data item.
void append_item(std::string& line, const item& it);

// A message item as the logger's default hook renders it: the type label of
// byte 0, then the text from byte 2 up to its NUL or the end of the item.
void append_message_item(std::string& line, const unsigned char* data, size_t size);
// A data item as the logger's default hook renders it: message items as
// above, nothing for every other data kind.
void append_default_data(std::string& line, unsigned char kind, const unsigned char* data,
                         size_t size);
// Turns a rendered dump line into the text the dump writes to a file: cut at
// its first NUL, as "%s" would print it, and ended with a line end.
void end_file_line(std::string& line);

// Renders one record as a dump line (without line end). Data items go to
// `hook(line, kind, data, size)`. Returns false when the record was
// malformed; the line then ends with the marker.
template <class DataHook>
bool render_dump_line(std::string& line, const unsigned char* bytes, size_t size, DataHook&& hook) {
  const bool parsed = read_record(
      bytes, size, [&](const header& h) { append_header(line, h); },
      [&](const item& it) {
        if (it.tag == kData) {
          hook(line, it.kind, it.data, it.data_size);
        } else {
          append_item(line, it);
        }
      });
  if (!parsed) line += kMalformedMarker;
  return parsed;
}

}  // namespace log_record
}  // namespace velorin

#endif  // WEXLOG_CODEC_DUMP_LINE_H
