#include "store/folder_entries.h"

#include <windows.h>

#include "win/unique_handle.h"

namespace orlent {

std::vector<FolderEntry> ListFolder(const std::wstring& folder) {
  std::vector<FolderEntry> entries;
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

}  // namespace orlent
