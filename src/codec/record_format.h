// SPDX-License-Identifier: MIT
// The log record's bytes: the one writer and the one reader of the record
// header, the item heads and the message item, shared by the record store,
// the crash recorder and the post-mortem tools.
//
// Log record, all integers little-endian whatever the host's byte order:
//   header   time of day in ms (4), task id (4), item count (1)
//   items    tag 1 title:  length (1, max 32), text
//            tag 2 value:  int (4)            tag 3 hex value: int (4)
//            tag 4 string: length (2, max 64), text
//            tag 5 set:    name length (2, max 64), name, int (4)
//            tag 6 data:   kind (1), size (2), bytes
// A message item is the data of a data item of kind 0: type (1), length
// selector (1), the composed text, its NUL and one more zero byte.
//
// The writers are inline: they run for every stored message. Each writes a
// whole item into room its caller made, as large as the item's size says.
// The reader never reads past the bytes it is given: an item (or header)
// that runs past the end is reported as malformed instead of read.
#ifndef WEXLOG_CODEC_RECORD_FORMAT_H
#define WEXLOG_CODEC_RECORD_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/byte_order.h"

namespace velorin {
namespace log_record {

constexpr unsigned int kHeaderSize = 9;
constexpr unsigned int kTitleLimit = 32;
constexpr unsigned int kTextLimit = 64;
constexpr unsigned int kDataLimit = 0xFFFF;
// Tag, data kind and the 2-byte size before a data item's bytes.
constexpr unsigned int kDataHeadSize = 4;
// Type byte, length-selector byte, NUL and the zero byte after it.
constexpr unsigned int kMessageOverhead = 4;

enum tag : unsigned char {
  kTitle = 1,
  kValue = 2,
  kHexValue = 3,
  kString = 4,
  kSet = 5,
  kData = 6,
};

struct header {
  uint32_t time_of_day;
  uint32_t task_id;
  uint8_t item_count;
};

inline void write_header(unsigned char* out, uint32_t time_of_day, uint32_t task_id,
                         uint8_t item_count) {
  store_le32(out, time_of_day);
  store_le32(out + 4, task_id);
  out[8] = item_count;
}

// Item sizes, tag included, for texts of `length` bytes (already cut to
// their limit) and data of `size` bytes.
constexpr size_t title_item_size(size_t length) {
  return 2 + length;
}
constexpr size_t kValueItemSize = 5;
constexpr size_t string_item_size(size_t length) {
  return 3 + length;
}
constexpr size_t set_item_size(size_t length) {
  return 7 + length;
}
constexpr size_t data_item_size(size_t size) {
  return kDataHeadSize + size;
}

inline void write_title_item(unsigned char* out, const char* text, size_t length) {
  out[0] = kTitle;
  out[1] = static_cast<unsigned char>(length);
  std::memcpy(out + 2, text, length);
}

// A value or hex value item (`which` is kValue or kHexValue).
inline void write_value_item(unsigned char* out, tag which, int value) {
  out[0] = which;
  store_le(out + 1, static_cast<uint32_t>(value), 4);
}

inline void write_string_item(unsigned char* out, const char* text, size_t length) {
  out[0] = kString;
  store_le(out + 1, length, 2);
  std::memcpy(out + 3, text, length);
}

inline void write_set_item(unsigned char* out, const char* name, size_t length, int value) {
  out[0] = kSet;
  store_le(out + 1, length, 2);
  std::memcpy(out + 3, name, length);
  store_le(out + 3 + length, static_cast<uint32_t>(value), 4);
}

// The head of a data item; its `size` bytes follow it. The kind is cut to
// 8 bits and the size to 16.
inline void write_data_head(unsigned char* out, unsigned int kind, unsigned int size) {
  out[0] = kData;
  out[1] = static_cast<unsigned char>(kind);
  store_le(out + 2, size, 2);
}

inline void write_data_item(unsigned char* out, unsigned int kind, const unsigned char* bytes,
                            unsigned int size) {
  write_data_head(out, kind, size);
  if (size != 0) std::memcpy(out + kDataHeadSize, bytes, size);
}

// A message item's data: the two bytes before the composed text, which the
// caller writes from byte 2 on, and the two zero bytes after it. Its size is
// the text's length plus kMessageOverhead.
inline char* write_message_head(unsigned char* out, int type, int len_type) {
  out[0] = static_cast<unsigned char>(type);
  out[1] = static_cast<unsigned char>(len_type);
  return reinterpret_cast<char*>(out + 2);
}

inline void end_message_text(char* text, size_t length) {
  text[length] = '\0';
  text[length + 1] = '\0';
}

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

// The parts of a message item (data kind 0): type byte, length-selector byte
// and the composed text from byte 2 up to its NUL or the end of the item.
// Missing bytes of a short item read as 0 and an empty text.
struct message_item {
  unsigned char type;
  unsigned char len_type;
  const unsigned char* text;
  size_t text_size;
};

inline message_item read_message_item(const unsigned char* data, size_t size) {
  message_item out{};
  if (size > 0) out.type = data[0];
  if (size > 1) out.len_type = data[1];
  if (size > 2) {
    out.text = data + 2;
    const void* nul = std::memchr(out.text, 0, size - 2);
    out.text_size =
        nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - out.text) : size - 2;
  }
  return out;
}

}  // namespace log_record
}  // namespace velorin

#endif  // WEXLOG_CODEC_RECORD_FORMAT_H
