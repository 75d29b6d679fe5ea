// SPDX-License-Identifier: MIT
// Access to a field that some code reads without the lock that guards its
// writes (a size query, the fast empty test of a pop, the crash recorder).
// Such a field is a std::atomic of the plain field's width, and the library
// reaches it only through relaxed(): every access is a relaxed atomic one,
// which on the processors the library runs on is a plain load or store, and
// a reader without the lock sees a value some writer stored, never a torn
// one. Writers still serialise among themselves (under the owner's lock), so
// an update is a load and a store, not a read-modify-write.
#ifndef WEX_LIB_LOG_RELAXED_H
#define WEX_LIB_LOG_RELAXED_H

#include <atomic>

namespace velorin {

template <class T>
class relaxed_ref {
 public:
  explicit relaxed_ref(std::atomic<T>& field) noexcept : field_(field) {}

  operator T() const noexcept { return field_.load(std::memory_order_relaxed); }  // NOLINT
  relaxed_ref& operator=(T value) noexcept {
    field_.store(value, std::memory_order_relaxed);
    return *this;
  }
  relaxed_ref& operator+=(T delta) noexcept { return *this = static_cast<T>(*this + delta); }
  relaxed_ref& operator++() noexcept { return *this += 1; }

 private:
  std::atomic<T>& field_;
};

template <class T>
relaxed_ref<T> relaxed(std::atomic<T>& field) noexcept {
  return relaxed_ref<T>(field);
}

template <class T>
T relaxed(const std::atomic<T>& field) noexcept {
  return field.load(std::memory_order_relaxed);
}

}  // namespace velorin

#endif  // WEX_LIB_LOG_RELAXED_H
