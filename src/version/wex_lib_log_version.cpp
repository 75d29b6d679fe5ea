// SPDX-License-Identifier: MIT
#include "wex_lib_log_version.h"

namespace velorin {

const char* wex_lib_log_version() {
  return WEX_LIB_LOG_VERSION_STRING;
}

}  // namespace velorin
