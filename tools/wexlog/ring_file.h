// SPDX-License-Identifier: MIT
// Reading ring files, the rings that loggers keep in mapped files
// (codec/ring_file_format.h) and that their task left behind when it was
// killed, or still writes while it runs.
//
// The control fields are taken as the writer leaves them at any instant: an
// empty flag of 1 with the positions apart is a push into an empty ring cut
// off once its record was whole, so the ring holds that record; a flag of
// kChanging is a ring being cleared or replaced, which holds nothing; equal
// positions with the flag 0 whose chain does not close are a push that
// discarded every older record for its own, so no record is committed.
//
// The ring record at the write position is the one a push was writing when
// the task died. It is shown as uncommitted, never counted, when it fits
// the free space, its bytes parse to a whole log record (a message item with
// a single-bit type, a text without NUL and its two closing zeros), it is
// not older than the newest committed record, and it does not begin a chain
// of whole records that ends exactly at the read position (the records a
// push discarded, still there).
#ifndef WEXLOG_RING_FILE_H
#define WEXLOG_RING_FILE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "printer.h"
#include "ring_scan.h"

namespace wexlog {

struct ring_file {
  uint32_t pid = 0;
  uint64_t start_time = 0;
  int32_t trace_id = 0;
  std::string name;
  uint32_t ring_size = 0;
  ring_state state{};                // as stored, in host byte order
  std::vector<unsigned char> bytes;  // ring_size of them
};

// Whether the bytes begin as a ring file does.
bool is_ring_file(const unsigned char* data, size_t size);
// Reads a ring file's header and bytes; throws input_error, saying why, for
// a file that is not one, of another version or byte order, cut short, or
// whose header is inconsistent.
ring_file decode_ring_file(const unsigned char* data, size_t size);
// Reads a whole ring file without mapping it, so that a file truncated
// meanwhile cannot fault the reader. Throws input_error.
std::vector<unsigned char> read_ring_file(const std::string& path);

// What a ring file holds, as its control fields say.
struct ring_file_reading {
  ring_state state{};                   // as walked
  std::optional<std::string> unusable;  // why its fields cannot be walked
  bool changing = false;                // cleared or replaced at that instant
  uint64_t records = 0;
  std::optional<tear> torn;
  // The items of the record a push was writing, when they look whole.
  std::optional<std::vector<unsigned char>> uncommitted;
};
ring_file_reading read_ring(const ring_file& file);

// "# ring file PATH size S records M logger "NAME" trace_id T" and the tear,
// with its line end.
std::string ring_file_heading(const std::string& path, const ring_file& file,
                              const ring_file_reading& reading);
// Whether the writer still runs: "running" when <proc>/<pid>/stat shows a
// live task that started at `start_time` (or up to half a second before:
// an emulated writer reads its start a little late), else
// "stale: ..." saying why not.
std::string task_status(uint32_t pid, uint64_t start_time, const std::string& proc = "/proc");

// Prints the committed records, then the uncommitted one.
void print_ring_file(const ring_file& file, const ring_file_reading& reading, printer& print);

}  // namespace wexlog

#endif  // WEXLOG_RING_FILE_H
