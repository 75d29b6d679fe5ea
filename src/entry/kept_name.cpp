// SPDX-License-Identifier: MIT
#include "entry/kept_name.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "wex_lib_log_entry.h"

namespace velorin {
namespace {

constexpr size_t npos = std::string_view::npos;

// Position of the last "::" that ends at or before `end` in `name`, or npos.
// It looks for the last ':' and then at the one before it, so the search
// touches only the end of the name, a word at a time.
size_t last_colons(const char* name, size_t end) {
  while (end >= 2) {
    const void* colon = memrchr(name + 1, ':', end - 1);
    if (colon == nullptr) break;
    const auto at = static_cast<size_t>(static_cast<const char*>(colon) - name);
    if (name[at - 1] == ':') return at - 1;
    end = at;
  }
  return npos;
}

// Selector 2's answer, and how many bytes from the start of the name decided
// it (the NUL included when the whole name did).
struct trimmed {
  size_t start;
  size_t length;
  int len_type;
  size_t decided_by;
};

trimmed trim_short(const char* name) {
  const char* paren = std::strchr(name, '(');
  if (paren == nullptr) {
    const size_t length = std::strlen(name);
    return {0, length, WEX_LIB_LOG_LEN_NO_LABEL, length + 1};
  }
  const auto before = static_cast<size_t>(paren - name);
  const size_t last = last_colons(name, before);
  if (last == npos) return {0, before, WEX_LIB_LOG_LEN_SHORT, before + 1};
  // From position npos (when `last` is 0) the second search covers the whole
  // name, also past the "(", and so the whole name decides.
  const std::string_view whole = last == 0 ? std::string_view(name) : std::string_view();
  const size_t second = last == 0 ? whole.rfind("::") : last_colons(name, last + 1);
  const size_t decided_by = last == 0 ? whole.size() + 1 : before + 1;
  if (second == npos) return {0, before, WEX_LIB_LOG_LEN_SHORT, decided_by};
  // A count that wraps or runs past the end of the name stops at its end.
  const size_t size = last == 0 ? whole.size() : std::strlen(name);
  const size_t start = second + 2;
  const size_t count = before - start;
  return {start, count < size - start ? count : size - start, WEX_LIB_LOG_LEN_SHORT, decided_by};
}

// The remembered answers: immutable entries in a fixed arena, found through
// an open-addressed table of pointers keyed by the name's address. An entry
// is complete before the table points to it (release), so a reader that
// finds it (acquire) needs no lock.
struct entry {
  const char* name;
  uint32_t start;
  uint32_t length;
  uint32_t decided_by;
  int len_type;
  // Followed by the `decided_by` bytes of the name that decided the answer.
  const char* bytes() const { return reinterpret_cast<const char*>(this + 1); }
};

constexpr size_t kSlotBits = 9;
constexpr size_t kSlots = size_t{1} << kSlotBits;
constexpr size_t kProbes = 8;
constexpr size_t kArenaSize = 32 * 1024;
constexpr size_t kLongestRemembered = 1024;

std::atomic<const entry*> slots[kSlots];
alignas(entry) unsigned char arena[kArenaSize];
std::atomic<size_t> arena_used{0};

size_t first_slot(const char* name) {
  constexpr auto kMultiplier = static_cast<uintptr_t>(0x9E3779B97F4A7C15ull);
  return static_cast<size_t>((reinterpret_cast<uintptr_t>(name) * kMultiplier) >>
                             (sizeof(uintptr_t) * 8 - kSlotBits));
}

bool still_same(const entry& e, const char* name) {
  return std::strncmp(e.bytes(), name, e.decided_by) == 0;
}

// Space for an entry with `bytes` bytes of name, or null when the arena is full.
entry* allocate(size_t bytes) {
  const size_t size = (sizeof(entry) + bytes + alignof(entry) - 1) & ~(alignof(entry) - 1);
  const size_t at = arena_used.fetch_add(size, std::memory_order_relaxed);
  if (at + size > kArenaSize) return nullptr;
  return reinterpret_cast<entry*>(arena + at);
}

// Remembers `answer` in the first free slot from `slot` on, if any.
void remember(const char* name, const trimmed& answer, size_t slot) {
  if (answer.decided_by > kLongestRemembered) return;
  entry* e = allocate(answer.decided_by);
  if (e == nullptr) return;
  *e = {name, static_cast<uint32_t>(answer.start), static_cast<uint32_t>(answer.length),
        static_cast<uint32_t>(answer.decided_by), answer.len_type};
  std::memcpy(e + 1, name, answer.decided_by);
  for (size_t probe = 0; probe < kProbes; ++probe) {
    const entry* expected = nullptr;
    if (slots[(slot + probe) % kSlots].compare_exchange_strong(
            expected, e, std::memory_order_release, std::memory_order_relaxed)) {
      return;
    }
  }
}

kept_name answer_for(const char* name, size_t start, size_t length, int len_type) {
  return {name + start, length, len_type};
}

}  // namespace

kept_name keep_function_name(const char* name, int len_type) {
  if (name == nullptr) name = "";
  if (len_type != WEX_LIB_LOG_LEN_SHORT) return {name, std::strlen(name), len_type};
  const size_t slot = first_slot(name);
  size_t free_slot = kSlots;  // none found
  for (size_t probe = 0; probe < kProbes; ++probe) {
    const size_t at = (slot + probe) % kSlots;
    const entry* e = slots[at].load(std::memory_order_acquire);
    if (e == nullptr) {
      free_slot = at;
      break;
    }
    if (e->name != name) continue;
    if (still_same(*e, name)) return answer_for(name, e->start, e->length, e->len_type);
    // The bytes at this address changed: a buffer, not a literal, so its
    // answers are not worth remembering.
    break;
  }
  const trimmed answer = trim_short(name);
  if (free_slot != kSlots) remember(name, answer, free_slot);
  return answer_for(name, answer.start, answer.length, answer.len_type);
}

}  // namespace velorin
