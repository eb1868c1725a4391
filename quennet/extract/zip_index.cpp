#include "zip_index.h"

#include <algorithm>

#include "entry_gate.h"
#include "entry_name.h"
#include "little_endian.h"
#include "quennet.h"

namespace quennet {
namespace {

Outcome Damaged(const std::wstring& what) {
  return Outcome::Fail(QUENNET_E_CORRUPT_ARCHIVE, L"压缩包的中央目录已损坏：" + what);
}

// The end record nearest the end whose comment reaches to the end, or to zeros that run to the
// end: writers that pad their output to whole blocks (bsdtar into a pipe) add those.
bool FindEndRecord(const std::uint8_t* data, std::size_t size, std::size_t* at) {
  if (size < kZipEndFixedSize) return false;
  std::size_t padded = size;  // where the zeros at the end begin
  while (padded > 0 && data[padded - 1] == 0) --padded;
  const std::size_t last = size - kZipEndFixedSize;
  // The comment may take up to 0xFFFF bytes and the padding whatever the tail holds.
  const std::size_t lowest = padded > kZipEndFixedSize + 0xFFFF ? padded - kZipEndFixedSize - 0xFFFF
                                                               : 0;
  for (std::size_t pos = last + 1; pos-- > lowest;) {
    if (Le32(data + pos) != kZipEndSignature) continue;
    const std::size_t commentEnd = pos + kZipEndFixedSize + Le16(data + pos + 20);
    if (commentEnd == size || (commentEnd >= padded && commentEnd <= size)) {
      *at = pos;
      return true;
    }
  }
  return false;
}

}  // namespace

const ZipCentralRecord* ZipIndex::AtLocalOffset(std::uint64_t offset) const {
  auto it = std::lower_bound(byLocalOffset.begin(), byLocalOffset.end(),
                             std::make_pair(offset, std::size_t{0}));
  if (it == byLocalOffset.end() || it->first != offset) return nullptr;
  return &records[it->second];
}

Outcome ReadZipIndexFromTail(const std::uint8_t* data, std::size_t size, std::uint64_t offset,
                             std::uint64_t packageSize, ZipIndex* index, ByteRange* needed,
                             ZipTailResult* result) {
  *result = ZipTailResult::kNoIndex;
  *needed = ByteRange{};
  if (offset + size != packageSize) return Outcome::Ok();
  std::size_t endAt = 0;
  if (!FindEndRecord(data, size, &endAt)) return Outcome::Ok();

  ZipEndValues end = ParseZipEnd(data + endAt);
  std::uint64_t directoryLimit = offset + endAt;  // the directory ends before the end records
  if (endAt >= kZip64LocatorSize && Le32(data + endAt - kZip64LocatorSize) == kZip64LocatorSignature) {
    const std::uint64_t zip64At = Le64(data + endAt - kZip64LocatorSize + 8);
    if (zip64At < offset) {
      *needed = ByteRange{zip64At, packageSize - zip64At};
    } else if (zip64At - offset + kZip64EndFixedSize > endAt - kZip64LocatorSize ||
               Le32(data + (zip64At - offset)) != kZip64EndSignature) {
      return Damaged(L"ZIP64 结尾记录的位置不对");
    } else {
      ApplyZip64End(data + (zip64At - offset), &end);
      directoryLimit = zip64At;
    }
  } else if (end.needsZip64) {
    return Damaged(L"缺少 ZIP64 结尾记录");
  }
  if (end.diskNumber != 0 || end.directoryDisk != 0)
    return Outcome::Fail(QUENNET_E_UNSUPPORTED_FORMAT, L"不支持分卷压缩包");

  const std::uint64_t directoryStart = end.directoryOffset;
  if (needed->length == 0 &&
      (directoryStart > directoryLimit || end.directorySize != directoryLimit - directoryStart))
    return Damaged(L"中央目录的位置或大小与结尾记录不符");
  const std::uint64_t rangeStart = std::min(directoryStart, needed->length ? needed->offset
                                                                            : directoryStart);
  if (rangeStart < offset) {
    if (rangeStart > packageSize || packageSize - rangeStart > kZipLargestIndex) {
      *needed = ByteRange{};
      return Outcome::Ok();  // too large to read ahead: the body's directory is checked instead
    }
    *needed = ByteRange{rangeStart, packageSize - rangeStart};
    *result = ZipTailResult::kNeedRange;
    return Outcome::Ok();
  }

  index->records.clear();
  index->byLocalOffset.clear();
  index->directoryOffset = directoryStart;
  index->directorySize = end.directorySize;
  const std::uint8_t* at = data + (directoryStart - offset);
  const std::uint8_t* limit = at + end.directorySize;
  while (at < limit) {
    if (static_cast<std::size_t>(limit - at) < kZipCentralFixedSize ||
        Le32(at) != kZipCentralSignature)
      return Damaged(L"中央目录记录 " + std::to_wstring(index->records.size() + 1) + L" 无效");
    const std::size_t recordSize = kZipCentralFixedSize + ZipCentralVariableSize(at);
    if (recordSize > static_cast<std::size_t>(limit - at))
      return Damaged(L"中央目录记录超出了目录的范围");
    index->records.push_back(ParseZipCentralRecord(at));
    at += recordSize;
  }
  if (index->records.size() != end.entries || end.entriesOnDisk != end.entries)
    return Damaged(L"结尾记录说有 " + std::to_wstring(end.entries) + L" 个条目，目录里有 " +
                   std::to_wstring(index->records.size()) + L" 个");
  for (std::size_t i = 0; i < index->records.size(); ++i)
    index->byLocalOffset.emplace_back(index->records[i].localOffset, i);
  std::sort(index->byLocalOffset.begin(), index->byLocalOffset.end());
  for (std::size_t i = 1; i < index->byLocalOffset.size(); ++i)
    if (index->byLocalOffset[i].first == index->byLocalOffset[i - 1].first)
      return Damaged(L"两个条目指向同一个位置");
  *result = ZipTailResult::kComplete;
  return Outcome::Ok();
}

Outcome VetZipIndex(const ZipIndex& index, std::uint32_t* files, std::uint64_t* bytes) {
  *files = 0;
  *bytes = 0;
  EntryNameClaims claims;
  for (const ZipCentralRecord& record : index.records) {
    std::wstring name;
    if (!DecodeZipName(record, MadeOnUnix(record), &name))
      return Outcome::Fail(QUENNET_E_REFUSED_ENTRY, L"拒绝解压条目“" +
                                                        NameForPeople(record.rawName) +
                                                        L"”：名称不是有效的文本");
    std::vector<std::wstring> parts;
    std::wstring unsafe = SplitSafeEntryName(name, &parts);
    const bool folder = NamesFolder(name);
    if (unsafe.empty() && IsZipLink(record)) unsafe = L"是符号链接";
    if (unsafe.empty() && !folder && parts.empty()) unsafe = L"名称为空";
    if (!unsafe.empty())
      return Outcome::Fail(QUENNET_E_REFUSED_ENTRY, L"拒绝解压条目“" + name + L"”：" + unsafe);
    Outcome supported = CheckZipEntrySupported(record, name);
    if (!supported.ok()) return supported;
    Outcome claimed = claims.Claim(parts, folder, name);
    if (!claimed.ok()) return claimed;
    if (record.diskNumber != 0)
      return Outcome::Fail(QUENNET_E_UNSUPPORTED_FORMAT, L"不支持分卷压缩包");
    if (!folder) {
      ++*files;
      *bytes += record.size;
    }
  }
  return Outcome::Ok();
}

}  // namespace quennet
