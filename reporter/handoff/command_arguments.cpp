#include "handoff/command_arguments.h"

#include <windows.h>

#include <shellapi.h>

namespace orlent {

std::vector<std::wstring> CommandArguments(const wchar_t* commandLine) {
  int count = 0;
  LPWSTR* raw = ::CommandLineToArgvW(commandLine, &count);
  if (raw == nullptr) return {};
  std::vector<std::wstring> args(raw, raw + count);
  ::LocalFree(raw);
  return args;
}

bool IsSwitch(const std::wstring& argument, const wchar_t* name) {
  return ::lstrcmpiW(argument.c_str(), name) == 0;
}

}  // namespace orlent
