// The running thread's environment block, reached through the FS segment as on every 32-bit
// Windows: FS:[0x18] is the block's own linear address (NT_TIB::Self), FS:[0x30] the process
// environment block. (The compiler's __readfsdword works too, but trips GCC 12's array-bounds
// check inside the mingw headers.)
#pragma once

#include <windows.h>

#include <cstdint>

namespace vessick {

inline uint32_t ReadFsDword(uint32_t offset) noexcept {
  uint32_t value;
  asm volatile("movl %%fs:(%1), %0" : "=r"(value) : "r"(offset));
  return value;
}

inline NT_TIB* CurrentThreadTib() noexcept { return reinterpret_cast<NT_TIB*>(ReadFsDword(0x18)); }

inline uint32_t CurrentProcessPeb() noexcept { return ReadFsDword(0x30); }

}  // namespace vessick
