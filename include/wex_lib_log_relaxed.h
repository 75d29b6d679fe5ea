// SPDX-License-Identifier: MIT
// A field that some code reads without the lock that guards its writes (a
// size query, the fast empty test of a pop, the crash recorder). Every
// access is a relaxed atomic one of the field's own width: on the
// processors the library runs on that is a plain load or store, and a
// reader without the lock sees a value some writer stored, never a torn one.
// Writers still serialise among themselves (under the owner's lock), so an
// update is a load and a store, not a read-modify-write.
#ifndef WEX_LIB_LOG_RELAXED_H
#define WEX_LIB_LOG_RELAXED_H

#include <atomic>

namespace velorin {

template <class T>
class relaxed_field {
 public:
  constexpr relaxed_field(T value) noexcept : value_(value) {}  // NOLINT: converts like T
  relaxed_field(const relaxed_field&) = delete;
  relaxed_field& operator=(const relaxed_field&) = delete;

  operator T() const noexcept { return value_.load(std::memory_order_relaxed); }
  relaxed_field& operator=(T value) noexcept {
    value_.store(value, std::memory_order_relaxed);
    return *this;
  }
  relaxed_field& operator+=(T delta) noexcept { return *this = static_cast<T>(*this + delta); }
  relaxed_field& operator++() noexcept { return *this += 1; }

 private:
  std::atomic<T> value_;
};

}  // namespace velorin

#endif  // WEX_LIB_LOG_RELAXED_H
