#include "store/reports_root.h"

#include <shlobj.h>

#include "store/report_folder.h"
#include "win/error_text.h"

namespace orlent {
namespace {

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
      CreatedReportFolder created{choice.root, std::move(*folder), {}};
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

}  // namespace orlent
