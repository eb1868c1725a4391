// Keeps a crash loop from filling a player's disk: the reports root holds at most
// kMaxReportsKept report folders, and the oldest go first.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace orlent {

constexpr size_t kMaxReportsKept = 50;

// "2024-01-31_101530.007_p812", optionally with "-2", "-3"...: the folders the reporter
// makes (ReportFolderName). Nothing else in the root is ever touched.
bool IsReportFolderName(const std::wstring& name);

struct RetentionResult {
  std::vector<std::wstring> removed;   // folder names, oldest first
  std::vector<std::wstring> problems;  // folders that should have gone but could not
};

// Removes the oldest report folders of `root` until at most `maxKept` remain, never `keep`
// (the report just written), never one the upload outbox still holds an entry for (it is
// queued or awaits consent), and never one that holds anything but files.
RetentionResult PruneOldReports(const std::wstring& root, const std::wstring& keep,
                                size_t maxKept = kMaxReportsKept);

}  // namespace orlent
