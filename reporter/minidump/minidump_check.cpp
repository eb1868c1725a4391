#include "minidump/minidump_check.h"

#include <algorithm>

#include "win/error_text.h"

namespace orlent {
namespace {

constexpr uint32_t kSignature = 0x504D444D;  // "MDMP"
constexpr uint32_t kMaxStreams = 4096;

struct Header {
  uint32_t signature;
  uint32_t version;
  uint32_t streamCount;
  uint32_t directoryRva;
  uint32_t checksum;
  uint32_t timeDateStamp;
  uint64_t flags;
};
static_assert(sizeof(Header) == 32);

struct DirectoryEntry {
  uint32_t type;
  uint32_t dataSize;
  uint32_t rva;
};
static_assert(sizeof(DirectoryEntry) == 12);

bool ReadAt(HANDLE file, uint64_t offset, void* buffer, DWORD size) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  return ::ReadFile(file, buffer, size, &got, &at) && got == size;
}

MinidumpCheck Fail(MinidumpCheck check, std::wstring problem) {
  check.good = false;
  check.problem = std::move(problem);
  return check;
}

}  // namespace

MinidumpCheck CheckMinidump(HANDLE file, const std::vector<uint32_t>& required) {
  MinidumpCheck check;
  LARGE_INTEGER size = {};
  if (!::GetFileSizeEx(file, &size)) return Fail(check, win::CallFailed(L"GetFileSizeEx"));
  check.size = static_cast<uint64_t>(size.QuadPart);
  Header header = {};
  if (check.size < sizeof header || !ReadAt(file, 0, &header, sizeof header))
    return Fail(check, L"the file is shorter than a minidump header (" +
                           std::to_wstring(check.size) + L" bytes)");
  if (header.signature != kSignature) return Fail(check, L"the file does not start with MDMP");
  if (header.streamCount == 0 || header.streamCount > kMaxStreams)
    return Fail(check, L"implausible stream count " + std::to_wstring(header.streamCount));
  const uint64_t directoryEnd =
      uint64_t{header.directoryRva} + uint64_t{header.streamCount} * sizeof(DirectoryEntry);
  if (header.directoryRva < sizeof header || directoryEnd > check.size)
    return Fail(check, L"the stream directory lies outside the file");
  std::vector<DirectoryEntry> entries(header.streamCount);
  if (!ReadAt(file, header.directoryRva, entries.data(),
              static_cast<DWORD>(entries.size() * sizeof(DirectoryEntry))))
    return Fail(check, win::CallFailed(L"ReadFile"));
  for (const DirectoryEntry& entry : entries) {
    if (entry.type == 0) continue;  // unused slot
    check.streams.push_back(entry.type);
    if (uint64_t{entry.rva} + entry.dataSize > check.size)
      return Fail(check, L"stream " + std::to_wstring(entry.type) + L" lies outside the file");
  }
  for (uint32_t type : required)
    if (std::find(check.streams.begin(), check.streams.end(), type) == check.streams.end())
      return Fail(check, L"stream " + std::to_wstring(type) + L" is missing");
  check.good = true;
  return check;
}

}  // namespace orlent
