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

}  // namespace orlent
