// A function of a system DLL already loaded in the process, looked up by name: for exports some
// versions of the DLL lack (Wine's msvcrt.dll lacks several), and for ones the library's import
// table should not name. Null when the DLL or the export is not there.
#pragma once

#include <windows.h>

namespace vessick {

template <typename Function>
Function SystemFunction(const wchar_t* module, const char* name) {
  HMODULE loaded = ::GetModuleHandleW(module);
  if (loaded == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(loaded, name)));
}

}  // namespace vessick
