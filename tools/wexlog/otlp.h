// SPDX-License-Identifier: MIT
// OTLP/JSON output, the OpenTelemetry file format that log systems ingest
// (for example through a collector's OTLP JSON file receiver): each line is
// one LogsData object holding one log record, under the protobuf JSON
// mapping that OTLP uses: lowerCamelCase field names, enumerations as
// integers, 64-bit integers as decimal strings, and fields at their default
// value left out.
//
// Each line stands alone: a resource (a crash file's signal and pid), one
// scope named after the logger when it is known, and the record. A reader
// that stops early (a crash file cut short, a closed pipe) leaves only whole
// lines behind; the price is the resource repeated on every line.
//
// Mapping of a log record:
// - Records carry the local time of day only, without a date or a time
//   zone, so timeUnixNano is left out (0, "unknown"); the time of day is the
//   attribute wexlog.time_of_day ("13:05:09.123"). A crash file's records
//   were all observed when the task died, so observedTimeUnixNano is the
//   crash time there; elsewhere it is left out.
// - Records store no level: severityNumber and severityText come from the
//   type of the record's first message item:
//     1 [ERROR@]  17 ERROR     2 [warn??]  13 WARN      32 [IMP***]  12 INFO
//     16 [      ]  9 INFO      64 [perfrm]  5 DEBUG     4 [enter ], 8 [return]  1 TRACE
//   Any other type, and a record without a message item, has no severity.
// - body: the message text (after the function name and its TAB) when the
//   record is one message item; otherwise the item segments of its dump
//   line (the line without its "[time:task]" header).
// - attributes, each only when known: wexlog.logger.name,
//   wexlog.logger.trace_id, thread.id (the task id), wexlog.time_of_day,
//   wexlog.ring.address (cores); of the first message item
//   wexlog.message.type, wexlog.message.type_label, code.function.name and
//   wexlog.message.length_selector; wexlog.record.uncommitted (true for a
//   record under construction) and wexlog.record.malformed (true when the
//   record's items run past its end).
// - resource attributes of a crash file: process.pid and
//   wexlog.crash.signal.
// Texts are written as UTF-8; bytes that are not UTF-8 become U+FFFD.
#ifndef WEXLOG_OTLP_H
#define WEXLOG_OTLP_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "printer.h"
#include "render.h"
#include "ring_scan.h"

namespace wexlog {

// What the resource of every line says, when the input tells it.
struct otlp_resource {
  std::optional<uint32_t> signal;
  std::optional<uint32_t> pid;
  std::optional<uint64_t> crash_time;  // seconds since the epoch
};

// The printer of `wexlog --otlp`; tears and unreadable rings are left to
// the reader's notes on standard error.
std::unique_ptr<printer> make_otlp_printer(output& out);

// Appends one LogsData line for a stored record.
void append_otlp_record(std::string& out, record_span record, const record_origin& origin,
                        const otlp_resource& resource);
// Appends one LogsData line for the items of a record under construction.
void append_otlp_uncommitted(std::string& out, record_span items, const record_origin& origin,
                             const otlp_resource& resource);

}  // namespace wexlog

#endif  // WEXLOG_OTLP_H
