#include "task/package_sink.h"

#include "quennet.h"
#include "win/error_text.h"

namespace quennet {
namespace {

bool IsDiskFull(DWORD error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL; }

// Failures after which the kept bytes cannot be trusted for a resume.
bool BytesAreBad(int code) {
  return code == QUENNET_E_CHECKSUM || code == QUENNET_E_CORRUPT_ARCHIVE ||
         code == QUENNET_E_UNSUPPORTED_FORMAT || code == QUENNET_E_REFUSED_ENTRY;
}

std::wstring SafeFileName(std::wstring name) {
  for (wchar_t& c : name) {
    if (c < 32 || wcschr(L"<>:\"/\\|?*%", c) != nullptr) c = L'_';
  }
  while (!name.empty() && (name.back() == L'.' || name.back() == L' ')) name.pop_back();
  if (name.empty() || name.size() > 120) return L"package";
  // Device names stay devices whatever extension follows them.
  static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  const std::wstring stem = name.substr(0, name.find(L'.'));
  for (const wchar_t* device : kDevices)
    if (_wcsicmp(stem.c_str(), device) == 0) return L"package";
  if (stem.size() == 4 && (_wcsnicmp(stem.c_str(), L"COM", 3) == 0 || _wcsnicmp(stem.c_str(), L"LPT", 3) == 0) &&
      iswdigit(stem[3]))
    return L"package";
  return name;
}

}  // namespace

KeptPaths KeptPathsFor(const wchar_t* downloadDir, const Url& url) {
  KeptPaths paths;
  if (downloadDir == nullptr || downloadDir[0] == L'\0') return paths;
  paths.folder = downloadDir;
  while (!paths.folder.empty() && (paths.folder.back() == L'\\' || paths.folder.back() == L'/'))
    paths.folder.pop_back();
  paths.final = paths.folder + L"\\" + SafeFileName(url.LastSegment());
  paths.partial = paths.final + L".part";
  return paths;
}

bool CreateFolders(const std::wstring& folder) {
  if (folder.empty()) return true;
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return true;
    ::SetLastError(ERROR_DIRECTORY);
    return false;
  }
  const size_t slash = folder.find_last_of(L"\\/");
  if (slash != std::wstring::npos && slash > 0 && folder[slash - 1] != L':' &&
      !CreateFolders(folder.substr(0, slash)))
    return false;
  return ::CreateDirectoryW(folder.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

PackageSink::~PackageSink() = default;

Outcome PackageSink::WriteFailure(const wchar_t* call, DWORD error) const {
  return Outcome::Fail(IsDiskFull(error) ? QUENNET_E_DISK_FULL : QUENNET_E_WRITE_FAILED,
                       L"写入下载文件失败：" + kept_.partial + L"（" + win::CallFailed(call, error) + L"）");
}

Outcome PackageSink::ResetHash() {
  long error = 0;
  if (!hash_.Reset(&error))
    return Outcome::Fail(QUENNET_E_INTERNAL, L"无法计算 SHA-256（BCrypt 失败，状态 " +
                                                 std::to_wstring(error) + L"）");
  return Outcome::Ok();
}

Outcome PackageSink::Prepare(std::uint64_t resumeFrom) {
  Outcome outcome = ResetHash();
  if (!outcome.ok()) return outcome;
  if (extract_) {
    if (extractor_) extractor_->Abort();
    extractor_ = CreatePackageExtractor(extractDir_);
    if (!extractor_) return Outcome::Fail(QUENNET_E_INTERNAL, L"无法创建解压器：" + extractDir_);
  }
  written_ = 0;
  if (kept_.folder.empty()) return Outcome::Ok();
  if (!CreateFolders(kept_.folder))
    return Outcome::Fail(IsDiskFull(::GetLastError()) ? QUENNET_E_DISK_FULL : QUENNET_E_WRITE_FAILED,
                         L"无法创建下载文件夹：" + kept_.folder + L"（" +
                             win::CallFailed(L"CreateDirectoryW") + L"）");
  file_.reset(::CreateFileW(kept_.partial.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                            nullptr, resumeFrom > 0 ? OPEN_EXISTING : CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) return WriteFailure(L"CreateFileW", ::GetLastError());
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(resumeFrom);
  if (!::SetFilePointerEx(file_.get(), at, nullptr, FILE_BEGIN) || !::SetEndOfFile(file_.get()))
    return WriteFailure(L"SetEndOfFile", ::GetLastError());
  written_ = resumeFrom;
  return Outcome::Ok();
}

Outcome PackageSink::RefeedPiece(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  if (!::ReadFile(file_.get(), buffer, static_cast<DWORD>(size), &got, &at) || got != size)
    return Outcome::Fail(QUENNET_E_WRITE_FAILED, L"无法读回已下载的部分：" + kept_.partial + L"（" +
                                                     win::CallFailed(L"ReadFile") + L"）");
  hash_.Update(buffer, size);
  if (extractor_) return extractor_->Consume(buffer, size);
  return Outcome::Ok();
}

Outcome PackageSink::Write(const std::uint8_t* data, std::size_t size) {
  if (file_) {
    // Reads of the kept bytes moved the file pointer; appends go to the end.
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(written_);
    ::SetFilePointerEx(file_.get(), at, nullptr, FILE_BEGIN);
    DWORD wrote = 0;
    if (!::WriteFile(file_.get(), data, static_cast<DWORD>(size), &wrote, nullptr) || wrote != size)
      return WriteFailure(L"WriteFile", ::GetLastError());
  }
  written_ += size;
  hash_.Update(data, size);
  if (extractor_) return extractor_->Consume(data, size);
  return Outcome::Ok();
}

Outcome PackageSink::StartOver() {
  if (extractor_) extractor_->Abort();
  file_.reset();
  return Prepare(0);
}

Outcome PackageSink::Complete(const PackageFacts& facts) {
  if (facts.size != 0 && written_ != facts.size)
    return Outcome::Fail(QUENNET_E_CONNECTION_DROPPED,
                         L"下载的字节数与包的大小不符（" + std::to_wstring(written_) + L" / " +
                             std::to_wstring(facts.size) + L"）");
  if (facts.hasChecksum) {
    Sha256Digest digest = {};
    if (!hash_.Finish(&digest))
      return Outcome::Fail(QUENNET_E_INTERNAL, L"无法计算 SHA-256（BCryptFinishHash 失败）");
    if (digest != facts.checksum)
      return Outcome::Fail(QUENNET_E_CHECKSUM, L"整个包的 SHA-256 校验失败：服务器给出 " +
                                                   ToHex(facts.checksum) + L"，实际为 " + ToHex(digest));
  }
  // The extractor may read the kept file to finish entries it could not stream.
  if (file_ && !::FlushFileBuffers(file_.get())) return WriteFailure(L"FlushFileBuffers", ::GetLastError());
  file_.reset();
  if (extractor_) {
    Outcome finished = extractor_->Finish(kept_.partial);
    if (!finished.ok()) return finished;
  }
  if (!kept_.folder.empty() &&
      !::MoveFileExW(kept_.partial.c_str(), kept_.final.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return Outcome::Fail(QUENNET_E_WRITE_FAILED, L"无法把下载文件改名为 " + kept_.final + L"（" +
                                                     win::CallFailed(L"MoveFileExW") + L"）");
  return Outcome::Ok();
}

void PackageSink::Fail(const Outcome& failure) {
  if (extractor_) extractor_->Abort();
  file_.reset();
  if (!kept_.folder.empty() && BytesAreBad(failure.code)) ::DeleteFileW(kept_.partial.c_str());
}

}  // namespace quennet
