// One ZIP entry's data as it streams past: stored bytes or raw deflate, with its CRC-32, and a
// refusal as soon as it grows past the size it declared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "inflater.h"
#include "output_tree.h"

namespace quennet {

class ZipEntryData {
 public:
  static constexpr std::uint64_t kUnknown = ~std::uint64_t{0};

  explicit ZipEntryData(OutputTree& out) : out_(out) {}

  // `folder` entries write nothing and must not produce a byte. `compressedSize` is kUnknown
  // only for deflate, whose stream marks its own end; `declaredSize` is kUnknown when the
  // archive has not said it yet (data descriptor, no directory read ahead).
  Outcome Begin(std::uint16_t method, bool folder, std::uint64_t compressedSize,
                std::uint64_t declaredSize, const std::wstring& entryName);

  // Takes this entry's bytes from the front of the piece, and no more.
  Outcome Take(const std::uint8_t** data, std::size_t* size);

  bool ended() const { return ended_; }
  std::uint32_t crc() const { return crc_; }
  std::uint64_t compressed() const { return compressed_; }
  std::uint64_t produced() const { return produced_; }

 private:
  Outcome Produced(const std::uint8_t* bytes, std::size_t count, bool inOutputRoom);
  Outcome TakeDeflated(const std::uint8_t** data, std::size_t* size, std::size_t take);

  OutputTree& out_;
  Inflater inflater_{Inflater::Framing::kRawDeflate};
  std::uint16_t method_ = 0;
  bool folder_ = false;
  std::uint64_t compressedLimit_ = 0;
  std::uint64_t declaredSize_ = kUnknown;
  std::wstring entryName_;
  bool ended_ = false;
  std::uint32_t crc_ = 0;
  std::uint64_t compressed_ = 0;
  std::uint64_t produced_ = 0;
};

}  // namespace quennet
