// A stack trace of the crashing thread, walked in the reporter from the context the crashed
// process recorded (under Wine the dump's own thread context is the live, waiting one).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "process/modules.h"
#include "process/remote_memory.h"

namespace orlent {

// How a frame's address was found, from most to least certain.
enum class FrameSource {
  kContext,       // the instruction pointer of the recorded context
  kCallFrameInfo, // unwound by the module's call frame information (its .eh_frame)
  kFramePointer,  // the return address above a saved frame pointer
  kScan,          // a stack word that points just after a call instruction in a module
};

struct StackFrame {
  uint32_t address = 0;
  FrameSource source = FrameSource::kContext;
  uint32_t slot = 0;  // where on the stack the return address was found (0 for the context)
};

struct StackTrace {
  uint32_t low = 0;   // the stack's bounds as used for the walk
  uint32_t high = 0;
  std::vector<StackFrame> frames;  // innermost first; see `omitted`
  uint32_t totalFrames = 0;        // how many frames the walk found
  uint32_t omittedAfter = 0;       // frames[0..omittedAfter) come before the gap
  uint32_t omitted = 0;            // frames left out between the innermost and outermost ones
  std::wstring endReason;          // why the walk found no frame beyond the outermost one
};

struct StackWalkLimits {
  uint32_t keepInnermost = 192;
  uint32_t keepOutermost = 64;
  uint32_t maxFrames = 50000;
  uint32_t maxStackBytes = 16 * 1024 * 1024;
  uint32_t maxScanBytes = 4096;  // how far to look for the next return address
  uint32_t startupBytes = 512;   // the top of a stack, where the thread's start-up frames are
};

// Walks from `context` (Eip, Esp, Ebp) up the stack [low, high): frame pointers where the
// chain holds, otherwise a scan for return addresses. Never reads outside the stack and code
// of the crashed process, and stops at the limits.
StackTrace WalkStack(const RemoteMemory& memory, const ModuleList& modules,
                     const CONTEXT& context, uint32_t low, uint32_t high,
                     const StackWalkLimits& limits = {});

const wchar_t* FrameSourceName(FrameSource source);

// The bounds a walk from `esp` uses: [low, high) of the thread's stack when they hold Esp,
// otherwise from Esp up a bounded distance.
void SettleStackBounds(uint32_t esp, const StackWalkLimits& limits, uint32_t* low,
                       uint32_t* high);

// Keeps all frames, or only the innermost and outermost ones that `limits` names when there
// are more, and says how many were left out.
void KeepEnds(std::vector<StackFrame> all, const StackWalkLimits& limits, StackTrace* trace);

}  // namespace orlent
