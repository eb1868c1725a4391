// Rewrites one thread's stack in a minidump already written: the bytes are appended to the
// file, the thread's entry in the thread list points at them, and the memory list names them,
// so that any reader of the dump (a debugger, Breakpad's minidump_stackwalk) walks that stack.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orlent {

struct ThreadStack {
  uint32_t threadId = 0;
  uint32_t start = 0;          // the address of bytes[0]
  std::vector<uint8_t> bytes;  // the stack memory, lowest address first
  // Put in as the thread's context when the one in the dump has its stack pointer outside
  // the new stack (it was taken where the thread waits, on another stack); may be null.
  const CONTEXT* context = nullptr;
};

struct StackAttachment {
  bool attached = false;
  bool contextReplaced = false;
  std::wstring problem;  // why nothing was changed
};

// `file` is open for reading and writing. When this fails (a dump it cannot read, a thread not
// in the thread list, a write refused), what the dump's streams say is as before; bytes may
// have been appended that nothing points at.
StackAttachment AttachThreadStack(HANDLE file, const ThreadStack& stack);

}  // namespace orlent
