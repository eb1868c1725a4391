#include "minidump/overflowed_stack.h"

#include <algorithm>
#include <vector>

#include "minidump/stack_attachment.h"
#include "text/hex.h"

namespace orlent {
namespace {

constexpr uint32_t kPage = 4096;

}  // namespace

std::optional<AddressRange> OverflowedStackRange(uint32_t esp, uint32_t limit, uint32_t base) {
  if (limit >= base || esp < limit || esp >= base) return std::nullopt;
  AddressRange range;
  range.low = std::max(limit, esp >= kStackRedZoneBytes ? esp - kStackRedZoneBytes : 0);
  range.high = range.low + std::min(base - range.low, kMaxOverflowedStackBytes);
  return range;
}

std::wstring AttachOverflowedStack(HANDLE file, const RemoteMemory& memory,
                                   const OverflowedStack& overflowed) {
  const uint32_t esp = overflowed.context.Esp;
  const std::optional<AddressRange> range =
      OverflowedStackRange(esp, overflowed.limit, overflowed.base);
  if (!range)
    return L"the fault's Esp " + text::Hex32W(esp) + L" is not on the saved stack " +
           text::Hex32W(overflowed.limit) + L".." + text::Hex32W(overflowed.base);
  ThreadStack stack;
  stack.threadId = overflowed.threadId;
  stack.context = &overflowed.context;
  // The red zone may reach into the guard region below the stack's committed end.
  for (uint32_t low = range->low, next = 0; low <= esp; low = next) {
    next = (low & ~(kPage - 1)) + kPage;
    stack.bytes.resize(range->high - low);
    stack.bytes.resize(memory.ReadPrefix(low, stack.bytes.data(), stack.bytes.size()));
    if (low + stack.bytes.size() > esp) {
      stack.start = low;
      break;
    }
    stack.bytes.clear();
    if (next <= low) break;  // the top of the address space
  }
  if (stack.bytes.empty())
    return L"the overflowed stack at " + text::Hex32W(esp) + L" cannot be read";
  const StackAttachment attachment = AttachThreadStack(file, stack);
  return attachment.attached ? std::wstring() : attachment.problem;
}

}  // namespace orlent
