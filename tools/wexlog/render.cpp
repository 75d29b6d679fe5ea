// SPDX-License-Identifier: MIT
#include "render.h"

#include <nlohmann/json.hpp>

#include "codec/digits.h"
#include "codec/dump_line.h"

namespace wexlog {
namespace {

namespace record = velorin::log_record;
using json = nlohmann::ordered_json;

// Text up to its first NUL, as the dump shows it.
std::string text_of(const unsigned char* bytes, size_t size) {
  std::string out;
  if (size != 0) record::append_text(out, bytes, size);
  return out;
}

std::string hex_of(uint32_t value) {
  std::string out;
  record::append_hex(out, value);
  return out;
}

}  // namespace

std::string hex_address(uint64_t address) {
  char text[2 + 16];
  char* const end = text + sizeof text;
  char* first = velorin::digits::radix_before<16>(end, address, velorin::digits::kHexLower);
  if (first == end) *--first = '0';
  *--first = 'x';
  *--first = '0';
  return std::string(first, end);
}

std::string quoted(const std::string& name) {
  std::string out = "\"";
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += velorin::digits::kHexUpper[c >> 4];
      out += velorin::digits::kHexUpper[c & 0xF];
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

namespace {

// A data item: a message, split into its function and text, or other data
// as hex bytes.
json data_item_json(const record::item& it) {
  json j;
  if (it.kind == 0) {
    const record::message_item message = record::read_message_item(it.data, it.data_size);
    const std::string composed(reinterpret_cast<const char*>(message.text), message.text_size);
    const size_t tab = composed.find('\t');
    j["item"] = "message";
    j["kind"] = 0;
    j["type"] = message.type;
    j["label"] = record::type_label(message.type);
    j["len_type"] = message.len_type;
    j["function"] = composed.substr(0, tab);
    j["text"] = tab == std::string::npos ? std::string() : composed.substr(tab + 1);
  } else {
    std::string bytes;
    for (size_t i = 0; i < it.data_size; ++i) {
      bytes += velorin::digits::kHexLower[it.data[i] >> 4];
      bytes += velorin::digits::kHexLower[it.data[i] & 0xF];
    }
    j["item"] = "data";
    j["kind"] = it.kind;
    j["bytes"] = bytes;
  }
  return j;
}

json item_json(const record::item& it) {
  json j;
  switch (it.tag) {
    case record::kTitle:
      j["item"] = "title";
      j["text"] = text_of(it.text, it.text_size);
      break;
    case record::kValue:
      j["item"] = "value";
      j["value"] = static_cast<int32_t>(it.value);
      break;
    case record::kHexValue:
      j["item"] = "hex";
      j["value"] = it.value;
      j["text"] = hex_of(it.value);
      break;
    case record::kString:
      j["item"] = "string";
      j["text"] = text_of(it.text, it.text_size);
      break;
    case record::kSet:
      j["item"] = "set";
      j["name"] = text_of(it.text, it.text_size);
      j["value"] = it.value;
      j["text"] = hex_of(it.value);
      break;
    case record::kData:
      return data_item_json(it);
    default:
      j["item"] = "unknown";
      j["tag"] = it.tag;
      break;
  }
  return j;
}

std::string dump_line(record_span record) {
  std::string line;
  record::render_dump_line(line, record.data, record.size, record::append_default_data);
  record::end_file_line(line);
  return line;
}

// Reads items up to the end of `items`, calling `on_item` for each; false
// when the last one runs past the end.
template <class OnItem>
bool read_items(record_span items, OnItem&& on_item) {
  record::reader in(items.data, items.size);
  record::item it;
  while (in.unread() != 0) {
    if (!in.read_item(it)) return false;
    on_item(static_cast<const record::item&>(it));
  }
  return true;
}

// The item segments of a record under construction, as a dump line without
// its header, with the line end.
std::string uncommitted_line(record_span items) {
  std::string line;
  const bool parsed = read_items(items, [&](const record::item& it) {
    if (it.tag == record::kData) {
      record::append_default_data(line, it.kind, it.data, it.data_size);
    } else {
      record::append_item(line, it);
    }
  });
  if (!parsed) line += record::kMalformedMarker;
  record::end_file_line(line);
  return line;
}

json origin_json(const record_origin& origin) {
  json j;
  j["logger"] = origin.logger ? json(*origin.logger) : json(nullptr);
  j["trace_id"] = origin.trace_id ? json(*origin.trace_id) : json(nullptr);
  j["ring"] = origin.ring ? json(hex_address(*origin.ring)) : json(nullptr);
  return j;
}

// Completes a record's object with its items and its line (without the line
// end), and appends it with a line end.
void append_json(std::string& out, json& j, json items, bool parsed, std::string line) {
  j["items"] = std::move(items);
  if (!parsed) j["malformed"] = true;
  line.pop_back();
  j["line"] = std::move(line);
  out += j.dump(-1, ' ', false, json::error_handler_t::replace);
  out += '\n';
}

}  // namespace

void append_dump_line(std::string& out, record_span record) {
  out += dump_line(record);
}

std::string ring_heading(const found_ring& ring) {
  std::string heading = "# ring " + hex_address(ring.address) + " size " +
                        std::to_string(ring.state.size) + " records " +
                        std::to_string(ring.records);
  if (ring.store_recognised) {
    heading += " logger " + quoted(ring.name) + " trace_id " + std::to_string(ring.trace_id);
  } else {
    heading += " logger ? trace_id ?";
  }
  if (ring.torn) heading += " torn at offset " + std::to_string(ring.torn->offset);
  return heading + "\n";
}

void append_uncommitted_line(std::string& out, record_span items) {
  out += "# uncommitted ";
  out += uncommitted_line(items);
}

void append_json_line(std::string& out, record_span record, const record_origin& origin) {
  json j = origin_json(origin);
  json items = json::array();
  const bool parsed = record::read_record(
      record.data, record.size,
      [&](const record::header& h) {
        std::string time;
        record::append_time_of_day(time, h.time_of_day);
        j["time"] = time;
        j["time_ms"] = h.time_of_day;
        j["task_id"] = h.task_id;
      },
      [&](const record::item& it) { items.push_back(item_json(it)); });
  append_json(out, j, std::move(items), parsed, dump_line(record));
}

void append_uncommitted_json(std::string& out, record_span items, const record_origin& origin) {
  json j = origin_json(origin);
  j["uncommitted"] = true;
  json list = json::array();
  const bool parsed =
      read_items(items, [&](const record::item& it) { list.push_back(item_json(it)); });
  append_json(out, j, std::move(list), parsed, uncommitted_line(items));
}

}  // namespace wexlog
