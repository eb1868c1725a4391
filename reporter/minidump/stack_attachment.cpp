#include "minidump/stack_attachment.h"

#include <cstddef>
#include <cstring>

#include "win/error_text.h"

namespace orlent {
namespace {

constexpr uint32_t kSignature = 0x504D444D;  // "MDMP"
constexpr uint32_t kThreadListStream = 3;
constexpr uint32_t kMemoryListStream = 5;
constexpr uint32_t kMaxCount = 65536;

#pragma pack(push, 4)
struct Header {
  uint32_t signature, version, streamCount, directoryRva, checksum, timeDateStamp;
  uint64_t flags;
};
struct Location {
  uint32_t dataSize, rva;
};
struct DirectoryEntry {
  uint32_t type;
  Location location;
};
struct MemoryDescriptor {
  uint64_t start;
  Location memory;
};
struct Thread {
  uint32_t threadId, suspendCount, priorityClass, priority;
  uint64_t teb;
  MemoryDescriptor stack;
  Location context;
};
#pragma pack(pop)
static_assert(sizeof(Header) == 32 && sizeof(DirectoryEntry) == 12);
static_assert(sizeof(MemoryDescriptor) == 16 && sizeof(Thread) == 48);

// The x86 CONTEXT's stack pointer, as the dump stores it.
constexpr size_t kContextEspOffset = offsetof(CONTEXT, Esp);

class DumpFile {
 public:
  explicit DumpFile(HANDLE file) : file_(file) {}

  bool Read(uint64_t offset, void* buffer, size_t size) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (::ReadFile(file_, buffer, static_cast<DWORD>(size), &got, &at) && got == size) return true;
    problem_ = L"the dump cannot be read at " + std::to_wstring(offset);
    return false;
  }

  bool Write(uint64_t offset, const void* buffer, size_t size) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD put = 0;
    if (::WriteFile(file_, buffer, static_cast<DWORD>(size), &put, &at) && put == size) return true;
    problem_ = win::CallFailed(L"WriteFile") + L" while rewriting the dump";
    return false;
  }

  // Appends at the end of the file, aligned for readers that map it; returns the offset.
  bool Append(const void* buffer, size_t size, uint32_t* rva) {
    LARGE_INTEGER length = {};
    if (!::GetFileSizeEx(file_, &length)) {
      problem_ = win::CallFailed(L"GetFileSizeEx");
      return false;
    }
    const uint64_t at = (static_cast<uint64_t>(length.QuadPart) + 15) & ~uint64_t{15};
    if (at + size > 0xFFFFFFFFu) {
      problem_ = L"the dump would outgrow 4 GiB";
      return false;
    }
    *rva = static_cast<uint32_t>(at);
    return Write(at, buffer, size);
  }

  std::wstring problem_;

 private:
  HANDLE file_;
};

StackAttachment Fail(std::wstring problem) {
  StackAttachment result;
  result.problem = std::move(problem);
  return result;
}

}  // namespace

StackAttachment AttachThreadStack(HANDLE file, const ThreadStack& stack) {
  DumpFile dump(file);
  Header header = {};
  if (!dump.Read(0, &header, sizeof header) || header.signature != kSignature ||
      header.streamCount == 0 || header.streamCount > kMaxCount)
    return Fail(L"the dump has no header a stack can be attached to");
  std::vector<DirectoryEntry> directory(header.streamCount);
  if (!dump.Read(header.directoryRva, directory.data(), directory.size() * sizeof(DirectoryEntry)))
    return Fail(dump.problem_);
  DirectoryEntry* threads = nullptr;
  DirectoryEntry* memory = nullptr;
  for (DirectoryEntry& entry : directory) {
    if (entry.type == kThreadListStream && threads == nullptr) threads = &entry;
    if (entry.type == kMemoryListStream && memory == nullptr) memory = &entry;
  }
  if (threads == nullptr) return Fail(L"the dump has no thread list");

  uint32_t count = 0;
  if (!dump.Read(threads->location.rva, &count, sizeof count)) return Fail(dump.problem_);
  if (count > kMaxCount || 4 + uint64_t{count} * sizeof(Thread) > threads->location.dataSize)
    return Fail(L"the dump's thread list is damaged");
  Thread thread = {};
  uint64_t threadAt = 0;
  for (uint32_t i = 0; i < count && threadAt == 0; ++i) {
    const uint64_t at = threads->location.rva + 4 + uint64_t{i} * sizeof(Thread);
    if (!dump.Read(at, &thread, sizeof thread)) return Fail(dump.problem_);
    if (thread.threadId == stack.threadId) threadAt = at;
  }
  if (threadAt == 0)
    return Fail(L"thread " + std::to_wstring(stack.threadId) + L" is not in the dump's thread list");

  // Everything that can fail before the dump is changed is asked first.
  uint32_t esp = 0;
  const bool contextReadable = thread.context.dataSize >= kContextEspOffset + sizeof esp &&
                               dump.Read(thread.context.rva + kContextEspOffset, &esp, sizeof esp);
  std::vector<MemoryDescriptor> ranges;
  if (memory != nullptr) {
    uint32_t ranged = 0;
    if (!dump.Read(memory->location.rva, &ranged, sizeof ranged) || ranged > kMaxCount ||
        4 + uint64_t{ranged} * sizeof(MemoryDescriptor) > memory->location.dataSize)
      return Fail(L"the dump's memory list is damaged");
    ranges.resize(ranged);
    if (ranged != 0 && !dump.Read(memory->location.rva + 4, ranges.data(),
                                  ranges.size() * sizeof(MemoryDescriptor)))
      return Fail(dump.problem_);
  }

  uint32_t bytesRva = 0;
  if (!dump.Append(stack.bytes.data(), stack.bytes.size(), &bytesRva)) return Fail(dump.problem_);
  const MemoryDescriptor attached = {stack.start,
                                     {static_cast<uint32_t>(stack.bytes.size()), bytesRva}};
  ranges.push_back(attached);
  std::vector<uint8_t> list(4 + ranges.size() * sizeof(MemoryDescriptor));
  const uint32_t listed = static_cast<uint32_t>(ranges.size());
  std::memcpy(list.data(), &listed, 4);
  std::memcpy(list.data() + 4, ranges.data(), ranges.size() * sizeof(MemoryDescriptor));
  uint32_t listRva = 0;
  if (!dump.Append(list.data(), list.size(), &listRva)) return Fail(dump.problem_);

  // A dump without a memory list gets one through a directory one entry longer, at the end.
  if (memory != nullptr) {
    memory->location = {static_cast<uint32_t>(list.size()), listRva};
    const size_t index = static_cast<size_t>(memory - directory.data());
    if (!dump.Write(header.directoryRva + index * sizeof(DirectoryEntry), memory,
                    sizeof(DirectoryEntry)))
      return Fail(dump.problem_);
  } else {
    directory.push_back({kMemoryListStream, {static_cast<uint32_t>(list.size()), listRva}});
    uint32_t directoryRva = 0;
    if (!dump.Append(directory.data(), directory.size() * sizeof(DirectoryEntry), &directoryRva))
      return Fail(dump.problem_);
    header.streamCount = static_cast<uint32_t>(directory.size());
    header.directoryRva = directoryRva;
    if (!dump.Write(0, &header, sizeof header)) return Fail(dump.problem_);
  }

  StackAttachment result;
  thread.stack = attached;
  const uint64_t end = uint64_t{stack.start} + stack.bytes.size();
  if (stack.context != nullptr && thread.context.dataSize == sizeof(CONTEXT) &&
      (!contextReadable || esp < stack.start || esp >= end)) {
    if (!dump.Write(thread.context.rva, stack.context, sizeof(CONTEXT))) return Fail(dump.problem_);
    result.contextReplaced = true;
  }
  if (!dump.Write(threadAt, &thread, sizeof thread)) return Fail(dump.problem_);
  result.attached = true;
  return result;
}

}  // namespace orlent
