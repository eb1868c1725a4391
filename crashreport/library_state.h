// The library's process-wide state: the current bug-info block and where the reporter is. All of
// it lives in fixed static storage (no destructor ever runs on it, so a fault during process exit
// still finds it), is written only by InitOrlent and is read by the crash path without a lock.
#pragma once

#include <windows.h>

#include "protocol/bug_info_block.h"

namespace vessick {

constexpr int kReporterPathCapacity = MAX_PATH;  // units, terminator included

// What one successful InitOrlent put in force. The block and the reporter's location change
// together or not at all.
struct Configuration {
  BugInfoBlock* block;
  // The folder the host named; empty means the system's standard search order.
  wchar_t reporterDir[kReporterPathCapacity];
  // orlent.exe as found at InitOrlent; empty when it was not found then.
  wchar_t reporterPath[kReporterPathCapacity];
  // False when the folder named cannot hold a reporter within the path limit: the crash path
  // then does not look for one at all (the standard search order is not what the host asked).
  bool searchAgainAtCrash;
};

// Null until the first successful initialisation.
const Configuration* CurrentConfiguration() noexcept;
BugInfoBlock* CurrentBlock() noexcept;
// The folder in force ("" before InitOrlent).
const wchar_t* ReporterDir() noexcept;

// InitOrlent fills the configuration that is not in force, then publishes it in one store; a
// fault on another thread sees the earlier one or the new one, never half of either.
Configuration* SpareConfiguration() noexcept;
void PublishConfiguration(Configuration* configuration) noexcept;

}  // namespace vessick
