// SPDX-License-Identifier: MIT
// Tracer observers and the registry a logger keeps them in.
//
// The registry holds borrowed pointers in attachment order, never twice, and
// never creates, deletes or notifies a tracer. exec runs each attached tracer
// once, in order, and returns the bitwise OR of their results. Nothing here
// is locked: callers serialise attach, remove and exec themselves.
//
// Choices this registry makes where its contract leaves room:
// - A null tracer is never attached.
// - A tracer may remove itself or another tracer while exec runs: the entry
//   is blanked at once (and so never run again) and taken out of the list
//   when the outermost exec returns. A tracer attached during exec runs later
//   in the same pass.
#ifndef WEX_LIB_LOG_TRACER_H
#define WEX_LIB_LOG_TRACER_H

#include <list>

#include "wex_lib_log_export.h"

namespace velorin {

class WEX_LIB_LOG_API wex_lib_log_tracer {
 public:
  virtual int exec_trace() = 0;
  virtual ~wex_lib_log_tracer();
};

class WEX_LIB_LOG_API wex_lib_log_tracer_manager {
 public:
  wex_lib_log_tracer_manager();
  ~wex_lib_log_tracer_manager();
  wex_lib_log_tracer_manager(const wex_lib_log_tracer_manager&) = delete;
  wex_lib_log_tracer_manager& operator=(const wex_lib_log_tracer_manager&) = delete;

  void add(wex_lib_log_tracer* tracer);
  void remove(wex_lib_log_tracer* tracer);
  int exec();

 private:
  std::list<wex_lib_log_tracer*> tracers_;
  unsigned int passes_running_;
};

}  // namespace velorin

#endif  // WEX_LIB_LOG_TRACER_H
