#include "store/finished_report.h"

#include <windows.h>

#include "report/crash_report.h"
#include "store/report_folder.h"

namespace orlent {
namespace {

bool IsFile(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

bool IsFinishedReport(const std::wstring& folder) {
  return IsFile(PathIn(folder, kJsonFileName)) || IsFile(PathIn(folder, kTextFileName));
}

bool IsFinishedReportMarker(const std::wstring& file) {
  return ::lstrcmpiW(file.c_str(), kJsonFileName) == 0 ||
         ::lstrcmpiW(file.c_str(), kTextFileName) == 0;
}

}  // namespace orlent
