// Address space set aside at InitOrlent for the crash path: when the host has used up its
// memory, starting the reporter (SearchPathW, CreateProcessW) still needs the process heap to
// grow, and releasing this reserve is what lets it.
#pragma once

namespace vessick {

// Reserves the region once per process (later calls keep the one reservation). False when the
// address space cannot supply it.
bool ReserveEmergencyAddressSpace() noexcept;

// Gives the region back to the system: the crash path, just before it starts the reporter, and
// unloading. Safe to call when nothing is reserved, and from several threads.
void ReleaseEmergencyAddressSpace() noexcept;

}  // namespace vessick
