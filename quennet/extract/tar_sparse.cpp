#include "tar_sparse.h"

#include <algorithm>
#include <cstring>

#include "quennet.h"
#include "tar_headers.h"

namespace quennet {
namespace {

Outcome Damaged(const std::wstring& entryName, const std::wstring& what) {
  return Outcome::Fail(QUENNET_E_CORRUPT_ARCHIVE,
                       L"tar.gz 安装包已损坏：稀疏文件“" + entryName + L"”" + what);
}

}  // namespace

SparseMapReader::Progress SparseMapReader::Take(const std::uint8_t** data, std::size_t* size) {
  while (*size > 0) {
    if (numbersDone_ && consumed_ % kTarBlock == 0) return Progress::kComplete;
    const std::uint8_t byte = **data;
    ++*data;
    --*size;
    if (++consumed_ > kLargestMap) return Progress::kMalformed;
    if (numbersDone_) {
      if (byte != 0) return Progress::kMalformed;  // the padding of the map's last block
      continue;
    }
    if (byte >= '0' && byte <= '9') {
      if (value_ > (~std::uint64_t{0} - 9) / 10) return Progress::kMalformed;
      value_ = value_ * 10 + (byte - '0');
      digits_ = true;
      continue;
    }
    if (byte != '\n' || !digits_) return Progress::kMalformed;
    const Progress progress = OnNumber(value_);
    if (progress == Progress::kMalformed) return progress;
    value_ = 0;
    digits_ = false;
  }
  return numbersDone_ && consumed_ % kTarBlock == 0 ? Progress::kComplete : Progress::kMore;
}

SparseMapReader::Progress SparseMapReader::OnNumber(std::uint64_t value) {
  if (numbers_++ == 0) {
    // Each segment takes at least four bytes of the map ("0\n0\n").
    if (value > kLargestMap / 4) return Progress::kMalformed;
    count_ = value;
    segments_.reserve(static_cast<std::size_t>(count_));
  } else if (numbers_ % 2 == 0) {
    segments_.push_back(SparseSegment{value, 0});
  } else {
    segments_.back().length = value;
  }
  numbersDone_ = numbers_ == 1 + 2 * count_;
  return Progress::kMore;
}

Outcome SparseFileWriter::Begin(std::vector<SparseSegment> segments, std::uint64_t realSize,
                                std::uint64_t storedBytes, const std::wstring& entryName) {
  segments_ = std::move(segments);
  realSize_ = realSize;
  segment_ = 0;
  inSegment_ = 0;
  position_ = 0;
  std::uint64_t end = 0;
  std::uint64_t stored = 0;
  for (const SparseSegment& segment : segments_) {
    if (segment.offset < end || segment.offset > realSize_ ||
        segment.length > realSize_ - segment.offset)
      return Damaged(entryName, L"的数据段表无效（顺序颠倒、重叠或超出文件的实际大小）");
    end = segment.offset + segment.length;
    stored += segment.length;
  }
  if (stored != storedBytes)
    return Damaged(entryName, L"的数据段共 " + std::to_wstring(stored) + L" 字节，条目中存有 " +
                                  std::to_wstring(storedBytes) + L" 字节");
  // Empty segments (GNU tar ends its map with one at the real size) carry nothing.
  segments_.erase(std::remove_if(segments_.begin(), segments_.end(),
                                 [](const SparseSegment& s) { return s.length == 0; }),
                  segments_.end());
  return Outcome::Ok();
}

Outcome SparseFileWriter::WriteZeros(OutputTree& out, std::uint64_t count) {
  while (count > 0) {
    std::size_t room = 0;
    std::uint8_t* at = out.Room(&room);
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(room, count));
    std::memset(at, 0, take);
    Outcome advanced = out.Advance(take);
    if (!advanced.ok()) return advanced;
    count -= take;
    position_ += take;
  }
  return Outcome::Ok();
}

Outcome SparseFileWriter::Take(OutputTree& out, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    if (segment_ == segments_.size())
      return Outcome::Fail(QUENNET_E_INTERNAL, L"稀疏文件的数据多于数据段表");
    const SparseSegment& segment = segments_[segment_];
    if (inSegment_ == 0) {
      Outcome hole = WriteZeros(out, segment.offset - position_);
      if (!hole.ok()) return hole;
    }
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(size, segment.length - inSegment_));
    Outcome written = out.Append(data, take);
    if (!written.ok()) return written;
    data += take;
    size -= take;
    inSegment_ += take;
    position_ += take;
    if (inSegment_ == segment.length) {
      ++segment_;
      inSegment_ = 0;
    }
  }
  return Outcome::Ok();
}

Outcome SparseFileWriter::Finish(OutputTree& out) { return WriteZeros(out, realSize_ - position_); }

}  // namespace quennet
