// What the package extractor hands the bytes to once the first bytes have told ZIP from tar.gz.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "package_extractor.h"

namespace quennet {

// Written on the extraction thread, read from any.
struct ExtractCounters {
  std::atomic<std::uint32_t> totalFiles{0};
  std::atomic<std::uint32_t> extractedFiles{0};
};

class ArchiveReader {
 public:
  virtual ~ArchiveReader() = default;
  virtual Outcome Consume(const std::uint8_t* data, std::size_t size) = 0;
  virtual Outcome Finish(const std::wstring& keptPackagePath) = 0;
};

}  // namespace quennet
