// SPDX-License-Identifier: MIT
#include "codec/record_format.h"

namespace velorin {
namespace log_record {

bool reader::take_(size_t n, const unsigned char*& at) {
  if (static_cast<size_t>(end_ - pos_) < n) return false;
  at = pos_;
  pos_ += n;
  return true;
}

bool reader::take_le_(unsigned int n, uint32_t& value) {
  const unsigned char* at;
  if (!take_(n, at)) return false;
  value = static_cast<uint32_t>(load_le(at, n));
  return true;
}

bool reader::read_header(header& out) {
  uint32_t count;
  if (!take_le_(4, out.time_of_day) || !take_le_(4, out.task_id) || !take_le_(1, count)) {
    return false;
  }
  out.item_count = static_cast<uint8_t>(count);
  return true;
}

bool reader::read_item(item& out) {
  out = item{};
  uint32_t field;
  if (!take_le_(1, field)) return false;
  out.tag = static_cast<unsigned char>(field);
  switch (out.tag) {
    case kTitle:
    case kString:
    case kSet:
      if (!take_le_(out.tag == kTitle ? 1 : 2, field)) return false;
      out.text_size = field;
      if (!take_(out.text_size, out.text)) return false;
      return out.tag != kSet || take_le_(4, out.value);
    case kValue:
    case kHexValue:
      return take_le_(4, out.value);
    case kData:
      if (!take_le_(1, field)) return false;
      out.kind = static_cast<unsigned char>(field);
      if (!take_le_(2, field)) return false;
      out.data_size = field;
      return take_(out.data_size, out.data);
    default:
      return true;
  }
}

}  // namespace log_record
}  // namespace velorin
