#include "report/report_folder.h"

#include <shlobj.h>

#include <cwchar>
#include <vector>

#include "report/write_failure.h"
#include "win/error_text.h"
#include "win/unique_handle.h"

namespace orlent {
namespace {

constexpr int kMaxNameAttempts = 100;

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

// "C:\..." or "\\server\...": a folder that does not depend on the current drive or folder.
bool IsFullPath(const wchar_t* path) {
  const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  return (path[0] != L'\0' && path[1] == L':' && separator(path[2])) ||
         (separator(path[0]) && separator(path[1]));
}

}  // namespace

std::optional<std::wstring> ReportsRoot(std::wstring* error) {
  std::vector<wchar_t> value(32768);
  const DWORD length = ::GetEnvironmentVariableW(kReportsRootVariable, value.data(),
                                                 static_cast<DWORD>(value.size()));
  if (length > 0 && length < value.size()) {
    // A relative folder would depend on the host's current folder: name it in full, since the
    // line the reporter prints is how people find the report.
    std::vector<wchar_t> full(32768);
    const DWORD fullLength = ::GetFullPathNameW(value.data(), static_cast<DWORD>(full.size()),
                                                full.data(), nullptr);
    if (fullLength > 0 && fullLength < full.size()) return std::wstring(full.data(), fullLength);
    return std::wstring(value.data(), length);
  }

  const std::optional<std::wstring> localAppData = LocalAppDataFolder(error);
  if (!localAppData) return std::nullopt;
  return *localAppData + L"\\Vessick\\CrashReports";
}

std::optional<std::wstring> LocalAppDataFolder(std::wstring* error) {
  std::vector<wchar_t> value(32768);
  const DWORD length = ::GetEnvironmentVariableW(L"LOCALAPPDATA", value.data(),
                                                 static_cast<DWORD>(value.size()));
  if (length > 0 && length < value.size() && IsFullPath(value.data()))
    return std::wstring(value.data(), length);
  wchar_t folder[MAX_PATH] = {};
  const HRESULT result = ::SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE,
                                            nullptr, SHGFP_TYPE_CURRENT, folder);
  if (FAILED(result)) {
    *error = win::CallFailed(L"SHGetFolderPathW", static_cast<DWORD>(result));
    return std::nullopt;
  }
  return std::wstring(folder);
}

std::vector<ReportsRootChoice> ReportsRootChoices() {
  std::vector<ReportsRootChoice> choices;
  std::wstring error;
  if (::GetEnvironmentVariableW(kReportsRootVariable, nullptr, 0) > 1) {
    if (std::optional<std::wstring> chosen = ReportsRoot(&error))
      choices.push_back({*chosen, std::wstring(kReportsRootVariable)});
  }
  if (const std::optional<std::wstring> localAppData = LocalAppDataFolder(&error))
    choices.push_back({*localAppData + L"\\Vessick\\CrashReports", L"the default reports root"});
  wchar_t temp[MAX_PATH + 1] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
  if (length > 0 && length <= MAX_PATH)
    choices.push_back({std::wstring(temp, length) + L"Vessick\\CrashReports",
                       L"the temporary folder"});
  return choices;
}

std::optional<CreatedReportFolder> CreateReportFolderInFirstUsable(
    const std::vector<ReportsRootChoice>& choices, const SYSTEMTIME& utc, DWORD processId,
    std::wstring* error) {
  std::wstring reasons;
  for (const ReportsRootChoice& choice : choices) {
    std::wstring why;
    if (std::optional<std::wstring> folder = CreateReportFolder(choice.root, utc, processId, &why)) {
      CreatedReportFolder created{std::move(*folder), {}};
      if (!reasons.empty())
        created.note = reasons + L"; the report went to " + choice.what + L" (" + choice.root + L")";
      return created;
    }
    reasons += (reasons.empty() ? L"" : L"; ") + choice.what + L" (" + choice.root +
               L") cannot be used: " + why;
  }
  *error = reasons.empty() ? std::wstring(L"no reports root could be named") : reasons;
  return std::nullopt;
}

std::wstring ReportFolderName(const SYSTEMTIME& utc, DWORD processId) {
  wchar_t name[64];
  std::swprintf(name, 64, L"%04u-%02u-%02u_%02u%02u%02u.%03u_p%lu", utc.wYear, utc.wMonth,
                utc.wDay, utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds,
                static_cast<unsigned long>(processId));
  return name;
}

std::optional<std::wstring> CreateReportFolder(const std::wstring& root, const SYSTEMTIME& utc,
                                               DWORD processId, std::wstring* error) {
  if (!CreateDirectories(root, error)) return std::nullopt;
  std::wstring base = root;
  if (base.back() != L'\\' && base.back() != L'/') base += L'\\';
  base += ReportFolderName(utc, processId);
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

bool WriteFileAtomically(const std::wstring& path, const std::string& bytes,
                         std::wstring* error) {
  const std::wstring temporary = path + L".tmp";
  {
    win::UniqueFileHandle file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      *error = win::CallFailed(L"CreateFileW") + L" for " + temporary;
      return false;
    }
    DWORD written = 0;
    const BOOL wrote = ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                   &written, nullptr);
    const DWORD code = wrote ? ERROR_SUCCESS : ::GetLastError();
    // Asked before the partial file is removed, which gives its space back.
    std::wstring failure;
    if (!wrote || written != bytes.size())
      failure = WriteFailedText(code, written, bytes.size(), FolderOf(path));
    else if (!::FlushFileBuffers(file.get()))
      failure = CallFailedWith(L"FlushFileBuffers", ::GetLastError());
    if (!failure.empty()) {
      *error = failure + L" for " + temporary;
      file.reset();
      ::DeleteFileW(temporary.c_str());
      return false;
    }
  }
  if (!::MoveFileExW(temporary.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    *error = win::CallFailed(L"MoveFileExW") + L" for " + path;
    ::DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace orlent
