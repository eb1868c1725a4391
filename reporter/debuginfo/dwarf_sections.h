// The DWARF sections of one file and the indirections between them (string offsets, address
// table, range lists), each read bounds-checked: a wrong offset yields nothing, never a read
// outside the section.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "debuginfo/byte_cursor.h"
#include "debuginfo/pe_image.h"

namespace orlent::debuginfo {

struct DwarfSections {
  ByteSpan info, abbrev, aranges, line, str, lineStr, strOffsets, addr, ranges, rnglists;
  uint32_t imageBase = 0;  // DWARF addresses are virtual addresses: this makes them RVAs

  static DwarfSections From(const PeImage& image);
};

// A half-open range of RVAs.
struct RvaRange {
  uint32_t low = 0;
  uint32_t high = 0;
};

// What the unit's own DIE says that the rest of the unit is read with.
struct UnitBases {
  uint8_t addressSize = 4;
  uint16_t version = 0;
  uint64_t strOffsetsBase = 0;
  uint64_t addrBase = 0;
  uint64_t rnglistsBase = 0;
  uint64_t baseAddress = 0;  // the unit's DW_AT_low_pc, the base of its range lists
};

// The string at `offset` of a string section; empty when the offset is outside it.
std::string_view StringAt(ByteSpan section, uint64_t offset);
// A DW_FORM_strx* index through .debug_str_offsets into .debug_str.
std::string_view IndexedString(const DwarfSections& s, const UnitBases& bases, uint64_t index);
// A DW_FORM_addrx* index through .debug_addr.
std::optional<uint64_t> IndexedAddress(const DwarfSections& s, const UnitBases& bases,
                                       uint64_t index);

// An address as an RVA; nothing for addresses outside the image (a discarded function's
// code is given address 0).
std::optional<uint32_t> ToRva(const DwarfSections& s, uint64_t address);

// The ranges of a DW_AT_ranges value: an offset into .debug_ranges (DWARF 2 to 4) or
// .debug_rnglists (5), or with `isIndex` a DW_FORM_rnglistx index. At most `limit` ranges;
// empty ones and those outside the image are dropped.
std::vector<RvaRange> ReadRanges(const DwarfSections& s, const UnitBases& bases, uint64_t value,
                                 bool isIndex, size_t limit = 4096);

}  // namespace orlent::debuginfo
