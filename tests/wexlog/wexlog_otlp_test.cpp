// SPDX-License-Identifier: MIT
// wexlog's OTLP lines: where each part of a record goes, the severity each
// message type maps to, and the body of structured, malformed and
// uncommitted records. That the lines are valid OTLP is checked against the
// protobuf definitions by tests/otlp.
#include <otlp.h>

#include <nlohmann/json.hpp>

#include "test_support.h"

namespace {

using wexlog_test::hex_bytes;
using json = nlohmann::json;

// A record at 13:05:09.123 of task 0x1234 holding one message item.
std::vector<unsigned char> message_record(unsigned char type, const std::string& composed) {
  return wexlog_test::message_record(47109123, 0x1234, type, 2, composed);
}

// The one log record of a line, with its attributes as a key-value map.
json log_record_of(const std::string& line, json* attributes) {
  const json record = json::parse(line)["resourceLogs"][0]["scopeLogs"][0]["logRecords"][0];
  *attributes = json::object();
  for (const json& pair : record.value("attributes", json::array()))
    (*attributes)[pair["key"].get<std::string>()] = pair["value"];
  return record;
}

TEST(WexlogOtlp, AMessageRecordOfACrashFileIsOneLogsDataLine) {
  std::string out;
  wexlog::append_otlp_record(out, message_record(32, "Link::send\tlink up"), {"net", -7, 0x1000},
                             {11, 42, 1796610094});
  EXPECT_EQ(out, R"({"resourceLogs":[{"resource":{"attributes":[)"
                 R"({"key":"process.pid","value":{"intValue":"42"}},)"
                 R"({"key":"wexlog.crash.signal","value":{"intValue":"11"}}]},)"
                 R"("scopeLogs":[{"scope":{"name":"net"},"logRecords":[{)"
                 R"("severityNumber":12,"severityText":"INFO","body":{"stringValue":"link up"},)"
                 R"("attributes":[{"key":"thread.id","value":{"intValue":"4660"}},)"
                 R"({"key":"wexlog.time_of_day","value":{"stringValue":"13:05:09.123"}},)"
                 R"({"key":"wexlog.message.type","value":{"intValue":"32"}},)"
                 R"({"key":"wexlog.message.type_label","value":{"stringValue":"[IMP***]"}},)"
                 R"({"key":"code.function.name","value":{"stringValue":"Link::send"}},)"
                 R"({"key":"wexlog.message.length_selector","value":{"intValue":"2"}},)"
                 R"({"key":"wexlog.logger.name","value":{"stringValue":"net"}},)"
                 R"({"key":"wexlog.logger.trace_id","value":{"intValue":"-7"}},)"
                 R"({"key":"wexlog.ring.address","value":{"stringValue":"0x1000"}}],)"
                 R"("observedTimeUnixNano":"1796610094000000000"}]}]}]})"
                 "\n");
}

TEST(WexlogOtlp, MessageTypesGiveTheirSeverityAndOtherTypesNone) {
  const std::pair<unsigned char, json> rows[] = {
      {1, {17, "ERROR"}}, {2, {13, "WARN"}},  {4, {1, "TRACE"}},  {8, {1, "TRACE"}},
      {16, {9, "INFO"}},  {32, {12, "INFO"}}, {64, {5, "DEBUG"}}, {3, {nullptr, nullptr}},
  };
  for (const auto& row : rows) {
    std::string out;
    wexlog::append_otlp_record(out, message_record(row.first, "f\tm"), {}, {});
    json attributes;
    const json record = log_record_of(out, &attributes);
    EXPECT_EQ((json{record.value("severityNumber", json()), record.value("severityText", json())}),
              row.second)
        << int(row.first);
    EXPECT_EQ(attributes["wexlog.message.type"]["intValue"], std::to_string(row.first));
  }
}

TEST(WexlogOtlp, OtherRecordsShowTheirDumpSegmentsAndSayWhatTheyAre) {
  std::string out;
  // Title "ab" and value -2; then a record whose count runs past its items;
  // then the items of a record under construction.
  wexlog::append_otlp_record(
      out, hex_bytes("E8 03 00 00 34 12 00 00 02 01 02 61 62 02 FE FF FF FF"), {}, {});
  wexlog::append_otlp_record(out, hex_bytes("E8 03 00 00 34 12 00 00 03 02 05 00 00 00"), {}, {});
  wexlog::append_otlp_uncommitted(out, hex_bytes("02 05 00 00 00"), {}, {});
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(out.substr(at, end - at));
  ASSERT_EQ(lines.size(), 3u);
  json attributes;
  json record = log_record_of(lines[0], &attributes);
  EXPECT_EQ(record["body"]["stringValue"], "[ab" + std::string(30, ' ') + "][-2]");
  EXPECT_FALSE(record.contains("severityNumber"));
  EXPECT_EQ(attributes["wexlog.time_of_day"]["stringValue"], "00:00:01.000");
  record = log_record_of(lines[1], &attributes);
  EXPECT_EQ(record["body"]["stringValue"], "[5][!malformed]");
  EXPECT_EQ(attributes["wexlog.record.malformed"]["boolValue"], true);
  record = log_record_of(lines[2], &attributes);
  EXPECT_EQ(record["body"]["stringValue"], "[5]");
  EXPECT_EQ(attributes["wexlog.record.uncommitted"]["boolValue"], true);
  EXPECT_FALSE(attributes.contains("thread.id"));
}

}  // namespace
