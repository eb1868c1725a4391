#include "output_tree.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

#include "win/error_text.h"
#include "quennet.h"

namespace quennet {
namespace {

// The \\?\ form of an absolute path: no length limit and no reinterpretation of the name.
std::wstring LongPathForm(const std::wstring& full) {
  if (full.rfind(L"\\\\?\\", 0) == 0) return full;
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// Where the volume part of a \\?\ path ends: after "\\?\C:\" or "\\?\UNC\server\share\".
std::size_t VolumeEnd(const std::wstring& path) {
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    std::size_t end = path.find(L'\\', 8);
    if (end != std::wstring::npos) end = path.find(L'\\', end + 1);
    return end == std::wstring::npos ? path.size() : end + 1;
  }
  return std::min<std::size_t>(path.size(), 7);
}

// A folder we may write into: a real folder, not a file and not a link planted to lead out.
bool IsPlainFolder(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

Outcome MakeOneFolder(const std::wstring& path, const std::wstring& what) {
  if (::CreateDirectoryW(path.c_str(), nullptr)) return Outcome::Ok();
  const DWORD error = ::GetLastError();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) {
    if (IsPlainFolder(path)) return Outcome::Ok();
    if (error == ERROR_ALREADY_EXISTS)
      return Outcome::Fail(QUENNET_E_WRITE_FAILED,
                           L"无法创建文件夹“" + what + L"”：同名的文件或链接已存在");
  }
  return FileWriteFailure(L"CreateDirectoryW", error, what);
}

}  // namespace

OutputTree::OutputTree(std::wstring extractDir) : OutputTree(std::move(extractDir), Limits{}) {}

OutputTree::OutputTree(std::wstring extractDir, const Limits& limits)
    : requestedDir_(std::move(extractDir)),
      writers_(limits.writerThreads, limits.queuedBytes, limits.queuedFiles) {}

OutputTree::~OutputTree() { DiscardFile(); }

Outcome OutputTree::Prepare() {
  if (prepared_) return Outcome::Ok();
  if (requestedDir_.empty())
    return Outcome::Fail(QUENNET_E_BAD_ARGUMENT, L"解压目录为空");
  const DWORD needed = ::GetFullPathNameW(requestedDir_.c_str(), 0, nullptr, nullptr);
  std::wstring full(needed, L'\0');
  const DWORD length = needed == 0 ? 0
                                   : ::GetFullPathNameW(requestedDir_.c_str(), needed, full.data(),
                                                        nullptr);
  if (length == 0 || length >= needed)
    return Outcome::Fail(QUENNET_E_WRITE_FAILED, L"解压目录“" + requestedDir_ + L"”无效：" +
                                                     win::CallFailed(L"GetFullPathNameW"));
  full.resize(length);
  while (full.size() > 3 && full.back() == L'\\') full.pop_back();
  root_ = LongPathForm(full);
  if (root_.back() == L'\\') root_.pop_back();  // a drive's root: parts add their own separator

  for (std::size_t at = VolumeEnd(root_); at <= root_.size(); ++at) {
    if (at != root_.size() && root_[at] != L'\\') continue;
    Outcome made = MakeOneFolder(root_.substr(0, at), requestedDir_);
    if (!made.ok()) return made;
  }
  buffer_.resize(kWritePiece);
  prepared_ = true;
  return Outcome::Ok();
}

Outcome OutputTree::CheckFreeSpace(std::uint64_t bytes) {
  Outcome prepared = Prepare();
  if (!prepared.ok()) return prepared;
  ULARGE_INTEGER freeToCaller{};
  // Only a first answer: when the volume cannot say, the writes find out.
  if (!::GetDiskFreeSpaceExW((root_ + L"\\").c_str(), &freeToCaller, nullptr, nullptr))
    return Outcome::Ok();
  if (freeToCaller.QuadPart >= bytes) return Outcome::Ok();
  return Outcome::Fail(QUENNET_E_DISK_FULL,
                       L"磁盘空间不足：解压需要 " + std::to_wstring(bytes) + L" 字节，“" +
                           requestedDir_ + L"”所在的磁盘只剩 " +
                           std::to_wstring(freeToCaller.QuadPart) + L" 字节");
}

std::wstring OutputTree::PathOf(const EntryParts& parts, std::size_t count) const {
  std::wstring path = root_;
  for (std::size_t i = 0; i < count; ++i) path += L"\\" + parts[i];
  return path;
}

Outcome OutputTree::EnsureFolders(const EntryParts& parts, std::size_t count,
                                  const std::wstring& entryName) {
  std::wstring relative;
  for (std::size_t i = 0; i < count; ++i) {
    relative += (i == 0 ? L"" : L"\\") + parts[i];
    if (knownFolders_.count(relative) != 0) continue;
    Outcome made = MakeOneFolder(root_ + L"\\" + relative, entryName);
    if (!made.ok()) return made;
    knownFolders_.insert(relative);
  }
  return Outcome::Ok();
}

Outcome OutputTree::MakeFolder(const EntryParts& parts, const std::wstring& entryName) {
  Outcome prepared = Prepare();
  if (!prepared.ok()) return prepared;
  return EnsureFolders(parts, parts.size(), entryName);
}

Outcome OutputTree::BeginFile(const EntryParts& parts, const std::wstring& entryName) {
  DropCurrent();
  Outcome prepared = Prepare();
  if (!prepared.ok()) return prepared;
  Outcome failed = writers_.Failure();
  if (!failed.ok()) return failed;
  Outcome folders = EnsureFolders(parts, parts.size() - 1, entryName);
  if (!folders.ok()) return folders;
  finalPath_ = PathOf(parts, parts.size());
  folderPath_ = PathOf(parts, parts.size() - 1);
  entryName_ = entryName;
  buffered_ = 0;
  return Outcome::Ok();
}

Outcome OutputTree::OpenTemporary() {
  // The process id keeps two extractions into one folder apart; the counter, our own files.
  for (int attempt = 0; attempt < 100; ++attempt) {
    tempPath_ = folderPath_ + L"\\.quennet-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                std::to_wstring(++tempCounter_) + L".tmp";
    file_ = CreateTemporaryFile(tempPath_);
    if (file_) return Outcome::Ok();
    if (::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  const DWORD error = ::GetLastError();
  tempPath_.clear();
  return FileWriteFailure(L"CreateFileW", error, entryName_);
}

std::uint8_t* OutputTree::Room(std::size_t* room) {
  *room = buffer_.size() - buffered_;
  return buffer_.data() + buffered_;
}

Outcome OutputTree::Advance(std::size_t filled) {
  buffered_ += filled;
  return buffered_ == buffer_.size() ? Flush() : Outcome::Ok();
}

Outcome OutputTree::Append(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    std::size_t room = 0;
    std::uint8_t* at = Room(&room);
    const std::size_t take = std::min(room, size);
    std::memcpy(at, data, take);
    data += take;
    size -= take;
    Outcome advanced = Advance(take);
    if (!advanced.ok()) return advanced;
  }
  return Outcome::Ok();
}

Outcome OutputTree::Flush() {
  if (!file_) {
    // The file outgrew the first piece: it is written from here on.
    Outcome failed = writers_.Failure();
    if (!failed.ok()) return failed;
    Outcome opened = OpenTemporary();
    if (!opened.ok()) return opened;
  }
  std::size_t done = 0;
  while (done < buffered_) {
    DWORD written = 0;
    if (!::WriteFile(file_.get(), buffer_.data() + done, static_cast<DWORD>(buffered_ - done),
                     &written, nullptr))
      return FileWriteFailure(L"WriteFile", ::GetLastError(), entryName_);
    if (written == 0) return FileWriteFailure(L"WriteFile", ERROR_DISK_FULL, entryName_);
    done += written;
  }
  buffered_ = 0;
  return Outcome::Ok();
}

Outcome OutputTree::CommitFile() {
  FinishedFile finished;
  if (file_) {
    Outcome flushed = Flush();
    if (!flushed.ok()) return flushed;
    finished.written = std::move(file_);
    finished.tempPath = std::move(tempPath_);
  } else {
    finished.bytes.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(buffered_));
  }
  finished.folder = std::move(folderPath_);
  finished.finalPath = std::move(finalPath_);
  finished.entryName = std::move(entryName_);
  tempPath_.clear();
  buffered_ = 0;
  return writers_.Submit(std::move(finished));
}

void OutputTree::DropCurrent() {
  file_.reset();
  buffered_ = 0;
  if (!tempPath_.empty()) ::DeleteFileW(tempPath_.c_str());
  tempPath_.clear();
}

void OutputTree::DiscardFile() {
  DropCurrent();
  writers_.Drain();
}

Outcome OutputTree::Finish() {
  Outcome prepared = Prepare();
  Outcome written = writers_.Drain();
  return written.ok() ? prepared : written;
}

void OutputTree::RemoveCommitted(const EntryParts& parts) {
  writers_.Drain();  // it may still be on its way into place
  if (prepared_ && !parts.empty()) ::DeleteFileW(PathOf(parts, parts.size()).c_str());
}

}  // namespace quennet
