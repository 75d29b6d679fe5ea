// SPDX-License-Identifier: MIT
// Holds a platform semaphore for one scope, so that it is released on every
// path out, exceptions included.
#ifndef WEX_LIB_LOG_SEMAPHORE_HOLD_H
#define WEX_LIB_LOG_SEMAPHORE_HOLD_H

#include <QMV_Mutex_Semaphore.h>

namespace velorin {

constexpr unsigned long kWaitForever = 0xFFFFFFFF;

class semaphore_hold {
 public:
  explicit semaphore_hold(QMV_Mutex_Semaphore& semaphore) : semaphore_(semaphore) {
    semaphore_.request(kWaitForever);
  }
  ~semaphore_hold() { semaphore_.release(); }
  semaphore_hold(const semaphore_hold&) = delete;
  semaphore_hold& operator=(const semaphore_hold&) = delete;

 private:
  QMV_Mutex_Semaphore& semaphore_;
};

}  // namespace velorin

#endif  // WEX_LIB_LOG_SEMAPHORE_HOLD_H
