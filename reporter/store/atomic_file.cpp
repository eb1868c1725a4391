#include "store/atomic_file.h"

#include <windows.h>

#include "store/write_failure.h"
#include "win/error_text.h"
#include "win/unique_handle.h"

namespace orlent {

bool WriteFileAtomically(const std::wstring& path, const std::string& bytes,
                         std::wstring* error) {
  const std::wstring temporary = path + kUnfinishedSuffix;
  {
    win::UniqueFileHandle file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      *error = win::CallFailed(L"CreateFileW") + L" for " + temporary;
      return false;
    }
    DWORD written = 0;
    const BOOL wrote = ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                   &written, nullptr);
    const DWORD code = wrote ? ERROR_SUCCESS : ::GetLastError();
    // Asked before the partial file is removed, which gives its space back.
    std::wstring failure;
    if (!wrote || written != bytes.size())
      failure = WriteFailedText(code, written, bytes.size(), FolderOf(path));
    else if (!::FlushFileBuffers(file.get()))
      failure = CallFailedWith(L"FlushFileBuffers", ::GetLastError());
    if (!failure.empty()) {
      *error = failure + L" for " + temporary;
      file.reset();
      ::DeleteFileW(temporary.c_str());
      return false;
    }
  }
  return PutCompleteFileInPlace(path, error);
}

bool PutCompleteFileInPlace(const std::wstring& path, std::wstring* error) {
  const std::wstring temporary = path + kUnfinishedSuffix;
  if (!::MoveFileExW(temporary.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    *error = win::CallFailed(L"MoveFileExW") + L" for " + path;
    ::DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace orlent
