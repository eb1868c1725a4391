// Owner for WinHTTP's handles (sessions, connections, requests), closed with
// WinHttpCloseHandle. Only files that include <winhttp.h> see it.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include "win/unique_handle.h"

namespace quennet {

struct WinHttpHandleTraits {
  using Handle = HINTERNET;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::WinHttpCloseHandle(h); }
};

using UniqueWinHttpHandle = win::UniqueHandle<WinHttpHandleTraits>;

}  // namespace quennet
