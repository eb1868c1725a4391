#include "report_guard.h"

namespace vessick {

volatile LONG bReportStarted = 0;

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
  // reporting thread that has claimed but not yet published its id is never this thread.)
  for (;;) ::Sleep(INFINITE);
}

}  // namespace vessick
