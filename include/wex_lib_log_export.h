// SPDX-License-Identifier: MIT
// Marks the classes and functions that libwexliblog exports; everything else
// in the library is hidden.
#ifndef WEX_LIB_LOG_EXPORT_H
#define WEX_LIB_LOG_EXPORT_H

#define WEX_LIB_LOG_API __attribute__((visibility("default")))
// Keeps a member of an exported class out of the exports.
#define WEX_LIB_LOG_LOCAL __attribute__((visibility("hidden")))

#endif  // WEX_LIB_LOG_EXPORT_H
