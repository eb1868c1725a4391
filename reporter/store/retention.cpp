#include "store/retention.h"

#include <algorithm>

#include "store/finished_report.h"
#include "store/folder_entries.h"
#include "store/outbox_claim.h"
#include "store/report_deletion.h"
#include "store/report_folder.h"
#include "store/root_lock.h"

namespace orlent {

RetentionResult PruneOldReports(const std::wstring& root, const std::wstring& keep,
                                size_t maxKept, DWORD lockTimeoutMs) {
  RetentionResult result;
  const ReportsRootLock lock(root, lockTimeoutMs);
  if (!lock.held()) {
    result.problems.push_back(L"no old report was removed: " + lock.problem());
    return result;
  }
  std::vector<std::wstring> reports;
  for (const FolderEntry& entry : ListFolder(root))
    if (entry.directory && IsReportFolderName(entry.name) &&
        (entry.name == keep || IsFinishedReport(PathIn(root, entry.name))))
      reports.push_back(entry.name);
  if (reports.size() <= maxKept) return result;
  // The names sort by time; a "-2" sorts after its first folder, as it was made after it.
  std::sort(reports.begin(), reports.end());
  size_t excess = reports.size() - maxKept;
  for (const std::wstring& name : reports) {
    // Everything from here on is as young as the reporter's own report or younger.
    if (excess == 0 || name >= keep) break;
    if (OutboxClaims(root, name)) continue;
    std::wstring error;
    if (DeleteReport(root, name, &error)) {
      result.removed.push_back(name);
      --excess;
    } else {
      result.problems.push_back(error);
    }
  }
  return result;
}

}  // namespace orlent
