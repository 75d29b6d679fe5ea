// SPDX-License-Identifier: MIT
#include "codec/dump_line.h"

#include <cstring>

#include "codec/digits.h"

namespace velorin {
namespace log_record {
namespace {

constexpr const char* kTypeLabels[] = {
    "[ERROR@] ", "[warn??] ", "[enter ] ", "[return] ", "[      ] ", "[IMP***] ", "[perfrm] ",
};
constexpr const char kUnknownTypeLabel[] = "[??????] ";
constexpr size_t kTypeLabelLength = sizeof kUnknownTypeLabel - 1;

// Lines are put together in small buffers and appended in one piece:
// appending character by character would cost more than the rest of a dump.
using digits::write_pair;

// HH:MM:SS.mmm; the hours take more digits past 99 (a time of day that is
// not one, from a malformed record).
char* write_time_of_day(char* out, uint32_t time_of_day) {
  out = digits::decimal_at(out, time_of_day / 3600000, 2);
  *out++ = ':';
  write_pair(out, time_of_day % 3600000 / 60000);
  out[2] = ':';
  write_pair(out + 3, time_of_day % 60000 / 1000);
  out[5] = '.';
  const uint32_t ms = time_of_day % 1000;
  out[6] = static_cast<char>('0' + ms / 100);
  write_pair(out + 7, ms % 100);
  return out + 9;
}

void append_decimal(std::string& line, uint32_t value, unsigned int min_digits) {
  char text[24];
  line.append(text, static_cast<size_t>(digits::decimal_at(text, value, min_digits) - text));
}

}  // namespace

const char* type_label(int type) {
  for (unsigned int bit = 0; bit < 7; ++bit) {
    if (type == 1 << bit) return kTypeLabels[bit];
  }
  return kUnknownTypeLabel;
}

void append_time_of_day(std::string& line, uint32_t time_of_day) {
  char text[32];
  line.append(text, static_cast<size_t>(write_time_of_day(text, time_of_day) - text));
}

void append_signed(std::string& line, int value) {
  int64_t wide = value;
  if (wide < 0) {
    line += '-';
    wide = -wide;
  }
  append_decimal(line, static_cast<uint32_t>(wide), 1);
}

void append_hex(std::string& line, unsigned long value) {
  char text[2 + 2 * sizeof value];
  char* const end = text + sizeof text;
  char* first = digits::radix_before<16>(end, value, digits::kHexUpper);
  while (end - first < 2) *--first = '0';
  *--first = 'x';
  *--first = '0';
  line.append(first, static_cast<size_t>(end - first));
}

void append_text(std::string& line, const unsigned char* text, size_t size) {
  const void* nul = std::memchr(text, 0, size);
  const size_t length =
      nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - text) : size;
  line.append(reinterpret_cast<const char*>(text), length);
}

void append_header(std::string& line, const header& h) {
  char text[64];
  char* end = text;
  *end++ = '[';
  end = write_time_of_day(end, h.time_of_day);
  *end++ = ':';
  end = digits::decimal_at(end, h.task_id);
  *end++ = ']';
  line.append(text, static_cast<size_t>(end - text));
}

void append_item(std::string& line, const item& it) {
  switch (it.tag) {
    case kTitle: {
      line += '[';
      const size_t before = line.size();
      append_text(line, it.text, it.text_size);
      if (it.text_size < kTitleLimit && line.size() - before == it.text_size) {
        line.append(kTitleLimit - it.text_size, ' ');
      }
      line += ']';
      break;
    }
    case kValue:
      line += '[';
      append_signed(line, static_cast<int>(it.value));
      line += ']';
      break;
    case kHexValue:
      line += ' ';
      append_hex(line, it.value);
      break;
    case kString:
      line += '[';
      append_text(line, it.text, it.text_size);
      line += ']';
      break;
    case kSet:
      line += '[';
      append_text(line, it.text, it.text_size);
      line += ':';
      append_hex(line, it.value);
      line += ']';
      break;
    default:
      break;
  }
}

void append_message_item(std::string& line, const unsigned char* data, size_t size) {
  const message_item message = read_message_item(data, size);
  line.append(type_label(message.type), kTypeLabelLength);
  if (message.text != nullptr) {
    line.append(reinterpret_cast<const char*>(message.text), message.text_size);
  }
}

void append_default_data(std::string& line, unsigned char kind, const unsigned char* data,
                         size_t size) {
  if (kind == 0) append_message_item(line, data, size);
}

void end_file_line(std::string& line) {
  line.resize(std::strlen(line.c_str()));
  line += '\n';
}

}  // namespace log_record
}  // namespace velorin
