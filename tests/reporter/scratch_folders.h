// Folders the reporter's in-process tests make and look into.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "win/unique_handle.h"

namespace orlent {

// The names in FOLDER (not "." and ".."), sorted.
inline std::vector<std::wstring> FolderEntries(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  win::UniqueFindHandle search(::FindFirstFileW((folder + L"\\*").c_str(), &found));
  if (!search) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (::FindNextFileW(search.get(), &found));
  std::sort(names.begin(), names.end());
  return names;
}

// Removes PATH and everything below it.
inline void RemoveTree(const std::wstring& path) {
  for (const std::wstring& name : FolderEntries(path)) {
    const std::wstring child = path + L"\\" + name;
    if (::GetFileAttributesW(child.c_str()) & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(child);
    else ::DeleteFileW(child.c_str());
  }
  ::RemoveDirectoryW(path.c_str());
}

}  // namespace orlent
