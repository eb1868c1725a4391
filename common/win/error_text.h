// Error messages that name the failed call and give the system's own text for the code.
#pragma once

#include <windows.h>

#include <string>

namespace win {

// The system's message for an error code, without the trailing line break.
inline std::wstring SystemMessage(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message;
  if (length != 0 && text != nullptr) {
    message.assign(text, length);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L' ' || message.back() == L'.'))
      message.pop_back();
  }
  if (text != nullptr) ::LocalFree(text);
  if (message.empty()) message = L"unknown error";
  return message;
}

// "CALL failed: MESSAGE (error CODE)", for the code GetLastError holds now unless one is given.
inline std::wstring CallFailed(const wchar_t* call, DWORD code = ::GetLastError()) {
  return std::wstring(call) + L" failed: " + SystemMessage(code) + L" (error " +
         std::to_wstring(code) + L")";
}

}  // namespace win
