#include "store/outbox_claim.h"

#include <windows.h>

#include "store/report_folder.h"

namespace orlent {

std::wstring OutboxFolder(const std::wstring& root) { return PathIn(root, kOutboxFolderName); }

std::wstring OutboxEntryPath(const std::wstring& root, const std::wstring& report) {
  return PathIn(OutboxFolder(root), report + kOutboxEntrySuffix);
}

bool OutboxClaims(const std::wstring& root, const std::wstring& report) {
  // Any answer but "not there" keeps the report: an entry that cannot be looked at may still
  // be one.
  if (::GetFileAttributesW(OutboxEntryPath(root, report).c_str()) != INVALID_FILE_ATTRIBUTES)
    return true;
  const DWORD code = ::GetLastError();
  return code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND;
}

}  // namespace orlent
