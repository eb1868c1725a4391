#include "upload/disk_outbox.h"

#include <windows.h>

#include "report/crash_report.h"
#include "store/atomic_file.h"
#include "store/outbox_claim.h"
#include "store/report_deletion.h"
#include "store/report_folder.h"
#include "text/utf.h"
#include "upload/report_files.h"
#include "win/error_text.h"

namespace orlent::upload {
namespace {

constexpr wchar_t kHistoryFileName[] = L"history.ini";
constexpr wchar_t kLockFileName[] = L"sending.lock";

std::wstring Wide(const std::string& utf8) { return text::Utf8ToWide(utf8.c_str()); }

}  // namespace

DiskOutbox::DiskOutbox(std::wstring reportsRoot)
    : root_(std::move(reportsRoot)), outbox_(OutboxFolder(root_)) {}

std::wstring DiskOutbox::ReportFolder(const std::string& report) const {
  return root_ + L"\\" + Wide(report);
}

std::wstring DiskOutbox::EntryPath(const std::string& report) const {
  return OutboxEntryPath(root_, Wide(report));
}

std::vector<OutboxEntry> DiskOutbox::Entries(std::vector<std::wstring>* problems) {
  std::vector<OutboxEntry> entries;
  for (const std::wstring& name : FilesEndingWith(outbox_, kOutboxEntrySuffix)) {
    if (name == kHistoryFileName) continue;
    std::string bytes, parseError;
    std::wstring error;
    if (!ReadWholeFile(outbox_ + L"\\" + name, &bytes, &error)) {
      problems->push_back(error);
      continue;
    }
    std::optional<OutboxEntry> entry = ParseEntry(bytes, &parseError);
    // The file's name is the report's: an entry that names another folder is not trusted.
    if (entry && Wide(entry->report) + kOutboxEntrySuffix != name) {
      entry.reset();
      parseError = "it names another report";
    }
    if (entry) entries.push_back(std::move(*entry));
    else problems->push_back(name + L" is not an outbox entry: " + Wide(parseError));
  }
  return entries;
}

bool DiskOutbox::SaveEntry(const OutboxEntry& entry, std::wstring* error) {
  if (!::CreateDirectoryW(outbox_.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
    *error = win::CallFailed(L"CreateDirectoryW") + L" for " + outbox_;
    return false;
  }
  return WriteFileAtomically(EntryPath(entry.report), FormatEntry(entry), error);
}

bool DiskOutbox::RemoveEntry(const std::string& report, std::wstring* error) {
  const std::wstring path = EntryPath(report);
  if (!::DeleteFileW(path.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
    *error = win::CallFailed(L"DeleteFileW") + L" for " + path;
    return false;
  }
  return true;
}

SendHistory DiskOutbox::LoadHistory() {
  std::string bytes;
  std::wstring error;
  if (!ReadWholeFile(outbox_ + L"\\" + kHistoryFileName, &bytes, &error)) return SendHistory();
  return ParseHistory(bytes);
}

bool DiskOutbox::SaveHistory(const SendHistory& history, std::wstring* error) {
  return WriteFileAtomically(outbox_ + L"\\" + kHistoryFileName, FormatHistory(history), error);
}

ReportFiles DiskOutbox::ReadReport(const std::string& report) {
  ReportFiles files;
  const std::wstring folder = ReportFolder(report);
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  files.folderExists =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  std::string bytes;
  std::wstring error;
  if (ReadWholeFile(folder + L"\\" + kDumpFileName, &bytes, &error)) files.dump = std::move(bytes);
  if (ReadWholeFile(folder + L"\\" + kJsonFileName, &bytes, &error)) files.json = std::move(bytes);
  return files;
}

bool DiskOutbox::WriteResult(const std::string& report, const std::string& text,
                             std::wstring* error) {
  return WriteFileAtomically(ReportFolder(report) + L"\\" + kUploadResultFileName, text, error);
}

bool DiskOutbox::DeleteReport(const std::string& report, std::wstring* error) {
  return orlent::DeleteReport(root_, Wide(report), error);
}

std::optional<win::UniqueFileHandle> TryLockOutbox(const std::wstring& outboxFolder, bool* busy,
                                                   std::wstring* error) {
  *busy = false;
  if (!::CreateDirectoryW(outboxFolder.c_str(), nullptr) &&
      ::GetLastError() != ERROR_ALREADY_EXISTS) {
    *error = win::CallFailed(L"CreateDirectoryW") + L" for " + outboxFolder;
    return std::nullopt;
  }
  // No sharing: a second opener fails while the first runs, and the system closes the handle
  // of a killed reporter, so a lock is never left behind.
  const std::wstring path = outboxFolder + L"\\" + kLockFileName;
  win::UniqueFileHandle lock(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!lock) {
    *busy = ::GetLastError() == ERROR_SHARING_VIOLATION;
    *error = win::CallFailed(L"CreateFileW") + L" for " + path;
    return std::nullopt;
  }
  return lock;
}

}  // namespace orlent::upload
