#include "upload/report_files.h"

#include <windows.h>

#include "store/folder_entries.h"
#include "win/error_text.h"
#include "win/unique_handle.h"

namespace orlent::upload {

bool ReadWholeFile(const std::wstring& path, std::string* bytes, std::wstring* error,
                   bool* missing) {
  win::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD code = ::GetLastError();
    if (missing != nullptr)
      *missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
    *error = win::CallFailed(L"CreateFileW", code) + L" for " + path;
    return false;
  }
  LARGE_INTEGER size = {};
  // A report's files are a few megabytes; anything near the address space is not one of ours.
  if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart > 512LL * 1024 * 1024) {
    *error = win::CallFailed(L"GetFileSizeEx") + L" for " + path;
    return false;
  }
  bytes->resize(static_cast<size_t>(size.QuadPart));
  size_t done = 0;
  while (done < bytes->size()) {
    DWORD read = 0;
    if (!::ReadFile(file.get(), bytes->data() + done, static_cast<DWORD>(bytes->size() - done),
                    &read, nullptr)) {
      *error = win::CallFailed(L"ReadFile") + L" for " + path;
      return false;
    }
    if (read == 0) break;
    done += read;
  }
  bytes->resize(done);
  return true;
}

std::vector<std::wstring> FilesEndingWith(const std::wstring& folder, const std::wstring& suffix) {
  std::vector<std::wstring> names;
  for (const FolderEntry& entry : ListFolder(folder)) {
    const std::wstring& name = entry.name;
    if (!entry.directory && name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      names.push_back(name);
  }
  return names;
}

}  // namespace orlent::upload
