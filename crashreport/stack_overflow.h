// Stack overflow: the one fault that cannot be handled on the faulting stack.
#pragma once

#include <windows.h>

namespace vessick {

// Vectored exception handler: sees every exception of the process first, keeps our top-level
// filter in force and takes over stack overflows.
LONG CALLBACK StackOverflowHandler(EXCEPTION_POINTERS* exceptionPointers);

// Sets aside, once, a 64 KiB stack for a stack overflow that happens when the system can no
// longer supply a fresh region.
void ReserveOverflowStack() noexcept;

}  // namespace vessick
