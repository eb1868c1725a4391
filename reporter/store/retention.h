// Keeps a crash loop from filling a player's disk: the reports root holds at most
// kMaxReportsKept finished reports, and the oldest go first.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace orlent {

constexpr size_t kMaxReportsKept = 50;

// How long a reporter waits for another one to finish deciding what stays: far longer than a
// decision takes (milliseconds), far shorter than the reporter's watchdog.
constexpr DWORD kRetentionLockTimeoutMs = 10 * 1000;

struct RetentionResult {
  std::vector<std::wstring> removed;   // folder names, oldest first
  std::vector<std::wstring> problems;  // folders that should have gone but could not, and why
};

// Under the reports root's lock (root_lock.h): counts every finished report of `root`, `keep`
// (the report just written) among them, and removes the oldest until at most `maxKept` remain.
// Never `keep`, never a report younger than `keep` (its reporter decides about it), never one
// the upload outbox claims (outbox_claim.h), and only by the deletion rule (report_deletion.h).
// A folder another reporter is still writing neither counts nor goes. Without the lock
// nothing is removed: the next reporter catches up.
RetentionResult PruneOldReports(const std::wstring& root, const std::wstring& keep,
                                size_t maxKept = kMaxReportsKept,
                                DWORD lockTimeoutMs = kRetentionLockTimeoutMs);

}  // namespace orlent
