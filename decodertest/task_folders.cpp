#include "task_folders.h"

#include <shlwapi.h>

#include <cwchar>
#include <string>

namespace {

constexpr wchar_t kDownloadFolder[] = L"QuennetTest\\游戏";

bool EndsWith(const wchar_t* text, const std::wstring& tail) {
  const size_t length = std::wcslen(text);
  return length >= tail.size() && tail.compare(0, tail.size(), text + length - tail.size()) == 0;
}

}  // namespace

bool BuildTaskFolders(const wchar_t* modulePath, int urlIndex, wchar_t (&downloadDir)[MAX_PATH],
                      wchar_t (&extractDir)[MAX_PATH]) {
  std::wmemset(downloadDir, 0, MAX_PATH);
  std::wmemset(extractDir, 0, MAX_PATH);
  const std::wstring index = std::to_wstring(urlIndex);
  // The path functions refuse an overlong result on some systems and cut it short on others;
  // a cut path no longer ends with the piece that was appended.
  bool fits = std::wcslen(modulePath) < MAX_PATH;
  if (fits) {
    std::wcscpy(downloadDir, modulePath);
    // The ".." cancels the executable's file name.
    fits = ::PathAppendW(downloadDir, (std::wstring(L"..\\") + kDownloadFolder).c_str()) &&
           EndsWith(downloadDir, std::wstring(L"\\") + kDownloadFolder);
  }
  fits = fits && ::PathCombineW(extractDir, downloadDir, index.c_str()) != nullptr &&
         EndsWith(extractDir, L"\\" + index);
  if (!fits) {
    std::wmemset(downloadDir, 0, MAX_PATH);
    std::wmemset(extractDir, 0, MAX_PATH);
  }
  return fits;
}

bool GetExecutablePath(wchar_t (&path)[MAX_PATH]) {
  std::wmemset(path, 0, MAX_PATH);
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  // A path that fills the buffer completely has been cut short.
  return length > 0 && length < MAX_PATH;
}
