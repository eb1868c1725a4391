// The host's other threads at the moment of the report: id, name, start routine and their
// innermost frames. Each is suspended only while its context is read.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "process/debug_symbols.h"
#include "process/modules.h"
#include "process/remote_memory.h"
#include "process/stack_walk.h"

namespace orlent {

struct ThreadSummary {
  DWORD id = 0;
  std::wstring name;          // the thread's description, where the system keeps one
  uint32_t startAddress = 0;  // the routine the thread was started with, 0 when unknown
  uint32_t teb = 0;
  bool walked = false;
  std::wstring problem;  // why there is no stack, when there is none
  StackTrace trace;
};

// How many frames each other thread shows: the innermost, and the outermost where its start
// routine is.
StackWalkLimits OtherThreadLimits();

// Every thread of process `processId` but `crashThreadId`, in the order the system lists them.
std::vector<ThreadSummary> ReadOtherThreads(DWORD processId, DWORD crashThreadId,
                                            const DebugSymbols& symbols,
                                            const RemoteMemory& memory,
                                            const ModuleList& modules);

// The thread's description (SetThreadDescription), or empty: GetThreadDescription is looked
// up at run time since older systems (and older Wine) do not have it.
std::wstring ThreadName(HANDLE thread);

}  // namespace orlent
