#include "debuginfo/pe_image.h"

#include <algorithm>
#include <cstring>

namespace orlent::debuginfo {
namespace {

constexpr uint16_t kDosMagic = 0x5A4D;       // "MZ"
constexpr uint32_t kPeSignature = 0x4550;    // "PE\0\0"
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kMaxSections = 96;
constexpr uint32_t kCoffSymbolSize = 18;
constexpr uint32_t kDebugDirectoryIndex = 6;
constexpr uint32_t kDebugTypeCodeView = 2;
constexpr uint32_t kRsdsSignature = 0x53445352;  // "RSDS"
constexpr size_t kMaxNameLength = 1024;

std::string NameFromStringTable(ByteSpan strings, uint64_t offset) {
  ByteCursor cursor(strings, offset);
  const std::string_view name = cursor.CString();
  return cursor.ok() ? std::string(name.substr(0, kMaxNameLength)) : std::string();
}

// "/123": an offset into the COFF string table, written by GNU ld for names past 8 bytes.
std::string SectionName(const uint8_t (&raw)[8], ByteSpan strings) {
  const size_t length = std::find(raw, raw + 8, 0) - raw;
  std::string name(reinterpret_cast<const char*>(raw), length);
  if (name.size() > 1 && name[0] == '/' &&
      std::all_of(name.begin() + 1, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return NameFromStringTable(strings, std::stoul(name.substr(1)));
  return name;
}

}  // namespace

std::optional<PeImage> PeImage::Parse(ByteSpan file) {
  ByteCursor dos(file);
  if (dos.U16() != kDosMagic) return std::nullopt;
  dos.Seek(0x3C);
  const uint32_t ntAt = dos.U32();
  ByteCursor nt(file, ntAt);
  if (nt.U32() != kPeSignature || !nt.ok()) return std::nullopt;

  PeImage image;
  image.file_ = file;
  nt.U16();  // machine
  const uint16_t sectionCount = nt.U16();
  image.timeDateStamp_ = nt.U32();
  const uint32_t symbolTableAt = nt.U32();
  const uint32_t symbolCount = nt.U32();
  const uint16_t optionalSize = nt.U16();
  nt.U16();  // characteristics
  const uint64_t optionalAt = nt.offset();
  if (!nt.ok() || sectionCount > kMaxSections || nt.U16() != kPe32Magic) return std::nullopt;
  nt.Seek(optionalAt + 28);
  image.imageBase_ = nt.U32();
  nt.Seek(optionalAt + 56);
  image.sizeOfImage_ = nt.U32();
  nt.Seek(optionalAt + 92);
  const uint32_t directoryCount = nt.U32();
  uint32_t debugRva = 0, debugSize = 0;
  if (directoryCount > kDebugDirectoryIndex && 96 + 8 * (kDebugDirectoryIndex + 1) <= optionalSize) {
    nt.Seek(optionalAt + 96 + 8 * kDebugDirectoryIndex);
    debugRva = nt.U32();
    debugSize = nt.U32();
  }
  if (!nt.ok()) return std::nullopt;

  // A stripped file keeps no symbols but still the string table after them, where long
  // section names (".gnu_debuglink") are.
  if (symbolTableAt != 0 && uint64_t{symbolCount} * kCoffSymbolSize <= file.size) {
    image.coffSymbols_ = file.Sub(symbolTableAt, uint64_t{symbolCount} * kCoffSymbolSize);
    const uint64_t stringsAt = uint64_t{symbolTableAt} + uint64_t{symbolCount} * kCoffSymbolSize;
    ByteCursor strings(file, stringsAt);
    const uint32_t stringsSize = strings.U32();
    if (strings.ok() && stringsSize >= 4) image.coffStrings_ = file.Sub(stringsAt, stringsSize);
    if (image.coffSymbols_.empty() && symbolCount != 0) image.coffStrings_ = {};
  }

  ByteCursor headers(file, optionalAt + optionalSize);
  for (uint16_t i = 0; i < sectionCount; ++i) {
    const ByteSpan raw = headers.Take(40);
    if (!headers.ok()) return std::nullopt;
    ByteCursor field(raw, 8);
    uint8_t name[8];
    std::memcpy(name, raw.data, 8);
    PeSection section;
    section.name = SectionName(name, image.coffStrings_);
    section.virtualSize = field.U32();
    section.rva = field.U32();
    section.fileSize = field.U32();
    section.fileOffset = field.U32();
    field.Seek(36);
    section.characteristics = field.U32();
    image.sections_.push_back(std::move(section));
  }

  // The debug directory lies inside a section; its CodeView entry points at the file's bytes.
  if (debugSize >= 28) {
    if (const PeSection* holder = image.SectionOfRva(debugRva)) {
      ByteCursor entries(image.SectionData(*holder), debugRva - holder->rva);
      for (uint32_t n = 0; n < debugSize / 28 && entries.ok(); ++n) {
        entries.Skip(12);
        const uint32_t type = entries.U32();
        const uint32_t size = entries.U32();
        entries.U32();  // address of raw data
        const uint32_t pointer = entries.U32();
        if (!entries.ok() || type != kDebugTypeCodeView || size < 24) continue;
        ByteCursor record(file.Sub(pointer, size));
        if (record.U32() != kRsdsSignature) continue;
        CodeViewRecord codeView;
        const ByteSpan guid = record.Take(16);
        codeView.age = record.U32();
        if (!record.ok()) continue;
        std::memcpy(codeView.guid, guid.data, 16);
        const std::string_view pdb = record.CString();
        if (record.ok()) codeView.pdbName = std::string(pdb.substr(0, kMaxNameLength));
        image.codeView_ = std::move(codeView);
        break;
      }
    }
  }
  return image;
}

const PeSection* PeImage::Section(std::string_view name) const {
  for (const PeSection& section : sections_)
    if (section.name == name) return &section;
  // Stripping cuts long names to the header's eight bytes (".eh_fram"): strip, ld -s and
  // ld --strip-debug all do that to the call frame information, string table or not.
  if (name.size() > 8)
    for (const PeSection& section : sections_)
      if (section.name == name.substr(0, 8)) return &section;
  return nullptr;
}

const PeSection* PeImage::SectionOfRva(uint32_t rva) const {
  for (const PeSection& section : sections_) {
    const uint32_t size = std::max(section.virtualSize, section.fileSize);
    if (rva >= section.rva && rva - section.rva < size) return &section;
  }
  return nullptr;
}

ByteSpan PeImage::SectionData(const PeSection& section) const {
  // The file's copy is padded to the file alignment; the virtual size is the section's own,
  // except in objects where it is left zero.
  uint32_t size = section.fileSize;
  if (section.virtualSize != 0 && section.virtualSize < size) size = section.virtualSize;
  return file_.Sub(section.fileOffset, size);
}

ByteSpan PeImage::SectionData(std::string_view name) const {
  const PeSection* section = Section(name);
  return section != nullptr ? SectionData(*section) : ByteSpan{};
}

std::optional<DebugLink> PeImage::debugLink() const {
  ByteCursor link(SectionData(".gnu_debuglink"));
  const std::string_view name = link.CString();
  if (!link.ok() || name.empty()) return std::nullopt;
  link.Seek((link.offset() + 3) & ~uint64_t{3});
  DebugLink result;
  result.fileName = std::string(name.substr(0, kMaxNameLength));
  result.crc = link.U32();
  if (!link.ok()) return std::nullopt;
  return result;
}

bool PeImage::HasDwarf() const {
  return !SectionData(".debug_info").empty() || !SectionData(".debug_line").empty();
}

}  // namespace orlent::debuginfo
