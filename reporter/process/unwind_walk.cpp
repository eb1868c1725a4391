#include "process/unwind_walk.h"

#include <dbghelp.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "debuginfo/cfi_unwind.h"
#include "process/unwind_tables.h"

namespace orlent {
namespace {

using debuginfo::Registers;

// How far above Esp a frameless routine (a stack probe such as ___chkstk_ms) keeps its
// caller's return address.
constexpr uint32_t kProbeWords = 8;

// The stack's bytes, read once: every rule and every frame pointer reads from them.
class StackBytes {
 public:
  StackBytes(const RemoteMemory& memory, uint32_t from, uint32_t to)
      : memory_(memory), from_(from) {
    bytes_.resize(to > from ? to - from : 0);
    bytes_.resize(memory.ReadPrefix(from, bytes_.data(), bytes_.size()));
  }
  bool Word(uint32_t address, uint32_t* value) const {
    if (address >= from_ && address - from_ + 4 <= bytes_.size()) {
      std::memcpy(value, bytes_.data() + (address - from_), 4);
      return true;
    }
    return memory_.ReadValue(address, value);  // a realigned frame's saved pointer, say
  }

 private:
  const RemoteMemory& memory_;
  uint32_t from_;
  std::vector<uint8_t> bytes_;
};

Registers FromContext(const CONTEXT& c) {
  Registers r;
  const uint32_t values[] = {c.Eax, c.Ecx, c.Edx, c.Ebx, c.Esp, c.Ebp, c.Esi, c.Edi, c.Eip};
  for (uint32_t i = 0; i < debuginfo::kRegisterCount; ++i) r.Set(debuginfo::Register(i), values[i]);
  return r;
}

std::wstring Where(const ModuleList& modules, uint32_t address) {
  const CodeLocation at = modules.Locate(address);
  wchar_t text[32];
  std::swprintf(text, 32, at.module != nullptr ? L"+0x%X" : L"0x%08X",
                at.module != nullptr ? at.offset : address);
  return (at.module != nullptr ? at.module->name : L"") + text;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// One step of the frame-pointer and scanning walk, from `callee`; false when it finds
// nothing. `probeOnly` looks only just above Esp (a routine without a frame).
bool StepWithoutRules(const RemoteMemory& memory, const ModuleList& modules,
                      const Registers& callee, uint32_t low, uint32_t high, bool probeOnly,
                      const StackWalkLimits& limits, StackFrame* frame, Registers* caller) {
  StackWalkLimits one = limits;
  one.maxFrames = 2;
  one.keepInnermost = 2;
  one.keepOutermost = 0;
  if (probeOnly) one.maxScanBytes = kProbeWords * 4;
  CONTEXT from = {};
  from.Eip = callee.value[debuginfo::kEip];
  from.Esp = callee.value[debuginfo::kEsp];
  from.Ebp = probeOnly || !callee.known[debuginfo::kEbp] ? 0 : callee.value[debuginfo::kEbp];
  const StackTrace step = WalkStack(memory, modules, from, low, high, one);
  if (step.frames.size() < 2) return false;
  *frame = step.frames[1];
  *caller = Registers();
  caller->Set(debuginfo::kEip, frame->address);
  caller->Set(debuginfo::kEsp, frame->slot + 4);
  if (frame->source == FrameSource::kFramePointer) {
    uint32_t savedEbp = 0;
    if (memory.ReadValue(frame->slot - 4, &savedEbp)) caller->Set(debuginfo::kEbp, savedEbp);
  } else if (callee.known[debuginfo::kEbp]) {
    caller->Set(debuginfo::kEbp, callee.value[debuginfo::kEbp]);
  }
  return true;
}

// dbghelp's walk for one frame of MSVC-built code, whose unwind data is in its PDB.
bool StepWithDbghelp(const DebugSymbols& symbols, HANDLE thread, const Registers& callee,
                     StackFrame* frame, Registers* caller) {
  CONTEXT context = {};
  context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
  context.Eip = callee.value[debuginfo::kEip];
  context.Esp = callee.value[debuginfo::kEsp];
  context.Ebp = callee.value[debuginfo::kEbp];
  STACKFRAME64 walk = {};
  walk.AddrPC = {context.Eip, 0, AddrModeFlat};
  walk.AddrFrame = {context.Ebp, 0, AddrModeFlat};
  walk.AddrStack = {context.Esp, 0, AddrModeFlat};
  symbols.Need(context.Eip);
  for (int call = 0; call < 2; ++call) {
    if (!::StackWalk64(IMAGE_FILE_MACHINE_I386, symbols.process(), thread, &walk, &context,
                       nullptr, ::SymFunctionTableAccess64, ::SymGetModuleBase64, nullptr))
      return false;
    if (walk.AddrPC.Offset != callee.value[debuginfo::kEip]) break;  // the first is the frame itself
  }
  if (walk.AddrPC.Offset == callee.value[debuginfo::kEip] || walk.AddrPC.Offset > 0xFFFFFFFFull)
    return false;
  *caller = Registers();
  caller->Set(debuginfo::kEip, static_cast<uint32_t>(walk.AddrPC.Offset));
  caller->Set(debuginfo::kEsp, static_cast<uint32_t>(walk.AddrStack.Offset));
  caller->Set(debuginfo::kEbp, static_cast<uint32_t>(walk.AddrFrame.Offset));
  *frame = {caller->value[debuginfo::kEip], FrameSource::kCallFrameInfo,
            caller->value[debuginfo::kEsp] - 4};
  return true;
}

bool UsesPdb(const Module& module) {
  return !module.identity.callFrameInfo && module.identity.hasCodeView &&
         !module.identity.emptyPdbName;
}

}  // namespace

StackTrace WalkThreadStack(const DebugSymbols& symbols, const RemoteMemory& memory,
                           const ModuleList& modules, HANDLE thread, const CONTEXT& context,
                           uint32_t low, uint32_t high, const StackWalkLimits& limits) {
  SettleStackBounds(context.Esp, limits, &low, &high);
  const StackBytes stack(memory, context.Esp & ~3u, high);
  const debuginfo::WordReader read = [&](uint32_t address, uint32_t* value) {
    return stack.Word(address, value);
  };
  UnwindTables& tables = ReportUnwindTables();

  std::vector<StackFrame> all;
  all.push_back({context.Eip, FrameSource::kContext, 0});
  Registers regs = FromContext(context);
  std::wstring endReason;
  for (bool first = true; all.size() < limits.maxFrames; first = false) {
    const uint32_t pc = regs.value[debuginfo::kEip];
    const uint32_t esp = regs.value[debuginfo::kEsp];
    const Module* module = modules.Find(pc);
    // A caller's frame is described by its call instruction, which lies before the return
    // address: the last call of a function may return into the next one's first byte.
    const uint32_t lookup = first ? pc : pc - 1;
    StackFrame frame;
    Registers caller;
    bool stepped = false;
    std::string ruleProblem;
    const debuginfo::CfiTable* table = module != nullptr ? tables.For(*module) : nullptr;
    const debuginfo::CfiDescription* description = table ? table->Find(lookup) : nullptr;
    if (description != nullptr &&
        debuginfo::UnwindByCfi(*table, *description, lookup, regs, read, &caller, &ruleProblem)) {
      frame = {caller.value[debuginfo::kEip], FrameSource::kCallFrameInfo,
               caller.value[debuginfo::kEsp] - 4};
      stepped = true;
    }
    if (!stepped && module != nullptr && description == nullptr && UsesPdb(*module) &&
        symbols.active() && !DbghelpSymbolsDisabled())
      stepped = StepWithDbghelp(symbols, thread, regs, &frame, &caller);
    // The faulting routine has no rules (a stack probe, a call through a bad pointer): its
    // return address is just above Esp, where a frame pointer would lead past its caller.
    if (!stepped && first && description == nullptr)
      stepped = StepWithoutRules(memory, modules, regs, low, high, true, limits, &frame, &caller);
    if (!stepped)
      stepped = StepWithoutRules(memory, modules, regs, low, high, false, limits, &frame, &caller);
    if (!stepped) {
      if (module == nullptr)
        endReason = L"the code address " + Where(modules, pc) + L" is in no module";
      else if (!ruleProblem.empty())
        endReason = L"the unwind rules for " + Where(modules, pc) + L" cannot be applied (" +
                    Widen(ruleProblem) + L") and no frame pointer or return address follows";
      else if (table == nullptr)
        endReason = L"no frame pointer and no unwind information for " + Where(modules, pc);
      else
        endReason = L"no frame pointer and no unwind rule for " + Where(modules, pc);
      break;
    }
    const uint32_t callerPc = caller.value[debuginfo::kEip];
    const uint32_t callerEsp = caller.value[debuginfo::kEsp];
    if (callerPc == 0) {
      endReason = L"the outermost frame: its return address is 0";
      break;
    }
    if (callerEsp <= esp || callerEsp > high) {
      endReason = L"the caller's stack pointer from " + Where(modules, pc) +
                  L" lies outside the stack above it";
      break;
    }
    if (modules.Find(callerPc) == nullptr) {
      endReason = L"the return address " + Where(modules, callerPc) + L" (from " +
                  Where(modules, pc) + L") is in no module";
      break;
    }
    all.push_back(frame);
    regs = caller;
    if (frame.source == FrameSource::kFramePointer && caller.known[debuginfo::kEbp] &&
        caller.value[debuginfo::kEbp] == 0) {
      endReason = L"the outermost frame: the frame pointer chain ends";
      break;
    }
  }
  if (all.size() >= limits.maxFrames) endReason = L"the walk reached its frame limit";

  StackTrace trace;
  trace.low = low;
  trace.high = high;
  KeepEnds(std::move(all), limits, &trace);
  trace.endReason = std::move(endReason);
  return trace;
}

}  // namespace orlent
