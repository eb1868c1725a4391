// Building an exception-pointers pair for failures that arrive without one (run-time callbacks,
// signals raised by code), from the processor's registers at the point of the call.
#pragma once

#include <windows.h>

namespace vessick {

// Fills *pointers with a pair describing the caller at the point of the call: code `code`,
// ExceptionAddress and Eip the return address, Esp the slot that holds it, Ebp the caller's
// frame, ContextFlags 0x00010001. Takes no memory from the allocator (whose failure path would
// enter the new handler again): the pair comes from storage set aside in advance, or from the
// process heap directly once that is used up. *pointers is null only if both are exhausted.
extern "C" void __cdecl CaptureCurrentContext(DWORD code, EXCEPTION_POINTERS** pointers);

}  // namespace vessick
