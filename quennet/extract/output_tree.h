// The extract folder as the readers write into it. A file is written under a temporary name in
// its own folder and renamed into place only when the reader says its checks held, so nothing
// half-written ever stands under a final name; whatever is still temporary on a failure or an
// abort is removed.
//
// A file's bytes gather in memory first. One that ends within the first piece (most files of a
// game's package) is handed whole to the writer threads (file_writers.h) once checked: its
// creation, write and rename overlap the inflating of the files after it. A larger one is
// written here piece by piece, and only its rename goes to the writers, so that names keep
// their order. Writers' failures come back from the next call that writes, and from Finish.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "file_writers.h"
#include "package_extractor.h"
#include "win/unique_handle.h"

namespace quennet {

using EntryParts = std::vector<std::wstring>;  // folder names, then the file name

class OutputTree {
 public:
  struct Limits {
    std::size_t writerThreads = 2;
    std::size_t queuedBytes = 8u << 20;  // handed to the writers, not yet on disk
    std::size_t queuedFiles = 512;
  };

  explicit OutputTree(std::wstring extractDir);
  OutputTree(std::wstring extractDir, const Limits& limits);
  ~OutputTree();
  OutputTree(const OutputTree&) = delete;
  OutputTree& operator=(const OutputTree&) = delete;

  // Creates the extract folder and the folders above it (once).
  Outcome Prepare();
  // DISK_FULL when the extract folder's volume has fewer than `bytes` free for this user.
  Outcome CheckFreeSpace(std::uint64_t bytes);

  Outcome MakeFolder(const EntryParts& parts, const std::wstring& entryName);

  // Starts the entry's file; the parts have passed the name checks.
  Outcome BeginFile(const EntryParts& parts, const std::wstring& entryName);
  // Room for the next bytes of the open file; Advance says how many were filled. Bytes go to
  // disk in pieces of kWritePiece.
  std::uint8_t* Room(std::size_t* room);
  Outcome Advance(std::size_t filled);
  Outcome Append(const std::uint8_t* data, std::size_t size);
  // The entry's checks held: it goes into place (replacing a file of that name), now or on a
  // writer thread.
  Outcome CommitFile();
  // Drops the file being written, if any, and waits until the files already committed are in
  // place: afterwards no temporary file of ours is left.
  void DiscardFile();

  // The end of the archive: the extract folder exists and every committed file is in place;
  // the first failure of any writer otherwise.
  Outcome Finish();

  // Deletes a file this tree put in place (an entry found to be refused only afterwards).
  void RemoveCommitted(const EntryParts& parts);

  static constexpr std::size_t kWritePiece = 1 << 20;

 private:
  std::wstring PathOf(const EntryParts& parts, std::size_t count) const;
  Outcome EnsureFolders(const EntryParts& parts, std::size_t count, const std::wstring& entryName);
  Outcome OpenTemporary();
  Outcome Flush();
  void DropCurrent();

  std::wstring requestedDir_;
  std::wstring root_;  // \\?\ form, so that long paths work
  bool prepared_ = false;
  std::unordered_set<std::wstring> knownFolders_;  // relative folders made or checked already

  win::UniqueFileHandle file_;  // open once the file outgrows the first piece
  std::wstring tempPath_;
  std::wstring folderPath_;
  std::wstring finalPath_;
  std::wstring entryName_;
  std::vector<std::uint8_t> buffer_;
  std::size_t buffered_ = 0;
  std::uint32_t tempCounter_ = 0;

  FileWriters writers_;  // last: joined before the rest goes
};

}  // namespace quennet
