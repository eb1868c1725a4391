// One reporter at a time decides what stays in a reports root. Several reporters run at once
// when several hosts crash together; each counts the finished reports and removes the oldest,
// and without a lock each would count what the others are removing.
//
// The lock is a named mutex, named from the root's full path as the file system resolves it
// (so that "Z:\a\..\b" and "z:\B" are one root), in the session's namespace. A reporter that
// dies holding it does not block the others: the system hands an abandoned mutex to the next
// waiter (WAIT_ABANDONED), and the deletion order of report_deletion.h leaves the root in a
// state that the next holder can act on. A lock file in the root would do the same, but only
// by polling, and it would leave a file in a root that must hold only what people put there
// and reports.
#pragma once

#include <windows.h>

#include <string>

#include "win/unique_handle.h"

namespace orlent {

// "Local\orlent-reports-root-" and 16 hexadecimal digits of a hash of the root's resolved,
// upper-cased full path.
std::wstring ReportsRootLockName(const std::wstring& root);

class ReportsRootLock {
 public:
  // Waits at most `timeoutMs` for the lock of `root`.
  ReportsRootLock(const std::wstring& root, DWORD timeoutMs);
  ~ReportsRootLock();
  ReportsRootLock(const ReportsRootLock&) = delete;
  ReportsRootLock& operator=(const ReportsRootLock&) = delete;

  bool held() const { return held_; }
  // The previous holder ended without giving the lock back.
  bool abandoned() const { return abandoned_; }
  // Why the lock is not held.
  const std::wstring& problem() const { return problem_; }

 private:
  win::UniqueKernelHandle mutex_;
  bool held_ = false;
  bool abandoned_ = false;
  std::wstring problem_;
};

}  // namespace orlent
