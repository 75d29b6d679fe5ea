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

 private:
  bool take_(size_t n, const unsigned char*& at);
  bool take_le_(unsigned int n, uint32_t& value);

  const unsigned char* pos_;
  const unsigned char* end_;
};

// The nine-character label of a message type.
const char* type_label(int type);

void append_time_of_day(std::string& line, uint32_t time_of_day);
void append_unsigned(std::string& line, unsigned long value);
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

// Renders one record as a dump line (without line end). Data items go to
// `hook(line, kind, data, size)`. Returns false when the record was
// malformed; the line then ends with the marker.
template <class DataHook>
bool render_dump_line(std::string& line, const unsigned char* bytes, size_t size, DataHook&& hook) {
  reader in(bytes, size);
  header h;
  bool parsed = in.read_header(h);
  if (parsed) append_header(line, h);
  for (unsigned int i = 0; parsed && i < h.item_count; ++i) {
    item it;
    parsed = in.read_item(it);
    if (!parsed) break;
    if (it.tag == kData) {
      hook(line, it.kind, it.data, it.data_size);
    } else {
      append_item(line, it);
    }
  }
  if (!parsed) line += kMalformedMarker;
  return parsed;
}

}  // namespace log_record
}  // namespace velorin

#endif  // WEX_LIB_LOG_RECORD_H
