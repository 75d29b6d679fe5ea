// SPDX-License-Identifier: MIT
#include "entry/kept_name.h"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "entry/address_memo.h"
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

// Selector 2's answers, per name address.
struct remembered {
  uint32_t start;
  uint32_t length;
  int len_type;
};

address_memo<9, 16 * 1024> names;

}  // namespace

kept_name keep_function_name(const char* name, int len_type) {
  if (name == nullptr) name = "";
  if (len_type != WEX_LIB_LOG_LEN_SHORT) return {name, std::strlen(name), len_type};
  const auto found = names.find(name);
  if (found.answer != nullptr) {
    const auto* known = static_cast<const remembered*>(found.answer);
    return {name + known->start, known->length, known->len_type};
  }
  const trimmed answer = trim_short(name);
  const remembered known{static_cast<uint32_t>(answer.start), static_cast<uint32_t>(answer.length),
                         answer.len_type};
  names.remember(name, answer.decided_by, &known, 1, found.free_slot);
  return {name + answer.start, answer.length, answer.len_type};
}

}  // namespace velorin
