#include "net/url.h"

#include <winhttp.h>

#include <cwctype>
#include <vector>

namespace quennet {

bool ParseUrl(const std::wstring& text, Url* url) {
  if (text.empty()) return false;
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!::WinHttpCrackUrl(text.c_str(), static_cast<DWORD>(text.size()), 0, &parts)) return false;
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
  if (parts.lpszHostName == nullptr || parts.dwHostNameLength == 0) return false;
  Url result;
  result.text = text;
  result.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  result.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  result.port = parts.nPort;
  if (parts.lpszUrlPath != nullptr) result.pathAndQuery.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (parts.lpszExtraInfo != nullptr)
    result.pathAndQuery.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (result.pathAndQuery.empty() || result.pathAndQuery[0] != L'/')
    result.pathAndQuery.insert(0, L"/");
  *url = std::move(result);
  return true;
}

std::wstring Url::LastSegment() const {
  std::wstring path = pathAndQuery.substr(0, pathAndQuery.find_first_of(L"?#"));
  while (!path.empty() && path.back() == L'/') path.pop_back();
  const size_t slash = path.rfind(L'/');
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool HasScheme(const std::wstring& reference) {
  // RFC 3986: ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ) ":" before any "/", "?" or "#".
  if (reference.empty() || !iswalpha(reference[0]) || reference[0] > 0x7F) return false;
  for (size_t i = 1; i < reference.size(); ++i) {
    const wchar_t c = reference[i];
    if (c == L':') return true;
    if (c > 0x7F || !(iswalnum(c) || c == L'+' || c == L'-' || c == L'.')) return false;
  }
  return false;
}

std::wstring ResolveLocation(const Url& base, const std::wstring& location) {
  auto startsWith = [&](const wchar_t* prefix) {
    return _wcsnicmp(location.c_str(), prefix, wcslen(prefix)) == 0;
  };
  // Any absolute reference stays as it is, so that one to another scheme (ftp:, file:) is
  // refused by ParseUrl instead of being read as a relative path.
  if (HasScheme(location)) return location;
  const std::wstring scheme = base.secure ? L"https:" : L"http:";
  if (startsWith(L"//")) return scheme + location;
  std::wstring origin = scheme + L"//" + base.host;
  const INTERNET_PORT defaultPort = base.secure ? 443 : 80;
  if (base.port != defaultPort) origin += L":" + std::to_wstring(base.port);
  if (startsWith(L"/")) return origin + location;
  std::wstring folder = base.pathAndQuery.substr(0, base.pathAndQuery.find(L'?'));
  folder.erase(folder.rfind(L'/') + 1);
  return origin + folder + location;
}

}  // namespace quennet
