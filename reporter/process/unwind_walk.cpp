#include "process/unwind_walk.h"

#include <dbghelp.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace orlent {
namespace {

// StackWalk64 reads the same few stack pages again and again; a copy of the stack taken once
// answers those reads without a round trip to the crashed process each (under Wine, each one
// is a call to the wineserver). The routine has no context argument, hence the one walk at a
// time that `current` stands for.
struct StackCache {
  uint32_t from = 0;
  std::vector<uint8_t> bytes;
};
thread_local const StackCache* current = nullptr;

BOOL CALLBACK ReadThroughCache(HANDLE process, DWORD64 address, void* buffer, DWORD size,
                               DWORD* read) {
  if (current != nullptr && address >= current->from &&
      address + size <= uint64_t{current->from} + current->bytes.size()) {
    std::memcpy(buffer, current->bytes.data() + (address - current->from), size);
    if (read != nullptr) *read = size;
    return TRUE;
  }
  SIZE_T got = 0;
  const BOOL ok = ::ReadProcessMemory(process, reinterpret_cast<const void*>(uintptr_t(address)),
                                      buffer, size, &got);
  if (read != nullptr) *read = static_cast<DWORD>(got);
  return ok && got == size;
}

class CacheScope {
 public:
  explicit CacheScope(const StackCache* cache) : previous_(current) { current = cache; }
  ~CacheScope() { current = previous_; }
  CacheScope(const CacheScope&) = delete;
  CacheScope& operator=(const CacheScope&) = delete;

 private:
  const StackCache* previous_;
};

// How StackWalk64 found a frame: Wine's walker unwinds by call frame information when the
// module of the function being left has it, and by the frame pointer otherwise.
FrameSource SourceOfStep(const DebugSymbols& symbols, const ModuleList& modules,
                         uint32_t leftPc) {
  const Module* module = modules.Find(leftPc);
  return module != nullptr && module->identity.callFrameInfo && symbols.ReadsDebugInfo(leftPc)
             ? FrameSource::kCallFrameInfo
             : FrameSource::kFramePointer;
}

// How far above Esp a frameless routine keeps its caller's return address.
constexpr uint32_t kProbeWords = 8;

// The first stack word in [esp, esp + 4 * words) that is a return address just after a call.
bool FindReturnAddressNear(const RemoteMemory& memory, const ModuleList& modules, uint32_t esp,
                           uint32_t words, uint32_t* slot) {
  StackWalkLimits one;
  one.maxFrames = 2;
  one.maxScanBytes = words * 4;
  CONTEXT probe = {};
  probe.Esp = esp;
  probe.Ebp = 0;  // no chain to follow: scan only
  const StackTrace found = WalkStack(memory, modules, probe, esp, esp + words * 4 + 4, one);
  if (found.frames.size() < 2 || found.frames[1].source != FrameSource::kScan) return false;
  *slot = found.frames[1].slot;
  return true;
}

}  // namespace

StackTrace WalkThreadStack(const DebugSymbols& symbols, const RemoteMemory& memory,
                           const ModuleList& modules, HANDLE thread, const CONTEXT& context,
                           uint32_t low, uint32_t high, const StackWalkLimits& limits) {
  StackTrace fallback = WalkStack(memory, modules, context, low, high, limits);
  if (!symbols.active()) return fallback;
  low = fallback.low;  // the same bounds, as WalkStack settled them
  high = fallback.high;

  StackCache cache;
  cache.from = context.Esp & ~3u;
  if (high > cache.from) {
    cache.bytes.resize(high - cache.from);
    cache.bytes.resize(memory.ReadPrefix(cache.from, cache.bytes.data(), cache.bytes.size()));
  }
  const CacheScope scope(&cache);

  std::vector<StackFrame> all;
  all.push_back({context.Eip, FrameSource::kContext, 0});
  CONTEXT walking = context;
  CONTEXT lastGood = context;
  STACKFRAME64 frame = {};
  auto startAt = [&](const CONTEXT& from) {
    walking = from;
    frame = {};
    frame.AddrPC.Offset = from.Eip;
    frame.AddrPC.Mode = AddrModeFlat;
    frame.AddrFrame.Offset = from.Ebp;
    frame.AddrFrame.Mode = AddrModeFlat;
    frame.AddrStack.Offset = from.Esp;
    frame.AddrStack.Mode = AddrModeFlat;
  };
  startAt(context);
  uint32_t lastPc = context.Eip;
  uint64_t lastStack = context.Esp;
  bool first = true;
  bool fromContext = true;
  while (all.size() < limits.maxFrames) {
    symbols.Need(frame.AddrPC.Offset);
    if (!::StackWalk64(IMAGE_FILE_MACHINE_I386, symbols.process(), thread, &frame, &walking,
                       ReadThroughCache, ::SymFunctionTableAccess64, ::SymGetModuleBase64,
                       nullptr))
      break;
    if (first) {  // the first answer is the starting frame itself
      first = false;
      if (frame.AddrPC.Offset == lastPc) continue;
    }
    const uint64_t pc = frame.AddrPC.Offset;
    const uint64_t stack = frame.AddrStack.Offset;
    // Each frame lies above the one before, inside the stack; anything else is a walk gone
    // astray, and the older walk takes over from the last frame that made sense.
    if (pc == 0 || pc > 0xFFFFFFFFull || stack <= lastStack || stack > high ||
        modules.Find(static_cast<uint32_t>(pc)) == nullptr)
      break;
    // A fault in code without unwind tables (a stack probe such as ___chkstk_ms, which pushes
    // a few words and has no frame) makes dbghelp fall back to a stale frame pointer and leap
    // over the real callers. Its caller's return address then lies just above Esp.
    if (fromContext && stack - lastStack > limits.maxScanBytes) {
      uint32_t slot = 0;
      if (FindReturnAddressNear(memory, modules, context.Esp, kProbeWords, &slot)) {
        uint32_t returnAddress = 0;
        memory.ReadValue(slot, &returnAddress);
        all.push_back({returnAddress, FrameSource::kScan, slot});
        CONTEXT caller = context;
        caller.Eip = returnAddress;
        caller.Esp = slot + 4;
        lastPc = returnAddress;
        lastStack = caller.Esp;
        lastGood = caller;
        startAt(caller);
        first = true;
        fromContext = false;
        continue;
      }
    }
    fromContext = false;
    all.push_back({static_cast<uint32_t>(pc), SourceOfStep(symbols, modules, lastPc),
                   static_cast<uint32_t>(stack - 4)});
    lastPc = static_cast<uint32_t>(pc);
    lastStack = stack;
    lastGood = walking;
    lastGood.Eip = lastPc;
    lastGood.Esp = static_cast<uint32_t>(stack);
    lastGood.Ebp = static_cast<uint32_t>(frame.AddrFrame.Offset);
  }

  if (all.size() == 1) return fallback;
  // Short of the thread's start-up frames: carry on with frame pointers and scanning.
  if (high - lastGood.Esp >= limits.startupBytes && all.size() < limits.maxFrames) {
    StackWalkLimits rest = limits;
    rest.keepInnermost = rest.maxFrames;
    rest.keepOutermost = 0;
    StackTrace more = WalkStack(memory, modules, lastGood, low, high, rest);
    for (size_t i = 1; i < more.frames.size() && all.size() < limits.maxFrames; ++i)
      all.push_back(more.frames[i]);
  }
  StackTrace trace;
  trace.low = low;
  trace.high = high;
  KeepEnds(std::move(all), limits, &trace);
  return trace;
}

}  // namespace orlent
