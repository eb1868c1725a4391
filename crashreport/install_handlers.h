// Putting the library's handler bodies into every hook through which a fault can end the process.
#pragma once

namespace vessick {

// Puts every hook in place (nothing without a current block), in a fixed order that leaves the
// primary filter in force. Per-thread run-time hooks are set for the calling thread.
void InstallHandlers();

// The hooks the C and C++ run-times keep per thread (terminate, unexpected, and the actions for
// SIGFPE, SIGILL and SIGSEGV); the last step of InstallHandlers.
void InstallFaultHandlers();

// Makes ReassertFilter the top-level filter again (while a block exists).
void ReassertUnhandledFilter();

}  // namespace vessick
