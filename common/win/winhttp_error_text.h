// Texts for WinHTTP's error codes, for the messages of programs that use WinHTTP.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <string>

#include "win/error_text.h"

namespace win {

// The text for a WinHTTP error code: winhttp.dll's message table, then the system's. Wine's
// winhttp.dll carries no message table, so the common codes are named here instead of ending
// as "unknown error".
inline std::wstring WinHttpMessage(DWORD code) {
  std::wstring message = ModuleMessage(L"winhttp.dll", code);
  if (!message.empty()) return message;
  switch (code) {
    case ERROR_WINHTTP_TIMEOUT: return L"ERROR_WINHTTP_TIMEOUT (the operation timed out)";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return L"ERROR_WINHTTP_NAME_NOT_RESOLVED (the server name could not be resolved)";
    case ERROR_WINHTTP_CANNOT_CONNECT: return L"ERROR_WINHTTP_CANNOT_CONNECT (the connection to the server could not be made)";
    case ERROR_WINHTTP_CONNECTION_ERROR: return L"ERROR_WINHTTP_CONNECTION_ERROR (the connection was reset or ended)";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return L"ERROR_WINHTTP_INVALID_SERVER_RESPONSE (the server response could not be parsed)";
    case ERROR_WINHTTP_SECURE_FAILURE: return L"ERROR_WINHTTP_SECURE_FAILURE (the server certificate failed validation)";
    case ERROR_WINHTTP_SECURE_INVALID_CA: return L"ERROR_WINHTTP_SECURE_INVALID_CA (the certificate chain ends in an untrusted root)";
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID: return L"ERROR_WINHTTP_SECURE_CERT_CN_INVALID (the certificate does not name this host)";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: return L"ERROR_WINHTTP_SECURE_CHANNEL_ERROR (the TLS channel could not be set up)";
    default: return SystemMessage(code);
  }
}

// "CALL failed: MESSAGE (error CODE)" for a failed WinHTTP call.
inline std::wstring WinHttpCallFailed(const wchar_t* call, DWORD code = ::GetLastError()) {
  return CallFailedWithMessage(call, code, WinHttpMessage(code));
}

}  // namespace win
