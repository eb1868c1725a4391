#pragma once

namespace vessick {

// The hooks the C and C++ run-times keep per thread (terminate, unexpected, and the actions for
// SIGFPE, SIGILL and SIGSEGV); the last step of InstallHandlers.
void InstallFaultHandlers();

// Makes ReassertFilter the top-level filter again (while a block exists).
void ReassertUnhandledFilter();

}  // namespace vessick
