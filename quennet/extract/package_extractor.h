// The extracting half of a streaming task: it is handed the package's bytes in order, as they
// arrive from the network (or from a kept package file when a download resumes), and writes the
// archive's entries under one folder. The network half never waits for it longer than its
// bounded buffer allows, and it never touches the network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace quennet {

// A step's outcome: QUENNET_OK (0) or a QuennetError, with a Chinese text for people that names
// the detail (entry name, offset ...).
struct Outcome {
  int code = 0;
  std::wstring text;

  bool ok() const { return code == 0; }
  static Outcome Ok() { return {}; }
  static Outcome Fail(int failCode, std::wstring failText) {
    return {failCode, std::move(failText)};
  }
};

struct ByteRange {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;  // 0: nothing wanted
};

// Used from one thread at a time (the task's extraction thread); the two counters may be read
// from any thread.
class PackageExtractor {
 public:
  virtual ~PackageExtractor() = default;

  // Before any Consume, when the package's size is known and the server serves ranges: the
  // part of the package's end the extractor wants to see first (a ZIP's index). Length 0 when
  // it wants none.
  virtual ByteRange WantedTail(std::uint64_t packageSize) = 0;

  // The bytes of a range asked for by WantedTail or by an earlier OfferTail. Sets *next to a
  // further range wanted (a central directory larger than the first tail) or to length 0. A
  // tail that holds no archive index is not an error (a tar.gz has none).
  virtual Outcome OfferTail(std::uint64_t offset, const std::uint8_t* data, std::size_t size,
                            ByteRange* next) = 0;

  // The package's bytes from offset 0, in order, in pieces of any size.
  virtual Outcome Consume(const std::uint8_t* data, std::size_t size) = 0;

  // The end of the package: checks what was extracted against the archive's own index, and
  // extracts from `keptPackagePath` (when not empty) the entries that could not be streamed.
  virtual Outcome Finish(const std::wstring& keptPackagePath) = 0;

  // Stops and removes every temporary file written so far; files already renamed into place
  // stay. Safe after a failure and more than once.
  virtual void Abort() = 0;

  virtual std::uint32_t TotalFiles() const = 0;  // 0 while unknown
  virtual std::uint32_t ExtractedFiles() const = 0;
};

// An extractor that recognises ZIP or tar.gz from the first bytes it is given and writes under
// `extractDir` (created as needed).
std::unique_ptr<PackageExtractor> CreatePackageExtractor(const std::wstring& extractDir);

}  // namespace quennet
