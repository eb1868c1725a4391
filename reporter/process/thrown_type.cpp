#include "process/thrown_type.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

#include "text/utf.h"

namespace orlent {
namespace {

constexpr size_t kMaxMangledName = 512;

struct FreeDeleter {
  void operator()(char* text) const { std::free(text); }
};

bool StartsWithThrow(const std::wstring& function) {
  const std::wstring name = L"__cxa_throw";
  return function.compare(0, name.size(), name) == 0 &&
         (function.size() == name.size() || function[name.size()] == L'+');
}

// A mangled name is printable ASCII without spaces; anything else is not a type name.
std::string ReadMangledName(const RemoteMemory& memory, uint32_t address) {
  char buffer[kMaxMangledName + 1] = {};
  const size_t got = memory.ReadPrefix(address, buffer, kMaxMangledName);
  std::string name;
  for (size_t i = 0; i < got; ++i) {
    if (buffer[i] == '\0') return name;
    if (buffer[i] <= ' ' || buffer[i] > '~') return {};
    name += buffer[i];
  }
  return {};  // no end within the bound
}

}  // namespace

std::wstring DemangleTypeName(const std::string& mangled) {
  // A type local to a function is marked with a leading '*' by GCC.
  const std::string name = !mangled.empty() && mangled[0] == '*' ? mangled.substr(1) : mangled;
  if (name.empty()) return {};
  int status = 0;
  std::unique_ptr<char, FreeDeleter> readable(
      abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status));
  if (status == 0 && readable) return text::Utf8ToWide(readable.get());
  return {};
}

std::wstring ThrownTypeName(const RemoteMemory& memory, const ModuleList& modules,
                            const StackTrace& trace,
                            const std::map<uint32_t, std::wstring>& functions) {
  for (size_t i = 0; i + 1 < trace.frames.size(); ++i) {
    const auto found = functions.find(trace.frames[i].address);
    if (found == functions.end() || !StartsWithThrow(found->second)) continue;
    // The caller's frame holds the return address into it at `slot`; cdecl arguments follow.
    const uint32_t slot = trace.frames[i + 1].slot;
    uint32_t typeInfo = 0, namePointer = 0;
    if (slot == 0 || !memory.ReadValue(slot + 8, &typeInfo) ||
        modules.Find(typeInfo) == nullptr || !memory.ReadValue(typeInfo + 4, &namePointer) ||
        modules.Find(namePointer) == nullptr)
      return {};
    return DemangleTypeName(ReadMangledName(memory, namePointer));
  }
  return {};
}

}  // namespace orlent
