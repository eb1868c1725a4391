// Owners for the window objects a request uses to reach its sending thread: a registered
// window class and a message-only window. Both must be given back on the thread that made
// them (a window) or while no window of the class exists (a class).
#pragma once

#include <windows.h>

#include "win/unique_handle.h"

namespace quennet {

struct WindowTraits {
  using Handle = HWND;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::DestroyWindow(h); }
};

struct WindowClassTraits {
  using Handle = ATOM;
  static Handle Empty() noexcept { return 0; }
  static void Close(Handle h) noexcept;
};

using UniqueWindow = win::UniqueHandle<WindowTraits>;
using UniqueWindowClass = win::UniqueHandle<WindowClassTraits>;

// This DLL's own module handle.
HINSTANCE ThisModule();

}  // namespace quennet
