// After a stack overflow the crash library moves the thread onto a fresh 64 KiB stack to run
// its handler, so the thread's environment block, and with it the dump's thread list, names
// that fresh stack: a reader of the dump would find one frame. The block keeps the bounds of
// the stack that overflowed, and this puts that stack back into the dump as the thread's.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "process/remote_memory.h"

namespace orlent {

// Below the fault's stack pointer: what a leaf function may have used without moving it.
constexpr uint32_t kStackRedZoneBytes = 256;
// How much of the overflowed stack goes into the dump, from the fault up: the innermost frames
// (thousands of a runaway recursion) are what a reader needs; the dump stays a few MiB at most.
constexpr uint32_t kMaxOverflowedStackBytes = 1024 * 1024;

struct OverflowedStack {
  uint32_t threadId = 0;
  uint32_t limit = 0;  // the stack's low end when it overflowed (savedStackLimit)
  uint32_t base = 0;   // its high end (savedStackBase)
  CONTEXT context = {};  // the fault's, whose Esp is on that stack
};

struct AddressRange {
  uint32_t low = 0, high = 0;
  bool operator==(const AddressRange& o) const { return low == o.low && high == o.high; }
};

// [max(limit, Esp - red zone), min(base, that + kMaxOverflowedStackBytes)); nothing when Esp
// is not on [limit, base).
std::optional<AddressRange> OverflowedStackRange(uint32_t esp, uint32_t limit, uint32_t base);

// Reads the range from the crashed process and attaches it to the dump in `file` as the
// thread's stack (stack_attachment.h). Pages at the low end that cannot be read are left out.
// Empty when done; otherwise why not.
std::wstring AttachOverflowedStack(HANDLE file, const RemoteMemory& memory,
                                   const OverflowedStack& overflowed);

}  // namespace orlent
