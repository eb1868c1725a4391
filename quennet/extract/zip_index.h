// A ZIP's central directory read from the end of the package before its body: it gives the
// number of files at once, lets every name be checked before a byte is written, and gives the
// sizes that a stored entry with a data descriptor leaves out of its local header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "package_extractor.h"
#include "zip_records.h"

namespace quennet {

struct ZipIndex {
  std::vector<ZipCentralRecord> records;
  std::uint64_t directoryOffset = 0;
  std::uint64_t directorySize = 0;

  // The record whose local header starts at `offset`; null when none does.
  const ZipCentralRecord* AtLocalOffset(std::uint64_t offset) const;

  std::vector<std::pair<std::uint64_t, std::size_t>> byLocalOffset;  // sorted
};

// How much of a package's end to look at first: the end record with the longest comment, the
// ZIP64 records, and room for the directory of most packages.
constexpr std::uint64_t kZipTailWindow = 256 * 1024;
// A larger directory than this is not read ahead; the body's own directory is still checked.
constexpr std::uint64_t kZipLargestIndex = 64ull * 1024 * 1024;

enum class ZipTailResult { kNoIndex, kNeedRange, kComplete };

// Reads the index from bytes [offset, offset + size) that end where the package ends. kNeedRange
// sets *needed to the range (up to the package's end) that holds the whole directory.
// A failure means an end record was found whose directory is damaged.
Outcome ReadZipIndexFromTail(const std::uint8_t* data, std::size_t size, std::uint64_t offset,
                             std::uint64_t packageSize, ZipIndex* index, ByteRange* needed,
                             ZipTailResult* result);

// Checks every entry the index lists before anything is written: names, links, encryption and
// methods. Gives the number of files and the bytes they take once extracted.
Outcome VetZipIndex(const ZipIndex& index, std::uint32_t* files, std::uint64_t* bytes);

}  // namespace quennet
