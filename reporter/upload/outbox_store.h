// Where the outbox's records and the reports live: the reports root on disk in orlent.exe, a
// map in the tests.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "upload/outbox_state.h"

namespace orlent::upload {

// The two files a collector is sent from a report folder.
struct ReportFiles {
  bool folderExists = false;
  std::optional<std::string> dump;  // crash.dmp
  std::optional<std::string> json;  // report.json
};

// The file in a report folder that says what became of its upload.
constexpr wchar_t kUploadResultFileName[] = L"upload.txt";

class OutboxStore {
 public:
  virtual ~OutboxStore() = default;
  // Every readable entry, in no particular order. Damaged entries are left where they are
  // and named in *problems.
  virtual std::vector<OutboxEntry> Entries(std::vector<std::wstring>* problems) = 0;
  virtual bool SaveEntry(const OutboxEntry& entry, std::wstring* error) = 0;
  virtual bool RemoveEntry(const std::string& report, std::wstring* error) = 0;
  virtual SendHistory LoadHistory() = 0;
  virtual bool SaveHistory(const SendHistory& history, std::wstring* error) = 0;
  virtual ReportFiles ReadReport(const std::string& report) = 0;
  // Writes upload.txt into the report's folder.
  virtual bool WriteResult(const std::string& report, const std::string& text,
                           std::wstring* error) = 0;
  virtual bool DeleteReport(const std::string& report, std::wstring* error) = 0;
};

}  // namespace orlent::upload
