// Writes the crashed process's minidump with dbghelp and keeps it only if it checks out.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "minidump/minidump_check.h"
#include "minidump/overflowed_stack.h"

namespace orlent {

// The raw bug-info block travels in the dump as a user stream of this type ("ORL" + 1).
constexpr uint32_t kBlockStreamType = 0x4F524C01;

struct DumpRequest {
  HANDLE process = nullptr;
  DWORD processId = 0;
  // The exception: none when threadId is 0. When remotePointers is not 0 it is the address of
  // the EXCEPTION_POINTERS pair in the crashed process; otherwise localPointers is used.
  DWORD threadId = 0;
  uint32_t remotePointers = 0;
  EXCEPTION_POINTERS* localPointers = nullptr;
  const std::vector<uint8_t>* block = nullptr;  // stored as the user stream, when not empty
  bool referencedMemory = false;                // also the memory the stacks point at
  // After a stack overflow: the stack that overflowed replaces the fresh one as the crashed
  // thread's stack in the dump.
  const OverflowedStack* overflowed = nullptr;
};

struct DumpResult {
  bool good = false;
  std::wstring problem;
  // The dump is good but lacks the overflowed stack, for this reason.
  std::wstring stackProblem;
  MinidumpCheck check;
};

// Writes to `path` + ".tmp", checks what was written and renames it to `path` when good;
// otherwise removes it.
DumpResult WriteMinidump(const std::wstring& path, const DumpRequest& request);

}  // namespace orlent
