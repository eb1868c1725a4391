// The few file operations the outbox needs beyond the report's own atomic writer.
#pragma once

#include <string>
#include <vector>

namespace orlent::upload {

// The whole file; false with the failed call in *error. A missing file sets *missing if given.
bool ReadWholeFile(const std::wstring& path, std::string* bytes, std::wstring* error,
                   bool* missing = nullptr);

// The names (not paths) of the files in `folder` that end with `suffix`.
std::vector<std::wstring> FilesEndingWith(const std::wstring& folder, const std::wstring& suffix);

}  // namespace orlent::upload
