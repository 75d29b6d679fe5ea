// SPDX-License-Identifier: MIT
// Answers worked out from a text that a call site passes by address, the same
// literal on every call (a function name, a format), remembered per address.
//
// An answer is found again only while the bytes of the text that decided it
// are still the same, so a text in a buffer that changes between calls is
// worked out anew; an address whose bytes changed is not remembered again.
// The bytes are compared on every call, unless they lie where they cannot
// change: in the read-only part of the executable (read_only_image.h), where
// the literals of call sites in the program itself are.
// Entries are immutable once published and live in a fixed arena: the table
// is bounded, and once it is full further texts are worked out on every
// call. Finding an answer takes no lock: an entry is complete before a slot
// points to it (release), and a reader that loads the slot (acquire) sees it
// whole. Objects of this class are constant-initialized, so a memo at
// namespace scope is ready before any logger is.
#ifndef WEX_LIB_LOG_ADDRESS_MEMO_H
#define WEX_LIB_LOG_ADDRESS_MEMO_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include "entry/read_only_image.h"

namespace velorin {

template <size_t SlotBits, size_t ArenaSize>
class address_memo {
 public:
  static constexpr size_t kNoSlot = ~size_t{0};
  // Answers longer than this, or decided by more bytes, are not remembered.
  static constexpr size_t kLongest = 1024;

  struct lookup {
    const void* answer;  // null when none is remembered
    size_t free_slot;    // where remember() may keep one, or kNoSlot
  };

  constexpr address_memo() = default;
  address_memo(const address_memo&) = delete;
  address_memo& operator=(const address_memo&) = delete;

  lookup find(const char* text) const {
    size_t at = first_slot(text);
    for (size_t probe = 0; probe < kProbes; ++probe, at = (at + 1) % kSlots) {
      const entry* e = slots_[at].load(std::memory_order_acquire);
      if (e == nullptr) return {nullptr, at};
      if (e->text != text) continue;
      if (e->compared == 0 || std::strncmp(e->decided(), text, e->compared) == 0) {
        return {e->answer(), kNoSlot};
      }
      break;
    }
    return {nullptr, kNoSlot};
  }

  // Keeps the `count` items at `answer`, decided by the first `decided_by`
  // bytes of `text` (its NUL included when the whole text decided), in
  // `free_slot` or the next free one.
  template <class T>
  void remember(const char* text, size_t decided_by, const T* answer, size_t count,
                size_t free_slot) {
    static_assert(std::is_trivially_copyable<T>::value && alignof(T) <= kAlign,
                  "answers are copied bytewise into the arena");
    const size_t answer_size = count * sizeof(T);
    if (free_slot == kNoSlot || decided_by > kLongest || answer_size > kLongest) return;
    const size_t compared = in_read_only_image(text, decided_by) ? 0 : decided_by;
    entry* e = allocate(round_up(answer_size) + compared);
    if (e == nullptr) return;
    e->text = text;
    e->compared = static_cast<uint32_t>(compared);
    e->answer_size = static_cast<uint32_t>(round_up(answer_size));
    std::memcpy(e + 1, answer, answer_size);
    std::memcpy(const_cast<char*>(e->decided()), text, compared);
    for (size_t probe = 0; probe < kProbes; ++probe) {
      const entry* expected = nullptr;
      if (slots_[(free_slot + probe) % kSlots].compare_exchange_strong(
              expected, e, std::memory_order_release, std::memory_order_relaxed)) {
        return;
      }
    }
  }

 private:
  static constexpr size_t kSlots = size_t{1} << SlotBits;
  static constexpr size_t kProbes = 8;
  static constexpr size_t kAlign = alignof(uint64_t);

  // Followed by the answer, then the bytes that find() compares.
  struct alignas(kAlign) entry {
    const char* text;
    uint32_t compared;  // the bytes that decided, or 0 where they cannot change
    uint32_t answer_size;
    const void* answer() const { return this + 1; }
    const char* decided() const { return reinterpret_cast<const char*>(this + 1) + answer_size; }
  };

  static size_t round_up(size_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }

  static size_t first_slot(const char* text) {
    constexpr auto kMultiplier = static_cast<uintptr_t>(0x9E3779B97F4A7C15ull);
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(text) * kMultiplier) >>
                               (sizeof(uintptr_t) * 8 - SlotBits));
  }

  // Room for an entry and `bytes` more, or null once the arena is full.
  entry* allocate(size_t bytes) {
    const size_t size = round_up(sizeof(entry) + bytes);
    // A full arena is not added to again: the count would otherwise grow
    // with every text met after, and on a 32-bit device wrap round to hand
    // out the live entries' bytes a second time.
    if (used_.load(std::memory_order_relaxed) >= ArenaSize) return nullptr;
    const size_t at = used_.fetch_add(size, std::memory_order_relaxed);
    if (at + size > ArenaSize) return nullptr;
    return new (arena_ + at) entry;
  }

  std::atomic<const entry*> slots_[kSlots] = {};
  std::atomic<size_t> used_{0};
  alignas(kAlign) unsigned char arena_[ArenaSize] = {};
};

}  // namespace velorin

#endif  // WEX_LIB_LOG_ADDRESS_MEMO_H
