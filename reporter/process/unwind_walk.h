// The stack walk a developer can trust in optimised builds, independent of any debugger
// library: each frame is unwound by its module's own call frame information (the .eh_frame
// that GCC writes into every mingw module, kept by strip), by the frame pointer where a
// module has no rule for the code, and by a scan for a return address only where neither
// holds. The walk stops, and says why, where no method finds a caller in a module.
#pragma once

#include <windows.h>

#include "process/debug_symbols.h"
#include "process/modules.h"
#include "process/remote_memory.h"
#include "process/stack_walk.h"

namespace orlent {

// `thread` may be null. dbghelp (`symbols`) serves only frames in modules without call frame
// information that carry a PDB's CodeView record (MSVC-built code), and not at all when
// DbghelpSymbolsDisabled().
StackTrace WalkThreadStack(const DebugSymbols& symbols, const RemoteMemory& memory,
                           const ModuleList& modules, HANDLE thread, const CONTEXT& context,
                           uint32_t low, uint32_t high, const StackWalkLimits& limits = {});

}  // namespace orlent
