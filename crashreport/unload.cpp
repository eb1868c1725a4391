#include "unload.h"

#include "emergency_reserve.h"
#include "install_handlers.h"
#include "report_guard.h"
#include "stack_overflow.h"
#include "standby_reporter.h"

namespace vessick {

void UninstallForUnload() noexcept {
  if (bReportStarted != 0) return;
  // The vectored handler first: it puts our filter back on every exception.
  UnregisterStackOverflowHandler();
  GiveBackHooks();
  ReleaseEmergencyAddressSpace();
  ReleaseOverflowStack();
  // No orlent.exe is left waiting on a mailbox that is about to be unmapped.
  EndStandby();
}

}  // namespace vessick
