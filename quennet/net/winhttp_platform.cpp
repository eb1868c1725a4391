#include "net/winhttp_platform.h"

#include <cwchar>

namespace quennet {
namespace {

// 0 when the variable is absent or out of [100, 600000].
DWORD ReadTestMilliseconds(const wchar_t* name) {
  wchar_t value[32] = {};
  const DWORD length = ::GetEnvironmentVariableW(name, value, 32);
  if (length == 0 || length >= 32) return 0;
  const unsigned long parsed = std::wcstoul(value, nullptr, 10);
  return parsed >= 100 && parsed <= 600000 ? static_cast<DWORD>(parsed) : 0;
}

bool RunningUnderWine() {
  static const bool wine =
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

}  // namespace

NetTimeouts TaskTimeouts() {
  static const DWORD testStall = ReadTestMilliseconds(L"QUENNET_TEST_STALL_TIMEOUT_MS");
  static const DWORD testBudget = ReadTestMilliseconds(L"QUENNET_TEST_RETRY_BUDGET_MS");
  NetTimeouts timeouts;
  if (testStall != 0) timeouts.receiveMs = testStall;
  if (testBudget != 0) timeouts.retryBudgetMs = testBudget;
  return timeouts;
}

win::UniqueWinHttpHandle OpenSession(const wchar_t* agent, const NetTimeouts& timeouts) {
  // WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY (Windows 8.1 and later) follows the user's proxy
  // settings, automatic configuration included; older systems reject it with
  // ERROR_INVALID_PARAMETER. Wine 8 accepts it but then uses no proxy at all, whereas its
  // DEFAULT_PROXY does take the WinHTTP proxy configuration (netsh winhttp, and the http_proxy
  // environment variable): under Wine, and where AUTOMATIC is refused, DEFAULT_PROXY is used.
  win::UniqueWinHttpHandle session;
  if (!RunningUnderWine())
    session.reset(::WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session)
    session.reset(::WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return session;
  // Wine 8 does not bound the wait for a response with WinHttpSetTimeouts alone (a server that
  // accepts and says nothing held a request for over 40 s); PrepareRequest also sets
  // WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, which it honours.
  ::WinHttpSetTimeouts(session.get(), static_cast<int>(timeouts.resolveMs),
                       static_cast<int>(timeouts.connectMs), static_cast<int>(timeouts.sendMs),
                       static_cast<int>(timeouts.receiveMs));
  // TLS 1.2 and 1.3 where the system has them; certificate checks stay at their defaults (on).
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
#ifdef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
  protocols |= WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
  if (!::WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                          sizeof(protocols)))
    protocols &= ~WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
#endif
  ::WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols));
  return session;
}

void PrepareRequest(HINTERNET request, const NetTimeouts& timeouts, bool followRedirects) {
  DWORD responseTimeout = timeouts.receiveMs;
  ::WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                     sizeof(responseTimeout));
  ::WinHttpSetTimeouts(request, static_cast<int>(timeouts.resolveMs),
                       static_cast<int>(timeouts.connectMs), static_cast<int>(timeouts.sendMs),
                       static_cast<int>(timeouts.receiveMs));
  if (!followRedirects) {
    DWORD disable = WINHTTP_DISABLE_REDIRECTS;
    ::WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &disable, sizeof(disable));
  }
}

void PinWinHttp() {
  static const bool pinned = [] {
    HMODULE module = nullptr;
    // Wine once unloaded winhttp.dll together with a library whose thread still ran inside
    // it; pinning takes that possibility away.
    return ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, L"winhttp.dll", &module) != FALSE;
  }();
  (void)pinned;
}

}  // namespace quennet
