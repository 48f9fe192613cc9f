// A slim reader/writer lock with scoped guards. SRW locks need no destruction and start
// from a constant initialiser, so a namespace-scope lock is safe to use during DllMain.
#pragma once

#include <windows.h>

namespace qel::win {

class SrwLock {
 public:
  class ExclusiveGuard {
   public:
    explicit ExclusiveGuard(SRWLOCK& lock) : lock_(lock) { ::AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveGuard() { ::ReleaseSRWLockExclusive(&lock_); }
    ExclusiveGuard(const ExclusiveGuard&) = delete;
    ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;

   private:
    SRWLOCK& lock_;
  };

  constexpr SrwLock() = default;
  SrwLock(const SrwLock&) = delete;
  SrwLock& operator=(const SrwLock&) = delete;

  [[nodiscard]] ExclusiveGuard lock_exclusive() { return ExclusiveGuard(lock_); }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};

}  // namespace qel::win
