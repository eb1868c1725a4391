#include "store/write_failure.h"

#include "win/error_text.h"

namespace orlent {

std::wstring FullDiskText(const std::wstring& folder) {
  ULARGE_INTEGER available = {};
  std::wstring directory = folder;
  if (!directory.empty() && directory.back() != L'\\') directory += L'\\';
  if (!::GetDiskFreeSpaceExW(directory.c_str(), &available, nullptr, nullptr) ||
      available.QuadPart >= kFullDiskBytes)
    return {};
  return L"the disk is full (" + std::to_wstring(available.QuadPart) +
         L" bytes free on the volume of " + folder + L")";
}

std::wstring CallFailedWith(const wchar_t* call, DWORD code) {
  if (code == ERROR_SUCCESS) return std::wstring(call) + L" failed without an error code";
  return win::CallFailed(call, code);
}

std::wstring WriteFailedText(DWORD code, size_t written, size_t wanted,
                             const std::wstring& folder) {
  const std::wstring full = FullDiskText(folder);
  if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL || code == ERROR_SUCCESS) {
    std::wstring text = L"WriteFile wrote " + std::to_wstring(written) + L" of " +
                        std::to_wstring(wanted) + L" bytes";
    if (!full.empty()) return full + L": " + text;
    if (code != ERROR_SUCCESS) return L"the disk is full: " + text;
    return text;
  }
  return win::CallFailed(L"WriteFile", code) + (full.empty() ? L"" : L"; " + full);
}

std::wstring FolderOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

}  // namespace orlent
