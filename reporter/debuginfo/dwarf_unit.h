// Units of .debug_info (DWARF 2 to 5, 32-bit DWARF) and the values of their attributes in
// every form. A form this reader has no use for is still stepped over exactly, so the DIEs
// after it stay readable; a form it does not know ends the unit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "debuginfo/byte_cursor.h"
#include "debuginfo/dwarf_abbrev.h"
#include "debuginfo/dwarf_sections.h"

namespace orlent::debuginfo {

// DW_TAG_* and DW_AT_* the readers use.
enum : uint16_t {
  kTagCompileUnit = 0x11,
  kTagPartialUnit = 0x3c,
  kTagSkeletonUnit = 0x4a,
  kTagSubprogram = 0x2e,
  kTagInlinedSubroutine = 0x1d,
  kTagEntryPoint = 0x03,

  kAtName = 0x03,
  kAtStmtList = 0x10,
  kAtLowPc = 0x11,
  kAtHighPc = 0x12,
  kAtCompDir = 0x1b,
  kAtAbstractOrigin = 0x31,
  kAtDeclaration = 0x3c,
  kAtDeclarationRef = 0x47,  // the declaration a definition completes (a member function's)
  kAtEntryPc = 0x52,
  kAtRanges = 0x55,
  kAtCallFile = 0x58,
  kAtCallLine = 0x59,
  kAtLinkageName = 0x6e,
  kAtStrOffsetsBase = 0x72,
  kAtAddrBase = 0x73,
  kAtRnglistsBase = 0x74,
  kAtMipsLinkageName = 0x2007,
  kAtGnuRangesBase = 0x2132,
  kAtGnuAddrBase = 0x2133,
};

struct UnitHeader {
  uint64_t offset = 0;     // of the unit in .debug_info
  uint64_t end = 0;        // one past its last byte
  uint64_t diesOffset = 0; // of its first DIE
  uint64_t abbrevOffset = 0;
  uint8_t unitType = 0;    // DW_UT_*; DWARF 2 to 4 units count as compile units
  UnitBases bases;
};

enum class UnitHeaderStatus {
  kOk,
  kSkip,  // a unit this reader does not read (64-bit DWARF, a type unit, an unknown version);
          // `end` says where the next one starts
  kStop,  // the section's remaining bytes are not units
};

UnitHeaderStatus ReadUnitHeader(ByteSpan info, uint64_t offset, UnitHeader* header);

// One attribute's value. What it means depends on the form's class.
struct AttributeValue {
  enum class Kind {
    kNone,       // a form without a value the readers use (blocks, expressions, data16)
    kUnsigned,   // constants, flags, section offsets
    kSigned,     // sdata, implicit_const
    kAddress,    // addr, or addrx resolved
    kString,     // string, strp, line_strp, strx resolved
    kReference,  // a DIE: absolute offset in .debug_info
    kRangesIndex // rnglistx
  };
  Kind kind = Kind::kNone;
  uint16_t form = 0;
  uint64_t number = 0;
  std::string_view text;

  bool isConstant() const { return kind == Kind::kUnsigned || kind == Kind::kSigned; }
};

// Reads the value of `attribute` at the cursor, which is left after it. False (and the cursor
// failed) on a form it cannot step over.
bool ReadAttribute(ByteCursor* at, const AbbrevAttribute& attribute, const UnitHeader& unit,
                   const DwarfSections& sections, AttributeValue* value);

}  // namespace orlent::debuginfo
