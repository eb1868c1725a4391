#include "upload/report_files.h"

#include <windows.h>

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

bool DeleteReportFolder(const std::wstring& folder, std::wstring* error) {
  for (const std::wstring& name : FilesEndingWith(folder, L"")) {
    const std::wstring path = folder + L"\\" + name;
    if (!::DeleteFileW(path.c_str())) {
      *error = win::CallFailed(L"DeleteFileW") + L" for " + path;
      return false;
    }
  }
  if (!::RemoveDirectoryW(folder.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND &&
      ::GetLastError() != ERROR_PATH_NOT_FOUND) {
    *error = win::CallFailed(L"RemoveDirectoryW") + L" for " + folder;
    return false;
  }
  return true;
}

std::vector<std::wstring> FilesEndingWith(const std::wstring& folder, const std::wstring& suffix) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  win::UniqueFindHandle search(::FindFirstFileW((folder + L"\\*").c_str(), &found));
  if (!search) return names;
  do {
    const std::wstring name = found.cFileName;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    if (name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      names.push_back(name);
  } while (::FindNextFileW(search.get(), &found));
  return names;
}

}  // namespace orlent::upload
