// Locks, condition variables and threads built directly on Win32 primitives. The DLL must not
// depend on a threading run-time (winpthreads) that a host would then carry, so no
// std::thread, std::mutex or std::condition_variable is used anywhere in the library.
#pragma once

#include <windows.h>

#include <functional>

#include "win/unique_handle.h"

namespace quennet {

class SrwLock {
 public:
  SrwLock() = default;
  SrwLock(const SrwLock&) = delete;
  SrwLock& operator=(const SrwLock&) = delete;

  void Lock() { ::AcquireSRWLockExclusive(&lock_); }
  void Unlock() { ::ReleaseSRWLockExclusive(&lock_); }
  SRWLOCK* native() { return &lock_; }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};

class LockGuard {
 public:
  explicit LockGuard(SrwLock& lock) : lock_(lock) { lock_.Lock(); }
  ~LockGuard() { lock_.Unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  SrwLock& lock_;
};

class ConditionVariable {
 public:
  ConditionVariable() = default;
  ConditionVariable(const ConditionVariable&) = delete;
  ConditionVariable& operator=(const ConditionVariable&) = delete;

  // Returns false when the time ran out. The caller holds `lock` and re-checks its condition.
  bool WaitFor(SrwLock& lock, DWORD milliseconds) {
    return ::SleepConditionVariableSRW(&cv_, lock.native(), milliseconds, 0) != FALSE;
  }
  void Wait(SrwLock& lock) { WaitFor(lock, INFINITE); }
  void NotifyOne() { ::WakeConditionVariable(&cv_); }
  void NotifyAll() { ::WakeAllConditionVariable(&cv_); }

 private:
  CONDITION_VARIABLE cv_ = CONDITION_VARIABLE_INIT;
};

// One thread of the library. Join waits for it; the destructor joins too, so a thread never
// outlives the object that started it.
class WorkerThread {
 public:
  WorkerThread() = default;
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;
  ~WorkerThread() { Join(); }

  // False (GetLastError set) when the system could not start the thread.
  bool Start(std::function<void()> body);
  void Join();
  bool IsCurrent() const { return id_ != 0 && id_ == ::GetCurrentThreadId(); }
  bool Started() const { return handle_.valid(); }

 private:
  static DWORD WINAPI Entry(void* self);

  std::function<void()> body_;
  win::UniqueKernelHandle handle_;
  DWORD id_ = 0;
};

}  // namespace quennet
