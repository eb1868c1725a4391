// The exit code that tells whoever started the host that its fault went through the reporter
// (or that starting it failed). The public header is its one home, since hosts test for it too.
#pragma once

#include <windows.h>

#include "vessick.h"

namespace vessick {

constexpr UINT kCrashExitCode = VESSICK_CRASH_EXIT_CODE;

}  // namespace vessick
