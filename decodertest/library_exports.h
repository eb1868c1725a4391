// Finding the decoder library's factory exports by name.
#pragma once

#include <windows.h>

// The export `name` of `library` as a function of type `Function`, or null when it is missing.
template <typename Function>
Function FindExport(HMODULE library, const char* name) {
  // Through void* because GetProcAddress's own function type has nothing to do with the
  // export's real one.
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
}
