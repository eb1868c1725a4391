// An http or https URL split into the parts WinHTTP asks for.
#pragma once

#include <windows.h>

#include <string>

namespace quennet {

struct Url {
  std::wstring text;        // the whole URL as given
  bool secure = false;      // https
  std::wstring host;
  WORD port = 0;
  std::wstring pathAndQuery;  // never empty: "/" at least

  // The last non-empty path segment, without the query ("" when there is none).
  std::wstring LastSegment() const;
  bool SameOrigin(const Url& other) const {
    return secure == other.secure && port == other.port && _wcsicmp(host.c_str(), other.host.c_str()) == 0;
  }
};

// False for anything but an absolute http:// or https:// URL with a host.
bool ParseUrl(const std::wstring& text, Url* url);

// True when `reference` begins with a URI scheme ("ftp:", "file:", "http:" ...).
bool HasScheme(const std::wstring& reference);

// The target of a redirect's Location, which may be absolute, scheme-relative ("//host/..."),
// absolute-path ("/...") or relative to `base`'s folder.
std::wstring ResolveLocation(const Url& base, const std::wstring& location);

}  // namespace quennet
