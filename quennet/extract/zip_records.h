// The records of a ZIP file as this library reads them: local headers, central directory
// records and the end records, with their ZIP64 forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "package_extractor.h"

namespace quennet {

constexpr std::uint32_t kZipLocalSignature = 0x04034b50;
constexpr std::uint32_t kZipCentralSignature = 0x02014b50;
constexpr std::uint32_t kZipEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kZipDescriptorSignature = 0x08074b50;
constexpr std::uint32_t kZipDigitalSignatureSignature = 0x05054b50;

constexpr std::size_t kZipLocalFixedSize = 30;
constexpr std::size_t kZipCentralFixedSize = 46;
constexpr std::size_t kZipEndFixedSize = 22;
constexpr std::size_t kZip64EndFixedSize = 56;
constexpr std::size_t kZip64LocatorSize = 20;

constexpr std::uint16_t kZipFlagEncrypted = 1 << 0;
constexpr std::uint16_t kZipFlagDataDescriptor = 1 << 3;
constexpr std::uint16_t kZipFlagStrongEncryption = 1 << 6;
constexpr std::uint16_t kZipFlagUtf8Name = 1 << 11;
constexpr std::uint16_t kZipFlagMaskedHeaders = 1 << 13;

constexpr std::uint16_t kZipStored = 0;
constexpr std::uint16_t kZipDeflated = 8;

// What a local header and a central directory record both say about an entry.
struct ZipEntryFields {
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint32_t crc = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t size = 0;
  std::string rawName;
  bool zip64 = false;  // a ZIP64 extra field was present
  // The UTF-8 name of an Info-ZIP Unicode Path extra field whose CRC-32 matches rawName (an
  // older tool that renamed the entry leaves a stale one, which is ignored).
  std::optional<std::string> unicodePathName;
  // An extra field that only tools on Unix write (Unix uid/gid, PKWARE Unix): local headers
  // carry no "made by" host, and this is how they show one.
  bool unixExtra = false;
};

struct ZipCentralRecord : ZipEntryFields {
  std::uint16_t madeBy = 0;
  std::uint32_t externalAttributes = 0;
  std::uint64_t localOffset = 0;
  std::uint32_t diskNumber = 0;
};

// Name and extra field lengths that follow a fixed part (whose first bytes are the signature).
std::size_t ZipLocalVariableSize(const std::uint8_t* fixed);
std::size_t ZipCentralVariableSize(const std::uint8_t* fixed);

// Parse a whole record (fixed part and what follows). Values held in a ZIP64 extra field
// replace the 32-bit ones marked 0xFFFFFFFF.
ZipEntryFields ParseZipLocalHeader(const std::uint8_t* record);
ZipCentralRecord ParseZipCentralRecord(const std::uint8_t* record);

// The entry's name as text: the Unicode Path field when present; UTF-8 with flag bit 11;
// without it, UTF-8 when the entry was made on Unix and the bytes are valid UTF-8 (what
// Info-ZIP and bsdtar write there), else code page 936 (what Chinese Windows tools write).
// False when the bytes are not valid text in the encoding chosen.
bool DecodeZipName(const ZipEntryFields& fields, bool madeOnUnix, std::wstring* name);

// Whether a central directory record says its entry was made on Unix.
bool MadeOnUnix(const ZipCentralRecord& record);

// UNSUPPORTED_FORMAT for encryption or a method other than stored and deflate.
Outcome CheckZipEntrySupported(const ZipEntryFields& fields, const std::wstring& name);

// A Unix symbolic link by its mode in the external attributes.
bool IsZipLink(const ZipCentralRecord& record);

// The values of an end of central directory record, with ZIP64 values filled in by the caller.
struct ZipEndValues {
  std::uint32_t diskNumber = 0;
  std::uint32_t directoryDisk = 0;
  std::uint64_t entriesOnDisk = 0;
  std::uint64_t entries = 0;
  std::uint64_t directorySize = 0;
  std::uint64_t directoryOffset = 0;
  std::uint16_t commentLength = 0;
  bool needsZip64 = false;  // some field holds its "see the ZIP64 record" value
};
ZipEndValues ParseZipEnd(const std::uint8_t* record);
// Replaces the end record's values with the ZIP64 end record's (fixed part of 56 bytes).
void ApplyZip64End(const std::uint8_t* record, ZipEndValues* values);

}  // namespace quennet
