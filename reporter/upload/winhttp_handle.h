// The owner of a WinHTTP handle (session, connection, request), closed with WinHttpCloseHandle.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include "win/unique_handle.h"

namespace orlent::upload {

struct WinHttpHandleTraits {
  using Handle = HINTERNET;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::WinHttpCloseHandle(h); }
};
using UniqueWinHttpHandle = win::UniqueHandle<WinHttpHandleTraits>;

}  // namespace orlent::upload
