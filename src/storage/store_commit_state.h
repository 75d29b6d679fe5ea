// SPDX-License-Identifier: MIT
// The record store's working state for building and committing records,
// which applications never see: the exported class only reserves its bytes
// (wex_lib_log_storage::state_storage_), so that how a record is built can
// change without changing the class's size.
//
// A message is copied once, from the logger's message item into the ring:
// the logger's push_data lends the bytes its caller passes for the length of
// the call (lend_), and a data item made of lent bytes that begins a record
// is kept as a pointer until the commit. While a message is being committed,
// the record under construction is therefore empty and the message's bytes
// are its caller's; the crash recorder saves them as the record under
// construction, but a core taken at that moment shows the message neither in
// the ring nor as uncommitted.
//
// The commit converts the clock to local time once per second and reuses
// that answer within the second. Commits run under the logger's semaphore,
// which guards the remembered second too.
//
// Fields that the crash recorder reads without a lock are atomics, reached
// through relaxed() (relaxed.h).
#ifndef WEX_LIB_LOG_STORE_COMMIT_STATE_H
#define WEX_LIB_LOG_STORE_COMMIT_STATE_H

#include <atomic>
#include <cstdint>

#include "wex_lib_log_storage.h"

namespace velorin {

struct wex_lib_log_storage::commit_state {
  // A data item that begins the record, remembered instead of copied into
  // the record (lent bytes, see lend_); it takes its place in the record as
  // soon as another item follows.
  const unsigned char* lendable = nullptr;
  std::atomic<const unsigned char*> borrowed{nullptr};
  // The record's bytes as of its last whole item, for readers without the lock.
  std::atomic<const unsigned char*> building{nullptr};
  std::atomic<unsigned int> borrowed_size{0};
  std::atomic<uint32_t> building_size{0};
  // The last second the commit converted to local time, and its start in
  // milliseconds since local midnight.
  uint32_t cached_second = 0;
  uint32_t cached_second_ms = 0;
  std::atomic<unsigned char> borrowed_kind{0};
  bool time_cache_valid = false;
};

// The state is built in the reserved bytes by the store's constructor and
// lives exactly as long as the store; the bytes never hold anything else.
// It is reached through the bytes' address without std::launder on purpose:
// with g++ the launder keeps the state's address in a register of its own
// instead of folding it into each field's offset from the store, and costs
// the commit path about ten instructions a message.
inline wex_lib_log_storage::commit_state& wex_lib_log_storage::state_() noexcept {
  return *reinterpret_cast<commit_state*>(state_storage_);
}

inline const wex_lib_log_storage::commit_state& wex_lib_log_storage::state_() const noexcept {
  return *reinterpret_cast<const commit_state*>(state_storage_);
}

// Tells add_data that `bytes` stay valid until the next commit or discard,
// so that a data item made of them need not be copied (the logger's
// push_data lends its caller's bytes this way).
inline void wex_lib_log_storage::lend_(const void* bytes) noexcept {
  state_().lendable = static_cast<const unsigned char*>(bytes);
}

}  // namespace velorin

#endif  // WEX_LIB_LOG_STORE_COMMIT_STATE_H
