// SPDX-License-Identifier: MIT
#include "wex_lib_log_tracer.h"

#include <algorithm>

namespace velorin {

wex_lib_log_tracer::~wex_lib_log_tracer() = default;

wex_lib_log_tracer_manager::wex_lib_log_tracer_manager() : passes_running_(0) {}

wex_lib_log_tracer_manager::~wex_lib_log_tracer_manager() = default;

void wex_lib_log_tracer_manager::add(wex_lib_log_tracer* tracer) {
  if (tracer == nullptr) return;
  if (std::find(tracers_.begin(), tracers_.end(), tracer) != tracers_.end()) return;
  tracers_.push_back(tracer);
}

void wex_lib_log_tracer_manager::remove(wex_lib_log_tracer* tracer) {
  if (tracer == nullptr) return;
  if (passes_running_ == 0) {
    tracers_.remove(tracer);
    return;
  }
  // A running pass still needs the entry to find the next one: blank it now,
  // take it out when the pass ends.
  std::replace(tracers_.begin(), tracers_.end(), tracer, static_cast<wex_lib_log_tracer*>(nullptr));
}

int wex_lib_log_tracer_manager::exec() {
  // Entries blanked by a remove during the pass go when the outermost pass ends.
  struct pass {
    explicit pass(wex_lib_log_tracer_manager& manager) : manager_(manager) {
      ++manager_.passes_running_;
    }
    ~pass() {
      if (--manager_.passes_running_ == 0) manager_.tracers_.remove(nullptr);
    }
    wex_lib_log_tracer_manager& manager_;
  } running(*this);
  int result = 0;
  for (wex_lib_log_tracer* tracer : tracers_) {
    if (tracer != nullptr) result |= tracer->exec_trace();
  }
  return result;
}

}  // namespace velorin
