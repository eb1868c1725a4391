// One new folder per crash under the reports root, named so that the names sort by time.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace orlent {

// "2024-01-31_101530.123_p812": UTC time to the millisecond, then the crashed process's id,
// so that names sort by time.
std::wstring ReportFolderName(const SYSTEMTIME& utc, DWORD processId);

// "2024-01-31_101530.007_p812", optionally with "-2", "-3"...: the folders the reporter makes
// (ReportFolderName, CreateReportFolder). Nothing else in the root is ever removed.
bool IsReportFolderName(const std::wstring& name);

// Creates the root (and its parents) if needed, then a folder that did not exist before,
// named by ReportFolderName with "-2", "-3"... added if that name is taken.
std::optional<std::wstring> CreateReportFolder(const std::wstring& root, const SYSTEMTIME& utc,
                                               DWORD processId, std::wstring* error);

// "ROOT\NAME" with one separator whatever ROOT ends with.
std::wstring PathIn(const std::wstring& folder, const std::wstring& name);

}  // namespace orlent
