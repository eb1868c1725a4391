#include "store/report_deletion.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "store/finished_report.h"
#include "store/folder_entries.h"
#include "store/report_folder.h"
#include "win/error_text.h"

namespace orlent {

bool DeleteReport(const std::wstring& root, const std::wstring& name, std::wstring* error) {
  const std::wstring folder = PathIn(root, name);
  if (!IsReportFolderName(name)) {
    *error = folder + L" is not named as a report folder: not removed";
    return false;
  }
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return true;
    *error = win::CallFailed(L"GetFileAttributesW", code) + L" for " + folder;
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    *error = folder + L" is not a folder: not removed";
    return false;
  }
  std::vector<FolderEntry> entries = ListFolder(folder);
  if (std::any_of(entries.begin(), entries.end(), [](const FolderEntry& e) { return e.directory; })) {
    *error = folder + L" holds a folder: not removed";
    return false;
  }
  std::stable_partition(entries.begin(), entries.end(), [](const FolderEntry& e) {
    return !IsFinishedReportMarker(e.name);
  });
  for (const FolderEntry& entry : entries) {
    const std::wstring path = PathIn(folder, entry.name);
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!::DeleteFileW(path.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
      *error = win::CallFailed(L"DeleteFileW") + L" for " + path;
      return false;
    }
  }
  if (!::RemoveDirectoryW(folder.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND &&
      ::GetLastError() != ERROR_PATH_NOT_FOUND) {
    *error = win::CallFailed(L"RemoveDirectoryW") + L" for " + folder;
    return false;
  }
  return true;
}

}  // namespace orlent
