#include "zip_entry_data.h"

#include <zlib.h>

#include <algorithm>

#include "quennet.h"
#include "zip_records.h"

namespace quennet {
namespace {

Outcome Damaged(const std::wstring& entryName, const std::wstring& what) {
  return Outcome::Fail(QUENNET_E_CORRUPT_ARCHIVE, L"条目“" + entryName + L"”的数据已损坏：" + what);
}

}  // namespace

Outcome ZipEntryData::Begin(std::uint16_t method, bool folder, std::uint64_t compressedSize,
                            std::uint64_t declaredSize, const std::wstring& entryName) {
  method_ = method;
  folder_ = folder;
  compressedLimit_ = compressedSize;
  declaredSize_ = declaredSize;
  entryName_ = entryName;
  crc_ = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
  compressed_ = 0;
  produced_ = 0;
  ended_ = false;
  if (method_ == kZipStored) {
    ended_ = compressedLimit_ == 0;
    if (declaredSize_ != kUnknown && declaredSize_ != compressedLimit_)
      return Damaged(entryName_, L"存储条目的压缩前后大小不一致");
    return Outcome::Ok();
  }
  if (!inflater_.ready())
    return Outcome::Fail(QUENNET_E_INTERNAL, L"内存不足，无法初始化解压（zlib inflateInit2）");
  inflater_.Reset();
  if (compressedLimit_ == 0) return Damaged(entryName_, L"deflate 数据为空");
  return Outcome::Ok();
}

Outcome ZipEntryData::Produced(const std::uint8_t* bytes, std::size_t count, bool inOutputRoom) {
  if (count == 0) return Outcome::Ok();
  if (folder_) return Damaged(entryName_, L"文件夹条目带有内容");
  produced_ += count;
  if (declaredSize_ != kUnknown && produced_ > declaredSize_)
    return Outcome::Fail(QUENNET_E_REFUSED_ENTRY,
                         L"拒绝解压条目“" + entryName_ + L"”：解压后的数据超过了声明的大小 " +
                             std::to_wstring(declaredSize_) + L" 字节");
  crc_ = static_cast<std::uint32_t>(crc32(crc_, bytes, static_cast<uInt>(count)));
  return inOutputRoom ? out_.Advance(count) : out_.Append(bytes, count);
}

Outcome ZipEntryData::Take(const std::uint8_t** data, std::size_t* size) {
  const std::size_t take =
      static_cast<std::size_t>(std::min<std::uint64_t>(*size, compressedLimit_ - compressed_));
  if (method_ == kZipStored) {
    Outcome written = Produced(*data, take, false);
    *data += take;
    *size -= take;
    compressed_ += take;
    ended_ = compressed_ == compressedLimit_;
    return written;
  }
  return TakeDeflated(data, size, take);
}

Outcome ZipEntryData::TakeDeflated(const std::uint8_t** data, std::size_t* size, std::size_t take) {
  z_stream& stream = inflater_.stream();
  stream.next_in = const_cast<Bytef*>(*data);
  stream.avail_in = static_cast<uInt>(take);
  std::uint8_t folderScratch[64];
  int result = Z_OK;
  for (;;) {
    std::size_t room = sizeof folderScratch;
    std::uint8_t* at = folder_ ? folderScratch : out_.Room(&room);
    stream.next_out = at;
    stream.avail_out = static_cast<uInt>(room);
    result = inflate(&stream, Z_NO_FLUSH);
    Outcome produced = Produced(at, room - stream.avail_out, !folder_);
    if (!produced.ok()) return produced;
    if (result == Z_STREAM_END) break;
    if (result != Z_OK && result != Z_BUF_ERROR)
      return Damaged(entryName_, L"deflate 解压失败（" + inflater_.Message(result) + L"）");
    if (stream.avail_in == 0 && stream.avail_out != 0) break;
  }
  const std::size_t used = take - stream.avail_in;
  *data += used;
  *size -= used;
  compressed_ += used;
  if (result == Z_STREAM_END) {
    ended_ = true;
    if (compressedLimit_ != kUnknown && compressed_ != compressedLimit_)
      return Damaged(entryName_, L"deflate 数据在声明的压缩大小之前结束");
  } else if (compressed_ == compressedLimit_) {
    return Damaged(entryName_, L"压缩数据在 deflate 流结束之前用完");
  }
  return Outcome::Ok();
}

}  // namespace quennet
