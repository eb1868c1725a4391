#include "report_guard.h"

#include "crash_path_limits.h"
#include "protocol/crash_exit_code.h"

namespace vessick {

volatile LONG bReportStarted = 0;
volatile DWORD reportTimeLimitMs = kDefaultReportTimeLimitMs;

namespace {
volatile LONG reportingThreadId = 0;
volatile LONG claimHandedToLauncher = 0;
}  // namespace

bool ClaimReport() noexcept {
  if (::InterlockedCompareExchange(&bReportStarted, 1, 0) != 0) return false;
  ::InterlockedExchange(&reportingThreadId, static_cast<LONG>(::GetCurrentThreadId()));
  return true;
}

void MarkClaimHandedToLauncher() noexcept { ::InterlockedExchange(&claimHandedToLauncher, 1); }

bool TakeHandedClaim() noexcept {
  return reportingThreadId == static_cast<LONG>(::GetCurrentThreadId()) &&
         ::InterlockedExchange(&claimHandedToLauncher, 0) == 1;
}

int LateEntry() noexcept {
  if (reportingThreadId == static_cast<LONG>(::GetCurrentThreadId())) return 0;
  // Another thread is reporting and will end the process; this thread waits for that. (A
  // reporting thread that has claimed but not yet published its id is never this thread.) The
  // reporting thread can itself be stuck, for instance on a lock that a faulted thread holds:
  // past the time limit this thread ends the process in its place.
  ::Sleep(reportTimeLimitMs);
  ::TerminateProcess(::GetCurrentProcess(), kCrashExitCode);
  for (;;) ::Sleep(1000);  // TerminateProcess on the own process does not come back
}

}  // namespace vessick
