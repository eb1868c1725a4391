// The one rule by which the reporter deletes a report, whatever the reason (retention, a
// declined upload): only a folder of `root` named as the reporter names its folders
// (IsReportFolderName), and only while it holds nothing but files. A folder holding a folder
// is not one the reporter wrote and stays.
#pragma once

#include <string>

namespace orlent {

// Deletes the report folder `name` of `root` and its files. The files that make a report
// finished go last, so that a deletion cut short (a reporter killed, a file held open) leaves
// a folder that still counts as a finished report and goes at the next deletion. True when
// the folder is gone, also when it was gone already.
bool DeleteReport(const std::wstring& root, const std::wstring& name, std::wstring* error);

}  // namespace orlent
