#include "file_writers.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>

#include "quennet.h"
#include "win/error_text.h"

namespace quennet {

struct FileWriters::Lane {
  FileWriters* owner = nullptr;
  std::uint32_t index = 0;
  std::deque<FinishedFile> queue;
  win::UniqueKernelHandle thread;
  std::uint64_t serial = 0;
};

namespace {

// Names that differ only in case are one file on Windows: they must share a lane.
std::size_t LaneOf(const std::wstring& path, std::size_t lanes) {
  std::size_t hash = 2166136261u;
  for (wchar_t c : path) hash = (hash ^ static_cast<std::size_t>(std::towupper(c))) * 16777619u;
  return hash % lanes;
}

}  // namespace

Outcome FileWriteFailure(const wchar_t* call, DWORD error, const std::wstring& entryName) {
  if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL)
    return Outcome::Fail(QUENNET_E_DISK_FULL, L"磁盘空间不足，无法写入“" + entryName + L"”：" +
                                                  win::CallFailed(call, error));
  return Outcome::Fail(QUENNET_E_WRITE_FAILED,
                       L"无法写入“" + entryName + L"”：" + win::CallFailed(call, error));
}

win::UniqueFileHandle CreateTemporaryFile(const std::wstring& path) {
  // DELETE access lets the finished file be renamed through this handle: one round trip,
  // where closing and renaming by name opens the file a second time.
  return win::UniqueFileHandle(::CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                                             CREATE_NEW,
                                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                                             nullptr));
}

bool RenameOpenFile(HANDLE file, const std::wstring& finalPath) {
  const std::size_t nameBytes = finalPath.size() * sizeof(wchar_t);
  std::vector<std::uint8_t> storage(sizeof(FILE_RENAME_INFO) + nameBytes);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(storage.data());
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(nameBytes);
  std::copy(finalPath.begin(), finalPath.end(), info->FileName);
  info->FileName[finalPath.size()] = L'\0';
  return ::SetFileInformationByHandle(file, FileRenameInfo, info,
                                      static_cast<DWORD>(storage.size())) != FALSE;
}

FileWriters::FileWriters(std::size_t threads, std::size_t byteLimit, std::size_t countLimit)
    : threadCount_(threads), byteLimit_(byteLimit), countLimit_(countLimit < 1 ? 1 : countLimit) {}

FileWriters::~FileWriters() {
  Drain();
  {
    LockGuard guard(lock_);
    stopping_ = true;
    changed_.NotifyAll();
  }
  for (auto& lane : lanes_) {
    if (lane->thread) ::WaitForSingleObject(lane->thread.get(), INFINITE);
  }
}

bool FileWriters::StartThreads() {
  started_ = true;
  for (std::size_t i = 0; i < threadCount_; ++i) {
    auto lane = std::make_unique<Lane>();
    lane->owner = this;
    lane->index = static_cast<std::uint32_t>(i);
    lane->thread.reset(::CreateThread(nullptr, 0, &FileWriters::Entry, lane.get(), 0, nullptr));
    if (!lane->thread) break;  // fewer lanes then, or none: the caller writes itself
    lanes_.push_back(std::move(lane));
  }
  return !lanes_.empty();
}

DWORD WINAPI FileWriters::Entry(void* lane) {
  auto* self = static_cast<Lane*>(lane);
  self->owner->Run(*self);
  return 0;
}

Outcome FileWriters::Submit(FinishedFile file) {
  if (!started_) StartThreads();
  if (lanes_.empty()) {
    {
      LockGuard guard(lock_);
      if (!failure_.ok()) {
        Drop(file);
        return failure_;
      }
    }
    Outcome placed = Place(file, 0xFFFFu, ++serial_);
    LockGuard guard(lock_);
    if (placed.ok()) ++placed_;
    else if (failure_.ok()) failure_ = placed;
    return failure_;
  }
  Lane& lane = *lanes_[LaneOf(file.finalPath, lanes_.size())];
  LockGuard guard(lock_);
  while (failure_.ok() && inFlight_ > 0 &&
         (inFlight_ >= countLimit_ || queuedBytes_ + file.bytes.size() > byteLimit_))
    changed_.Wait(lock_);
  if (!failure_.ok()) {
    Drop(file);
    return failure_;
  }
  queuedBytes_ += file.bytes.size();
  ++inFlight_;
  file.order = ++handedOver_;
  lane.queue.push_back(std::move(file));
  changed_.NotifyAll();
  return Outcome::Ok();
}

Outcome FileWriters::Drain() {
  LockGuard guard(lock_);
  while (inFlight_ > 0) changed_.Wait(lock_);
  return failure_;
}

Outcome FileWriters::Failure() {
  LockGuard guard(lock_);
  return failure_;
}

std::uint64_t FileWriters::Placed() {
  LockGuard guard(lock_);
  return placed_;
}

void FileWriters::Run(Lane& lane) {
  LockGuard guard(lock_);
  for (;;) {
    while (!stopping_ && lane.queue.empty()) changed_.Wait(lock_);
    if (lane.queue.empty()) return;
    FinishedFile file = std::move(lane.queue.front());
    lane.queue.pop_front();
    const bool failedAlready = !failure_.ok() && file.order > failedOrder_;
    const std::size_t bytes = file.bytes.size();
    const std::uint64_t order = file.order;
    lock_.Unlock();
    Outcome placed;
    if (failedAlready) Drop(file);
    else placed = Place(file, lane.index, ++lane.serial);
    file = FinishedFile{};  // the memory goes back before the caller is told there is room
    lock_.Lock();
    if (!failedAlready) {
      if (placed.ok()) {
        ++placed_;
      } else {
        if (failure_.ok()) failure_ = placed;
        failedOrder_ = std::min(failedOrder_, order);
      }
    }
    queuedBytes_ -= bytes;
    --inFlight_;
    changed_.NotifyAll();
  }
}

Outcome FileWriters::Place(FinishedFile& file, std::uint32_t lane, std::uint64_t serial) {
  if (!file.written) {
    // The process id keeps two extractions into one folder apart; lane and serial, our own.
    for (int attempt = 0; attempt < 100 && !file.written; ++attempt) {
      file.tempPath = file.folder + L"\\.quennet-" + std::to_wstring(::GetCurrentProcessId()) +
                      L"-w" + std::to_wstring(lane) + L"-" + std::to_wstring(serial) + L"-" +
                      std::to_wstring(attempt) + L".tmp";
      file.written = CreateTemporaryFile(file.tempPath);
      if (!file.written && ::GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (!file.written) {
      const DWORD error = ::GetLastError();
      file.tempPath.clear();
      return FileWriteFailure(L"CreateFileW", error, file.entryName);
    }
    // Small files go down in one write: one system call, and no buffering of our own.
    std::size_t done = 0;
    while (done < file.bytes.size()) {
      DWORD wrote = 0;
      const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(file.bytes.size() - done, 1u << 30));
      const BOOL ok = ::WriteFile(file.written.get(), file.bytes.data() + done, piece, &wrote, nullptr);
      if (!ok || wrote == 0) {
        const DWORD error = ok ? ERROR_DISK_FULL : ::GetLastError();
        Drop(file);
        return FileWriteFailure(L"WriteFile", error, file.entryName);
      }
      done += wrote;
    }
  }
  if (!RenameOpenFile(file.written.get(), file.finalPath)) {
    const DWORD error = ::GetLastError();
    // A volume that cannot rename an open file still renames a closed one.
    file.written.reset();
    if (!::MoveFileExW(file.tempPath.c_str(), file.finalPath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      const DWORD moveError = ::GetLastError();
      Drop(file);
      return FileWriteFailure(L"MoveFileExW", moveError != ERROR_SUCCESS ? moveError : error,
                              file.entryName);
    }
  }
  file.written.reset();
  file.tempPath.clear();
  return Outcome::Ok();
}

void FileWriters::Drop(FinishedFile& file) {
  file.written.reset();
  if (!file.tempPath.empty()) ::DeleteFileW(file.tempPath.c_str());
  file.tempPath.clear();
}

}  // namespace quennet
