// How long the current process has existed, in milliseconds. Measured from the system's record
// of its creation, so it includes the start-up before any of the program's code ran (loading
// its imports, which under Wine is part of what a crashed host waits for a reporter).
#pragma once

#include <windows.h>

#include <cstdint>

namespace win {

inline double MsSinceProcessCreated() {
  FILETIME created, exited, kernel, user, now;
  if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  ::GetSystemTimeAsFileTime(&now);
  auto ticks = [](const FILETIME& t) {
    return static_cast<long long>(uint64_t{t.dwHighDateTime} << 32 | t.dwLowDateTime);
  };
  return (ticks(now) - ticks(created)) / 10000.0;
}

}  // namespace win
