// Writer threads that put finished files in place while the extraction thread goes on inflating.
//
// Under Wine each file costs several wineserver round trips (create, first write, rename,
// close) whatever its size: for a package of many small files those, not the bytes, are what
// extraction waits for. The extraction thread hands each file over once its checks have held,
// and the writers do the round trips meanwhile.
//
// Guarantees:
// - a file is written under a temporary name in its folder and renamed into place, so nothing
//   half-written ever stands under a final name;
// - files of the same final name are placed in the order they were handed over (a name always
//   goes to the same writer, which works in order);
// - what is handed over and not yet written is bounded in bytes and in count (the caller
//   waits), so memory stays bounded whatever the package;
// - the first failure is kept with its entry's name; once it happened, later files are
//   dropped (their temporary files removed) and every call reports it;
// - Drain and the destructor wait until nothing is in flight; the destructor joins the threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "../sync/win_sync.h"
#include "package_extractor.h"
#include "win/unique_handle.h"

namespace quennet {

// One checked file to put in place. Either `bytes` is its whole content (nothing is on disk
// yet), or `written` is its temporary file, complete, at `tempPath`.
struct FinishedFile {
  std::wstring folder;     // exists already
  std::wstring finalPath;
  std::wstring entryName;  // for texts
  std::vector<std::uint8_t> bytes;
  win::UniqueFileHandle written;
  std::wstring tempPath;
  std::uint64_t order = 0;  // when it was handed over, among all the writers' files
};

// Creates `path` as a new file that may later be renamed through its handle.
win::UniqueFileHandle CreateTemporaryFile(const std::wstring& path);
// Renames the open file to `finalPath`, replacing a file of that name. False with
// GetLastError set.
bool RenameOpenFile(HANDLE file, const std::wstring& finalPath);
// DISK_FULL or WRITE_FAILED for `call` failing with `error` on the entry.
Outcome FileWriteFailure(const wchar_t* call, DWORD error, const std::wstring& entryName);

class FileWriters {
 public:
  // `threads` 0 writes on the calling thread. Threads start on the first Submit.
  FileWriters(std::size_t threads, std::size_t byteLimit, std::size_t countLimit);
  ~FileWriters();
  FileWriters(const FileWriters&) = delete;
  FileWriters& operator=(const FileWriters&) = delete;

  // Hands the file over (waiting while the limits are reached). The first failure of any file
  // so far, if there was one; the file is then not written.
  Outcome Submit(FinishedFile file);
  // Waits until every file handed over is in place or dropped; the first failure, if any.
  Outcome Drain();
  // The first failure so far, without waiting.
  Outcome Failure();

  std::uint64_t Placed();  // files put in place so far

 private:
  struct Lane;
  void Run(Lane& lane);
  Outcome Place(FinishedFile& file, std::uint32_t lane, std::uint64_t serial);
  void Drop(FinishedFile& file);
  bool StartThreads();
  static DWORD WINAPI Entry(void* lane);

  const std::size_t threadCount_;
  const std::size_t byteLimit_;
  const std::size_t countLimit_;
  std::vector<std::unique_ptr<Lane>> lanes_;
  bool started_ = false;

  SrwLock lock_;
  ConditionVariable changed_;
  std::size_t queuedBytes_ = 0;
  std::size_t inFlight_ = 0;  // handed over and not yet placed or dropped
  bool stopping_ = false;
  Outcome failure_;
  // Files handed over before the one that failed are still placed (they were complete and
  // checked before it); only those after it are dropped.
  std::uint64_t handedOver_ = 0;
  std::uint64_t failedOrder_ = UINT64_MAX;
  std::uint64_t placed_ = 0;
  std::uint64_t serial_ = 0;  // for the calling thread's own temporary names
};

}  // namespace quennet
