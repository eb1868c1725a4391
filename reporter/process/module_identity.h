// What identifies a module's build, read from its headers in the crashed process: the link
// time stamp and image size (the pair a symbol server files images under) and the CodeView
// record (GUID and age, the key for its debug file). The headers come from a crashed process
// and are checked like any other untrusted input.
#pragma once

#include <cstdint>
#include <string>

#include "process/modules.h"
#include "process/remote_memory.h"

namespace orlent {

// Fills the identity fields of every module; a module whose headers cannot be read keeps
// them empty.
void ReadModuleIdentities(const RemoteMemory& memory, ModuleList* modules);

// The identity of the image mapped at `base` (whose file is `path`, read only for long section
// names); false when its headers are not a PE image.
bool ReadModuleIdentity(const RemoteMemory& memory, uint32_t base, const std::wstring& path,
                        ModuleIdentity* identity);

// "{01234567-89AB-CDEF-0123-456789ABCDEF}" as a debugger prints a CodeView GUID.
std::wstring GuidText(const uint8_t (&guid)[16]);

// The keys symbol servers and Breakpad-style collectors file a module's symbols under.
// The debug identifier: the GUID's fields in Microsoft's order, upper-case hexadecimal without
// separators, then the age in hexadecimal ("5A9832E5287241C1838ED98914E9B7FF1").
std::wstring DebugIdText(const uint8_t (&guid)[16], uint32_t age);
// The code identifier of the image itself: TimeDateStamp as eight digits, then SizeOfImage
// without leading zeros ("6B1811E396000").
std::wstring CodeIdText(uint32_t timeDateStamp, uint32_t sizeOfImage);
// The file name part of a recorded debug file name, which MSVC records as a full path: the
// name a symbol store files it under.
std::wstring DebugFileName(const std::wstring& pdbName);

}  // namespace orlent
