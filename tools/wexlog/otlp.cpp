#include "otlp.h"

#include <nlohmann/json.hpp>

#include "storage/wex_lib_log_record.h"

namespace wexlog {
namespace {

namespace record = velorin::log_record;
using json = nlohmann::ordered_json;

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

// AnyValue: int64 goes as a decimal string.
json int_value(int64_t value) {
  return json{{"intValue", std::to_string(value)}};
}
json string_value(std::string value) {
  return json{{"stringValue", std::move(value)}};
}

void add_attribute(json& list, const char* key, json value) {
  list.push_back(json{{"key", key}, {"value", std::move(value)}});
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

// One LogsData line around `log_record`.
void append_line(std::string& out, json log_record, const record_origin& origin,
                 const otlp_resource& resource) {
  json attributes = json::array();
  if (resource.pid) add_attribute(attributes, "process.pid", int_value(*resource.pid));
  if (resource.signal)
    add_attribute(attributes, "wexlog.crash.signal", int_value(*resource.signal));
  if (resource.crash_time) {
    log_record["observedTimeUnixNano"] = std::to_string(*resource.crash_time * 1000000000ull);
  }
  json scope_logs;
  if (origin.logger && !origin.logger->empty()) scope_logs["scope"] = {{"name", *origin.logger}};
  scope_logs["logRecords"] = json::array({std::move(log_record)});
  json resource_logs;
  if (!attributes.empty()) resource_logs["resource"] = {{"attributes", std::move(attributes)}};
  resource_logs["scopeLogs"] = json::array({std::move(scope_logs)});
  const json line{{"resourceLogs", json::array({std::move(resource_logs)})}};
  out += line.dump(-1, ' ', false, json::error_handler_t::replace);
  out += '\n';
}

// The log record for what `seen` holds, with the attributes before it in
// `attributes`.
json log_record_of(const items_seen& seen, bool parsed, const record_origin& origin,
                   json attributes) {
  json log_record;
  std::string body = seen.segments;
  if (!parsed) body += record::kMalformedMarker;
  if (seen.message) {
    const record::message_item& message = *seen.message;
    const std::string composed(reinterpret_cast<const char*>(message.text), message.text_size);
    const size_t tab = composed.find('\t');
    const severity level = severity_of(message.type);
    if (level.number != 0) {
      log_record["severityNumber"] = level.number;
      log_record["severityText"] = level.text;
    }
    if (seen.count == 1 && parsed)
      body = tab == std::string::npos ? composed : composed.substr(tab + 1);
    std::string label = record::type_label(message.type);
    label.pop_back();  // the space after the bracket
    add_attribute(attributes, "wexlog.message.type", int_value(message.type));
    add_attribute(attributes, "wexlog.message.type_label", string_value(label));
    if (tab != std::string::npos && tab != 0) {
      add_attribute(attributes, "code.function.name", string_value(composed.substr(0, tab)));
    }
    add_attribute(attributes, "wexlog.message.length_selector", int_value(message.len_type));
  }
  if (origin.logger && !origin.logger->empty()) {
    add_attribute(attributes, "wexlog.logger.name", string_value(*origin.logger));
  }
  if (origin.trace_id)
    add_attribute(attributes, "wexlog.logger.trace_id", int_value(*origin.trace_id));
  if (origin.ring)
    add_attribute(attributes, "wexlog.ring.address", string_value(hex_address(*origin.ring)));
  if (!parsed) add_attribute(attributes, "wexlog.record.malformed", json{{"boolValue", true}});
  if (!body.empty()) log_record["body"] = string_value(std::move(body));
  if (!attributes.empty()) log_record["attributes"] = std::move(attributes);
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
  json attributes = json::array();
  const bool parsed = record::read_record(
      record.data, record.size,
      [&](const record::header& h) {
        std::string time;
        record::append_time_of_day(time, h.time_of_day);
        add_attribute(attributes, "thread.id", int_value(h.task_id));
        add_attribute(attributes, "wexlog.time_of_day", string_value(std::move(time)));
      },
      [&](const record::item& it) { see_item(seen, it); });
  append_line(out, log_record_of(seen, parsed, origin, std::move(attributes)), origin, resource);
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
  json attributes = json::array();
  add_attribute(attributes, "wexlog.record.uncommitted", json{{"boolValue", true}});
  append_line(out, log_record_of(seen, parsed, origin, std::move(attributes)), origin, resource);
}

}  // namespace wexlog
