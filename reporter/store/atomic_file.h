// Files in the reports root appear whole or not at all: a reader (a person, the uploader,
// retention deciding whether a report is finished) never sees half a file.
#pragma once

#include <string>

namespace orlent {

// The name a file is written under until it is complete.
constexpr wchar_t kUnfinishedSuffix[] = L".tmp";

// Writes `bytes` to `path` + ".tmp", flushes it and renames it to `path`, replacing what was
// there. On failure nothing is left under either name but what `path` held before.
bool WriteFileAtomically(const std::wstring& path, const std::string& bytes,
                         std::wstring* error);

// Renames a complete `path` + ".tmp" to `path`, replacing what was there; removes the
// temporary file when that fails.
bool PutCompleteFileInPlace(const std::wstring& path, std::wstring* error);

}  // namespace orlent
