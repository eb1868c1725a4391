// The outbox on disk: <reports root>\Outbox\<report>.ini for each waiting report and
// <reports root>\Outbox\history.ini, each written whole under a temporary name and renamed,
// so that a reporter killed at any moment leaves every record as it was or as it became.
#pragma once

#include <optional>
#include <string>

#include "upload/outbox_store.h"
#include "win/unique_handle.h"

namespace orlent::upload {

class DiskOutbox : public OutboxStore {
 public:
  explicit DiskOutbox(std::wstring reportsRoot);

  std::vector<OutboxEntry> Entries(std::vector<std::wstring>* problems) override;
  bool SaveEntry(const OutboxEntry& entry, std::wstring* error) override;
  bool RemoveEntry(const std::string& report, std::wstring* error) override;
  SendHistory LoadHistory() override;
  bool SaveHistory(const SendHistory& history, std::wstring* error) override;
  ReportFiles ReadReport(const std::string& report) override;
  bool WriteResult(const std::string& report, const std::string& text,
                   std::wstring* error) override;
  bool DeleteReport(const std::string& report, std::wstring* error) override;

  const std::wstring& folder() const { return outbox_; }

 private:
  std::wstring ReportFolder(const std::string& report) const;
  std::wstring EntryPath(const std::string& report) const;

  std::wstring root_;
  std::wstring outbox_;
};

// Only one orlent.exe sends at a time (two crashes at once, or a crash during "orlent /upload"):
// the one that holds the outbox's lock file open. Nothing when another one holds it (*busy
// set) or the lock could not be made (the reason in *error).
std::optional<win::UniqueFileHandle> TryLockOutbox(const std::wstring& outboxFolder, bool* busy,
                                                   std::wstring* error);

}  // namespace orlent::upload
