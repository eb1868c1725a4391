// The extract folder as the readers write into it. A file is written under a temporary name in
// its own folder and renamed into place only when the reader says its checks held, so nothing
// half-written ever stands under a final name; whatever is still temporary on a failure or an
// abort is removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "win/unique_handle.h"
#include "package_extractor.h"

namespace quennet {

using EntryParts = std::vector<std::wstring>;  // folder names, then the file name

class OutputTree {
 public:
  explicit OutputTree(std::wstring extractDir);
  ~OutputTree();
  OutputTree(const OutputTree&) = delete;
  OutputTree& operator=(const OutputTree&) = delete;

  // Creates the extract folder and the folders above it (once).
  Outcome Prepare();
  // DISK_FULL when the extract folder's volume has fewer than `bytes` free for this user.
  Outcome CheckFreeSpace(std::uint64_t bytes);

  Outcome MakeFolder(const EntryParts& parts, const std::wstring& entryName);

  // Opens a temporary file for the entry; the parts have passed the name checks.
  Outcome BeginFile(const EntryParts& parts, const std::wstring& entryName);
  // Room for the next bytes of the open file; Advance says how many were filled. Bytes go to
  // disk in pieces of kWritePiece.
  std::uint8_t* Room(std::size_t* room);
  Outcome Advance(std::size_t filled);
  Outcome Append(const std::uint8_t* data, std::size_t size);
  // Writes what is buffered, closes the file and renames it into place (replacing a file of
  // that name).
  Outcome CommitFile();
  // Closes and deletes the open temporary file, if any.
  void DiscardFile();

  // Deletes a file this tree put in place (an entry found to be refused only afterwards).
  void RemoveCommitted(const EntryParts& parts);

  static constexpr std::size_t kWritePiece = 1 << 20;

 private:
  std::wstring PathOf(const EntryParts& parts, std::size_t count) const;
  Outcome EnsureFolders(const EntryParts& parts, std::size_t count, const std::wstring& entryName);
  Outcome Flush();

  std::wstring requestedDir_;
  std::wstring root_;  // \\?\ form, so that long paths work
  bool prepared_ = false;
  std::vector<std::wstring> knownFolders_;  // relative folders made or checked already

  win::UniqueFileHandle file_;
  std::wstring tempPath_;
  std::wstring finalPath_;
  std::wstring entryName_;
  std::vector<std::uint8_t> buffer_;
  std::size_t buffered_ = 0;
  std::uint32_t tempCounter_ = 0;
};

}  // namespace quennet
