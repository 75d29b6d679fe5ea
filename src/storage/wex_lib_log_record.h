// SPDX-License-Identifier: MIT
// Reading and rendering of log records: the one place that parses the
// record format back, shared by the dump and the post-mortem tools.
//
// The reader never reads past the bytes it is given: an item (or header)
// that runs past the end is reported as malformed instead of read.
#ifndef WEX_LIB_LOG_RECORD_H
#define WEX_LIB_LOG_RECORD_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "byte_order.h"

namespace velorin {
namespace log_record {

constexpr unsigned int kHeaderSize = 9;
constexpr unsigned int kTitleLimit = 32;
constexpr unsigned int kTextLimit = 64;
constexpr unsigned int kDataLimit = 0xFFFF;

enum tag : unsigned char {
  kTitle = 1,
  kValue = 2,
  kHexValue = 3,
  kString = 4,
  kSet = 5,
  kData = 6,
};

// Marks the point where a record stopped parsing.
constexpr const char kMalformedMarker[] = "[!malformed]";

struct header {
  uint32_t time_of_day;
  uint32_t task_id;
  uint8_t item_count;
};

// One item as read; `text` is the title, string or set name, `data` the data
// item's bytes. Unknown tags carry nothing but their tag.
struct item {
  unsigned char tag;
  const unsigned char* text;
  size_t text_size;
  uint32_t value;
  unsigned char kind;
  const unsigned char* data;
  size_t data_size;
};

class reader {
 public:
  reader(const unsigned char* bytes, size_t size) : pos_(bytes), end_(bytes + size) {}
  bool read_header(header& out);
  bool read_item(item& out);
  // Bytes not read yet.
  size_t unread() const { return static_cast<size_t>(end_ - pos_); }

 private:
  bool take_(size_t n, const unsigned char*& at);
  bool take_le_(unsigned int n, uint32_t& value);

  const unsigned char* pos_;
  const unsigned char* end_;
};

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
// The parts of a message item (data kind 0): type byte, length-selector byte
// and the composed text from byte 2 up to its NUL or the end of the item.
// Missing bytes of a short item read as 0 and an empty text.
struct message_item {
  unsigned char type;
  unsigned char len_type;
  const unsigned char* text;
  size_t text_size;
};
message_item read_message_item(const unsigned char* data, size_t size);

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

// Reads one record: calls `on_header(const header&)`, then `on_item(const
// item&)` for each counted item, in order. Returns false, after the calls
// for everything that parsed completely, when a field runs past the end.
// `unread`, when given, receives the bytes left after the counted items.
template <class OnHeader, class OnItem>
bool read_record(const unsigned char* bytes, size_t size, OnHeader&& on_header, OnItem&& on_item,
                 size_t* unread = nullptr) {
  reader in(bytes, size);
  header h;
  bool parsed = in.read_header(h);
  if (parsed) on_header(static_cast<const header&>(h));
  for (unsigned int i = 0; parsed && i < h.item_count; ++i) {
    item it;
    parsed = in.read_item(it);
    if (parsed) on_item(static_cast<const item&>(it));
  }
  if (unread != nullptr) *unread = in.unread();
  return parsed;
}

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

#endif  // WEX_LIB_LOG_RECORD_H
