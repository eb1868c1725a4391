#include "process/module_identity.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <cwchar>

#include "text/utf.h"
#include "win/unique_handle.h"

namespace orlent {
namespace {

constexpr uint32_t kCodeViewRsds = 0x53445352;  // "RSDS"
constexpr uint32_t kMaxDebugEntries = 32;
constexpr uint32_t kMaxSections = 96;
constexpr uint32_t kCoffSymbolSize = 18;
// MSVC records a full path; nothing sound is longer than MAX_PATH.
constexpr uint32_t kMaxPdbName = 260;

#pragma pack(push, 1)
struct CodeViewRecord {
  uint32_t signature;
  uint8_t guid[16];
  uint32_t age;
};
#pragma pack(pop)

// A long section name from the module file's string table, which is not mapped into memory.
std::string LongSectionName(const std::wstring& path, const IMAGE_FILE_HEADER& header,
                            const char* offsetText) {
  char* end = nullptr;
  const unsigned long offset = std::strtoul(offsetText, &end, 10);
  if (path.empty() || end == offsetText || *end != '\0' || header.PointerToSymbolTable == 0)
    return {};
  win::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return {};
  const uint64_t at = uint64_t{header.PointerToSymbolTable} +
                      uint64_t{header.NumberOfSymbols} * kCoffSymbolSize + offset;
  char name[16] = {};
  OVERLAPPED position = {};
  position.Offset = static_cast<DWORD>(at);
  position.OffsetHigh = static_cast<DWORD>(at >> 32);
  DWORD got = 0;
  if (!::ReadFile(file.get(), name, sizeof name - 1, &got, &position)) return {};
  return std::string(name, strnlen(name, got));
}

// [base + rva, + size) lies inside the image as its header describes it and inside the 32-bit
// address space: a header's offsets must not wrap around to memory of another module.
bool InImage(uint32_t base, uint32_t sizeOfImage, uint32_t rva, uint64_t size) {
  return uint64_t{rva} + size <= sizeOfImage && uint64_t{base} + rva + size <= 0x100000000ull;
}

// The debug file name that follows the record: UTF-8 up to its NUL within the record and the
// bound. A name with control characters or without its NUL is no name; an empty one is what
// GNU ld writes for --build-id alone.
std::wstring RecordedPdbName(const RemoteMemory& memory, uint32_t at, uint32_t room) {
  char name[kMaxPdbName + 1] = {};
  const size_t got = memory.ReadPrefix(at, name, std::min(room, kMaxPdbName + 1));
  const size_t length = strnlen(name, got);
  if (length == got) return {};
  for (size_t i = 0; i < length; ++i)
    if (static_cast<unsigned char>(name[i]) < 0x20 || name[i] == 0x7F) return {};
  return text::Utf8ToWide(name);
}

}  // namespace

std::wstring DebugIdText(const uint8_t (&guid)[16], uint32_t age) {
  uint32_t data1;
  uint16_t data2, data3;
  std::memcpy(&data1, guid, 4);
  std::memcpy(&data2, guid + 4, 2);
  std::memcpy(&data3, guid + 6, 2);
  wchar_t text[48];
  std::swprintf(text, 48, L"%08lX%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X%lX",
                static_cast<unsigned long>(data1), data2, data3, guid[8], guid[9], guid[10],
                guid[11], guid[12], guid[13], guid[14], guid[15],
                static_cast<unsigned long>(age));
  return text;
}

std::wstring CodeIdText(uint32_t timeDateStamp, uint32_t sizeOfImage) {
  wchar_t text[24];
  std::swprintf(text, 24, L"%08lX%lx", static_cast<unsigned long>(timeDateStamp),
                static_cast<unsigned long>(sizeOfImage));
  return text;
}

std::wstring DebugFileName(const std::wstring& pdbName) {
  const size_t slash = pdbName.find_last_of(L"\\/");
  return slash == std::wstring::npos ? pdbName : pdbName.substr(slash + 1);
}

std::wstring GuidText(const uint8_t (&guid)[16]) {
  uint32_t data1;
  uint16_t data2, data3;
  std::memcpy(&data1, guid, 4);
  std::memcpy(&data2, guid + 4, 2);
  std::memcpy(&data3, guid + 6, 2);
  wchar_t text[48];
  std::swprintf(text, 48, L"{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(data1), data2, data3, guid[8], guid[9], guid[10],
                guid[11], guid[12], guid[13], guid[14], guid[15]);
  return text;
}

bool ReadModuleIdentity(const RemoteMemory& memory, uint32_t base, const std::wstring& path,
                        ModuleIdentity* identity) {
  IMAGE_DOS_HEADER dos;
  if (!memory.ReadValue(base, &dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0 ||
      dos.e_lfanew > 0x10000)
    return false;
  const uint32_t ntAt = base + static_cast<uint32_t>(dos.e_lfanew);
  IMAGE_NT_HEADERS32 nt;
  if (!memory.ReadValue(ntAt, &nt) || nt.Signature != IMAGE_NT_SIGNATURE ||
      nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC)
    return false;
  identity->found = true;
  identity->timeDateStamp = nt.FileHeader.TimeDateStamp;
  identity->sizeOfImage = nt.OptionalHeader.SizeOfImage;

  // The sections that carry unwind tables: what a walk by call frame information needs.
  const uint32_t sectionsAt = ntAt + 4 + sizeof(IMAGE_FILE_HEADER) +
                              nt.FileHeader.SizeOfOptionalHeader;
  // All headers in one read: each read of the crashed process is a wineserver round trip.
  IMAGE_SECTION_HEADER sections[kMaxSections];
  const uint32_t sectionCount = static_cast<uint32_t>(memory.ReadPrefix(
                                    sectionsAt, sections,
                                    std::min<uint32_t>(nt.FileHeader.NumberOfSections,
                                                       kMaxSections) *
                                        sizeof(IMAGE_SECTION_HEADER))) /
                                sizeof(IMAGE_SECTION_HEADER);
  for (uint32_t i = 0; i < sectionCount && !identity->callFrameInfo; ++i) {
    char name[9] = {};
    std::memcpy(name, sections[i].Name, 8);
    // GNU ld keeps the full name ".eh_frame" in the file's COFF string table ("/4") and
    // strip cuts it to ".eh_fram": either way the module carries unwind tables. GNU ld puts
    // .eh_frame before the long-named debug sections, so the file is rarely opened.
    if (std::strcmp(name, ".eh_fram") == 0 ||
        (name[0] == '/' && LongSectionName(path, nt.FileHeader, name + 1) == ".eh_frame"))
      identity->callFrameInfo = true;
  }

  if (nt.OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_DEBUG) return true;
  const IMAGE_DATA_DIRECTORY& directory =
      nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DEBUG];
  if (directory.VirtualAddress == 0 || directory.Size < sizeof(IMAGE_DEBUG_DIRECTORY))
    return true;
  const uint32_t entries =
      std::min<uint32_t>(directory.Size / sizeof(IMAGE_DEBUG_DIRECTORY), kMaxDebugEntries);
  if (!InImage(base, identity->sizeOfImage, directory.VirtualAddress,
               uint64_t{entries} * sizeof(IMAGE_DEBUG_DIRECTORY)))
    return true;
  for (uint32_t i = 0; i < entries; ++i) {
    IMAGE_DEBUG_DIRECTORY entry;
    if (!memory.ReadValue(base + directory.VirtualAddress + i * sizeof entry, &entry)) break;
    if (entry.Type != IMAGE_DEBUG_TYPE_CODEVIEW || entry.SizeOfData < sizeof(CodeViewRecord) ||
        entry.AddressOfRawData == 0 ||
        !InImage(base, identity->sizeOfImage, entry.AddressOfRawData, sizeof(CodeViewRecord) + 1))
      continue;
    CodeViewRecord record;
    if (!memory.ReadValue(base + entry.AddressOfRawData, &record) ||
        record.signature != kCodeViewRsds)
      continue;
    identity->hasCodeView = true;
    std::memcpy(identity->guid, record.guid, sizeof record.guid);
    identity->age = record.age;
    identity->pdbName =
        RecordedPdbName(memory, base + entry.AddressOfRawData + sizeof record,
                        std::min<uint32_t>(entry.SizeOfData - sizeof record,
                                           identity->sizeOfImage - entry.AddressOfRawData -
                                               sizeof record));
    identity->emptyPdbName = identity->pdbName.empty();
    break;
  }
  return true;
}

void ReadModuleIdentities(const RemoteMemory& memory, ModuleList* modules) {
  for (Module& module : modules->mutable_modules())
    ReadModuleIdentity(memory, module.base, module.path, &module.identity);
}

}  // namespace orlent
