// The WinHTTP settings every connection of the library uses, and the Wine behaviour they work
// around, kept in one place.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "win/winhttp_handle.h"

namespace quennet {

struct NetTimeouts {
  DWORD resolveMs = 10000;
  DWORD connectMs = 10000;
  DWORD sendMs = 30000;
  DWORD receiveMs = 10000;  // also the longest silence of a body before it counts as stalled
  // How long a task keeps trying after losing the server before it gives up.
  DWORD retryBudgetMs = 60000;
};

// The timeouts of download tasks. QUENNET_TEST_STALL_TIMEOUT_MS and
// QUENNET_TEST_RETRY_BUDGET_MS (each read once, when the first object is made) shorten the
// stall limit and the retry budget for the library's own tests only; they are not settings for
// hosts.
NetTimeouts TaskTimeouts();

// Wine's WinHTTP (8.0) keeps a body's length in a signed 32-bit count: a response body ends,
// without an error, after this many bytes whatever the server sends. A body longer than that is
// therefore fetched as ranges of kBodyRangeSpan bytes when the server serves ranges.
inline constexpr std::uint64_t kWineLongestBody = 2147483647;
inline constexpr std::uint64_t kBodyRangeSpan = 1ull << 30;

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
