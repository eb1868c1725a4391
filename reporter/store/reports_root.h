// Which reports root a report goes to: the one named by the environment, the user's default,
// or the temporary folder when neither can be used.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace orlent {

// The environment variable that overrides the reports root. The reporter inherits the
// crashed host's environment, so a host (or its user) sets it for the reporter.
constexpr wchar_t kReportsRootVariable[] = L"ORLENT_REPORTS_DIR";

// ORLENT_REPORTS_DIR when set and not empty, else %LOCALAPPDATA%\Vessick\CrashReports.
std::optional<std::wstring> ReportsRoot(std::wstring* error);

// The user's local application data folder: %LOCALAPPDATA% when it names a full path (Windows
// sets it in every session), else the shell's CSIDL_LOCAL_APPDATA. shell32.dll is delay-loaded
// (reporter/CMakeLists.txt), so only a reporter without the variable pays its start-up.
std::optional<std::wstring> LocalAppDataFolder(std::wstring* error);

// A place reports may go, tried in order until one takes a new report folder.
struct ReportsRootChoice {
  std::wstring root;
  std::wstring what;  // "ORLENT_REPORTS_DIR", "the default reports root", "the temporary folder"
};

// ORLENT_REPORTS_DIR when set, then %LOCALAPPDATA%\Vessick\CrashReports, then
// %TEMP%\Vessick\CrashReports: a root that cannot be used (a file, a read-only place) must not
// lose the report. Roots that cannot even be named are left out.
std::vector<ReportsRootChoice> ReportsRootChoices();

struct CreatedReportFolder {
  std::wstring root;
  std::wstring folder;
  // Empty when the first choice took it; otherwise why each earlier one could not be used and
  // where the report went.
  std::wstring note;
};

// CreateReportFolder in the first of `choices` that takes it; nothing (every reason in
// *error) when none does.
std::optional<CreatedReportFolder> CreateReportFolderInFirstUsable(
    const std::vector<ReportsRootChoice>& choices, const SYSTEMTIME& utc, DWORD processId,
    std::wstring* error);

}  // namespace orlent
