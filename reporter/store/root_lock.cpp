#include "store/root_lock.h"

#include <cstdint>
#include <cwchar>
#include <vector>

#include "win/error_text.h"

namespace orlent {
namespace {

// The path the file system resolves `root` to (case, short names, "..", a drive mapped by
// subst); the full path as written when the folder cannot be opened.
std::wstring ResolvedPath(const std::wstring& root) {
  win::UniqueFileHandle folder(::CreateFileW(
      root.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  std::vector<wchar_t> path(32768);
  if (folder) {
    const DWORD length = ::GetFinalPathNameByHandleW(
        folder.get(), path.data(), static_cast<DWORD>(path.size()),
        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length > 0 && length < path.size()) return std::wstring(path.data(), length);
  }
  const DWORD length =
      ::GetFullPathNameW(root.c_str(), static_cast<DWORD>(path.size()), path.data(), nullptr);
  if (length > 0 && length < path.size()) return std::wstring(path.data(), length);
  return root;
}

std::wstring UpperCase(const std::wstring& text) {
  if (text.empty()) return text;
  std::wstring upper(text.size(), L'\0');
  const int length = ::LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, text.data(),
                                    static_cast<int>(text.size()), upper.data(),
                                    static_cast<int>(upper.size()));
  return length == static_cast<int>(text.size()) ? upper : text;
}

uint64_t Fnv1a(const std::wstring& text) {
  uint64_t hash = 14695981039346656037ull;
  for (wchar_t c : text) {
    hash ^= static_cast<uint16_t>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace

std::wstring ReportsRootLockName(const std::wstring& root) {
  std::wstring path = UpperCase(ResolvedPath(root));
  while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  wchar_t hash[17];
  std::swprintf(hash, 17, L"%016llX", static_cast<unsigned long long>(Fnv1a(path)));
  return std::wstring(L"Local\\orlent-reports-root-") + hash;
}

ReportsRootLock::ReportsRootLock(const std::wstring& root, DWORD timeoutMs) {
  const std::wstring name = ReportsRootLockName(root);
  mutex_.reset(::CreateMutexW(nullptr, FALSE, name.c_str()));
  if (!mutex_) {
    problem_ = win::CallFailed(L"CreateMutexW") + L" for " + name;
    return;
  }
  switch (::WaitForSingleObject(mutex_.get(), timeoutMs)) {
    case WAIT_OBJECT_0:
      held_ = true;
      break;
    case WAIT_ABANDONED:
      held_ = abandoned_ = true;
      break;
    case WAIT_TIMEOUT:
      problem_ = L"another reporter held the reports root's lock for over " +
                 std::to_wstring(timeoutMs) + L" ms";
      break;
    default:
      problem_ = win::CallFailed(L"WaitForSingleObject") + L" for " + name;
      break;
  }
}

ReportsRootLock::~ReportsRootLock() {
  if (held_) ::ReleaseMutex(mutex_.get());
}

}  // namespace orlent
