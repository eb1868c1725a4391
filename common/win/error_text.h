// Error messages that name the failed call and give the system's own text for the code.
#pragma once

#include <windows.h>

#include <string>

namespace win {
namespace detail {

// FormatMessageW's text for CODE from SOURCE (FORMAT_MESSAGE_FROM_SYSTEM and/or _FROM_HMODULE
// with MODULE), without the trailing line break and full stop; empty when there is none.
inline std::wstring FormattedMessage(DWORD source, HMODULE module, DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | source, module, code, 0,
      reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message;
  if (length != 0 && text != nullptr) {
    message.assign(text, length);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L' ' || message.back() == L'.'))
      message.pop_back();
  }
  if (text != nullptr) ::LocalFree(text);
  return message;
}

}  // namespace detail

// The system's message for an error code, without the trailing line break.
inline std::wstring SystemMessage(DWORD code) {
  std::wstring message = detail::FormattedMessage(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code);
  if (message.empty()) message = L"unknown error";
  return message;
}

// The message for a code that a DLL defines in its own message table (WinHTTP's 12001 and up
// live in winhttp.dll's, not the system's), falling back to the system's table; empty when
// neither has a text, so that the caller can name the code itself.
inline std::wstring ModuleMessage(const wchar_t* module, DWORD code) {
  const HMODULE loaded = ::GetModuleHandleW(module);
  return detail::FormattedMessage(
      FORMAT_MESSAGE_FROM_SYSTEM | (loaded != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : 0), loaded,
      code);
}

// "CALL failed: MESSAGE (error CODE)" with a message the caller found.
inline std::wstring CallFailedWithMessage(const wchar_t* call, DWORD code,
                                          const std::wstring& message) {
  return std::wstring(call) + L" failed: " + message + L" (error " + std::to_wstring(code) + L")";
}

// "CALL failed: MESSAGE (error CODE)", for the code GetLastError holds now unless one is given.
inline std::wstring CallFailed(const wchar_t* call, DWORD code = ::GetLastError()) {
  return CallFailedWithMessage(call, code, SystemMessage(code));
}

}  // namespace win
