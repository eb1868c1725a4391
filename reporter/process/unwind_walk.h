// The stack walk a developer can trust in optimised builds: dbghelp's StackWalk64 reading the
// crashed process through its handle, unwinding each frame by the module's call frame
// information (frame pointers only where a module has none). Where it stops short of the
// stack's top, the frame-pointer and scanning walk of stack_walk.h carries on from its last
// frame, so a scanned frame never stands in for one that call frame information finds.
#pragma once

#include <windows.h>

#include "process/debug_symbols.h"
#include "process/modules.h"
#include "process/remote_memory.h"
#include "process/stack_walk.h"

namespace orlent {

// `thread` may be null. Without a symbol session this is WalkStack.
StackTrace WalkThreadStack(const DebugSymbols& symbols, const RemoteMemory& memory,
                           const ModuleList& modules, HANDLE thread, const CONTEXT& context,
                           uint32_t low, uint32_t high, const StackWalkLimits& limits = {});

}  // namespace orlent
