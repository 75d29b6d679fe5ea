// SPDX-License-Identifier: MIT
#include "snapshot_file.h"

#include "codec/snapshot_format.h"
#include "core_file.h"

namespace wexlog {

snapshot decode_snapshot(const unsigned char* file, size_t size) {
  ring_state state{};
  const unsigned char* raw = nullptr;
  if (const char* reason = velorin::snapshot_format::decode(file, size, state, raw)) {
    throw input_error(reason);
  }
  const snapshot out{state, raw};
  if (auto reason = unusable_fields(out.state)) throw input_error(*reason);
  return out;
}

}  // namespace wexlog
