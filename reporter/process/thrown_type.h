// The C++ exception a thread was throwing when terminate was called, read from the crashed
// process: __cxa_throw(object, type_info*, destructor) is on that thread's stack, and a
// type_info holds its mangled name at offset 4 (i386 Itanium ABI).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "process/modules.h"
#include "process/remote_memory.h"
#include "process/stack_walk.h"

namespace orlent {

struct ThrownException {
  std::wstring type;                // "std::runtime_error", empty when not read
  std::optional<std::wstring> what;  // the what() text, when it could be read without a call
};

// The exception of the innermost __cxa_throw frame on `trace`; an empty type when there is
// none or what it points at is not a type name inside a module of the process. `what` is read
// only for a type derived from std::logic_error or std::runtime_error, whose message lives in
// the object; for any other type what() would have to run in the dead process.
// `functions` names the frames' addresses.
ThrownException ReadThrownException(const RemoteMemory& memory, const ModuleList& modules,
                                    const StackTrace& trace,
                                    const std::map<uint32_t, std::wstring>& functions);

// The readable form of a mangled type name ("St13runtime_error" -> "std::runtime_error");
// empty when `mangled` is not a sound type name.
std::wstring DemangleTypeName(const std::string& mangled);

// Untrusted message bytes as text: at most kMaxWhatBytes of them, cut before a character that
// would cross the bound, each invalid UTF-8 sequence shown as U+FFFD.
constexpr size_t kMaxWhatBytes = 1024;
std::wstring MessageText(const std::string& bytes);

}  // namespace orlent
