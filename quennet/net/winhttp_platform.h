// The WinHTTP settings every connection of the library uses, and the Wine behaviour they work
// around, kept in one place.
#pragma once

#include <windows.h>

#include <string>

#include "win/winhttp_handle.h"

namespace quennet {

struct NetTimeouts {
  DWORD resolveMs = 10000;
  DWORD connectMs = 10000;
  DWORD sendMs = 30000;
  DWORD receiveMs = 10000;  // also the longest silence of a body before it counts as stalled
};

// The timeouts of download tasks. QUENNET_TEST_STALL_TIMEOUT_MS (read once, when the first
// object is made) shortens the stall limit for the library's own tests only; it is not a
// setting for hosts.
NetTimeouts TaskTimeouts();

// Opens a session that honours the system's proxy configuration. Returns an empty handle and
// sets GetLastError on failure.
win::UniqueWinHttpHandle OpenSession(const wchar_t* agent, const NetTimeouts& timeouts);

// Applies the per-request settings: the response timeout, and automatic redirects switched off
// (the caller follows them itself so that it can refuse https -> http).
void PrepareRequest(HINTERNET request, const NetTimeouts& timeouts, bool followRedirects);

// Keeps winhttp.dll loaded for the life of the process, so that no thread (ours or the
// system's thread pool serving WinHTTP) can find it unloaded after the library's own
// FreeLibrary.
void PinWinHttp();

}  // namespace quennet
