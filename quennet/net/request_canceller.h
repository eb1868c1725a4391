// Cancels a blocking WinHTTP call from another thread. Closing a request handle is WinHTTP's
// way to end a synchronous send or read that is waiting on the network; the slot makes sure the
// handle is closed exactly once, by whichever side gets to it first.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include "win/winhttp_handle.h"
#include "sync/win_sync.h"

namespace quennet {

class RequestCanceller {
 public:
  // The request now in progress. False when cancelled already (the caller closes it).
  bool Publish(HINTERNET request) {
    LockGuard guard(lock_);
    if (cancelled_) return false;
    current_ = request;
    return true;
  }
  // Takes the request back before its owner closes it. False when Cancel has closed it: the
  // owner must then forget the handle without closing it.
  bool Withdraw(HINTERNET request) {
    LockGuard guard(lock_);
    if (current_ == request) {
      current_ = nullptr;
      return true;
    }
    return !closedByCancel_ || request != closed_;
  }
  void Cancel() {
    LockGuard guard(lock_);
    cancelled_ = true;
    if (current_ != nullptr) {
      closed_ = current_;
      closedByCancel_ = true;
      current_ = nullptr;
      ::WinHttpCloseHandle(closed_);
    }
  }
  bool Cancelled() {
    LockGuard guard(lock_);
    return cancelled_;
  }

 private:
  SrwLock lock_;
  HINTERNET current_ = nullptr;
  HINTERNET closed_ = nullptr;
  bool closedByCancel_ = false;
  bool cancelled_ = false;
};

}  // namespace quennet
