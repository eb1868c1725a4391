// The bounds of the crash path: how long a report may take before the process ends without it,
// and how much address space is set aside so that the reporter can still be started when the
// host has used up its memory. Reachable only by code linked with the library (its own tests
// shorten the time limit); a host using Vessick.dll cannot set them.
#pragma once

#include <windows.h>

namespace vessick {

// The reporter's own watchdog gives up after 60 s; a report still unfinished 60 s after that will
// not finish. Both the reporting thread's wait for the reporter and a parked thread's wait for
// the reporting thread end there, and the process then ends with the crash exit code.
constexpr DWORD kDefaultReportTimeLimitMs = 120000;
extern volatile DWORD reportTimeLimitMs;

// How long the crash path waits for a standby reporter that has not yet said it is ready (the
// fault came while it was still starting). A standby that was started long before answers at
// once, and an orlent.exe without standby support has ended within a process start-up (about
// 0.5 s under Wine); past this the crash path ends the standby and starts a reporter itself.
constexpr DWORD kDefaultStandbyReadyLimitMs = 5000;
extern volatile DWORD standbyReadyLimitMs;

// Address space reserved (not committed) at InitOrlent and released by the crash path just
// before it starts the reporter. Measured under Wine 8 with a host whose address space and both
// heaps were used up before a fault (the test host's "out-of-memory" case, run with the reserve
// set from 0 upwards): with up to 3 MiB released no reporter started, with 4 MiB and more it did
// (the process heap grows by a region that large). 8 MiB leaves twice that.
constexpr SIZE_T kDefaultEmergencyReserveBytes = 8u << 20;
extern volatile SIZE_T emergencyReserveBytes;

}  // namespace vessick
