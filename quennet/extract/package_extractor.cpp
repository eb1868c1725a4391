// Tells ZIP from tar.gz by the first bytes, keeps a ZIP index read ahead from the tail, and
// makes every failure final: once a step has failed, no temporary file is left and every later
// call reports the same failure.
#include "package_extractor.h"

#include <cstdio>
#include <vector>

#include "archive_reader.h"
#include "output_tree.h"
#include "quennet.h"
#include "tar_gz_reader.h"
#include "zip_index.h"
#include "zip_reader.h"

namespace quennet {
namespace {

constexpr std::size_t kSniffLength = 4;

bool StartsZip(const std::uint8_t* head) {
  // A local header, or the end record of an archive with no entries.
  return head[0] == 'P' && head[1] == 'K' &&
         ((head[2] == 3 && head[3] == 4) || (head[2] == 5 && head[3] == 6));
}

bool StartsGzip(const std::uint8_t* head) { return head[0] == 0x1F && head[1] == 0x8B; }

std::wstring HexBytes(const std::vector<std::uint8_t>& bytes) {
  std::wstring text;
  for (std::uint8_t byte : bytes) {
    wchar_t hex[4];
    std::swprintf(hex, 4, L"%02X", byte);
    if (!text.empty()) text += L' ';
    text += hex;
  }
  return text;
}

class SniffingExtractor final : public PackageExtractor {
 public:
  explicit SniffingExtractor(const std::wstring& extractDir) : out_(extractDir) {}

  ByteRange WantedTail(std::uint64_t packageSize) override {
    packageSize_ = packageSize;
    const std::uint64_t length = std::min(packageSize, kZipTailWindow);
    return ByteRange{packageSize - length, length};
  }

  Outcome OfferTail(std::uint64_t offset, const std::uint8_t* data, std::size_t size,
                    ByteRange* next) override {
    *next = ByteRange{};
    if (!failure_.ok()) return failure_;
    if (reader_) return Outcome::Ok();  // too late: the body is already being read
    const std::uint64_t packageSize = packageSize_ != 0 ? packageSize_ : offset + size;
    auto index = std::make_shared<ZipIndex>();
    ZipTailResult result = ZipTailResult::kNoIndex;
    Outcome read = ReadZipIndexFromTail(data, size, offset, packageSize, index.get(), next, &result);
    if (!read.ok()) return Fail(read);
    if (result != ZipTailResult::kComplete) return Outcome::Ok();

    std::uint32_t files = 0;
    std::uint64_t bytes = 0;
    Outcome vetted = VetZipIndex(*index, &files, &bytes);
    if (!vetted.ok()) return Fail(vetted);
    Outcome space = out_.CheckFreeSpace(bytes);
    if (!space.ok()) return Fail(space);
    counters_.totalFiles.store(files);
    index_ = std::move(index);
    return Outcome::Ok();
  }

  Outcome Consume(const std::uint8_t* data, std::size_t size) override {
    if (!failure_.ok()) return failure_;
    if (!reader_) {
      while (size > 0 && head_.size() < kSniffLength) {
        head_.push_back(*data++);
        --size;
      }
      if (head_.size() < kSniffLength) return Outcome::Ok();
      Outcome chosen = ChooseReader();
      if (!chosen.ok()) return Fail(chosen);
      Outcome fed = reader_->Consume(head_.data(), head_.size());
      if (!fed.ok()) return Fail(fed);
    }
    if (size == 0) return Outcome::Ok();
    Outcome fed = reader_->Consume(data, size);
    return fed.ok() ? fed : Fail(fed);
  }

  Outcome Finish(const std::wstring& keptPackagePath) override {
    if (!failure_.ok()) return failure_;
    if (!reader_)
      return Fail(Outcome::Fail(QUENNET_E_UNSUPPORTED_FORMAT,
                                L"安装包只有 " + std::to_wstring(head_.size()) +
                                    L" 字节，不是 ZIP 或 tar.gz 格式"));
    Outcome finished = reader_->Finish(keptPackagePath);
    if (!finished.ok()) return Fail(finished);
    Outcome prepared = out_.Finish();  // its folder even without entries; every file in place
    return prepared.ok() ? prepared : Fail(prepared);
  }

  void Abort() override {
    out_.DiscardFile();
    if (failure_.ok()) failure_ = Outcome::Fail(QUENNET_E_CANCELLED, L"解压已取消");
  }

  std::uint32_t TotalFiles() const override { return counters_.totalFiles.load(); }
  std::uint32_t ExtractedFiles() const override { return counters_.extractedFiles.load(); }

 private:
  Outcome ChooseReader() {
    if (StartsZip(head_.data())) {
      reader_ = std::make_unique<ZipReader>(out_, counters_, index_);
      return Outcome::Ok();
    }
    index_.reset();
    counters_.totalFiles.store(0);
    if (StartsGzip(head_.data())) {
      reader_ = std::make_unique<TarGzReader>(out_, counters_);
      return Outcome::Ok();
    }
    return Outcome::Fail(QUENNET_E_UNSUPPORTED_FORMAT,
                         L"安装包既不是 ZIP 也不是 tar.gz 格式（开头的字节是 " + HexBytes(head_) +
                             L"）");
  }

  Outcome Fail(Outcome failure) {
    out_.DiscardFile();
    failure_ = failure;
    return failure;
  }

  OutputTree out_;
  ExtractCounters counters_;
  std::uint64_t packageSize_ = 0;
  std::shared_ptr<const ZipIndex> index_;
  std::vector<std::uint8_t> head_;
  std::unique_ptr<ArchiveReader> reader_;
  Outcome failure_;
};

}  // namespace

std::unique_ptr<PackageExtractor> CreatePackageExtractor(const std::wstring& extractDir) {
  return std::make_unique<SniffingExtractor>(extractDir);
}

}  // namespace quennet
