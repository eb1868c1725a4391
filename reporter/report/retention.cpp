#include "report/retention.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>

#include "upload/disk_outbox.h"
#include "win/error_text.h"
#include "win/unique_handle.h"

namespace orlent {
namespace {

// The outbox keeps one "<report folder name>.ini" per report it has not finished with
// (upload/disk_outbox.h).
constexpr wchar_t kOutboxEntrySuffix[] = L".ini";

bool Digits(const std::wstring& text, size_t from, size_t count) {
  if (from + count > text.size() || count == 0) return false;
  for (size_t i = from; i < from + count; ++i)
    if (!std::iswdigit(text[i])) return false;
  return true;
}

// Where the run of digits that starts at `from` ends.
size_t DigitRun(const std::wstring& text, size_t from) {
  size_t end = from;
  while (end < text.size() && std::iswdigit(text[end])) ++end;
  return end;
}

struct Entry {
  std::wstring name;
  bool directory = false;
};

std::vector<Entry> ListFolder(const std::wstring& folder) {
  std::vector<Entry> entries;
  WIN32_FIND_DATAW found;
  win::UniqueFindHandle search(::FindFirstFileW((folder + L"\\*").c_str(), &found));
  if (!search) return entries;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    entries.push_back({name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (::FindNextFileW(search.get(), &found));
  return entries;
}

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The report files are renamed into place only when complete.
bool HoldsFinishedReport(const std::wstring& folder) {
  return Exists(folder + L"\\report.json") || Exists(folder + L"\\report.txt");
}

// Removes a report folder that holds only files; a folder with a subfolder is not one the
// reporter wrote and stays.
bool RemoveReportFolder(const std::wstring& folder, std::wstring* error) {
  const std::vector<Entry> entries = ListFolder(folder);
  if (std::any_of(entries.begin(), entries.end(), [](const Entry& e) { return e.directory; })) {
    *error = folder + L" holds a folder: not removed";
    return false;
  }
  for (const Entry& entry : entries) {
    const std::wstring path = folder + L"\\" + entry.name;
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!::DeleteFileW(path.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
      *error = win::CallFailed(L"DeleteFileW") + L" for " + path;
      return false;
    }
  }
  if (!::RemoveDirectoryW(folder.c_str())) {
    *error = win::CallFailed(L"RemoveDirectoryW") + L" for " + folder;
    return false;
  }
  return true;
}

}  // namespace

bool IsReportFolderName(const std::wstring& n) {
  // 2024-01-31_101530.007_p812[-2]
  if (n.size() < 24 || !Digits(n, 0, 4) || n[4] != L'-' || !Digits(n, 5, 2) || n[7] != L'-' ||
      !Digits(n, 8, 2) || n[10] != L'_' || !Digits(n, 11, 6) || n[17] != L'.' ||
      !Digits(n, 18, 3) || n[21] != L'_' || n[22] != L'p')
    return false;
  size_t at = DigitRun(n, 23);
  if (at == 23) return false;
  if (at == n.size()) return true;
  if (n[at] != L'-') return false;
  const size_t end = DigitRun(n, at + 1);
  return end > at + 1 && end == n.size();
}

RetentionResult PruneOldReports(const std::wstring& root, const std::wstring& keep,
                                size_t maxKept) {
  RetentionResult result;
  std::vector<std::wstring> reports;
  // Only finished reports count: a folder another reporter is still writing (several can run at
  // once) holds no report file yet, and counting it could remove one report too many if that
  // reporter then gives its folder up.
  for (const Entry& entry : ListFolder(root))
    if (entry.directory && IsReportFolderName(entry.name) &&
        (entry.name == keep || HoldsFinishedReport(root + L"\\" + entry.name)))
      reports.push_back(entry.name);
  if (reports.size() <= maxKept) return result;
  // The names sort by time; a "-2" sorts after its first folder, as it was made after it.
  std::sort(reports.begin(), reports.end());
  size_t excess = reports.size() - maxKept;
  const std::wstring outbox = root + L"\\" + upload::kOutboxFolderName + L"\\";
  for (const std::wstring& name : reports) {
    if (excess == 0) break;
    if (name == keep || Exists(outbox + name + kOutboxEntrySuffix)) continue;
    std::wstring error;
    if (RemoveReportFolder(root + L"\\" + name, &error)) {
      result.removed.push_back(name);
      --excess;
    } else {
      result.problems.push_back(error);
    }
  }
  return result;
}

}  // namespace orlent
