#include "tar_headers.h"

#include <cstring>

namespace quennet {
namespace {

// Field offsets and lengths of the ustar header.
constexpr std::size_t kNameAt = 0, kNameLength = 100;
constexpr std::size_t kSizeAt = 124, kSizeLength = 12;
constexpr std::size_t kChecksumAt = 148, kChecksumLength = 8;
constexpr std::size_t kTypeAt = 156;
constexpr std::size_t kMagicAt = 257;
constexpr std::size_t kPrefixAt = 345, kPrefixLength = 155;

std::string Field(const std::uint8_t* block, std::size_t at, std::size_t length) {
  const char* begin = reinterpret_cast<const char*>(block + at);
  const void* nul = std::memchr(begin, 0, length);
  return std::string(begin, nul ? static_cast<const char*>(nul) - begin : length);
}

// Octal digits padded with spaces or NULs, or GNU's base-256 form (high bit of the first byte)
// for numbers that do not fit.
bool ParseNumber(const std::uint8_t* field, std::size_t length, std::uint64_t* value) {
  *value = 0;
  if (field[0] & 0x80) {
    if (field[0] != 0x80) return false;  // negative, or more than 64 bits
    for (std::size_t i = 1; i < length; ++i) {
      if (*value >> 56) return false;
      *value = (*value << 8) | field[i];
    }
    return true;
  }
  std::size_t i = 0;
  while (i < length && field[i] == ' ') ++i;
  bool digits = false;
  for (; i < length && field[i] >= '0' && field[i] <= '7'; ++i) {
    if (*value >> 61) return false;
    *value = (*value << 3) | static_cast<std::uint64_t>(field[i] - '0');
    digits = true;
  }
  for (; i < length; ++i)
    if (field[i] != ' ' && field[i] != 0) return false;
  return digits;
}

bool TakeSparseRecord(const std::string& key, const std::string& value, PaxOverrides* overrides) {
  overrides->sparse = true;
  std::uint64_t number = 0;
  if (key == "major" || key == "minor" || key == "realsize") {
    if (!ParseDecimal(value, &number)) return false;
    (key == "major" ? overrides->sparseMajor
                    : key == "minor" ? overrides->sparseMinor : overrides->sparseRealSize) = number;
  } else if (key == "name") {
    overrides->sparseName = value;
  }
  return true;
}

}  // namespace

TarHeaderResult ParseTarHeader(const std::uint8_t* block, TarHeader* header) {
  bool allZero = true;
  for (std::size_t i = 0; i < kTarBlock && allZero; ++i) allZero = block[i] == 0;
  if (allZero) return TarHeaderResult::kEndOfArchive;

  std::uint64_t stored = 0;
  if (!ParseNumber(block + kChecksumAt, kChecksumLength, &stored))
    return TarHeaderResult::kBadChecksum;
  // The sum counts the checksum field as spaces; old writers summed signed bytes.
  std::uint64_t unsignedSum = 0;
  std::int64_t signedSum = 0;
  for (std::size_t i = 0; i < kTarBlock; ++i) {
    const bool inChecksum = i >= kChecksumAt && i < kChecksumAt + kChecksumLength;
    const std::uint8_t byte = inChecksum ? ' ' : block[i];
    unsignedSum += byte;
    signedSum += static_cast<std::int8_t>(byte);
  }
  if (stored != unsignedSum && static_cast<std::int64_t>(stored) != signedSum)
    return TarHeaderResult::kBadChecksum;

  if (!ParseNumber(block + kSizeAt, kSizeLength, &header->size)) return TarHeaderResult::kBadNumber;
  header->type = static_cast<char>(block[kTypeAt]);
  header->name = Field(block, kNameAt, kNameLength);
  // Only POSIX ustar has a prefix field; GNU's "ustar  " keeps other things there.
  if (std::memcmp(block + kMagicAt, "ustar\0", 6) == 0) {
    const std::string prefix = Field(block, kPrefixAt, kPrefixLength);
    if (!prefix.empty()) header->name = prefix + "/" + header->name;
  }
  return TarHeaderResult::kEntry;
}

bool ParsePaxRecords(const std::string& records, PaxOverrides* overrides) {
  std::size_t at = 0;
  while (at < records.size()) {
    if (records[at] == '\0') break;  // some writers pad the block
    std::size_t length = 0;
    std::size_t i = at;
    for (; i < records.size() && records[i] >= '0' && records[i] <= '9'; ++i) {
      if (length > records.size()) return false;
      length = length * 10 + static_cast<std::size_t>(records[i] - '0');
    }
    if (i == at || i >= records.size() || records[i] != ' ' || length <= i - at + 1 ||
        length > records.size() - at || records[at + length - 1] != '\n')
      return false;
    const std::string record = records.substr(i + 1, at + length - 1 - (i + 1));
    at += length;
    const std::size_t equals = record.find('=');
    if (equals == std::string::npos) return false;
    const std::string key = record.substr(0, equals);
    const std::string value = record.substr(equals + 1);
    if (key == "path") {
      overrides->path = value;
    } else if (key == "size") {
      std::uint64_t size = 0;
      if (!ParseDecimal(value, &size)) return false;
      overrides->size = size;
    } else if (key.rfind("GNU.sparse.", 0) == 0) {
      if (!TakeSparseRecord(key.substr(11), value, overrides)) return false;
    }
  }
  return true;
}

bool ParseDecimal(std::string_view text, std::uint64_t* value) {
  *value = 0;
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9' || *value > (~std::uint64_t{0} - 9) / 10) return false;
    *value = *value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

}  // namespace quennet
