#include "handoff/console_output.h"

#include <windows.h>

#include "text/utf.h"
#include "win/unique_handle.h"

namespace orlent {
namespace {

HANDLE UsableStdHandle(DWORD which) {
  HANDLE handle = ::GetStdHandle(which);
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE &&
      ::GetFileType(handle) != FILE_TYPE_UNKNOWN)
    return handle;
  // No handle of our own: write to the console of the process that started us, if any.
  static const win::UniqueFileHandle console(
      ::AttachConsole(ATTACH_PARENT_PROCESS)
          ? ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr)
          : INVALID_HANDLE_VALUE);
  return console ? console.get() : nullptr;
}

void Write(DWORD which, const std::wstring& line) {
  HANDLE handle = UsableStdHandle(which);
  if (handle == nullptr) return;
  DWORD mode = 0, written = 0;
  const std::wstring text = line + L"\r\n";
  if (::GetConsoleMode(handle, &mode)) {
    ::WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  const std::string bytes = text::WideToUtf8(line) + "\n";
  ::WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

void PrintLine(const std::wstring& line) { Write(STD_OUTPUT_HANDLE, line); }

void PrintError(const std::wstring& line) { Write(STD_ERROR_HANDLE, L"orlent: " + line); }

}  // namespace orlent
