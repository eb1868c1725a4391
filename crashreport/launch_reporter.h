// Handing a fault to the reporter program and ending the process.
#pragma once

#include <windows.h>

#include <cstddef>

namespace vessick {

// Records the fault in the current block, starts orlent.exe with an inheritable event and an
// inheritable handle to this process, waits until the reporter sets the event (or dies), and
// ends the process with the crash exit code. Takes no heap and no lock. Only the first entry of the
// process does this; see report_guard.h for later entries.
int __cdecl LaunchReporter(EXCEPTION_POINTERS* pointers, DWORD reportArgument);

// Optional hooks around the launch; nothing in the library sets them.
using LaunchHook = void (*)();
extern LaunchHook pfnBeforeLaunch;
extern LaunchHook pfnAfterWait;

}  // namespace vessick
