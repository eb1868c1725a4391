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

// Unloading: puts back what the host had in every hook that still holds one of ours (top-level
// filter, signals, terminate, unexpected, the run-time's handlers). The abort flags hold no code
// address and stay.
void GiveBackHooks();

}  // namespace vessick
