// One report per process. The first fault to get here reports; every later entry on the
// reporting thread itself returns at once, and every later entry on another thread is parked
// until the reporting thread ends the process. Handing a later fault back to the system instead
// would end the process with that thread's exception while the reporter is still reading the
// block, and the first report would be lost.
#pragma once

#include <windows.h>

namespace vessick {

// 0 until a report starts, then 1 for good.
extern volatile LONG bReportStarted;

// Claims the report for the calling thread; false when a report already started.
bool ClaimReport() noexcept;

// The stack-overflow handler claims the report before it leaves the overflowed stack, so that
// the stack bounds it records belong to the report that follows; the launcher, entered on the
// fresh stack by the same thread, takes the claim over once.
void MarkClaimHandedToLauncher() noexcept;
bool TakeHandedClaim() noexcept;

// What a later entry does: returns 0 on the reporting thread, never returns on any other (the
// process ends, by the reporting thread or, past reportTimeLimitMs, by the waiting thread).
int LateEntry() noexcept;

}  // namespace vessick
