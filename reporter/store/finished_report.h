// When a report folder holds a finished report. The report files are renamed into place only
// when complete, so their presence is the test; a folder another reporter is still writing (its
// dump, or nothing yet) is not one.
#pragma once

#include <string>

namespace orlent {

// `folder` (a full path) holds report.json or report.txt.
bool IsFinishedReport(const std::wstring& folder);

// Whether `file` (a name, not a path) is one whose presence makes a report finished.
bool IsFinishedReportMarker(const std::wstring& file);

}  // namespace orlent
