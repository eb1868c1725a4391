// The extraction half of a task, run on the task's own thread: writes the kept package file
// (under a partial name, renamed when complete), hashes the package and feeds the extractor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "extract/package_extractor.h"
#include "task/package_fetcher.h"
#include "task/sha256.h"
#include "win/unique_handle.h"

namespace quennet {

struct KeptPaths {
  std::wstring folder;   // "" when the package is not kept
  std::wstring final;    // folder\name
  std::wstring partial;  // folder\name.part
};

// The kept file's name: the URL's last path segment made safe for a Windows file name.
KeptPaths KeptPathsFor(const wchar_t* downloadDir, const Url& url);

// Creates `folder` and its parents. False with GetLastError set on failure.
bool CreateFolders(const std::wstring& folder);

class PackageSink {
 public:
  PackageSink(KeptPaths kept, std::wstring extractDir, bool extract)
      : kept_(std::move(kept)), extractDir_(std::move(extractDir)), extract_(extract) {}
  ~PackageSink();

  // Opens the partial file (keeping its first `resumeFrom` bytes) and makes a fresh extractor.
  Outcome Prepare(std::uint64_t resumeFrom);
  PackageExtractor* Extractor() { return extractor_.get(); }

  // Feeds the kept bytes [0, resumeFrom) to the extractor and the hash again. `keepGoing` is
  // asked with the offset reached between pieces (progress reports, cancellation).
  template <typename KeepGoing>
  Outcome Refeed(std::uint64_t resumeFrom, KeepGoing keepGoing);

  Outcome Write(const std::uint8_t* data, std::size_t size);
  Outcome StartOver();
  // The package is complete: checks the SHA-256 the server announced, lets the extractor check
  // and finish, and renames the kept file into place.
  Outcome Complete(const PackageFacts& facts);
  // After a failure: stops the extractor. The partial file stays for a resume unless the
  // failure says its bytes are bad.
  void Fail(const Outcome& failure);

  std::uint32_t TotalFiles() const { return extractor_ ? extractor_->TotalFiles() : 0; }
  std::uint32_t ExtractedFiles() const { return extractor_ ? extractor_->ExtractedFiles() : 0; }

 private:
  Outcome RefeedPiece(std::uint64_t offset, std::uint8_t* buffer, std::size_t size);
  Outcome WriteFailure(const wchar_t* call, DWORD error) const;
  Outcome ResetHash();

  KeptPaths kept_;
  std::wstring extractDir_;
  bool extract_;
  std::unique_ptr<PackageExtractor> extractor_;
  win::UniqueFileHandle file_;
  Sha256 hash_;
  std::uint64_t written_ = 0;
};

template <typename KeepGoing>
Outcome PackageSink::Refeed(std::uint64_t resumeFrom, KeepGoing keepGoing) {
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[1 << 20]);
  for (std::uint64_t offset = 0; offset < resumeFrom;) {
    if (!keepGoing(offset)) return Outcome::Ok();
    const std::size_t piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(resumeFrom - offset, 1 << 20));
    Outcome outcome = RefeedPiece(offset, buffer.get(), piece);
    if (!outcome.ok()) return outcome;
    offset += piece;
  }
  return Outcome::Ok();
}

}  // namespace quennet
