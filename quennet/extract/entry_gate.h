// What every entry passes just before its first byte is written: on a case-insensitive volume
// two names that differ only by case are one file, so a second entry with the name of an earlier
// file (or of a folder, or under a file) would silently replace or block content; and an entry
// whose declared size cannot fit on the volume is refused before it fills the disk.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "output_tree.h"
#include "package_extractor.h"

namespace quennet {

// Orders names the way Windows file systems compare them: ordinally, ignoring case
// (CompareStringOrdinal, which upper-cases each UTF-16 unit as NTFS's upcase table does).
struct WindowsNameLess {
  bool operator()(const std::wstring& a, const std::wstring& b) const;
};

// Remembers the files and folders of one extraction by their relative paths.
class EntryNameClaims {
 public:
  // REFUSED_ENTRY, naming both entries, when the path is already a file, a file is wanted where
  // a folder already is, or a folder above it is a file. A folder may be named again (it holds
  // both entries' files). On success the path and the folders above it are remembered.
  Outcome Claim(const EntryParts& parts, bool folder, const std::wstring& entryName);

 private:
  struct Claimed {
    bool folder = false;
    std::wstring entryName;  // the entry that claimed it first, for the text
  };
  std::map<std::wstring, Claimed, WindowsNameLess> claimed_;  // relative path, '\' separated
};

// DISK_FULL naming the entry when the extract folder's volume has less free space than the
// entry's declared size; nothing is asked of the volume for an empty entry.
Outcome CheckRoomForEntry(OutputTree& out, std::uint64_t declaredSize,
                          const std::wstring& entryName);

}  // namespace quennet
