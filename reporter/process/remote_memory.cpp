#include "process/remote_memory.h"

#include <algorithm>

namespace orlent {
namespace {

constexpr uint32_t kPageSize = 0x1000;

}  // namespace

bool RemoteMemory::Read(uint32_t address, void* buffer, size_t size) const {
  if (size == 0) return true;
  if (address == 0 || static_cast<uint64_t>(address) + size > 0x100000000ULL) return false;
  SIZE_T got = 0;
  return ::ReadProcessMemory(process_, reinterpret_cast<const void*>(uintptr_t{address}), buffer,
                             size, &got) &&
         got == size;
}

size_t RemoteMemory::ReadPrefix(uint32_t address, void* buffer, size_t size) const {
  if (address == 0) return 0;
  size = static_cast<size_t>(std::min<uint64_t>(size, 0x100000000ULL - address));
  // One read for the common case where everything is readable.
  if (Read(address, buffer, size)) return size;
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < size) {
    const uint32_t at = address + static_cast<uint32_t>(done);
    const size_t chunk = std::min<size_t>(size - done, kPageSize - (at % kPageSize));
    if (!Read(at, out + done, chunk)) break;
    done += chunk;
  }
  return done;
}

bool RemoteMemory::IsExecutable(uint32_t address) const {
  MEMORY_BASIC_INFORMATION info = {};
  if (::VirtualQueryEx(process_, reinterpret_cast<const void*>(uintptr_t{address}), &info,
                       sizeof info) != sizeof info)
    return false;
  if (info.State != MEM_COMMIT || (info.Protect & PAGE_GUARD) != 0) return false;
  return (info.Protect & (PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                          PAGE_EXECUTE_WRITECOPY)) != 0;
}

}  // namespace orlent
