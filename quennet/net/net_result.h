// The outcome of one network step, and how WinHTTP's error codes map onto the library's codes.
#pragma once

#include <windows.h>

#include <string>

#include "extract/package_extractor.h"

namespace quennet {

struct NetResult {
  Outcome outcome;
  // Worth another try: a dropped or stalled connection, an unreachable host, a 5xx answer.
  bool transient = false;
  DWORD systemError = 0;  // the WinHTTP or system code behind the failure, when there is one

  bool ok() const { return outcome.ok(); }
  static NetResult Ok() { return {}; }
  static NetResult Fail(int code, std::wstring text, bool transient) {
    return {Outcome::Fail(code, std::move(text)), transient};
  }
};

// The failure of `call` with WinHTTP error `error` while talking to `url`, as a library code
// and a Chinese text that names the URL, the call and the system's message.
NetResult WinHttpFailure(const wchar_t* call, DWORD error, const std::wstring& url);

}  // namespace quennet
