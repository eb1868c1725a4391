#include "zip_records.h"

#include <zlib.h>

#include "entry_name.h"
#include "little_endian.h"
#include "quennet.h"

namespace quennet {
namespace {

constexpr std::uint32_t kNeedsZip64 = 0xFFFFFFFF;
constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint16_t kUnicodePathExtraId = 0x7075;
constexpr std::uint8_t kHostUnix = 3;

// Extra fields written by Unix tools only: PKWARE Unix, Info-ZIP's Unix uid/gid fields.
bool IsUnixExtra(std::uint16_t id) {
  return id == 0x000D || id == 0x5855 || id == 0x7855 || id == 0x7875;
}

// Version 1, the CRC-32 of the name in the header, then the name in UTF-8.
void TakeUnicodePath(const std::uint8_t* value, std::size_t size, ZipEntryFields* fields) {
  if (size <= 5 || value[0] != 1) return;
  const std::uint32_t nameCrc = static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(fields->rawName.data()),
            static_cast<uInt>(fields->rawName.size())));
  if (Le32(value + 1) != nameCrc) return;
  fields->unicodePathName.emplace(reinterpret_cast<const char*>(value + 5), size - 5);
}

// Walks the extra fields: the Unicode Path and Unix ones are noted; from the ZIP64 one a 64-bit
// value is taken, in the order the format gives, for each of the fields that asked for one.
void ApplyExtraFields(const std::uint8_t* extra, std::size_t length, bool allSizes,
                      ZipEntryFields* fields, std::uint64_t* localOffset,
                      std::uint32_t* diskNumber) {
  std::size_t at = 0;
  bool sawZip64 = false;
  while (at + 4 <= length) {
    const std::uint16_t id = Le16(extra + at);
    const std::uint16_t size = Le16(extra + at + 2);
    const std::uint8_t* value = extra + at + 4;
    if (at + 4 + size > length) return;
    at += 4 + size;
    if (IsUnixExtra(id)) fields->unixExtra = true;
    if (id == kUnicodePathExtraId) TakeUnicodePath(value, size, fields);
    if (id != kZip64ExtraId || sawZip64) continue;
    sawZip64 = true;
    fields->zip64 = true;
    std::size_t used = 0;
    auto take64 = [&](std::uint64_t* into) {
      if (used + 8 > size) return;
      *into = Le64(value + used);
      used += 8;
    };
    // A local header's ZIP64 field holds both sizes; a central record's only those marked.
    if (allSizes || fields->size == kNeedsZip64) {
      std::uint64_t size64 = fields->size;
      take64(&size64);
      if (fields->size == kNeedsZip64) fields->size = size64;
    }
    if (allSizes || fields->compressedSize == kNeedsZip64) {
      std::uint64_t compressed64 = fields->compressedSize;
      take64(&compressed64);
      if (fields->compressedSize == kNeedsZip64) fields->compressedSize = compressed64;
    }
    if (localOffset != nullptr && *localOffset == kNeedsZip64) take64(localOffset);
    if (diskNumber != nullptr && *diskNumber == 0xFFFF && used + 4 <= size)
      *diskNumber = Le32(value + used);
  }
}

}  // namespace

std::size_t ZipLocalVariableSize(const std::uint8_t* fixed) {
  return std::size_t{Le16(fixed + 26)} + Le16(fixed + 28);
}

std::size_t ZipCentralVariableSize(const std::uint8_t* fixed) {
  return std::size_t{Le16(fixed + 28)} + Le16(fixed + 30) + Le16(fixed + 32);
}

ZipEntryFields ParseZipLocalHeader(const std::uint8_t* record) {
  ZipEntryFields fields;
  fields.flags = Le16(record + 6);
  fields.method = Le16(record + 8);
  fields.crc = Le32(record + 14);
  fields.compressedSize = Le32(record + 18);
  fields.size = Le32(record + 22);
  const std::size_t nameLength = Le16(record + 26);
  const std::size_t extraLength = Le16(record + 28);
  fields.rawName.assign(reinterpret_cast<const char*>(record + kZipLocalFixedSize), nameLength);
  ApplyExtraFields(record + kZipLocalFixedSize + nameLength, extraLength, true, &fields, nullptr,
                  nullptr);
  return fields;
}

ZipCentralRecord ParseZipCentralRecord(const std::uint8_t* record) {
  ZipCentralRecord fields;
  fields.madeBy = Le16(record + 4);
  fields.flags = Le16(record + 8);
  fields.method = Le16(record + 10);
  fields.crc = Le32(record + 16);
  fields.compressedSize = Le32(record + 20);
  fields.size = Le32(record + 24);
  const std::size_t nameLength = Le16(record + 28);
  const std::size_t extraLength = Le16(record + 30);
  fields.diskNumber = Le16(record + 34);
  fields.externalAttributes = Le32(record + 38);
  fields.localOffset = Le32(record + 42);
  fields.rawName.assign(reinterpret_cast<const char*>(record + kZipCentralFixedSize), nameLength);
  ApplyExtraFields(record + kZipCentralFixedSize + nameLength, extraLength, false, &fields,
                  &fields.localOffset, &fields.diskNumber);
  return fields;
}

bool DecodeZipName(const ZipEntryFields& fields, bool madeOnUnix, std::wstring* name) {
  if (fields.unicodePathName && DecodeEntryName(*fields.unicodePathName, NameEncoding::kUtf8, name))
    return true;
  if (fields.flags & kZipFlagUtf8Name) return DecodeEntryName(fields.rawName, NameEncoding::kUtf8, name);
  return DecodeEntryName(fields.rawName,
                         madeOnUnix ? NameEncoding::kUtf8Or936 : NameEncoding::kCodePage936, name);
}

bool MadeOnUnix(const ZipCentralRecord& record) {
  return (record.madeBy >> 8) == kHostUnix || record.unixExtra;
}

Outcome CheckZipEntrySupported(const ZipEntryFields& fields, const std::wstring& name) {
  if (fields.flags & (kZipFlagEncrypted | kZipFlagStrongEncryption | kZipFlagMaskedHeaders))
    return Outcome::Fail(QUENNET_E_UNSUPPORTED_FORMAT,
                         L"条目“" + name + L"”已加密，不支持解压加密的压缩包");
  if (fields.method != kZipStored && fields.method != kZipDeflated)
    return Outcome::Fail(QUENNET_E_UNSUPPORTED_FORMAT,
                         L"条目“" + name + L"”使用了不支持的压缩方法 " +
                             std::to_wstring(fields.method) + L"（只支持存储和 deflate）");
  return Outcome::Ok();
}

bool IsZipLink(const ZipCentralRecord& record) {
  const std::uint32_t unixMode = record.externalAttributes >> 16;
  return (unixMode & 0170000) == 0120000;
}

ZipEndValues ParseZipEnd(const std::uint8_t* record) {
  ZipEndValues values;
  values.diskNumber = Le16(record + 4);
  values.directoryDisk = Le16(record + 6);
  values.entriesOnDisk = Le16(record + 8);
  values.entries = Le16(record + 10);
  values.directorySize = Le32(record + 12);
  values.directoryOffset = Le32(record + 16);
  values.commentLength = Le16(record + 20);
  values.needsZip64 = values.diskNumber == 0xFFFF || values.directoryDisk == 0xFFFF ||
                      values.entriesOnDisk == 0xFFFF || values.entries == 0xFFFF ||
                      values.directorySize == kNeedsZip64 || values.directoryOffset == kNeedsZip64;
  return values;
}

void ApplyZip64End(const std::uint8_t* record, ZipEndValues* values) {
  values->diskNumber = Le32(record + 16);
  values->directoryDisk = Le32(record + 20);
  values->entriesOnDisk = Le64(record + 24);
  values->entries = Le64(record + 32);
  values->directorySize = Le64(record + 40);
  values->directoryOffset = Le64(record + 48);
}

}  // namespace quennet
