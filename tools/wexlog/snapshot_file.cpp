// SPDX-License-Identifier: MIT
#include "snapshot_file.h"

#include "core_file.h"
#include "storage/wex_lib_log_snapshot_format.h"

namespace wexlog {

snapshot decode_snapshot(const unsigned char* file, size_t size) {
  velorin::WEX_LIB_LOG_RING_BUFFER_CTRL_INFO_ info{};
  const unsigned char* raw = nullptr;
  if (const char* reason = velorin::snapshot_format::decode(file, size, info, raw)) {
    throw input_error(reason);
  }
  const snapshot out{ring_state{info.empty, info.write_pos, info.read_pos, info.size}, raw};
  if (auto reason = unusable_fields(out.state)) throw input_error(*reason);
  return out;
}

}  // namespace wexlog
