#include "store/report_folder.h"

#include <cwchar>
#include <cwctype>

#include "win/error_text.h"

namespace orlent {
namespace {

constexpr int kMaxNameAttempts = 100;

bool Digits(const std::wstring& text, size_t from, size_t count) {
  if (from + count > text.size() || count == 0) return false;
  for (size_t i = from; i < from + count; ++i)
    if (!std::iswdigit(text[i])) return false;
  return true;
}

// Where the run of digits that starts at `from` ends.
size_t DigitRun(const std::wstring& text, size_t from) {
  size_t end = from;
  while (end < text.size() && std::iswdigit(text[end])) ++end;
  return end;
}

// CreateDirectoryW for every missing level of `path`.
bool CreateDirectories(const std::wstring& path, std::wstring* error) {
  if (::CreateDirectoryW(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
      return true;
    *error = path + L" exists and is not a folder";
    return false;
  }
  if (::GetLastError() != ERROR_PATH_NOT_FOUND) {
    *error = win::CallFailed(L"CreateDirectoryW") + L" for " + path;
    return false;
  }
  const size_t slash = path.find_last_of(L"\\/");
  if (slash == std::wstring::npos || slash == 0 || path[slash - 1] == L':') {
    *error = win::CallFailed(L"CreateDirectoryW", ERROR_PATH_NOT_FOUND) + L" for " + path;
    return false;
  }
  if (!CreateDirectories(path.substr(0, slash), error)) return false;
  if (!::CreateDirectoryW(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
    *error = win::CallFailed(L"CreateDirectoryW") + L" for " + path;
    return false;
  }
  return true;
}

}  // namespace

std::wstring ReportFolderName(const SYSTEMTIME& utc, DWORD processId) {
  wchar_t name[64];
  std::swprintf(name, 64, L"%04u-%02u-%02u_%02u%02u%02u.%03u_p%lu", utc.wYear, utc.wMonth,
                utc.wDay, utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds,
                static_cast<unsigned long>(processId));
  return name;
}

bool IsReportFolderName(const std::wstring& n) {
  // 2024-01-31_101530.007_p812[-2]
  if (n.size() < 24 || !Digits(n, 0, 4) || n[4] != L'-' || !Digits(n, 5, 2) || n[7] != L'-' ||
      !Digits(n, 8, 2) || n[10] != L'_' || !Digits(n, 11, 6) || n[17] != L'.' ||
      !Digits(n, 18, 3) || n[21] != L'_' || n[22] != L'p')
    return false;
  size_t at = DigitRun(n, 23);
  if (at == 23) return false;
  if (at == n.size()) return true;
  if (n[at] != L'-') return false;
  const size_t end = DigitRun(n, at + 1);
  return end > at + 1 && end == n.size();
}

std::optional<std::wstring> CreateReportFolder(const std::wstring& root, const SYSTEMTIME& utc,
                                               DWORD processId, std::wstring* error) {
  if (!CreateDirectories(root, error)) return std::nullopt;
  const std::wstring base = PathIn(root, ReportFolderName(utc, processId));
  for (int attempt = 1; attempt <= kMaxNameAttempts; ++attempt) {
    std::wstring folder = attempt == 1 ? base : base + L"-" + std::to_wstring(attempt);
    if (::CreateDirectoryW(folder.c_str(), nullptr)) return folder;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) {
      *error = win::CallFailed(L"CreateDirectoryW") + L" for " + folder;
      return std::nullopt;
    }
  }
  *error = L"every name for a report folder at this time is taken: " + base;
  return std::nullopt;
}

std::wstring PathIn(const std::wstring& folder, const std::wstring& name) {
  if (folder.empty() || folder.back() == L'\\' || folder.back() == L'/') return folder + name;
  return folder + L"\\" + name;
}

}  // namespace orlent
