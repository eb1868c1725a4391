// The event the crashed host waits on. Once its handle is known to be valid it is set on every
// way out of the reporter: when the work is done, when the reporter fails, when it faults,
// and when the watchdog finds it has taken too long. The host never waits forever.
#pragma once

#include <windows.h>

#include "win/unique_handle.h"

namespace orlent {

class HandOffEvent {
 public:
  // Takes ownership of `event` (an inherited handle) if it is an open handle to an event;
  // otherwise the object is not valid() and does nothing.
  explicit HandOffEvent(HANDLE event);
  ~HandOffEvent();  // sets the event if that has not happened yet
  HandOffEvent(const HandOffEvent&) = delete;
  HandOffEvent& operator=(const HandOffEvent&) = delete;

  bool valid() const { return valid_; }

  // Sets the event once; returns false (and the error stays in GetLastError) if SetEvent failed.
  bool Set();

  // Makes sure the event gets set and the reporter ends with `exitCode` if it is still running
  // after `timeoutMs`, or if it faults. Call once, after the handle proved valid.
  void ArmWatchdog(DWORD timeoutMs, int watchdogExitCode, int faultExitCode);

 private:
  win::UniqueKernelHandle event_;
  bool valid_ = false;
  volatile LONG set_ = 0;
  win::UniqueKernelHandle done_;      // signalled when the reporter finishes normally
  win::UniqueKernelHandle watchdog_;  // the watchdog thread
};

// Whether `handle` is an open handle in this process.
bool IsOpenHandle(HANDLE handle);

}  // namespace orlent
