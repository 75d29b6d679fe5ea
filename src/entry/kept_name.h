// SPDX-License-Identifier: MIT
// The part of the calling function's name that a message keeps, by length
// selector.
//
// Selector 2 keeps the last two components of a qualified name: what follows
// the second-last "::" before the first "(" up to that "(", or everything
// before the "(" when fewer than two "::" precede it. Without a "(" it keeps
// the whole name and turns into selector 1 (no type label in the echoes).
// Every other selector keeps the whole name.
//
// A call site passes the same name literal every time, so selector 2's
// answer is remembered per name address, for all loggers (address_memo.h).
#ifndef WEX_LIB_LOG_KEPT_NAME_H
#define WEX_LIB_LOG_KEPT_NAME_H

#include <cstddef>

namespace velorin {

struct kept_name {
  const char* text;  // inside the name given
  size_t length;
  int len_type;  // the selector as applied
};

kept_name keep_function_name(const char* name, int len_type);

}  // namespace velorin

#endif  // WEX_LIB_LOG_KEPT_NAME_H
