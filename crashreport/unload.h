// Unloading Vessick.dll (FreeLibrary) while the process goes on: nothing may be left pointing into
// the unmapped code, or the host's next exception, even a handled one, ends it silently.
#pragma once

namespace vessick {

// Removes the vectored registration, gives the hooks that are still ours back to the host,
// returns the reserved regions and ends the standby reporter. Not at process exit: a fault
// there must still be reported. Does nothing once a report has started (the process is
// ending).
void UninstallForUnload() noexcept;

}  // namespace vessick
