// A GNU sparse file of format 1.0 inside a pax archive: the entry's data starts with a map of
// the real file's data segments (decimal numbers, one a line: the count, then offset and length
// of each segment, padded to a whole block), followed by those segments back to back. The real
// file is written whole: its holes as zeros, up to its real size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "output_tree.h"
#include "package_extractor.h"

namespace quennet {

struct SparseSegment {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// Reads the map from the front of the entry's data, in pieces of any size.
class SparseMapReader {
 public:
  enum class Progress { kMore, kComplete, kMalformed };

  // Takes bytes from the front of the piece, never past the map's padding.
  Progress Take(const std::uint8_t** data, std::size_t* size);

  const std::vector<SparseSegment>& segments() const { return segments_; }
  std::uint64_t length() const { return consumed_; }  // the map with its padding

  // A map longer than this is not believed: GNU tar and bsdtar write a line per number.
  static constexpr std::uint64_t kLargestMap = 1 << 20;

 private:
  Progress OnNumber(std::uint64_t value);

  std::vector<SparseSegment> segments_;
  std::uint64_t consumed_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t numbers_ = 0;  // read so far, the count included
  std::uint64_t value_ = 0;
  bool digits_ = false;
  bool numbersDone_ = false;
};

// Turns the stored segments back into the real file in the open output file.
class SparseFileWriter {
 public:
  // CORRUPT_ARCHIVE when the map does not describe `storedBytes` of data in order inside a file
  // of `realSize` bytes.
  Outcome Begin(std::vector<SparseSegment> segments, std::uint64_t realSize,
                std::uint64_t storedBytes, const std::wstring& entryName);
  // The next stored bytes, in order; never more than Begin was told.
  Outcome Take(OutputTree& out, const std::uint8_t* data, std::size_t size);
  // After the last stored byte: the hole up to the real size.
  Outcome Finish(OutputTree& out);

 private:
  Outcome WriteZeros(OutputTree& out, std::uint64_t count);

  std::vector<SparseSegment> segments_;
  std::uint64_t realSize_ = 0;
  std::size_t segment_ = 0;      // the segment being written
  std::uint64_t inSegment_ = 0;  // bytes of it written
  std::uint64_t position_ = 0;   // in the real file
};

}  // namespace quennet
