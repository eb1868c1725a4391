#include "process/stack_walk.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace orlent {
namespace {

// Decides whether a value could be a return address, remembering each answer: the same
// addresses come back again and again in a deep recursion.
class ReturnAddressTest {
 public:
  ReturnAddressTest(const RemoteMemory& memory, const ModuleList& modules)
      : memory_(memory), modules_(modules) {}

  bool InCode(uint32_t address) {
    if (modules_.Find(address) == nullptr) return false;
    const uint32_t page = address & ~0xFFFu;
    auto known = executablePages_.find(page);
    if (known == executablePages_.end())
      known = executablePages_.emplace(page, memory_.IsExecutable(page)).first;
    return known->second;
  }

  // In code, and the bytes before it are a call instruction (direct, or indirect through a
  // register or memory operand).
  bool AfterCall(uint32_t address) {
    if (address < 8 || !InCode(address)) return false;
    auto known = afterCall_.find(address);
    if (known != afterCall_.end()) return known->second;
    uint8_t before[8] = {};
    bool result = false;
    if (memory_.Read(address - 8, before, sizeof before)) {
      auto at = [&](int back) { return before[8 - back]; };
      result = at(5) == 0xE8;
      for (int back : {2, 3, 4, 6, 7})
        result = result || (at(back) == 0xFF && (at(back - 1) & 0x38) == 0x10);
    }
    afterCall_.emplace(address, result);
    return result;
  }

 private:
  const RemoteMemory& memory_;
  const ModuleList& modules_;
  std::map<uint32_t, bool> executablePages_;
  std::map<uint32_t, bool> afterCall_;
};

// The stack's bytes, copied once so that the walk reads locally.
class StackCopy {
 public:
  StackCopy(const RemoteMemory& memory, uint32_t from, uint32_t to) : from_(from) {
    bytes_.resize(to > from ? to - from : 0);
    bytes_.resize(memory.ReadPrefix(from, bytes_.data(), bytes_.size()));
  }
  uint32_t end() const { return from_ + static_cast<uint32_t>(bytes_.size()); }
  bool Word(uint32_t address, uint32_t* value) const {
    if (address < from_ || address % 4 != 0 || address - from_ + 4 > bytes_.size()) return false;
    std::memcpy(value, bytes_.data() + (address - from_), 4);
    return true;
  }

 private:
  uint32_t from_;
  std::vector<uint8_t> bytes_;
};

}  // namespace

const wchar_t* FrameSourceName(FrameSource source) {
  switch (source) {
    case FrameSource::kContext: return L"context";
    case FrameSource::kCallFrameInfo: return L"call frame info";
    case FrameSource::kFramePointer: return L"frame pointer";
    case FrameSource::kScan: return L"scan";
  }
  return L"unknown";
}

void KeepEnds(std::vector<StackFrame> all, const StackWalkLimits& limits, StackTrace* trace) {
  trace->totalFrames = static_cast<uint32_t>(all.size());
  if (all.size() <= size_t{limits.keepInnermost} + limits.keepOutermost) {
    trace->frames = std::move(all);
    trace->omittedAfter = trace->totalFrames;
  } else {
    trace->frames.assign(all.begin(), all.begin() + limits.keepInnermost);
    trace->frames.insert(trace->frames.end(), all.end() - limits.keepOutermost, all.end());
    trace->omittedAfter = limits.keepInnermost;
    trace->omitted = trace->totalFrames - limits.keepInnermost - limits.keepOutermost;
  }
}

void SettleStackBounds(uint32_t esp, const StackWalkLimits& limits, uint32_t* low,
                       uint32_t* high) {
  if (esp < *low || esp >= *high) *low = esp;  // bounds that do not hold Esp say nothing
  if (*high <= esp || *high - esp > limits.maxStackBytes)
    *high = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{esp} + 0x10000, 0xFFFFF000ULL));
}

StackTrace WalkStack(const RemoteMemory& memory, const ModuleList& modules,
                     const CONTEXT& context, uint32_t low, uint32_t high,
                     const StackWalkLimits& limits) {
  StackTrace trace;
  uint32_t esp = context.Esp;
  SettleStackBounds(esp, limits, &low, &high);
  trace.low = low;
  trace.high = high;

  std::vector<StackFrame> all;
  all.push_back({context.Eip, FrameSource::kContext, 0});
  const StackCopy stack(memory, esp & ~3u, high);
  ReturnAddressTest test(memory, modules);
  uint32_t ebp = context.Ebp;
  esp &= ~3u;

  bool followingChain = false;
  while (all.size() < limits.maxFrames) {
    uint32_t savedEbp = 0, returnAddress = 0;
    if (ebp >= esp && stack.Word(ebp, &savedEbp) && stack.Word(ebp + 4, &returnAddress) &&
        test.InCode(returnAddress)) {
      all.push_back({returnAddress, FrameSource::kFramePointer, ebp + 4});
      esp = ebp + 8;
      ebp = savedEbp;
      if (ebp == 0) break;  // the outermost frame ends the chain on purpose
      followingChain = true;
      continue;
    }
    // A chain that ends among the thread's start-up frames has reached the outermost caller;
    // above it lie only the start routine's arguments, which a scan would take for frames.
    if (followingChain && high - esp < limits.startupBytes) break;
    followingChain = false;
    // No usable frame pointer: take the next stack word that looks like a return address.
    bool found = false;
    const uint32_t scanEnd = std::min<uint64_t>(uint64_t{esp} + limits.maxScanBytes, stack.end());
    for (uint32_t slot = esp; slot + 4 <= scanEnd; slot += 4) {
      uint32_t value = 0;
      if (stack.Word(slot, &value) && test.AfterCall(value)) {
        all.push_back({value, FrameSource::kScan, slot});
        esp = slot + 4;
        found = true;
        break;
      }
    }
    if (!found) break;
  }

  KeepEnds(std::move(all), limits, &trace);
  return trace;
}

}  // namespace orlent
