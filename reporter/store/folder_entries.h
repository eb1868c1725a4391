// What a folder of the reports root holds, as the store looks at it.
#pragma once

#include <string>
#include <vector>

namespace orlent {

struct FolderEntry {
  std::wstring name;
  bool directory = false;
};

// The names in `folder` (not "." and ".."), in no particular order; none when it cannot be read.
std::vector<FolderEntry> ListFolder(const std::wstring& folder);

}  // namespace orlent
