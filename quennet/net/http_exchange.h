// One HTTP request and its response over a WinHTTP session: sends, follows redirects (never
// from https to http), reads headers and the body.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "net/net_result.h"
#include "net/request_canceller.h"
#include "net/url.h"
#include "win/winhttp_handle.h"
#include "net/winhttp_platform.h"

namespace quennet {

class HttpExchange {
 public:
  // `canceller` (may be null) can end a blocking call of this exchange from another thread.
  HttpExchange(HINTERNET session, const NetTimeouts& timeouts,
               RequestCanceller* canceller = nullptr)
      : session_(session), timeouts_(timeouts), canceller_(canceller) {}
  ~HttpExchange() { CloseRequest(); }
  HttpExchange(const HttpExchange&) = delete;
  HttpExchange& operator=(const HttpExchange&) = delete;

  // Sends the request and waits for the response's headers. Redirects (301, 302, 303, 307,
  // 308) are followed up to 10 times; one that leaves https for http fails with
  // QUENNET_E_INSECURE_REDIRECT. Any status arrives as success here: the caller judges it.
  NetResult Open(const Url& url, const wchar_t* verb, const std::wstring& headers,
                 const void* body = nullptr, DWORD bodyLength = 0);

  DWORD Status() const { return status_; }
  std::wstring StatusText() const;
  std::wstring Header(const wchar_t* name) const;  // "" when absent
  std::wstring RawHeaders() const;
  // False when the response carries no (usable) Content-Length.
  bool ContentLength(std::uint64_t* length) const;
  const Url& FinalUrl() const { return url_; }

  // Reads up to `size` bytes of the body; *got is 0 at its end.
  NetResult Read(void* buffer, DWORD size, DWORD* got);

 private:
  NetResult SendOnce(const Url& url, const wchar_t* verb, const std::wstring& headers,
                     const void* body, DWORD bodyLength);
  std::wstring Query(DWORD info, const wchar_t* name) const;
  void CloseRequest();

  HINTERNET session_;
  NetTimeouts timeouts_;
  RequestCanceller* canceller_;
  win::UniqueWinHttpHandle connection_;
  win::UniqueWinHttpHandle request_;
  Url url_;
  Url connectedTo_;
  DWORD status_ = 0;
};

// "HTTP 404（Not Found）" for texts.
std::wstring DescribeStatus(const HttpExchange& exchange);

}  // namespace quennet
