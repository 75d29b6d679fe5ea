// SPDX-License-Identifier: MIT
// Mutex semaphore of the device platform.
//
// Every guarded object of the library embeds one by value. The library relies
// on this contract only: the semaphore starts free when constructed with 1,
// request(0xFFFFFFFF) waits without limit, and it is re-entrant for its
// holder, counting nested requests and becoming free after as many releases.
// The member functions are resolved from the process that loads the library.
#ifndef QMV_MUTEX_SEMAPHORE_H
#define QMV_MUTEX_SEMAPHORE_H

#include <atomic>

class QMV_Mutex_Semaphore {
 public:
  explicit QMV_Mutex_Semaphore(int initial);
  ~QMV_Mutex_Semaphore();
  QMV_Mutex_Semaphore(const QMV_Mutex_Semaphore&) = delete;
  QMV_Mutex_Semaphore& operator=(const QMV_Mutex_Semaphore&) = delete;

  // Waits for the semaphore; 0xFFFFFFFF waits without limit. Returns 0 once held.
  int request(unsigned long timeout);
  // Gives back one request.
  int release();

 private:
  std::atomic<int> word_;             // the lock itself (the platform's business)
  std::atomic<unsigned long> owner_;  // holder's pthread_self(), 0 when free
  unsigned int depth_;                // nested requests of the holder
};

#endif  // QMV_MUTEX_SEMAPHORE_H
