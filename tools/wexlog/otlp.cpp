// SPDX-License-Identifier: MIT
#include "otlp.h"

#include <nlohmann/json.hpp>

#include "codec/dump_line.h"

namespace wexlog {
namespace {

namespace record = velorin::log_record;
using json = nlohmann::json;

struct severity {
  int number;
  const char* text;
};

// The severity a message type stands for; number 0 when none does.
severity severity_of(unsigned char type) {
  switch (type) {
    case 1:
      return {17, "ERROR"};
    case 2:
      return {13, "WARN"};
    case 4:
    case 8:
      return {1, "TRACE"};
    case 16:
      return {9, "INFO"};
    case 32:
      return {12, "INFO"};
    case 64:
      return {5, "DEBUG"};
    default:
      return {0, nullptr};
  }
}

// `text` as a JSON string; bytes that are not UTF-8 become U+FFFD.
void put_string(std::string& out, const std::string& text) {
  out += json(text).dump(-1, ' ', false, json::error_handler_t::replace);
}

// The members of a JSON object or the elements of an array, written as
// text as they are added (a tree of JSON values would cost more than the
// rest of the rendering), with commas between them.
class members {
 public:
  // Where the next member goes.
  std::string& next() {
    if (!text_.empty()) text_ += ',';
    return text_;
  }
  bool empty() const { return text_.empty(); }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// Attributes (KeyValue) of the AnyValue kinds used; keys need no escaping.
std::string& begin_attribute(members& list, const char* key, const char* kind) {
  std::string& out = list.next();
  out += "{\"key\":\"";
  out += key;
  out += "\",\"value\":{\"";
  out += kind;
  out += "\":";
  return out;
}
void add_int(members& list, const char* key, int64_t value) {
  std::string& out = begin_attribute(list, key, "intValue");  // int64 as a decimal string
  out += '"';
  out += std::to_string(value);
  out += "\"}}";
}
void add_string(members& list, const char* key, const std::string& value) {
  std::string& out = begin_attribute(list, key, "stringValue");
  put_string(out, value);
  out += "}}";
}
void add_true(members& list, const char* key) {
  begin_attribute(list, key, "boolValue") += "true}}";
}

// What one record's items give: the dump segments, the first message item
// and whether that item is all the record holds.
struct items_seen {
  std::string segments;
  std::optional<record::message_item> message;
  size_t count = 0;
};

void see_item(items_seen& seen, const record::item& it) {
  ++seen.count;
  if (it.tag != record::kData) {
    record::append_item(seen.segments, it);
    return;
  }
  record::append_default_data(seen.segments, it.kind, it.data, it.data_size);
  if (it.kind == 0 && !seen.message)
    seen.message = record::read_message_item(it.data, it.data_size);
}

// One LogsData line around the members of `log_record`.
void append_line(std::string& out, const members& log_record, const record_origin& origin,
                 const otlp_resource& resource) {
  members attributes;
  if (resource.pid) add_int(attributes, "process.pid", *resource.pid);
  if (resource.signal) add_int(attributes, "wexlog.crash.signal", *resource.signal);
  out += "{\"resourceLogs\":[{";
  if (!attributes.empty()) {
    out += "\"resource\":{\"attributes\":[";
    out += attributes.text();
    out += "]},";
  }
  out += "\"scopeLogs\":[{";
  if (origin.logger && !origin.logger->empty()) {
    out += "\"scope\":{\"name\":";
    put_string(out, *origin.logger);
    out += "},";
  }
  out += "\"logRecords\":[{";
  out += log_record.text();
  out += "}]}]}]}\n";
}

// The members of the log record for what `seen` holds, after the
// attributes already in `attributes`.
members log_record_of(const items_seen& seen, bool parsed, const record_origin& origin,
                      const otlp_resource& resource, members attributes) {
  members log_record;
  std::string body = seen.segments;
  if (!parsed) body += record::kMalformedMarker;
  if (seen.message) {
    const record::message_item& message = *seen.message;
    const std::string composed(reinterpret_cast<const char*>(message.text), message.text_size);
    const size_t tab = composed.find('\t');
    const severity level = severity_of(message.type);
    if (level.number != 0) {
      log_record.next() += "\"severityNumber\":" + std::to_string(level.number);
      log_record.next() += std::string("\"severityText\":\"") + level.text + '"';
    }
    if (seen.count == 1 && parsed)
      body = tab == std::string::npos ? composed : composed.substr(tab + 1);
    std::string label = record::type_label(message.type);
    label.pop_back();  // the space after the bracket
    add_int(attributes, "wexlog.message.type", message.type);
    add_string(attributes, "wexlog.message.type_label", label);
    if (tab != std::string::npos && tab != 0) {
      add_string(attributes, "code.function.name", composed.substr(0, tab));
    }
    add_int(attributes, "wexlog.message.length_selector", message.len_type);
  }
  if (origin.logger && !origin.logger->empty()) {
    add_string(attributes, "wexlog.logger.name", *origin.logger);
  }
  if (origin.trace_id) add_int(attributes, "wexlog.logger.trace_id", *origin.trace_id);
  if (origin.ring) add_string(attributes, "wexlog.ring.address", hex_address(*origin.ring));
  if (!parsed) add_true(attributes, "wexlog.record.malformed");
  if (!body.empty()) {
    std::string& out = log_record.next();
    out += "\"body\":{\"stringValue\":";
    put_string(out, body);
    out += '}';
  }
  if (!attributes.empty()) log_record.next() += "\"attributes\":[" + attributes.text() + ']';
  if (resource.crash_time) {
    log_record.next() +=
        "\"observedTimeUnixNano\":\"" + std::to_string(*resource.crash_time * 1000000000ull) + '"';
  }
  return log_record;
}

// One LogsData line per record and per record under construction; a crash
// file's heading, which comes first, gives the resource of every line.
class otlp_printer : public printer {
 public:
  explicit otlp_printer(output& out) : out_(out) {}
  void crash(const crash_heading& h) override { resource_ = {h.signal, h.pid, h.time}; }
  void ring(const found_ring&) override {}
  void unreadable(const std::string&) override {}
  void joins(const found_ring::join&) override {}
  void record(record_span record, const record_origin& origin) override {
    append_otlp_record(out_.text(), record, origin, resource_);
  }
  void uncommitted(record_span items, const record_origin& origin) override {
    append_otlp_uncommitted(out_.text(), items, origin, resource_);
  }
  bool shows_ring_state() const override { return false; }

 private:
  output& out_;
  otlp_resource resource_;
};

}  // namespace

std::unique_ptr<printer> make_otlp_printer(output& out) {
  return std::make_unique<otlp_printer>(out);
}

void append_otlp_record(std::string& out, record_span record, const record_origin& origin,
                        const otlp_resource& resource) {
  items_seen seen;
  members attributes;
  const bool parsed = record::read_record(
      record.data, record.size,
      [&](const record::header& h) {
        std::string time;
        record::append_time_of_day(time, h.time_of_day);
        add_int(attributes, "thread.id", h.task_id);
        add_string(attributes, "wexlog.time_of_day", time);
      },
      [&](const record::item& it) { see_item(seen, it); });
  append_line(out, log_record_of(seen, parsed, origin, resource, std::move(attributes)), origin,
              resource);
}

void append_otlp_uncommitted(std::string& out, record_span items, const record_origin& origin,
                             const otlp_resource& resource) {
  items_seen seen;
  record::reader in(items.data, items.size);
  bool parsed = true;
  for (record::item it; parsed && in.unread() != 0;) {
    parsed = in.read_item(it);
    if (parsed) see_item(seen, it);
  }
  members attributes;
  add_true(attributes, "wexlog.record.uncommitted");
  append_line(out, log_record_of(seen, parsed, origin, resource, std::move(attributes)), origin,
              resource);
}

}  // namespace wexlog
