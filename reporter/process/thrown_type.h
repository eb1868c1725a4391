// The type of the C++ exception a thread was throwing when terminate was called, read from the
// crashed process: __cxa_throw(object, type_info*, destructor) is on that thread's stack, and
// a type_info holds its mangled name at offset 4 (i386 Itanium ABI).
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "process/modules.h"
#include "process/remote_memory.h"
#include "process/stack_walk.h"

namespace orlent {

// "std::runtime_error", or empty when no __cxa_throw frame is on `trace` or what it points at
// is not a type name inside a module of the process. `functions` names the frames' addresses.
std::wstring ThrownTypeName(const RemoteMemory& memory, const ModuleList& modules,
                            const StackTrace& trace,
                            const std::map<uint32_t, std::wstring>& functions);

// The readable form of a mangled type name ("St13runtime_error" -> "std::runtime_error");
// empty when `mangled` is not a sound type name.
std::wstring DemangleTypeName(const std::string& mangled);

}  // namespace orlent
