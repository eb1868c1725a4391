// The owner of a WinHTTP handle (session, connection, request), closed with WinHttpCloseHandle.
// A header of its own, so that only targets that link winhttp see it.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include "win/unique_handle.h"

namespace win {

struct WinHttpHandleTraits {
  using Handle = HINTERNET;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::WinHttpCloseHandle(h); }
};

using UniqueWinHttpHandle = UniqueHandle<WinHttpHandleTraits>;

}  // namespace win
