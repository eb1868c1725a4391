// Where reports go: one new folder per crash under the reports root, and files that appear
// only when complete.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace orlent {

// The environment variable that overrides the reports root. The reporter inherits the
// crashed host's environment, so a host (or its user) sets it for the reporter.
constexpr wchar_t kReportsRootVariable[] = L"ORLENT_REPORTS_DIR";

// ORLENT_REPORTS_DIR when set and not empty, else %LOCALAPPDATA%\Vessick\CrashReports.
std::optional<std::wstring> ReportsRoot(std::wstring* error);

// "2024-01-31_101530.123_p812": UTC time to the millisecond, then the crashed process's id,
// so that names sort by time.
std::wstring ReportFolderName(const SYSTEMTIME& utc, DWORD processId);

// Creates the root (and its parents) if needed, then a folder that did not exist before,
// named by ReportFolderName with "-2", "-3"... added if that name is taken.
std::optional<std::wstring> CreateReportFolder(const std::wstring& root, const SYSTEMTIME& utc,
                                               DWORD processId, std::wstring* error);

// Writes `bytes` to `path` + ".tmp" and renames it to `path`, so that a reader never sees
// half a file.
bool WriteFileAtomically(const std::wstring& path, const std::string& bytes,
                         std::wstring* error);

}  // namespace orlent
