// Stack overflow: the one fault that cannot be handled on the faulting stack.
#pragma once

#include <windows.h>

namespace vessick {

// Vectored exception handler: sees every exception of the process first, keeps our top-level
// filter in force and takes over stack overflows.
LONG CALLBACK StackOverflowHandler(EXCEPTION_POINTERS* exceptionPointers);

// Registers StackOverflowHandler at the end of the vectored list, once per process: every
// registration costs every exception of the process a call. The handle is kept for unloading.
void RegisterStackOverflowHandlerOnce() noexcept;
void UnregisterStackOverflowHandler() noexcept;

// Sets aside, once, a 64 KiB stack for a stack overflow that happens when the system can no
// longer supply a fresh region.
void ReserveOverflowStack() noexcept;
void ReleaseOverflowStack() noexcept;

}  // namespace vessick
