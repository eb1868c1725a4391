// The upload outbox's claim on a report: while <reports root>\Outbox\<report folder name>.ini
// exists (the report is queued or awaits consent), the report's folder is not removed by
// retention.
#pragma once

#include <string>

namespace orlent {

constexpr wchar_t kOutboxFolderName[] = L"Outbox";
constexpr wchar_t kOutboxEntrySuffix[] = L".ini";

// <root>\Outbox
std::wstring OutboxFolder(const std::wstring& root);

// <root>\Outbox\<report>.ini
std::wstring OutboxEntryPath(const std::wstring& root, const std::wstring& report);

// The outbox holds an entry for `report` (a folder name in `root`).
bool OutboxClaims(const std::wstring& root, const std::wstring& report);

}  // namespace orlent
