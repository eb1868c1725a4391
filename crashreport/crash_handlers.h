// The hooks through which faults reach the library.
#pragma once

#include <windows.h>

namespace vessick {

// Puts every hook in place (nothing without a current block), in a fixed order that leaves the
// primary filter in force. Per-thread run-time hooks are set for the calling thread.
void InstallHandlers();

// Vectored exception handler: sees every exception of the process first, keeps our top-level
// filter in force and takes over stack overflows.
LONG CALLBACK StackOverflowHandler(EXCEPTION_POINTERS* exceptionPointers);

}  // namespace vessick
