// The functions of one unit with their code ranges, and the calls inlined into them
// (DW_TAG_subprogram and DW_TAG_inlined_subroutine): which function holds an address and
// which inlined calls it is inside.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "debuginfo/dwarf_unit.h"

namespace orlent::debuginfo {

using Deadline = std::chrono::steady_clock::time_point;

// A DIE's name as far as the DIE itself tells it; `origin` is the DIE it refers to for the
// rest (its abstract instance, or the declaration it completes; 0 for none), where the name
// may be.
struct DieName {
  std::string_view name;
  std::string_view linkageName;
  uint64_t origin = 0;
};

// What a unit's own DIE says about the unit.
struct UnitDie {
  uint16_t tag = 0;
  std::vector<RvaRange> ranges;
  bool hasStmtList = false;
  uint64_t stmtList = 0;
  std::string compDir;
  std::string name;
};

// Reads the unit's first DIE, and fills the bases (string offsets, addresses, range lists,
// the unit's base address) in `unit` that the rest of the unit is read with.
bool ReadUnitDie(const DwarfSections& sections, const AbbrevTable& abbrevs, UnitHeader* unit,
                 UnitDie* die);

// The name attributes of the DIE at `offset` (absolute in .debug_info) of `unit`.
bool ReadDieName(const DwarfSections& sections, const AbbrevTable& abbrevs,
                 const UnitHeader& unit, uint64_t offset, DieName* name);

class UnitFunctions {
 public:
  static constexpr uint32_t kNone = 0xFFFFFFFFu;

  struct Function {
    DieName name;
    uint32_t entry = 0;  // DW_AT_low_pc or DW_AT_entry_pc, else the first range's start
  };
  struct Inline {
    DieName name;
    uint32_t function = 0;  // index in functions()
    uint32_t parent = kNone;  // the inlined call this one is inside; kNone: the function
    uint32_t depth = 1;
    uint64_t callFile = 0;  // as DW_AT_call_file numbers it in the unit's line table
    uint32_t callLine = 0;
  };

  // Walks the unit's DIEs (at most `maxDies`, `maxDepth` deep, until `deadline`). What was
  // read before a fault or a limit is kept; `complete()` says whether the unit was read whole.
  static UnitFunctions Parse(const DwarfSections& sections, const AbbrevTable& abbrevs,
                             const UnitHeader& unit, Deadline deadline, size_t maxDies = 1 << 22,
                             unsigned maxDepth = 128);

  // The function whose code holds `rva`, or kNone.
  uint32_t FunctionAt(uint32_t rva) const;
  // The innermost inlined call in function `function` whose code holds `rva`, or kNone.
  uint32_t InlineAt(uint32_t function, uint32_t rva) const;

  const std::vector<Function>& functions() const { return functions_; }
  const std::vector<Inline>& inlines() const { return inlines_; }
  bool complete() const { return complete_; }

 private:
  struct Range {
    uint32_t low, high, owner;
  };
  std::vector<Function> functions_;
  std::vector<Inline> inlines_;
  std::vector<Range> functionRanges_;  // sorted by low
  std::vector<Range> inlineRanges_;    // sorted by (function of the owner, low)
  std::vector<uint32_t> inlineRangesOf_;  // per function: its first index in inlineRanges_
  bool complete_ = false;
};

}  // namespace orlent::debuginfo
