// The parts of a PE file (a module as built, stripped, or a debug file made by objcopy
// --only-keep-debug) that debug information is found through: section headers with their long
// names, the COFF symbol table, the CodeView record and the .gnu_debuglink section. Read from
// the file's bytes, never from a loaded image: a debug file is not loadable and a stripped
// module has lost what its debug file keeps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "debuginfo/byte_cursor.h"

namespace orlent::debuginfo {

struct PeSection {
  std::string name;  // long names ("/4") resolved through the COFF string table
  uint32_t rva = 0;
  uint32_t virtualSize = 0;
  uint32_t fileOffset = 0;
  uint32_t fileSize = 0;
  uint32_t characteristics = 0;

  bool executable() const { return (characteristics & 0x20000000u) != 0; }  // MEM_EXECUTE
};

struct CodeViewRecord {
  uint8_t guid[16] = {};
  uint32_t age = 0;
  std::string pdbName;  // may be empty (GNU ld's --build-id without --pdb=)
};

struct DebugLink {
  std::string fileName;
  uint32_t crc = 0;  // CRC-32 of the whole debug file
};

class PeImage {
 public:
  // Parses the headers of the file whose bytes are `file`; nothing when they are not those of
  // a 32-bit PE file. The bytes must outlive the object.
  static std::optional<PeImage> Parse(ByteSpan file);

  uint32_t imageBase() const { return imageBase_; }
  uint32_t timeDateStamp() const { return timeDateStamp_; }
  uint32_t sizeOfImage() const { return sizeOfImage_; }
  const std::vector<PeSection>& sections() const { return sections_; }

  // By name; a long name also finds its eight-byte cut, as stripped files carry it.
  const PeSection* Section(std::string_view name) const;
  const PeSection* SectionOfRva(uint32_t rva) const;
  // The section's contents as stored in the file (without the file alignment's padding), or
  // an empty span when the file does not carry them.
  ByteSpan SectionData(const PeSection& section) const;
  ByteSpan SectionData(std::string_view name) const;

  // The COFF symbol table (18-byte records) and the string table after it; empty when
  // stripped.
  ByteSpan coffSymbols() const { return coffSymbols_; }
  ByteSpan coffStrings() const { return coffStrings_; }

  std::optional<CodeViewRecord> codeView() const { return codeView_; }
  std::optional<DebugLink> debugLink() const;

  // Whether DWARF line or unit information is present (.debug_info / .debug_line).
  bool HasDwarf() const;

 private:
  ByteSpan file_;
  uint32_t imageBase_ = 0;
  uint32_t timeDateStamp_ = 0;
  uint32_t sizeOfImage_ = 0;
  std::vector<PeSection> sections_;
  ByteSpan coffSymbols_;
  ByteSpan coffStrings_;
  std::optional<CodeViewRecord> codeView_;
};

}  // namespace orlent::debuginfo
