// SPDX-License-Identifier: MIT
// The byte layout of a crash file, shared by the recorder that writes it
// from a signal handler and the post-mortem tools that read it, so that both
// agree on every offset. The layout itself is described in
// wex_lib_log_crash.h. Everything here is constexpr or inline and allocates
// nothing, so the signal handler may use it.
#ifndef WEXLOG_CODEC_CRASH_FORMAT_H
#define WEXLOG_CODEC_CRASH_FORMAT_H

#include <cstddef>
#include <cstdint>

#include "codec/byte_order.h"

namespace velorin {
namespace crash_format {

constexpr unsigned char kMagic[8] = {'W', 'E', 'X', 'L', 'O', 'G', 'C', 'R'};
constexpr uint32_t kVersion = 1;
constexpr size_t kFileHeaderSize = 32;

constexpr unsigned char kLoggerTag[4] = {'L', 'O', 'G', 'R'};
constexpr size_t kLoggerHeaderSize = 44;
constexpr uint32_t kNameLimit = 4096;

constexpr unsigned char kEndTag[4] = {'E', 'N', 'D', '!'};
constexpr size_t kEndSize = 8;

// Offsets inside the file header.
constexpr size_t kVersionAt = 8, kSignalAt = 12, kPidAt = 16, kReservedAt = 20, kTimeAt = 24;

// Offsets inside a logger section's fixed part.
constexpr size_t kTraceIdAt = 4, kRingAddressAt = 8, kEmptyAt = 16, kWritePosAt = 20,
                 kReadPosAt = 24, kRingSizeAt = 28, kNameSizeAt = 32, kBuildingSizeAt = 36,
                 kItemCountAt = 40, kSectionReservedAt = 41;

// Offset of the logger count in the end section.
constexpr size_t kLoggerCountAt = 4;

using velorin::load_le;
using velorin::store_le;

inline void copy_tag(unsigned char* out, const unsigned char (&tag)[4]) {
  for (unsigned int i = 0; i < 4; ++i) out[i] = tag[i];
}

inline bool has_tag(const unsigned char* in, const unsigned char (&tag)[4]) {
  return in[0] == tag[0] && in[1] == tag[1] && in[2] == tag[2] && in[3] == tag[3];
}

}  // namespace crash_format
}  // namespace velorin

#endif  // WEXLOG_CODEC_CRASH_FORMAT_H
